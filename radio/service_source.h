// The radio switch service: couples the hardware radio switch to the WLAN radio.
//
// Threads: OnStart runs the device channel on the service-main thread, the queue's only
// producer; the worker thread is its only consumer and applies each request to the WLAN
// interfaces; OnStop, OnShutdown and OnSystemResume run on the control thread. The event queue is
// guarded by the queue lock, which is never held while waiting, logging or touching the WLAN.
#pragma once

#include <atomic>
#include <deque>

#include "service/service_base.h"

class CServiceSource : public CServiceBase {
public:
    // The service's name at the SCM, its display name, and the event source of its records.
    static constexpr const wchar_t* kServiceName = L"BrevRctlService";

    explicit CServiceSource(platform::Platform& platform);
    ~CServiceSource() override;

    // --- WLAN radio control (worker thread, and the device channel's start-up wait)
    // Applies one radio request (0 off, anything else on) to the first PHY of every WLAN
    // interface, unless airplane mode is on.
    void ProcessHotkeyPressed(DWORD request);
    // Reads the airplane-mode value's raw bytes (at most 4) into `value`, tracing to the console.
    // `value` keeps its content when the value cannot be read.
    DWORD ReadSystemRadioState(DWORD& value);
    // One attempt to query the radio state of every WLAN interface; true when there is at least
    // one interface and every query succeeded.
    bool TryQueryWlanState();
    // Up to ten attempts one second apart; a stop ends the wait at once.
    void WaitUntilCanQuerryWlanState();

    // --- the switch device channel (service-main thread)
    // Finds and opens the switch device and turns every value it delivers into a request, until
    // the device fails or the service stops. Reports SERVICE_RUNNING once the device is open;
    // closes it and wakes the worker when it ends.
    void RunDeviceLoop();
    // The device path of the first present switch interface, into a buffer of MAX_PATH.
    bool FindSwitchDevicePath(LPWSTR path);
    // Asks the driver for the BIOS wifi status and queues the matching request.
    void ReadAndUpdateWlanState();
    // Maps a switch value or BIOS status to a radio request and queues it.
    void DoUpdateWifiState(DWORD wifiStatus);

    // --- the event queue
    void Enqueue(DWORD request);
    void WorkerLoop();

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override;
    void OnStop() override;
    void OnShutdown() override;
    void OnSystemResume() override;

private:
    static DWORD WINAPI WorkerThreadProc(LPVOID service);
    bool StopRequested() const { return m_stopFlag.load() != 0; }
    // Waits `milliseconds` unless a stop comes first; returns false when the service is stopping.
    bool PauseUnlessStopped(DWORD milliseconds);
    // Makes one request of the device unless the service is stopping, in which case it fails
    // with ERROR_OPERATION_ABORTED as a cancelled one does. Either OnStop sees the request in
    // flight and cancels it, or this thread sees the stop and does not make it.
    template <typename Request>
    BOOL RequestUnlessStopped(Request request);
    // Reads one switch value; false when the read failed (the last error says why).
    bool ReadSwitchValue(DWORD& value, DWORD& bytesRead);
    void WaitWhileDeviceNotReady();
    // Closes the device handle if it is open; the device loop's end, on every path.
    void CloseDevice();
    void CancelPendingRequest();
    // One cancel of the requests pending on the device, unless the device loop has taken the
    // handle away; false when there is nothing more this thread can cancel. `lastError` gets the
    // cancel's result.
    bool CancelOnOpenDevice(DWORD& lastError);
    // The stop's end when the driver does not let its request go (see the definition).
    void AbandonPendingRequest(DWORD lastError);

    // Set by OnStop; ends the worker (dropping queued requests), the device loop and the
    // bounded waits.
    std::atomic<LONG> m_stopFlag{0};
    // Set once the device loop has ended: the worker ends when the queue is empty.
    std::atomic<bool> m_channelEnded{false};
    // Shared with the control thread, which cancels the requests pending on it.
    std::atomic<HANDLE> m_hDevice{INVALID_HANDLE_VALUE};
    // Held by the control thread across its cancel and by the device loop while it takes the
    // handle away to close it, so that no cancel runs on a closed handle, whose value Windows
    // may by then have handed to another object. Nothing else is done under it.
    CRITICAL_SECTION m_deviceLock;
    // True from just before the device loop checks for a stop and makes a request (a read or
    // the status request) until the request has returned; tells OnStop what may need
    // cancelling.
    std::atomic<bool> m_requestInFlight{false};
    HANDLE m_hWakeEvent = nullptr;
    // Set by OnStop, so that pauses end at once instead of running out.
    std::atomic<HANDLE> m_hStopEvent{nullptr};
    std::deque<DWORD> m_eventQueue;
    // True from the queue's filling up until the worker has emptied it; guarded by the queue
    // lock.
    bool m_queueOverflowing = false;
    CRITICAL_SECTION m_queueLock;
    std::atomic<bool> m_resumeFlag{false};
};
