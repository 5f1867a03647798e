// The service frame: the dispatcher connection, the control handler, the wrappers around the
// handlers and the status reports with their check points.
#include "service/service_base.h"

CServiceBase* CServiceBase::s_service = nullptr;
DWORD CServiceBase::s_checkPoint = 1;

namespace {
constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT;
constexpr DWORD kWaitRetryPauseMs = 1000;
}  // namespace

CServiceBase::CServiceBase(platform::Platform& platform, LPCWSTR serviceName)
    : m_platform(platform),
      m_name(serviceName),
      m_status{
          SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, kControlsAccepted, NO_ERROR, 0, 0, 0},
      m_statusLock{} {
    m_platform.InitializeCriticalSection(&m_statusLock);
}

CServiceBase::~CServiceBase() {
    m_platform.DeleteCriticalSection(&m_statusLock);
}

BOOL CServiceBase::Run(CServiceBase& service) {
    platform::Platform& platform = service.m_platform;
    service.m_serviceMainDone = platform.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (service.m_serviceMainDone == nullptr) return FALSE;

    // The simulated machine runs several processes in one host process, so they share what is
    // process-wide here: the counter starts anew in Run, which a process enters once before any
    // report, and a process that cannot become a service leaves both as it found them.
    CServiceBase* const previousService = s_service;
    const DWORD previousCheckPoint = s_checkPoint;
    s_service = &service;
    s_checkPoint = 1;

    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(service.m_name), &CServiceBase::ServiceMain},
        {nullptr, nullptr},
    };
    const BOOL ran = platform.StartServiceCtrlDispatcherW(table);
    const DWORD dispatcherError = ran ? NO_ERROR : platform.GetLastError();
    // The dispatcher returns once SERVICE_STOPPED is reported, before ServiceMain's thread ends.
    if (ran && service.m_serviceMainEntered) service.WaitUntilSignalled(service.m_serviceMainDone);
    platform.CloseHandle(service.m_serviceMainDone);
    service.m_serviceMainDone = nullptr;
    if (!ran) {
        s_service = previousService;
        s_checkPoint = previousCheckPoint;
        platform.SetLastError(dispatcherError);
    }
    return ran;
}

void WINAPI CServiceBase::ServiceMain(DWORD argc, LPWSTR* argv) {
    CServiceBase& service = *s_service;
    service.m_serviceMainEntered = true;
    platform::Platform& platform = service.m_platform;
    service.m_statusHandle = platform.RegisterServiceCtrlHandlerExW(
        service.m_name, &CServiceBase::ServiceCtrlHandler, nullptr);
    if (service.m_statusHandle != nullptr) {
        service.Start(argc, argv);
    } else {
        // Without a status handle nothing can be reported to the SCM; the record is all that
        // is left to say why the service did not start.
        service.WriteErrorLogEntry(L"RegisterServiceCtrlHandlerEx", platform.GetLastError());
    }
    platform.SetEvent(service.m_serviceMainDone);
}

DWORD WINAPI CServiceBase::ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    CServiceBase& service = *s_service;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            service.Stop();
            break;
        case SERVICE_CONTROL_PAUSE:
            service.Pause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            service.Continue();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            service.Shutdown();
            break;
        case SERVICE_CONTROL_POWEREVENT:
            if (eventType == PBT_APMSUSPEND)
                service.OnSystemSuspend();
            else if (eventType == PBT_APMRESUMEAUTOMATIC)
                service.OnSystemResume();
            break;
        default:
            break;
    }
    return NO_ERROR;
}

void CServiceBase::Start(DWORD argc, LPWSTR* argv) {
    DWORD exitCode = NO_ERROR;
    try {
        ReportServiceStatus(SERVICE_START_PENDING);
        OnStart(argc, argv);
    } catch (DWORD error) {
        WriteErrorLogEntry(L"Service Start", error);
        exitCode = error;
    } catch (...) {
        WriteEventLogEntry(L"Service failed to start.", EVENTLOG_ERROR_TYPE);
    }
    // OnStart returns once the service has ended and released everything, so this is the run's
    // one SERVICE_STOPPED, and its last report: the process may be ended at any time after it.
    ReportServiceStatus(SERVICE_STOPPED, exitCode);
}

void CServiceBase::Stop() {
    const DWORD originalState = CurrentStatus().dwCurrentState;
    try {
        ReportServiceStatus(SERVICE_STOP_PENDING);
        // OnStop only asks the service to end; Start reports SERVICE_STOPPED when it has.
        OnStop();
    } catch (DWORD error) {
        WriteErrorLogEntry(L"Service Stop", error);
        ReportServiceStatus(originalState);
    } catch (...) {
        WriteEventLogEntry(L"Service failed to stop.", EVENTLOG_ERROR_TYPE);
        ReportServiceStatus(originalState);
    }
}

