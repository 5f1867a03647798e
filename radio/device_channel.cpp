// The switch device channel: finds and opens the radio switch, turns every switch value into a
// radio request, and reconciles the WLAN radio with the wifi status the BIOS holds. Records are
// composed by plain appends: a string stream would link the C++ runtime's locale code into the
// executable.
#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <string>

#include "radio/service_source.h"
#include "radio/switch_device.h"
#include "service/diagnostic_text.h"

namespace {
// The not-ready wait: at most this many pauses of one second, unless a resume comes first.
constexpr int kNotReadyPausesMax = 15;
constexpr DWORD kNotReadyPauseMs = 1000;

// A driver outside its contract may complete every read at once without a value. The first
// short read of a run is read past at once; each further one pauses before the next read, twice
// as long as the last, from 10 ms up to one second: about one read a second after the first
// 1.3 s, and a switch value waits at most a second.
constexpr DWORD kShortReadPauseMinMs = 10;
constexpr DWORD kShortReadPauseMaxMs = 1000;

DWORD ShortReadPauseMs(DWORD shortReadsInRun) {
    if (shortReadsInRun < 2) return 0;
    // Seven doublings of 10 ms pass one second; more would only shift bits out.
    const DWORD doublings = std::min<DWORD>(shortReadsInRun - 2, 7);
    return std::min(kShortReadPauseMinMs << doublings, kShortReadPauseMaxMs);
}
}  // namespace

void CServiceSource::RunDeviceLoop() {
    WCHAR path[MAX_PATH];
    const bool found = FindSwitchDevicePath(path);
    m_hDevice.store(found ? Platform().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                   OPEN_EXISTING, 0, nullptr)
                          : INVALID_HANDLE_VALUE);
    if (m_hDevice.load() == INVALID_HANDLE_VALUE) {
        WriteEventLogEntry(L"Cannot open device!", EVENTLOG_INFORMATION_TYPE);
    } else {
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR);
        WaitUntilCanQuerryWlanState();
        if (!StopRequested()) ReadAndUpdateWlanState();
        // Short reads one after the other: one record for the run's first and one at its end,
        // whatever their number.
        DWORD shortReadsInRun = 0;
        for (;;) {
            DWORD value = 0;
            DWORD bytesRead = 0;
            const bool read = ReadSwitchValue(value, bytesRead);
            if (read && bytesRead != radio::kSwitchValueBytes) {
                if (++shortReadsInRun == 1)
                    WriteEventLogEntry(diagnostic::RecordText(L"Short read from device ignored",
                                                              L"bytesRead", bytesRead)
                                           .c_str(),
                                       EVENTLOG_INFORMATION_TYPE);
                if (const DWORD pause = ShortReadPauseMs(shortReadsInRun))
                    PauseUnlessStopped(pause);
                continue;
            }
            if (shortReadsInRun > 1)
                WriteEventLogEntry(diagnostic::RecordText(L"Short reads from device ended",
                                                          L"count", shortReadsInRun)
                                       .c_str(),
                                   EVENTLOG_INFORMATION_TYPE);
            shortReadsInRun = 0;
            if (read) {
                DoUpdateWifiState(value);
                continue;
            }
            if (Platform().GetLastError() == ERROR_NOT_READY && !StopRequested()) {
                WaitWhileDeviceNotReady();
                continue;
            }
            WriteEventLogEntry(L"Cannot read device!", EVENTLOG_INFORMATION_TYPE);
            break;
        }
    }

    // SERVICE_STOPPED waits until the worker has ended too; the frame reports it (Start).
    CloseDevice();
    Platform().SetEvent(m_hWakeEvent);
}

void CServiceSource::CloseDevice() {
    // Once the handle is taken away under the device lock, no cancel of the control thread can
    // still hold it, so it is closed outside.
    Platform().EnterCriticalSection(&m_deviceLock);
    const HANDLE device = m_hDevice.exchange(INVALID_HANDLE_VALUE);
    Platform().LeaveCriticalSection(&m_deviceLock);
    if (device != INVALID_HANDLE_VALUE) Platform().CloseHandle(device);
}

