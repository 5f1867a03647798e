// Whether standard users could replace what a service registered from a path would run.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// Reads the DACLs of the executable at `executablePath`, of its folder and of every folder above
// it up to the volume's root, and looks for an entry that grants a principal every standard
// user's token carries (Everyone, Authenticated Users, Users, ...) a right that lets it replace
// the file or make the service load another: on the file, writing, appending, deleting, WRITE_DAC
// or WRITE_OWNER; on its folder, adding a file or a folder, deleting a child or the folder,
// WRITE_DAC or WRITE_OWNER; on a folder above, deleting a child or the folder, WRITE_DAC or
// WRITE_OWNER. Returns the console line that refuses the install: what is wrong and where, or
// the failed call and its code when a descriptor cannot be read. Nothing when the path is safe.
std::optional<std::wstring> ReplaceablePathLine(platform::Platform& platform,
                                                const std::wstring& executablePath);
