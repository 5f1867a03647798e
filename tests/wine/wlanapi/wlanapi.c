/* A Native Wifi double for the real executable under Wine: a wlanapi.dll that the test prefix
 * loads in place of Wine's own (a DllOverrides entry), with the functions the service imports and
 * no others. It answers as Microsoft's Native Wifi documentation says (argument checks and their
 * codes; Wine's own API tests, which pass on Windows, add the codes for an unsupported client
 * version and a NULL handle), keeps its interfaces and the accounting of what its callers hold in
 * the state it shares with its tool (wlan_double_state.h), and can refuse any of its calls with a
 * given code. Test code only. */
#include <windows.h>
#include <wlanapi.h>

#include "wlan_double_state.h"

/* Native Wifi's current API version; a client asking for version 1 gets 1. */
#define NATIVE_WIFI_VERSION 2
/* Client handles and allocations a process may hold at once. */
#define MAX_CLIENTS 64
#define MAX_ALLOCATIONS 256
/* Client handles are small numbers above this, so that NULL and stray values are never one. */
#define CLIENT_HANDLE_BASE 0x5a000

static struct wlan_double_state* state;
static INIT_ONCE state_once = INIT_ONCE_STATIC_INIT;
/* Guards this process's tables below. */
static SRWLOCK process_lock = SRWLOCK_INIT;
static BOOL clients[MAX_CLIENTS];
static void* allocations[MAX_ALLOCATIONS];

static BOOL CALLBACK map_state(INIT_ONCE* once, void* parameter, void** context) {
    (void)once;
    (void)parameter;
    (void)context;
    state = wlan_double_map_state();
    return TRUE;
}

/* The shared state, locked; NULL when it cannot be mapped, and the caller answers as a Native
 * Wifi whose service does not run. */
static struct wlan_double_state* lock_state(void) {
    InitOnceExecuteOnce(&state_once, map_state, NULL, NULL);
    if (state != NULL) wlan_double_lock(state);
    return state;
}

/* Whether the call is to be refused, and with which code; counts the refusal. */
static DWORD refusal(enum wlan_double_call call) {
    struct wlan_double_refusal* rule = &state->refusals[call];
    if (rule->count == 0) return ERROR_SUCCESS;
    --rule->count;
    return rule->code;
}

static BOOL is_client(HANDLE handle) {
    const ULONG_PTR index = (ULONG_PTR)handle - CLIENT_HANDLE_BASE;
    AcquireSRWLockExclusive(&process_lock);
    const BOOL open = index < MAX_CLIENTS && clients[index];
    ReleaseSRWLockExclusive(&process_lock);
    return open;
}

/* The interface of that GUID, as an index; interface_count when there is none. */
static DWORD find_interface(const GUID* guid) {
    DWORD index = 0;
    while (index < state->interface_count) {
        const GUID listed = wlan_double_interface_guid(index);
        if (IsEqualGUID(&listed, guid)) break;
        ++index;
    }
    return index;
}

/* A zeroed block handed to the caller, who frees it with WlanFreeMemory; NULL when none is left. */
static void* allocate(SIZE_T bytes) {
    void* memory = NULL;
    AcquireSRWLockExclusive(&process_lock);
    for (int slot = 0; slot < MAX_ALLOCATIONS; ++slot) {
        if (allocations[slot] != NULL) continue;
        memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
        allocations[slot] = memory;
        break;
    }
    ReleaseSRWLockExclusive(&process_lock);
    if (memory != NULL) ++state->allocations_live;
    return memory;
}

DWORD WINAPI WlanOpenHandle(DWORD clientVersion, PVOID reserved, PDWORD negotiatedVersion,
                            PHANDLE clientHandle) {
    if (lock_state() == NULL) return ERROR_SERVICE_NOT_ACTIVE;
    DWORD result = refusal(WLAN_DOUBLE_OPEN_HANDLE);
    if (result != ERROR_SUCCESS) {
        /* Refused: the call does nothing else. */
    } else if (reserved != NULL || negotiatedVersion == NULL || clientHandle == NULL) {
        result = ERROR_INVALID_PARAMETER;
    } else if (clientVersion < 1 || clientVersion > NATIVE_WIFI_VERSION) {
        result = ERROR_NOT_SUPPORTED;
    } else {
        result = ERROR_REMOTE_SESSION_LIMIT_EXCEEDED;
        AcquireSRWLockExclusive(&process_lock);
        for (int index = 0; index < MAX_CLIENTS; ++index) {
            if (clients[index]) continue;
            clients[index] = TRUE;
            *clientHandle = (HANDLE)(ULONG_PTR)(CLIENT_HANDLE_BASE + index);
            *negotiatedVersion = clientVersion;
            result = ERROR_SUCCESS;
            break;
        }
        ReleaseSRWLockExclusive(&process_lock);
        if (result == ERROR_SUCCESS) ++state->clients_open;
    }
    wlan_double_unlock(state);
    return result;
}

