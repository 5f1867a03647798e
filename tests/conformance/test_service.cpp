#include "tests/conformance/test_service.h"

namespace conformance {

namespace {

// Bound of every wait of the service, so that a test that fails to release it leaves no process.
constexpr DWORD kHoldMs = 30000;

// The dispatcher calls plain functions: what they share lives here, one service per process.
struct TestService {
    platform::Platform* platform = nullptr;
    std::wstring name;
    std::wstring script;
    SERVICE_STATUS_HANDLE status = nullptr;
    HANDLE stopRequested = nullptr;
    HANDLE proceed = nullptr;
    HANDLE lateReport = nullptr;
    HANDLE lateReportAccepted = nullptr;
    HANDLE mainEnded = nullptr;
};
TestService g_service;

BOOL Report(DWORD state, DWORD accepted) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, 0, 0};
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        status.dwWaitHint = kHoldMs;
    return g_service.platform->SetServiceStatus(g_service.status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    platform::Platform& p = *g_service.platform;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            if (g_service.script == kHoldPendingScript) Report(SERVICE_STOP_PENDING, 0);
            p.SetEvent(g_service.stopRequested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return 120;  // ERROR_CALL_NOT_IMPLEMENTED
    }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
    platform::Platform& p = *g_service.platform;
    g_service.script = argc > 1 ? argv[1] : kRunScript;
    g_service.status = p.RegisterServiceCtrlHandlerExW(g_service.name.c_str(), Handler, nullptr);
    if (g_service.status != nullptr) {
        const bool hold = g_service.script == kHoldPendingScript;
        if (hold) {
            Report(SERVICE_START_PENDING, 0);
            p.WaitForSingleObject(g_service.proceed, kHoldMs);
        }
        Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
        p.WaitForSingleObject(g_service.stopRequested, kHoldMs);
        if (hold) p.WaitForSingleObject(g_service.proceed, kHoldMs);
        Report(SERVICE_STOPPED, 0);
        if (g_service.script == kReportAfterStoppedScript) {
            if (Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP))
                p.SetEvent(g_service.lateReportAccepted);
            p.SetEvent(g_service.lateReport);
        }
    }
    p.SetEvent(g_service.mainEnded);
}

}  // namespace

std::wstring ProceedEventName(const std::wstring& service) {
    return L"Global\\" + service + L".proceed";
}
std::wstring LateReportEventName(const std::wstring& service) {
    return L"Global\\" + service + L".late-report";
}
std::wstring LateReportAcceptedEventName(const std::wstring& service) {
    return L"Global\\" + service + L".late-report-accepted";
}

int RunTestService(platform::Platform& p, const std::wstring& service) {
    g_service = TestService{};
    g_service.platform = &p;
    g_service.name = service;
    g_service.stopRequested = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_service.mainEnded = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_service.proceed = p.CreateEventW(nullptr, FALSE, FALSE, ProceedEventName(service).c_str());
    g_service.lateReport =
        p.CreateEventW(nullptr, TRUE, FALSE, LateReportEventName(service).c_str());
    g_service.lateReportAccepted =
        p.CreateEventW(nullptr, TRUE, FALSE, LateReportAcceptedEventName(service).c_str());

    SERVICE_TABLE_ENTRYW table[] = {{g_service.name.data(), ServiceMain}, {nullptr, nullptr}};
    const BOOL dispatched = p.StartServiceCtrlDispatcherW(table);
    // The dispatcher returns once SERVICE_STOPPED is reported, before ServiceMain has returned.
    if (dispatched) p.WaitForSingleObject(g_service.mainEnded, kHoldMs);
    for (HANDLE event : {g_service.stopRequested, g_service.mainEnded, g_service.proceed,
                         g_service.lateReport, g_service.lateReportAccepted})
        p.CloseHandle(event);
    return dispatched ? 0 : 1;
}

}  // namespace conformance
