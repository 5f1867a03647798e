// WLAN radio control: applies radio requests to the first PHY of every WLAN interface through
// Native Wifi, unless airplane mode is on, and waits at start until the interfaces can be queried.
// Nothing lives between calls: each call opens its own client handle and releases all it got.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>

#include "radio/airplane_mode.h"
#include "radio/service_source.h"

namespace {

constexpr DWORD kWlanClientVersion = 2;
constexpr DWORD kRadioOffRequest = 0;
constexpr int kMaxQueryAttempts = 10;
constexpr DWORD kPauseBetweenAttemptsMs = 1000;

// What a request does to an interface whose first PHY's software state is `from`.
struct RadioChange {
    DOT11_RADIO_STATE from;
    DOT11_RADIO_STATE to;
    LPCWSTR successText;
    LPCWSTR failureLabel;
};
constexpr RadioChange kSwitchOff{dot11_radio_state_on, dot11_radio_state_off, L"Wlan state is OFF",
                                 L"Switch state WLAN to OFF failed"};
constexpr RadioChange kSwitchOn{dot11_radio_state_off, dot11_radio_state_on, L"Wlan state is ON",
                                L"Switch state WLAN to ON failed"};

struct WlanFree {
    platform::NativeWifi* wifi;
    void operator()(void* memory) const { wifi->WlanFreeMemory(memory); }
};
// A list or result that Native Wifi allocated; null owns nothing.
template <typename T>
using WlanMemory = std::unique_ptr<T, WlanFree>;

struct WlanClose {
    platform::NativeWifi* wifi;
    void operator()(HANDLE client) const { wifi->WlanCloseHandle(client, nullptr); }
};
using WlanClient = std::unique_ptr<void, WlanClose>;

// What both operations start with. Members go in reverse order: the list is freed before the
// client handle is closed.
struct WlanSession {
    WlanClient client;
    WlanMemory<WLAN_INTERFACE_INFO_LIST> interfaces;
};

// Opens a client handle and obtains the interface list, recording a failure of either. The
// list is null after a failure; a handle that could not be opened is never closed.
WlanSession OpenWlanSession(CServiceBase& service, platform::NativeWifi& wifi) {
    WlanSession session{WlanClient(nullptr, WlanClose{&wifi}),
                        WlanMemory<WLAN_INTERFACE_INFO_LIST>(nullptr, WlanFree{&wifi})};
    DWORD negotiatedVersion = 0;
    HANDLE client = nullptr;
    DWORD status = wifi.WlanOpenHandle(kWlanClientVersion, nullptr, &negotiatedVersion, &client);
    if (status != ERROR_SUCCESS) {
        service.WriteErrorLogEntry(L"WlanOpenHandle", status);
        return session;
    }
    session.client.reset(client);
    PWLAN_INTERFACE_INFO_LIST interfaces = nullptr;
    status = wifi.WlanEnumInterfaces(client, nullptr, &interfaces);
    if (status != ERROR_SUCCESS) {
        service.WriteErrorLogEntry(L"WlanEnumInterfaces", status);
        return session;
    }
    session.interfaces.reset(interfaces);
    return session;
}

// Queries one interface's radio state; on success `result` owns it, otherwise there is nothing
// to release.
DWORD QueryRadioState(platform::NativeWifi& wifi, HANDLE client, const GUID& interfaceGuid,
                      WlanMemory<WLAN_RADIO_STATE>& result) {
    DWORD dataSize = sizeof(WLAN_RADIO_STATE);
    WLAN_OPCODE_VALUE_TYPE valueType = wlan_opcode_value_type_invalid;
    PVOID data = nullptr;
    const DWORD status =
        wifi.WlanQueryInterface(client, &interfaceGuid, wlan_intf_opcode_radio_state, nullptr,
                                &dataSize, &data, &valueType);
    if (status == ERROR_SUCCESS) result.reset(static_cast<PWLAN_RADIO_STATE>(data));
    return status;
}

// Switches the first PHY of one interface when its software state calls for `change`. The PHY
// entry goes back as queried but for its software state, so its index and hardware state are
// the platform's own; PHYs after the first are left alone.
void ApplyRadioChange(CServiceBase& service, platform::NativeWifi& wifi, HANDLE client,
                      const GUID& interfaceGuid, const RadioChange& change) {
    WlanMemory<WLAN_RADIO_STATE> radioState(nullptr, WlanFree{&wifi});
    DWORD status = QueryRadioState(wifi, client, interfaceGuid, radioState);
    if (status != ERROR_SUCCESS) {
        service.WriteErrorLogEntry(L"WlanQueryInterface", status);
        return;
    }
    WLAN_PHY_RADIO_STATE& firstPhy = radioState->PhyRadioState[0];
    if (firstPhy.dot11SoftwareRadioState != change.from) return;
    firstPhy.dot11SoftwareRadioState = change.to;
    status = wifi.WlanSetInterface(client, &interfaceGuid, wlan_intf_opcode_radio_state,
                                   sizeof(WLAN_PHY_RADIO_STATE), &firstPhy, nullptr);
    if (status == ERROR_SUCCESS)
        service.WriteEventLogEntry(change.successText, EVENTLOG_INFORMATION_TYPE);
    else
        service.WriteErrorLogEntry(change.failureLabel, status);
}

// Prints `prefix`, `number` in decimal and `suffix` as one piece. It needs no memory: the
// airplane-mode key is open meanwhile, and running out must not leave it so.
void PrintNumber(platform::Console& console, const char* prefix, long number, const char* suffix) {
    char text[64];
    std::size_t length = 0;
    auto append = [&](const char* piece, std::size_t pieceLength) {
        pieceLength = std::min(pieceLength, sizeof text - 1 - length);
        std::memcpy(text + length, piece, pieceLength);
        length += pieceLength;
    };
    char digits[24];
    const auto converted = std::to_chars(digits, digits + sizeof digits, number);
    append(prefix, std::strlen(prefix));
    append(digits, static_cast<std::size_t>(converted.ptr - digits));
    append(suffix, std::strlen(suffix));
    text[length] = '\0';
    console.PrintNarrow(text);
}

}  // namespace