DWORD WINAPI WlanCloseHandle(HANDLE clientHandle, PVOID reserved) {
    if (lock_state() == NULL) return ERROR_SERVICE_NOT_ACTIVE;
    DWORD result = refusal(WLAN_DOUBLE_CLOSE_HANDLE);
    if (result != ERROR_SUCCESS) {
        /* Refused: the call does nothing else. */
    } else if (clientHandle == NULL || reserved != NULL) {
        result = ERROR_INVALID_PARAMETER;
    } else if (!is_client(clientHandle)) {
        result = ERROR_INVALID_HANDLE;
    } else {
        AcquireSRWLockExclusive(&process_lock);
        clients[(ULONG_PTR)clientHandle - CLIENT_HANDLE_BASE] = FALSE;
        ReleaseSRWLockExclusive(&process_lock);
        --state->clients_open;
    }
    wlan_double_unlock(state);
    return result;
}

DWORD WINAPI WlanEnumInterfaces(HANDLE clientHandle, PVOID reserved,
                                PWLAN_INTERFACE_INFO_LIST* interfaceList) {
    if (lock_state() == NULL) return ERROR_SERVICE_NOT_ACTIVE;
    DWORD result = refusal(WLAN_DOUBLE_ENUM_INTERFACES);
    if (result != ERROR_SUCCESS) {
        /* Refused: the call does nothing else. */
    } else if (clientHandle == NULL || reserved != NULL || interfaceList == NULL) {
        result = ERROR_INVALID_PARAMETER;
    } else if (!is_client(clientHandle)) {
        result = ERROR_INVALID_HANDLE;
    } else {
        const DWORD count = state->interface_count;
        /* Sized for the entries only: an empty list has no room for even one. */
        PWLAN_INTERFACE_INFO_LIST list =
            allocate(FIELD_OFFSET(WLAN_INTERFACE_INFO_LIST, InterfaceInfo) +
                     count * sizeof(WLAN_INTERFACE_INFO));
        if (list == NULL) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            list->dwNumberOfItems = count;
            for (DWORD index = 0; index < count; ++index) {
                WLAN_INTERFACE_INFO* entry = &list->InterfaceInfo[index];
                entry->InterfaceGuid = wlan_double_interface_guid(index);
                static const WCHAR description[] = L"Test WLAN interface 0";
                CopyMemory(entry->strInterfaceDescription, description, sizeof(description));
                entry->strInterfaceDescription[ARRAYSIZE(description) - 2] += (WCHAR)index;
                entry->isState = wlan_interface_state_connected;
            }
            *interfaceList = list;
        }
    }
    wlan_double_unlock(state);
    return result;
}

DWORD WINAPI WlanQueryInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                WLAN_INTF_OPCODE opCode, PVOID reserved, PDWORD dataSize,
                                PVOID* data, PWLAN_OPCODE_VALUE_TYPE valueType) {
    if (lock_state() == NULL) return ERROR_SERVICE_NOT_ACTIVE;
    DWORD result = refusal(WLAN_DOUBLE_QUERY_INTERFACE);
    if (result != ERROR_SUCCESS) {
        /* Refused: the call does nothing else. */
    } else if (clientHandle == NULL || interfaceGuid == NULL || reserved != NULL ||
               dataSize == NULL || data == NULL) {
        result = ERROR_INVALID_PARAMETER;
    } else if (!is_client(clientHandle)) {
        result = ERROR_INVALID_HANDLE;
    } else if (opCode != wlan_intf_opcode_radio_state) {
        result = ERROR_NOT_SUPPORTED;
    } else {
        const DWORD index = find_interface(interfaceGuid);
        PWLAN_RADIO_STATE radio = NULL;
        if (index == state->interface_count) {
            result = ERROR_NOT_FOUND;
        } else if ((radio = allocate(sizeof(WLAN_RADIO_STATE))) == NULL) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            const struct wlan_double_interface* listed = &state->interfaces[index];
            radio->dwNumberOfPhys = listed->phy_count;
            for (DWORD phy = 0; phy < listed->phy_count; ++phy) {
                radio->PhyRadioState[phy].dwPhyIndex = phy;
                radio->PhyRadioState[phy].dot11SoftwareRadioState = listed->phys[phy].software;
                radio->PhyRadioState[phy].dot11HardwareRadioState = listed->phys[phy].hardware;
            }
            *dataSize = sizeof(WLAN_RADIO_STATE);
            *data = radio;
            if (valueType != NULL) *valueType = wlan_opcode_value_type_set_by_user;
        }
    }
    wlan_double_unlock(state);
    return result;
}

