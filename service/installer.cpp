// Installing and removing the service through the SCM. Every outcome is a console line; nothing
// is retried and nothing is undone.
#include <string>

#include "radio/service_source.h"
#include "service/diagnostic_text.h"
#include "service/install_path_check.h"
#include "service/process_entry.h"

namespace {

constexpr DWORD kStopPollMs = 1000;

void PrintFailure(platform::Platform& platform, const wchar_t* operation, DWORD error) {
    const std::wstring line =
        std::wstring(operation) + L" failed w/err 0x" + diagnostic::Hex8(error) + L"\n";
    platform.PrintWide(line.c_str());
}

void PrintAboutService(platform::Platform& platform, const wchar_t* before, const wchar_t* after) {
    const std::wstring line = std::wstring(before) + CServiceSource::kServiceName + after;
    platform.PrintWide(line.c_str());
}

}  // namespace

void InstallService(platform::Platform& platform) {
    WCHAR modulePath[MAX_PATH];
    const DWORD length = platform.GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    // A path that fills the whole buffer has been cut off (ERROR_INSUFFICIENT_BUFFER); it would
    // register another program.
    if (length == 0 || length >= MAX_PATH) {
        PrintFailure(platform, L"GetModuleFileName", platform.GetLastError());
        return;
    }
    const std::wstring executablePath(modulePath, length);
    // The service will run this file as LocalSystem: if standard users can replace it, the
    // install would hand them SYSTEM, so nothing is registered.
    if (auto refusal = ReplaceablePathLine(platform, executablePath)) {
        platform.PrintWide(refusal->c_str());
        return;
    }
    // Quoted, so that a path with blanks cannot be taken for a shorter program and its arguments.
    const std::wstring binaryPath = L"\"" + executablePath + L"\"";

    SC_HANDLE manager =
        platform.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        PrintFailure(platform, L"OpenSCManager", platform.GetLastError());
        return;
    }

    SC_HANDLE service = platform.CreateServiceW(
        manager, CServiceSource::kServiceName, CServiceSource::kServiceName, SERVICE_START,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, binaryPath.c_str(),
        nullptr, nullptr, L"WlanSvc\0", L"LocalSystem", nullptr);
    if (service == nullptr) {
        PrintFailure(platform, L"CreateService", platform.GetLastError());
    } else if (platform.StartServiceW(service, 0, nullptr)) {
        PrintAboutService(platform, L"", L" is installed.\n");
    } else {
        PrintFailure(platform, L"StartSerive", platform.GetLastError());
    }

    platform.CloseServiceHandle(manager);
    if (service != nullptr) platform.CloseServiceHandle(service);
}

void UninstallService(platform::Platform& platform) {
    SC_HANDLE manager = platform.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        PrintFailure(platform, L"OpenSCManager", platform.GetLastError());
        return;
    }
    SC_HANDLE service = platform.OpenServiceW(manager, CServiceSource::kServiceName,
                                              SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == nullptr) {
        PrintFailure(platform, L"OpenService", platform.GetLastError());
        platform.CloseServiceHandle(manager);
        return;
    }

    SERVICE_STATUS status{};
    if (platform.ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        PrintAboutService(platform, L"Stopping ", L".");
        platform.Sleep(kStopPollMs);
        // A failed query keeps the state last known, so it goes through a temporary.
        SERVICE_STATUS queried{};
        while (platform.QueryServiceStatus(service, &queried)) {
            status = queried;
            if (status.dwCurrentState != SERVICE_STOP_PENDING) break;
            platform.PrintWide(L".");
            platform.Sleep(kStopPollMs);
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            PrintAboutService(platform, L"\n", L" is stopped.\n");
        } else {
            PrintAboutService(platform, L"\n", L" failed to stop.\n");
        }
    }

    if (platform.DeleteService(service)) {
        PrintAboutService(platform, L"", L" is removed.\n");
    } else {
        PrintFailure(platform, L"DeleteService", platform.GetLastError());
    }

    platform.CloseServiceHandle(manager);
    platform.CloseServiceHandle(service);
}