template <typename Request>
BOOL CServiceSource::RequestUnlessStopped(Request request) {
    // Raised before the stop test, so that OnStop either sees the request in flight and cancels
    // it, or this thread sees the stop and makes no request.
    m_requestInFlight.store(true);
    if (StopRequested()) {
        m_requestInFlight.store(false);
        Platform().SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    const BOOL succeeded = request();
    m_requestInFlight.store(false);
    return succeeded;
}

bool CServiceSource::ReadSwitchValue(DWORD& value, DWORD& bytesRead) {
    return RequestUnlessStopped([&] {
               return Platform().ReadFile(m_hDevice.load(), &value, radio::kSwitchValueBytes,
                                          &bytesRead, nullptr);
           }) != FALSE;
}

void CServiceSource::WaitWhileDeviceNotReady() {
    WriteEventLogEntry(L"Device not ready!, Wait resume event", EVENTLOG_INFORMATION_TYPE);
    // A stop only cuts the pauses short: the wait still ends with one of its two records.
    for (int pauses = 0; pauses < kNotReadyPausesMax && !m_resumeFlag.load(); ++pauses)
        if (!PauseUnlessStopped(kNotReadyPauseMs)) break;
    // A stop ends the wait as no resume does: the status request would not be made.
    if (!StopRequested() && m_resumeFlag.exchange(false)) {
        WriteEventLogEntry(L"Device not ready!, Wait resume event end, call update wlan state",
                           EVENTLOG_INFORMATION_TYPE);
        ReadAndUpdateWlanState();
    } else {
        WriteEventLogEntry(
            L"Device not ready!, Wait resume event end, don't call update wlan state",
            EVENTLOG_INFORMATION_TYPE);
    }
}

bool CServiceSource::FindSwitchDevicePath(LPWSTR path) {
    HDEVINFO deviceSet =
        Platform().SetupDiGetClassDevsW(&radio::GUID_RADIO_SWITCH_INTERFACE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceSet == INVALID_HANDLE_VALUE) {
        Platform().PrintNarrow("SetupDiGetClassDevs failed!\n");
        return false;
    }
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!Platform().SetupDiEnumDeviceInterfaces(
            deviceSet, nullptr, &radio::GUID_RADIO_SWITCH_INTERFACE, 0, &interfaceData)) {
        Platform().PrintNarrow("SetupDiEnumDeviceInterfaces failed.\n");
        Platform().SetupDiDestroyDeviceInfoList(deviceSet);
        return false;
    }

    // The size request fails by design with ERROR_INSUFFICIENT_BUFFER; any other outcome leaves
    // no size that could hold the detail.
    DWORD requiredSize = 0;
    const BOOL sized = Platform().SetupDiGetDeviceInterfaceDetailW(
        deviceSet, &interfaceData, nullptr, 0, &requiredSize, nullptr);
    if (sized || Platform().GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        Platform().SetupDiDestroyDeviceInfoList(deviceSet);
        return false;
    }

    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(
        Platform().LocalAlloc(LMEM_FIXED, requiredSize));
    if (detail == nullptr) {
        Platform().SetupDiDestroyDeviceInfoList(deviceSet);
        Platform().PrintNarrow("Failed to allocate memory.\n");
        return false;
    }
    // cbSize is the size of the fixed part, not of the block.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    bool found = false;
    if (Platform().SetupDiGetDeviceInterfaceDetailW(deviceSet, &interfaceData, detail, requiredSize,
                                                    &requiredSize, nullptr)) {
        const std::size_t pathCharsMax =
            (requiredSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
            sizeof(WCHAR);
        const std::size_t length = wcsnlen(detail->DevicePath, pathCharsMax);
        // A path that, with its terminator, does not fit the caller's buffer is no path at all.
        if (length < MAX_PATH && length < pathCharsMax) {
            std::wmemcpy(path, detail->DevicePath, length);
            path[length] = L'\0';
            found = true;
        }
    }
    Platform().SetupDiDestroyDeviceInfoList(deviceSet);
    Platform().LocalFree(detail);
    return found;
}

void CServiceSource::ReadAndUpdateWlanState() {
    DWORD status = 0;
    DWORD bytesReturned = 0;
    bool requested = false;
    const bool bSendRet = RequestUnlessStopped([&] {
                              requested = true;
                              return Platform().DeviceIoControl(
                                  m_hDevice.load(), radio::IOCTL_READ_BIOS_WIFI_STATUS, nullptr, 0,
                                  &status, sizeof(status), &bytesReturned, nullptr);
                          }) != FALSE;
    // A stop that came first left no request to write of.
    if (!requested) return;
    WriteEventLogEntry(bSendRet ? L"Send request sucessful!" : L"Send request failed!",
                       EVENTLOG_INFORMATION_TYPE);
    const std::wstring sendRecord =
        L"ReadAndUpdateWlanState" + std::wstring(L", bSendRet: ") + diagnostic::BoolText(bSendRet);
    WriteEventLogEntry(sendRecord.c_str(), EVENTLOG_INFORMATION_TYPE);
    if (!bSendRet) {
        WriteEventLogEntry(
            L"ReadAndUpdateWlanState ignore update wlan state because can't read wifi status "
            L"from Bios",
            EVENTLOG_INFORMATION_TYPE);
        return;
    }
    // 0 and 1: the BIOS holds the WLAN control state off, which says nothing of the radio.
    if (status <= 1) {
        const std::wstring ignoreRecord =
            L"ReadAndUpdateWlanState ignore case (Wlan control state off)" +
            std::wstring(L", bSendRet: ") + L"TRUE" + L", wifiStatus: " + std::to_wstring(status) +
            L", validStatus: " + L"TRUE";
        WriteEventLogEntry(ignoreRecord.c_str(), EVENTLOG_INFORMATION_TYPE);
        return;
    }
    DoUpdateWifiState(status);
}

void CServiceSource::DoUpdateWifiState(DWORD wifiStatus) {
    const DWORD wifiState = (wifiStatus == 0 || wifiStatus == 2) ? 0 : 1;
    // Every switch value passes here: plain appends spare the stream's locale set-up.
    const std::wstring message = L"DoUpdateWifiState" + std::wstring(L", validStatus: ") + L"TRUE" +
                                 L", wifiStatus: " + std::to_wstring(wifiStatus) +
                                 L", wifiState: " + std::to_wstring(wifiState);
    WriteEventLogEntry(message.c_str(), EVENTLOG_INFORMATION_TYPE);
    Enqueue(wifiState);
}
