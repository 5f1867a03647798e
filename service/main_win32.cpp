// The Windows executable: the process entry on the real Win32 platform.
#include "platform/win32/win32_platform.h"
#include "service/process_entry.h"

// Wide entry (-municode) so that arguments arrive as UTF-16 without a code-page round trip.
int wmain(int argc, wchar_t** argv) {
    platform::win32::Win32Platform platform;
    return ProcessEntry(platform, argc, argv);
}
