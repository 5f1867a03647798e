// The executable's entry: "-install" or "-remove" (also with "/", in any letter case) manage the
// service; any other first argument beginning with "-" or "/" does nothing; otherwise the
// process runs as the service.
#include "service/process_entry.h"

#include <new>
#include <string>

#include "platform/text.h"
#include "radio/service_source.h"
#include "service/diagnostic_text.h"

namespace {

void RunCommand(platform::Platform& platform, int argc, wchar_t** argv) {
    if (argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
        const std::wstring_view command = argv[1] + 1;
        if (platform::EqualsIgnoringAsciiCase(command, L"install")) {
            InstallService(platform);
        } else if (platform::EqualsIgnoringAsciiCase(command, L"remove")) {
            UninstallService(platform);
        }
        return;
    }

    platform.PrintWide(L"Parameters:\n");
    platform.PrintWide(L" -install  to install the service.\n");
    platform.PrintWide(L" -remove   to remove the service.\n");

    // Run returns only once the service's threads have left the object, so it may end here.
    CServiceSource service(platform);
    if (!CServiceBase::Run(service)) {
        const std::wstring line =
            L"Service failed to run w/err 0x" + diagnostic::Hex8(platform.GetLastError()) + L"\n";
        platform.PrintWide(line.c_str());
    }
}

}  // namespace

int ProcessEntry(platform::Platform& platform, int argc, wchar_t** argv) {
    try {
        RunCommand(platform, argc, argv);
    } catch (const std::bad_alloc&) {
        // Memory ran out for a console line or for the service object, whose queue needs some
        // from the start; the service itself never lets it out of its threads. The process
        // ends with 0, as on every path.
    }
    return 0;
}
