// The generic frame of a Windows service: connects the process to the service control
// dispatcher, turns controls and power events into calls of virtual handlers, reports every
// state change with check points, and writes the service's event-log records.
//
// Threads: Run and the control handler run on the process's main thread inside the dispatcher;
// ServiceMain, Start and OnStart run on the service-main thread the dispatcher creates. Status
// reports come from both and are ordered by the status lock. The event-log writers may be
// called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "platform/platform.h"

// The service's records, also where no service object exists yet: one record under
// `serviceName` in the form WriteEventLogEntry and WriteErrorLogEntry describe.
void WriteServiceRecord(platform::Platform& platform, LPCWSTR serviceName, LPCWSTR message,
                        WORD type);
void WriteServiceErrorRecord(platform::Platform& platform, LPCWSTR serviceName, LPCWSTR function,
                             DWORD error);

class CServiceBase {
public:
    // `serviceName` must outlive the object; it is never copied or freed.
    CServiceBase(platform::Platform& platform, LPCWSTR serviceName);
    virtual ~CServiceBase();
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // Publishes `service` as the process's service instance and runs the service control
    // dispatcher on the calling thread. Returns TRUE once the dispatcher has returned and the
    // service-main thread has left the object, FALSE when the dispatcher could not start (the
    // platform's last error says why). `service` must stay alive until Run returns.
    static BOOL Run(CServiceBase& service);

    // The wrappers: report the pending state, call the handler, report the result, and turn any
    // exception from the handler into an error record and a fallback state. OnStart runs the
    // service's whole life; once it has returned, Start reports the run's one SERVICE_STOPPED.
    // Stop and Shutdown only ask the service to end.
    void Start(DWORD argc, LPWSTR* argv);
    void Stop();
    void Pause();
    void Continue();
    void Shutdown();

    // Sets the state and exit code and sends the whole status. Pending and paused states take
    // the next check point; SERVICE_RUNNING and SERVICE_STOPPED send check point 0. Reports
    // reach the SCM in the order they were made, none after SERVICE_STOPPED. FALSE when the
    // report is refused for that or by the platform; TRUE when it was sent, or handed to the
    // thread that is sending the reports before it.
    BOOL ReportServiceStatus(DWORD currentState, DWORD win32ExitCode = NO_ERROR);

    // One record under the service name: the given type, category 0, event id 0, no SID, the
    // strings {service name, message}, no data. A refused event source drops it silently.
    void WriteEventLogEntry(LPCWSTR message, WORD type);
    // An error record "<function> failed w/err 0x<error as 8 hex digits>".
    void WriteErrorLogEntry(LPCWSTR function, DWORD error);

    LPCWSTR ServiceName() const { return m_name; }
    SERVICE_STATUS CurrentStatus();

protected:
    // Handlers. A handler that fails with a Win32 error throws the code as a DWORD.
    virtual void OnStart(DWORD argc, LPWSTR* argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual void OnSystemSuspend();
    virtual void OnSystemResume();

    platform::Platform& Platform() const { return m_platform; }

    // Waits until `handle` is signalled: another thread has finished with this object. A failed
    // wait (only an invalid handle fails) is recorded and retried, at once and then once a
    // second, since going on would let the object be destroyed while that thread still uses it.
    void WaitUntilSignalled(HANDLE handle);

private:
    static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                           LPVOID context);

    // The one service object of the process, and the process's check-point counter.
    static CServiceBase* s_service;
    static DWORD s_checkPoint;

    platform::Platform& m_platform;
    LPCWSTR m_name;
    SERVICE_STATUS m_status;
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    // Orders the status reports of the control thread and the service-main thread; never held
    // across SetServiceStatus. Guards m_status and the members below, up to m_stoppedDecided.
    CRITICAL_SECTION m_statusLock;
    // Reports decided but not yet sent, oldest first. They pile up only while one send is in
    // progress, a few at a time; were all the slots ever taken, a new report would replace the
    // newest unsent one, since the SCM keeps only the latest state anyway. A fixed store, so
    // that a report never needs memory: SERVICE_STOPPED must go out even when none is left.
    static constexpr std::size_t kUnsentReportsMax = 64;
    std::array<SERVICE_STATUS, kUnsentReportsMax> m_unsentReports{};
    std::size_t m_firstUnsent = 0;
    std::size_t m_unsentCount = 0;
    bool m_sendingReports = false;
    bool m_stoppedDecided = false;
    // Signalled when ServiceMain has returned, so that Run never lets the object be destroyed
    // while the service-main thread still uses it.
    HANDLE m_serviceMainDone = nullptr;
    // Set as ServiceMain begins; Run waits for m_serviceMainDone only then.
    std::atomic<bool> m_serviceMainEntered = false;
};
