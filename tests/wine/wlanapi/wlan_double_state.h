/* The state the Native Wifi double (wlanapi.dll in this folder) shares with its test tool and the
 * conformance suite: WLAN interfaces with their PHYs' radio states, refusals to come, what its
 * callers still hold, and a log of every radio-state set with its performance-counter time. It
 * lives in a file of the Wine prefix mapped by every process that loads the double, so it
 * outlives them; a file of zeros is the state of a machine with no WLAN interface. Test code
 * only. */
#ifndef WLAN_DOUBLE_STATE_H
#define WLAN_DOUBLE_STATE_H

#include <windows.h>

#define WLAN_DOUBLE_STATE_PATH L"C:\\wlan-double.state"
#define WLAN_DOUBLE_MAX_INTERFACES 4
#define WLAN_DOUBLE_MAX_PHYS 4
/* A ring: set N is at N % WLAN_DOUBLE_MAX_SETS. */
#define WLAN_DOUBLE_MAX_SETS 65536

/* The calls that can be refused, in this order in `refusals`. */
enum wlan_double_call {
    WLAN_DOUBLE_OPEN_HANDLE,
    WLAN_DOUBLE_ENUM_INTERFACES,
    WLAN_DOUBLE_QUERY_INTERFACE,
    WLAN_DOUBLE_SET_INTERFACE,
    WLAN_DOUBLE_CLOSE_HANDLE,
    WLAN_DOUBLE_CALLS
};

struct wlan_double_phy {
    DWORD software; /* DOT11_RADIO_STATE */
    DWORD hardware;
};

struct wlan_double_interface {
    DWORD phy_count;
    struct wlan_double_phy phys[WLAN_DOUBLE_MAX_PHYS];
};

/* The next `count` calls answer `code` and do nothing else. */
struct wlan_double_refusal {
    DWORD code;
    DWORD count;
};

/* One WlanSetInterface call as it came, whatever it answered. */
struct wlan_double_set {
    LONGLONG counter;      /* QueryPerformanceCounter on entry */
    DWORD interface_index; /* WLAN_DOUBLE_MAX_INTERFACES for a GUID the double does not list */
    DWORD data_size;
    DWORD phy_index;
    DWORD software;
    DWORD hardware;
    DWORD result;
};

struct wlan_double_state {
    volatile LONG lock; /* a spin lock: held only while the state is read or changed */
    DWORD interface_count;
    struct wlan_double_interface interfaces[WLAN_DOUBLE_MAX_INTERFACES];
    struct wlan_double_refusal refusals[WLAN_DOUBLE_CALLS];
    LONG clients_open;     /* client handles opened and not closed, over every process */
    LONG allocations_live; /* lists and results handed out and not freed */
    LONG bad_frees;        /* frees of memory the double never handed out, or handed out once */
    LONG set_count;
    struct wlan_double_set sets[WLAN_DOUBLE_MAX_SETS];
    DWORD set_delay_ms; /* the next WlanSetInterface waits this long before its work, once */
};

/* Interface i's GUID: fixed, so that every process and every run agree on it. */
static inline GUID wlan_double_interface_guid(DWORD index) {
    GUID guid = {0x7e57f1f0u + index, 0x5e1f, 0x4d0b, {0x9a, 0x11, 0x0d, 0x0b, 0x1e, 0, 0, 0}};
    guid.Data4[7] = (BYTE)index;
    return guid;
}

static inline void wlan_double_lock(struct wlan_double_state* state) {
    while (InterlockedCompareExchange(&state->lock, 1, 0) != 0) Sleep(0);
}

static inline void wlan_double_unlock(struct wlan_double_state* state) {
    InterlockedExchange(&state->lock, 0);
}

/* Maps the state file, creating it full of zeros when missing; NULL on failure. The mapping
 * stays for the life of the process. */
static inline struct wlan_double_state* wlan_double_map_state(void) {
    HANDLE file = CreateFileW(WLAN_DOUBLE_STATE_PATH, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return NULL;
    /* A mapping larger than its file extends the file with zeros. */
    HANDLE mapping =
        CreateFileMappingW(file, NULL, PAGE_READWRITE, 0, sizeof(struct wlan_double_state), NULL);
    CloseHandle(file);
    if (mapping == NULL) return NULL;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    CloseHandle(mapping);
    return (struct wlan_double_state*)view;
}

#endif
