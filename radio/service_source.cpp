// The radio switch service object: its lifecycle handlers, the event queue and the worker.
#include "radio/service_source.h"

#include <new>
#include <stdexcept>
#include <string>

#include "service/diagnostic_text.h"

namespace {
// Cancelling again: at once for the first tries, then at this pace, for about two seconds in all.
// A driver that honours a cancel completes the request within microseconds; two seconds stay
// well inside the time Windows gives services to stop at shutdown.
constexpr int kCancelYieldsMax = 100;
constexpr DWORD kCancelRetryPauseMs = 10;
constexpr int kCancelTriesMax = kCancelYieldsMax + 200;
// Requests waiting for the worker: 16 KiB of them. A person flipping the switch gives a few a
// second and the worker applies one in well under a millisecond, so only a driver flooding the
// service comes near this; the benchmarks' bursts of 1024 stay below it.
constexpr std::size_t kEventQueueMax = 4096;
}  // namespace

CServiceSource::CServiceSource(platform::Platform& platform)
    : CServiceBase(platform, kServiceName) {
    Platform().InitializeCriticalSection(&m_queueLock);
    Platform().InitializeCriticalSection(&m_deviceLock);
}

CServiceSource::~CServiceSource() {
    if (m_hWakeEvent != nullptr) {
        Platform().CloseHandle(m_hWakeEvent);
        m_hWakeEvent = nullptr;
    }
    if (HANDLE stopEvent = m_hStopEvent.exchange(nullptr)) Platform().CloseHandle(stopEvent);
    Platform().DeleteCriticalSection(&m_deviceLock);
    Platform().DeleteCriticalSection(&m_queueLock);
}

void CServiceSource::OnStart(DWORD, LPWSTR*) {
    WriteEventLogEntry(L"BrevRbtnService in OnStart", EVENTLOG_INFORMATION_TYPE);

    m_hWakeEvent = Platform().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_hWakeEvent == nullptr) throw Platform().GetLastError();
    HANDLE stopEvent = Platform().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) throw Platform().GetLastError();
    m_hStopEvent.store(stopEvent);

    HANDLE worker = Platform().CreateThread(nullptr, 0, WorkerThreadProc, this, 0, nullptr);
    if (worker == nullptr) throw std::runtime_error("the worker thread cannot be started");

    bool outOfMemory = false;
    try {
        RunDeviceLoop();
    } catch (const std::bad_alloc&) {
        // The channel allocates for its records and the queue, and cannot go on without: the
        // service ends as if stopped, dropping the requests still queued, and fails its start
        // with the code, so that the SCM's recovery can start it again.
        outOfMemory = true;
        m_stopFlag.store(1);
        CloseDevice();
    }

    // No more requests will come: the worker applies those still queued (a stop has dropped
    // them already) and ends, and only then may the frame report SERVICE_STOPPED.
    m_channelEnded.store(true);
    Platform().SetEvent(m_hWakeEvent);
    WaitUntilSignalled(worker);
    Platform().CloseHandle(worker);
    if (outOfMemory) throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
}

void CServiceSource::OnStop() {
    WriteEventLogEntry(L"BrevRbtnService in OnStop", EVENTLOG_INFORMATION_TYPE);
    m_stopFlag.store(1);
    // The stop flag is raised before the event is read: a pause that began before the event was
    // published has seen no flag and will be woken, a later one sees the flag.
    if (HANDLE stopEvent = m_hStopEvent.load()) Platform().SetEvent(stopEvent);
    CancelPendingRequest();
}

void CServiceSource::CancelPendingRequest() {
    // CancelIoEx cancels nothing when no request is pending yet, and the device loop may be just
    // between its stop test and the call. Windows then fails with ERROR_NOT_FOUND, but Wine 8
    // answers success all the same, so success proves nothing: cancel until the request has
    // returned, or until the driver has had its bound to honour the cancel.
    DWORD lastError = NO_ERROR;
    for (int tries = 0; m_requestInFlight.load(); ++tries) {
        if (tries == kCancelTriesMax) {
            AbandonPendingRequest(lastError);
            return;
        }
        if (!CancelOnOpenDevice(lastError)) return;
        // A cancelled request returns at once; one that does not is not worth a busy core.
        Platform().Sleep(tries < kCancelYieldsMax ? 0 : kCancelRetryPauseMs);
    }
}

bool CServiceSource::CancelOnOpenDevice(DWORD& lastError) {
    // The lock keeps the device loop from closing the handle between its load and the cancel.
    // CancelIoEx only marks the requests cancelled and calls nothing of ours, and the loop holds
    // the lock only to take the handle away, so the wait for it is short and closes no cycle.
    Platform().EnterCriticalSection(&m_deviceLock);
    const HANDLE device = m_hDevice.load();
    const bool open = device != INVALID_HANDLE_VALUE;
    if (open)
        lastError = Platform().CancelIoEx(device, nullptr) ? NO_ERROR : Platform().GetLastError();
    Platform().LeaveCriticalSection(&m_deviceLock);
    return open;
}

