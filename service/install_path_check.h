// Whether anyone but those who already control the machine could change what a service
// registered from a path would run.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// Judges the path of the executable at `executablePath` as the install must before it registers
// it: the path must be on a fixed local volume by its drive letter (no share, no mapped or SUBST
// drive, no removable volume); neither the executable nor any folder above it up to the root may
// be a reparse point; and on each of them only LocalSystem, Administrators, TrustedInstaller and
// the account running the install may hold a right that replaces what the service runs (on the
// file, writing, appending, deleting, WRITE_DAC or WRITE_OWNER; on its folder, adding a file or a
// folder, deleting a child or the folder, WRITE_DAC or WRITE_OWNER; on a folder above, deleting a
// child or the folder, WRITE_DAC or WRITE_OWNER) or own it. Returns the console line that refuses
// the install: what is wrong and where, or the failed call and its code when something cannot be
// read. Nothing when the path is safe.
std::optional<std::wstring> ReplaceablePathLine(platform::Platform& platform,
                                                const std::wstring& executablePath);
