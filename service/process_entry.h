// The executable's entry: the command line, the installer and the service path.
#pragma once

#include "platform/platform.h"

// Runs the program with its arguments (the program's path first) on `platform`. Returns the
// process exit status, which is 0 on every path.
int ProcessEntry(platform::Platform& platform, int argc, wchar_t** argv);

// The process's first calls: DLLs from System32 only, extension points disabled, no images
// from remote or low-integrity files. A refused call is written as an error record
// "<call> failed w/err 0x<code>" and the process goes on.
void TakeProcessMitigations(platform::Platform& platform);

// Registers the service with the SCM and starts it; reports every outcome on the console.
void InstallService(platform::Platform& platform);
// Stops the service if it runs, waiting for it, and deletes it; reports on the console.
void UninstallService(platform::Platform& platform);