void CServiceSource::AbandonPendingRequest(DWORD lastError) {
    // The driver keeps its request however it is asked. Nothing ends a synchronous request of
    // another thread but its driver: closing the handle does not cancel it, and the handle is the
    // device loop's, whose value Windows could hand to another object while the request still
    // uses it. So the service reports its stop without the device loop: the worker ends now, and
    // the service-main thread, still inside the driver, leaves the object only when the request
    // returns; until then Run keeps the object, and the process, alive.
    WriteEventLogEntry(
        diagnostic::RecordText(L"Cannot cancel device request!", L"lastError", lastError).c_str(),
        EVENTLOG_INFORMATION_TYPE);
    Platform().SetEvent(m_hWakeEvent);
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR);
}

void CServiceSource::OnShutdown() {
    WriteEventLogEntry(L"BrevRbtnService in shutdown", EVENTLOG_INFORMATION_TYPE);
    OnStop();
}

void CServiceSource::OnSystemResume() {
    m_resumeFlag.exchange(true);
    WriteEventLogEntry(L"OnSystemResume", EVENTLOG_INFORMATION_TYPE);
}

bool CServiceSource::PauseUnlessStopped(DWORD milliseconds) {
    if (StopRequested()) return false;
    HANDLE stopEvent = m_hStopEvent.load();
    // Without a stop event (the service was never started) nothing can cut the pause short.
    if (stopEvent == nullptr ||
        Platform().WaitForSingleObject(stopEvent, milliseconds) == WAIT_FAILED)
        Platform().Sleep(milliseconds);
    return !StopRequested();
}

void CServiceSource::Enqueue(DWORD request) {
    Platform().EnterCriticalSection(&m_queueLock);
    // Full, every request cannot be applied; the radio ends where the latest one puts it, so the
    // latest takes the newest one's place and those before it keep their order.
    const bool full = m_eventQueue.size() >= kEventQueueMax;
    const bool becameFull = full && !m_queueOverflowing;
    if (full) {
        m_eventQueue.back() = request;
        m_queueOverflowing = true;
    } else {
        try {
            m_eventQueue.push_back(request);
        } catch (const std::bad_alloc&) {
            // The queue could not grow; the channel ends, and must not leave the worker locked
            // out.
            Platform().LeaveCriticalSection(&m_queueLock);
            throw;
        }
    }
    Platform().LeaveCriticalSection(&m_queueLock);
    Platform().SetEvent(m_hWakeEvent);
    // One record for each flood, from the queue's filling up until the worker has emptied it,
    // not one for each request replaced.
    if (becameFull)
        WriteEventLogEntry(diagnostic::RecordText(L"Event queue full, newest request replaced",
                                                  L"queueLength", kEventQueueMax)
                               .c_str(),
                           EVENTLOG_INFORMATION_TYPE);
}

void CServiceSource::WorkerLoop() {
    while (!StopRequested()) {
        Platform().EnterCriticalSection(&m_queueLock);
        if (m_eventQueue.empty()) {
            Platform().ResetEvent(m_hWakeEvent);
            // An end whose flag and wake-up both came before the reset would otherwise leave
            // this thread waiting for ever.
            const bool ending = StopRequested() || m_channelEnded.load();
            Platform().LeaveCriticalSection(&m_queueLock);
            if (ending) break;
            if (Platform().WaitForSingleObject(m_hWakeEvent, INFINITE) != WAIT_OBJECT_0)
                throw Platform().GetLastError();
            continue;
        }
        const DWORD request = m_eventQueue.front();
        m_eventQueue.pop_front();
        // Caught up: a further flood is a new one, worth its record.
        if (m_eventQueue.empty()) m_queueOverflowing = false;
        Platform().LeaveCriticalSection(&m_queueLock);
        try {
            ProcessHotkeyPressed(request);
        } catch (const std::bad_alloc&) {
            // The request is dropped, as one whose platform call fails is (it has released what
            // it held), and the next one is applied as usual.
            WriteErrorLogEntry(L"ProcessHotkeyPressed", ERROR_NOT_ENOUGH_MEMORY);
        }
    }
}

DWORD WINAPI CServiceSource::WorkerThreadProc(LPVOID service) {
    auto* self = static_cast<CServiceSource*>(service);
    try {
        self->WorkerLoop();
    } catch (DWORD error) {
        // Only an invalid wake event gets here; the worker ends, the process goes on.
        self->WriteErrorLogEntry(L"WorkerLoop", error);
    }
    return 0;
}
