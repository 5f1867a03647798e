// The executable's entry: first the process narrows itself (see TakeProcessMitigations); then
// "-install" or "-remove" (also with "/", in any letter case) manage the service; any other
// first argument beginning with "-" or "/" does nothing; otherwise the process runs as the
// service.
#include "service/process_entry.h"

#include <new>
#include <string>

#include "platform/text.h"
#include "radio/service_source.h"
#include "service/diagnostic_text.h"
#include "service/service_base.h"

namespace {

// PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY: DisableExtensionPoints.
constexpr DWORD kDisableExtensionPoints = 0x1;
// PROCESS_MITIGATION_IMAGE_LOAD_POLICY: NoRemoteImages, NoLowMandatoryLabelImages,
// PreferSystem32Images.
constexpr DWORD kNoRemoteImages = 0x1;
constexpr DWORD kNoLowMandatoryLabelImages = 0x2;
constexpr DWORD kPreferSystem32Images = 0x4;

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

// A service that loads its own DLLs from System32 by flag and hosts no extension loses nothing
// by these: DLLs come from System32 only, no legacy hook or AppInit DLL is loaded into the
// process, and no image from a remote share or a low-integrity file. Windows before 10 knows
// no image-load policy and refuses it; the process then goes on as it would.
void TakeProcessMitigations(platform::Platform& platform) {
    const auto recordFailure = [&platform](LPCWSTR call) {
        WriteServiceErrorRecord(platform, CServiceSource::kServiceName, call,
                                platform.GetLastError());
    };
    if (!platform.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        recordFailure(L"SetDefaultDllDirectories");
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensionPoints{};
    extensionPoints.Flags = kDisableExtensionPoints;
    if (!platform.SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &extensionPoints,
                                             sizeof(extensionPoints)))
        recordFailure(L"SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy)");
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY imageLoad{};
    imageLoad.Flags = kNoRemoteImages | kNoLowMandatoryLabelImages | kPreferSystem32Images;
    if (!platform.SetProcessMitigationPolicy(ProcessImageLoadPolicy, &imageLoad, sizeof(imageLoad)))
        recordFailure(L"SetProcessMitigationPolicy(ProcessImageLoadPolicy)");
}

int ProcessEntry(platform::Platform& platform, int argc, wchar_t** argv) {
    TakeProcessMitigations(platform);
    try {
        RunCommand(platform, argc, argv);
    } catch (const std::bad_alloc&) {
        // Memory ran out for a console line or for the service object, whose queue needs some
        // from the start; the service itself never lets it out of its threads. The process
        // ends with 0, as on every path.
    }
    return 0;
}
