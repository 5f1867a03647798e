// The Native Wifi double's tool: sets the WLAN interfaces the double lists and their PHYs' radio
// states, makes it refuse calls, and reads back its state, its accounting and its log of sets,
// through the state file they share (wlan_double_state.h). Test code only.
//
// Usage: wlan_tool reset | interfaces [PHY[/PHY...]]... | refuse CALL CODE [COUNT] | state
//                  | sets [FIRST] | slow-set MS
//   PHY: SOFTWARE:HARDWARE, each on, off or unknown; one argument per interface, in list order.
//   CALL: WlanOpenHandle, WlanEnumInterfaces, WlanQueryInterface, WlanSetInterface or
//   WlanCloseHandle; its next COUNT calls (1 unless given) answer CODE and do nothing else.
//   slow-set: the next WlanSetInterface waits MS milliseconds before its work.
// `state` prints each interface's PHYs, SOFTWARE:HARDWARE, then what callers hold; `sets` the
// log of sets from FIRST on. Prints what it did or read and exits 0; prints the problem on standard
// error and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "../tool_arguments.h"
#include "wlan_double_state.h"

namespace {

constexpr const wchar_t* kCallNames[WLAN_DOUBLE_CALLS] = {L"WlanOpenHandle", L"WlanEnumInterfaces",
                                                          L"WlanQueryInterface",
                                                          L"WlanSetInterface", L"WlanCloseHandle"};
// DOT11_RADIO_STATE's values, by name.
constexpr const wchar_t* kRadioStateNames[] = {L"unknown", L"on", L"off"};

int Usage() {
    std::fprintf(stderr,
                 "usage: wlan_tool reset | interfaces [PHY[/PHY...]]... | refuse CALL CODE "
                 "[COUNT] | state | sets [FIRST] | slow-set MS\n");
    return 1;
}

const char* RadioStateName(DWORD state) {
    switch (state) {
        case 1:
            return "on";
        case 2:
            return "off";
        default:
            return "unknown";
    }
}

bool ParseRadioState(const std::wstring& text, DWORD& state) {
    for (DWORD value = 0; value < 3; ++value) {
        if (text == kRadioStateNames[value]) {
            state = value;
            return true;
        }
    }
    return false;
}

// "on:on/off:off" into one interface.
bool ParseInterface(const std::wstring& text, wlan_double_interface& parsed) {
    parsed = {};
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'/', start);
        const std::wstring phy = text.substr(start, end - start);
        const std::size_t colon = phy.find(L':');
        if (parsed.phy_count == WLAN_DOUBLE_MAX_PHYS || colon == std::wstring::npos) return false;
        wlan_double_phy& into = parsed.phys[parsed.phy_count++];
        if (!ParseRadioState(phy.substr(0, colon), into.software) ||
            !ParseRadioState(phy.substr(colon + 1), into.hardware))
            return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

int SetInterfaces(wlan_double_state& state, int count, wchar_t** specs) {
    wlan_double_interface parsed[WLAN_DOUBLE_MAX_INTERFACES];
    if (count > WLAN_DOUBLE_MAX_INTERFACES) return Usage();
    for (int index = 0; index < count; ++index)
        if (!ParseInterface(specs[index], parsed[index])) return Usage();
    wlan_double_lock(&state);
    state.interface_count = static_cast<DWORD>(count);
    std::memcpy(state.interfaces, parsed, sizeof(parsed[0]) * count);
    wlan_double_unlock(&state);
    std::printf("WLAN interfaces set: %d.\n", count);
    return 0;
}

int Refuse(wlan_double_state& state, const wchar_t* call, const wchar_t* codeText,
           const wchar_t* countText) {
    DWORD code = 0;
    DWORD count = 1;
    if (!ParseDword(codeText, code) || code == 0 ||
        (countText != nullptr && !ParseDword(countText, count)))
        return Usage();
    for (int index = 0; index < WLAN_DOUBLE_CALLS; ++index) {
        if (std::wcscmp(call, kCallNames[index]) != 0) continue;
        wlan_double_lock(&state);
        state.refusals[index] = {code, count};
        wlan_double_unlock(&state);
        std::printf("%ls refused %lu times with %lu.\n", call, static_cast<unsigned long>(count),
                    static_cast<unsigned long>(code));
        return 0;
    }
    return Usage();
}

// A copy taken under the lock, so that what is printed is one moment's state.
wlan_double_state* Snapshot(wlan_double_state& state) {
    static wlan_double_state copy;
    wlan_double_lock(&state);
    copy = state;
    wlan_double_unlock(&state);
    return &copy;
}

// A request in progress holds a client handle and its lists for a moment: the state is read once
// nothing is held, or after five seconds, when whatever is still held is a leak.
int PrintState(wlan_double_state& shared) {
    const wlan_double_state* snapshot = Snapshot(shared);
    for (int waitedMs = 0;
         waitedMs < 5000 && (snapshot->clients_open != 0 || snapshot->allocations_live != 0);
         waitedMs += 20) {
        Sleep(20);
        snapshot = Snapshot(shared);
    }
    const wlan_double_state& state = *snapshot;
    for (DWORD index = 0; index < state.interface_count; ++index) {
        std::string line = "interface " + std::to_string(index) + ":";
        const wlan_double_interface& listed = state.interfaces[index];
        for (DWORD phy = 0; phy < listed.phy_count; ++phy)
            line = line + " " + RadioStateName(listed.phys[phy].software) + ":" +
                   RadioStateName(listed.phys[phy].hardware);
        std::printf("%s\n", line.c_str());
    }
    std::printf("clients open: %ld, allocations live: %ld, bad frees: %ld, sets: %ld\n",
                state.clients_open, state.allocations_live, state.bad_frees, state.set_count);
    return 0;
}

int PrintSets(wlan_double_state& shared, const wchar_t* firstText) {
    DWORD first = 0;
    if (firstText != nullptr && !ParseDword(firstText, first)) return Usage();
    const wlan_double_state& state = *Snapshot(shared);
    for (LONG index = static_cast<LONG>(first); index < state.set_count; ++index) {
        const wlan_double_set& set = state.sets[index % WLAN_DOUBLE_MAX_SETS];
        std::printf(
            "set %ld: interface %lu, size %lu, phy %lu, software %s, hardware %s, result "
            "%lu\n",
            index, static_cast<unsigned long>(set.interface_index),
            static_cast<unsigned long>(set.data_size), static_cast<unsigned long>(set.phy_index),
            RadioStateName(set.software), RadioStateName(set.hardware),
            static_cast<unsigned long>(set.result));
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    wlan_double_state* state = wlan_double_map_state();
    if (state == nullptr) {
        std::fprintf(stderr, "the state file failed w/err 0x%08lx\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    const std::wstring command = argv[1];
    if (command == L"reset" && argc == 2) {
        wlan_double_lock(state);
        std::memset(reinterpret_cast<char*>(state) + sizeof(state->lock), 0,
                    sizeof(*state) - sizeof(state->lock));
        wlan_double_unlock(state);
        std::printf("Native Wifi double reset.\n");
        return 0;
    }
    if (command == L"interfaces") return SetInterfaces(*state, argc - 2, argv + 2);
    if (command == L"refuse" && (argc == 4 || argc == 5))
        return Refuse(*state, argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (command == L"slow-set" && argc == 3) {
        DWORD delay = 0;
        if (!ParseDword(argv[2], delay)) return Usage();
        wlan_double_lock(state);
        state->set_delay_ms = delay;
        wlan_double_unlock(state);
        std::printf("The next WlanSetInterface waits %lu ms.\n", static_cast<unsigned long>(delay));
        return 0;
    }
    if (command == L"state" && argc == 2) return PrintState(*state);
    if (command == L"sets" && argc <= 3) return PrintSets(*state, argc == 3 ? argv[2] : nullptr);
    return Usage();
}