DWORD WINAPI WlanSetInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                              WLAN_INTF_OPCODE opCode, DWORD dataSize, const PVOID data,
                              PVOID reserved) {
    LARGE_INTEGER now;
    DWORD delay_ms;
    /* A slow set, as a driver that takes its time: the wait holds no lock. */
    if (lock_state() != NULL) {
        delay_ms = state->set_delay_ms;
        state->set_delay_ms = 0;
        wlan_double_unlock(state);
        if (delay_ms != 0) Sleep(delay_ms);
    }
    QueryPerformanceCounter(&now);
    if (lock_state() == NULL) return ERROR_SERVICE_NOT_ACTIVE;
    struct wlan_double_set* set = &state->sets[state->set_count % WLAN_DOUBLE_MAX_SETS];
    ZeroMemory(set, sizeof(*set));
    set->counter = now.QuadPart;
    set->data_size = dataSize;
    set->interface_index = WLAN_DOUBLE_MAX_INTERFACES;
    if (interfaceGuid != NULL && find_interface(interfaceGuid) < state->interface_count)
        set->interface_index = find_interface(interfaceGuid);
    WLAN_PHY_RADIO_STATE sent = {0};
    if (data != NULL && dataSize >= sizeof(sent)) CopyMemory(&sent, data, sizeof(sent));
    set->phy_index = sent.dwPhyIndex;
    set->software = sent.dot11SoftwareRadioState;
    set->hardware = sent.dot11HardwareRadioState;

    DWORD result = refusal(WLAN_DOUBLE_SET_INTERFACE);
    if (result != ERROR_SUCCESS) {
        /* Refused: the call does nothing else. */
    } else if (clientHandle == NULL || interfaceGuid == NULL || data == NULL || reserved != NULL) {
        result = ERROR_INVALID_PARAMETER;
    } else if (!is_client(clientHandle)) {
        result = ERROR_INVALID_HANDLE;
    } else if (opCode != wlan_intf_opcode_radio_state) {
        result = ERROR_NOT_SUPPORTED;
    } else if (dataSize != sizeof(WLAN_PHY_RADIO_STATE)) {
        result = ERROR_INVALID_PARAMETER;
    } else if (set->interface_index == WLAN_DOUBLE_MAX_INTERFACES) {
        result = ERROR_NOT_FOUND;
    } else if (sent.dwPhyIndex >= state->interfaces[set->interface_index].phy_count ||
               (sent.dot11SoftwareRadioState != dot11_radio_state_on &&
                sent.dot11SoftwareRadioState != dot11_radio_state_off)) {
        result = ERROR_INVALID_PARAMETER;
    } else {
        /* Only the software state can be set; it is accepted whatever the hardware state. */
        state->interfaces[set->interface_index].phys[sent.dwPhyIndex].software =
            sent.dot11SoftwareRadioState;
    }
    set->result = result;
    ++state->set_count;
    wlan_double_unlock(state);
    return result;
}

VOID WINAPI WlanFreeMemory(PVOID memory) {
    /* Freeing NULL does nothing, as on Windows. */
    if (memory == NULL || lock_state() == NULL) return;
    BOOL handedOut = FALSE;
    AcquireSRWLockExclusive(&process_lock);
    for (int slot = 0; slot < MAX_ALLOCATIONS; ++slot) {
        if (allocations[slot] != memory) continue;
        allocations[slot] = NULL;
        handedOut = TRUE;
        break;
    }
    ReleaseSRWLockExclusive(&process_lock);
    /* A block the double never handed out, or freed before, is counted and left alone. */
    if (handedOut) {
        HeapFree(GetProcessHeap(), 0, memory);
        --state->allocations_live;
    } else {
        ++state->bad_frees;
    }
    wlan_double_unlock(state);
}