void CServiceBase::Pause() {
    try {
        ReportServiceStatus(SERVICE_PAUSE_PENDING);
        OnPause();
        ReportServiceStatus(SERVICE_PAUSED);
    } catch (DWORD error) {
        WriteErrorLogEntry(L"Service Pause", error);
        ReportServiceStatus(SERVICE_RUNNING);
    } catch (...) {
        WriteEventLogEntry(L"Service failed to pause.", EVENTLOG_ERROR_TYPE);
        ReportServiceStatus(SERVICE_RUNNING);
    }
}

void CServiceBase::Continue() {
    try {
        ReportServiceStatus(SERVICE_CONTINUE_PENDING);
        OnContinue();
        ReportServiceStatus(SERVICE_RUNNING);
    } catch (DWORD error) {
        WriteErrorLogEntry(L"Service Continue", error);
        ReportServiceStatus(SERVICE_PAUSED);
    } catch (...) {
        WriteEventLogEntry(L"Service failed to resume.", EVENTLOG_ERROR_TYPE);
        ReportServiceStatus(SERVICE_PAUSED);
    }
}

void CServiceBase::Shutdown() {
    try {
        WriteEventLogEntry(L"BrevRbtnService in Shutdown", EVENTLOG_INFORMATION_TYPE);
        OnShutdown();
    } catch (DWORD error) {
        WriteErrorLogEntry(L"Service Shutdown", error);
    } catch (...) {
        WriteEventLogEntry(L"Service failed to shut down.", EVENTLOG_ERROR_TYPE);
    }
}

BOOL CServiceBase::ReportServiceStatus(DWORD currentState, DWORD win32ExitCode) {
    // Reports are decided one at a time under the status lock, in the order the SCM must see
    // them, but sent outside it: SetServiceStatus(SERVICE_STOPPED) may wait for the dispatcher's
    // lock (Wine's does), which the dispatcher holds while our control handler runs, and the
    // handler itself reports. Whichever thread finds no send in progress sends every decided
    // report in order; a thread that finds one in progress leaves its report to that thread.
    m_platform.EnterCriticalSection(&m_statusLock);
    if (m_stoppedDecided) {
        // The status handle is spent after SERVICE_STOPPED; a further report could crash.
        m_platform.LeaveCriticalSection(&m_statusLock);
        return FALSE;
    }
    m_status.dwCurrentState = currentState;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwWaitHint = 0;
    const bool settled = currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED;
    m_status.dwCheckPoint = settled ? 0 : s_checkPoint++;
    m_stoppedDecided = currentState == SERVICE_STOPPED;
    if (m_unsentCount == kUnsentReportsMax) --m_unsentCount;
    m_unsentReports[(m_firstUnsent + m_unsentCount++) % kUnsentReportsMax] = m_status;
    BOOL accepted = TRUE;
    if (!m_sendingReports) {
        m_sendingReports = true;
        while (m_unsentCount > 0) {
            SERVICE_STATUS report = m_unsentReports[m_firstUnsent];
            m_firstUnsent = (m_firstUnsent + 1) % kUnsentReportsMax;
            --m_unsentCount;
            m_platform.LeaveCriticalSection(&m_statusLock);
            accepted = m_platform.SetServiceStatus(m_statusHandle, &report);
            // Without SERVICE_STOPPED the dispatcher never returns and the process stays for
            // ever; a refused one spent nothing, so it is worth one more try.
            if (!accepted && report.dwCurrentState == SERVICE_STOPPED)
                accepted = m_platform.SetServiceStatus(m_statusHandle, &report);
            m_platform.EnterCriticalSection(&m_statusLock);
        }
        m_sendingReports = false;
    }
    m_platform.LeaveCriticalSection(&m_statusLock);
    return accepted;
}

void CServiceBase::WaitUntilSignalled(HANDLE handle) {
    for (int failures = 0; m_platform.WaitForSingleObject(handle, INFINITE) != WAIT_OBJECT_0;
         ++failures) {
        if (failures == 0) {
            WriteErrorLogEntry(L"WaitForSingleObject", m_platform.GetLastError());
        } else {
            m_platform.Sleep(kWaitRetryPauseMs);
        }
    }
}

SERVICE_STATUS CServiceBase::CurrentStatus() {
    m_platform.EnterCriticalSection(&m_statusLock);
    const SERVICE_STATUS status = m_status;
    m_platform.LeaveCriticalSection(&m_statusLock);
    return status;
}

void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {
    WriteEventLogEntry(L"BrevRbtnService in OnPause", EVENTLOG_INFORMATION_TYPE);
}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
void CServiceBase::OnSystemSuspend() {}
void CServiceBase::OnSystemResume() {}