void CServiceSource::ProcessHotkeyPressed(DWORD request) {
    const std::wstring message = L"ProcessHotkeyPressed, state: " + std::to_wstring(request);
    WriteEventLogEntry(message.c_str(), EVENTLOG_INFORMATION_TYPE);

    WlanSession session = OpenWlanSession(*this, Platform());
    if (!session.interfaces) return;

    DWORD airplaneMode = 0;
    ReadSystemRadioState(airplaneMode);
    if (airplaneMode == radio::kAirplaneModeOn) {
        WriteEventLogEntry(L"ProcessHotkeyPressed Airplane mode on, do nothing",
                           EVENTLOG_INFORMATION_TYPE);
        return;
    }
    const RadioChange& change = request == kRadioOffRequest ? kSwitchOff : kSwitchOn;
    const WLAN_INTERFACE_INFO* entries = session.interfaces->InterfaceInfo;
    for (DWORD i = 0; i < session.interfaces->dwNumberOfItems; ++i)
        ApplyRadioChange(*this, Platform(), session.client.get(), entries[i].InterfaceGuid, change);
}

DWORD CServiceSource::ReadSystemRadioState(DWORD& value) {
    platform::Platform& os = Platform();
    HKEY key = nullptr;
    const LSTATUS openStatus =
        os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, radio::kSystemRadioStateKey, 0, KEY_QUERY_VALUE, &key);
    if (openStatus == ERROR_SUCCESS) {
        os.PrintNarrow("Success opening key.");
    } else {
        os.PrintNarrow("Error opening key.");
        PrintNumber(os, "Key code :", openStatus, "");
    }

    // Queried even without an open key, which then fails. A failed query, ERROR_MORE_DATA
    // included, may leave the buffer undefined: `value` takes the bytes only on success. Bytes
    // that a short value does not cover keep their content.
    DWORD data = value;
    DWORD dataSize = sizeof(data);
    const LSTATUS queryStatus =
        os.RegQueryValueExW(key, L"", nullptr, nullptr, reinterpret_cast<LPBYTE>(&data), &dataSize);
    if (queryStatus == ERROR_SUCCESS) value = data;
    PrintNumber(os, "\nget data: ", static_cast<int>(value), "\n");
    os.PrintNarrow(queryStatus == ERROR_SUCCESS ? "Success Reading to Registry."
                                                : "Error Reading to Registry.");
    PrintNumber(os, "", queryStatus, "\n");

    const LSTATUS closeStatus = os.RegCloseKey(key);
    os.PrintNarrow(closeStatus == ERROR_SUCCESS ? "Success closing key." : "Error closing key.");
    return value;
}

bool CServiceSource::TryQueryWlanState() {
    WriteEventLogEntry(L"TryQueryWlanState", EVENTLOG_INFORMATION_TYPE);

    WlanSession session = OpenWlanSession(*this, Platform());
    if (!session.interfaces) return false;

    const WLAN_INTERFACE_INFO* entries = session.interfaces->InterfaceInfo;
    const DWORD count = session.interfaces->dwNumberOfItems;
    for (DWORD i = 0; i < count; ++i) {
        WlanMemory<WLAN_RADIO_STATE> radioState(nullptr, WlanFree{&Platform()});
        const DWORD status =
            QueryRadioState(Platform(), session.client.get(), entries[i].InterfaceGuid, radioState);
        if (status != ERROR_SUCCESS) {
            WriteErrorLogEntry(L"WlanQueryInterface", status);
            return false;
        }
    }
    return count > 0;
}

void CServiceSource::WaitUntilCanQuerryWlanState() {
    WriteEventLogEntry(L"WaitUntilCanQuerryWlanState", EVENTLOG_INFORMATION_TYPE);
    for (int attempt = 0; attempt < kMaxQueryAttempts; ++attempt) {
        if (TryQueryWlanState()) return;
        // A stop ends the wait without further attempts.
        if (!PauseUnlessStopped(kPauseBetweenAttemptsMs)) return;
    }
}
