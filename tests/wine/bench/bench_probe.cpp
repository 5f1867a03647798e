// bench_probe: the Win32 side of the benchmark of BrevRctlService.exe under Wine
// (tests/wine/bench.sh). It reads the service process's footprint through the calls a Windows
// tool would make, feeds the test switch driver's values and collects the driver's times and,
// where the Native Wifi double stands in for Wine's, the time of each value's WlanSetInterface;
// runs a bare loop that makes one request's platform calls with no queue and no worker, and times
// stops. Test code only.
//
// Usage: bench_probe footprint
//        bench_probe threads
//        bench_probe feed COUNT BURST [UNIX_PID]
//        bench_probe bare COUNT
//        bench_probe stop read-pending|wlan-wait|not-ready-wait RUNS
// Prints its figures as "name value" lines on standard output and exits 0; prints the failed
// call with its error code on standard error and exits 1 otherwise. Every other way of its own to
// end leaves a word too: abort() on standard error, through its handler here; an unhandled C++
// exception through the runtime's terminate message; a crash through Wine's debugger. A run that
// fails with nothing on either stream was ended by something else than the probe.
#include "radio/switch_device.h"
// clang-format off
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <winioctl.h>
#include <wlanapi.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/wine/switch_driver/switch_interface.h"
#include "tests/wine/switch_driver/switch_test_ioctl.h"
#include "tests/wine/wlanapi/wlan_double_state.h"

namespace {

constexpr wchar_t kServiceName[] = L"BrevRctlService";
// The airplane-mode value the service reads for every request.
constexpr wchar_t kSystemRadioStateKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\RadioManagement\\SystemRadioState";
// Bound of every wait for the service: its start-up makes ten one-second readiness attempts.
constexpr DWORD kServiceWaitMs = 60000;
constexpr DWORD kPollMs = 10;
// A stop that takes longer than this counts as hung; the process is then ended.
constexpr DWORD kStopWaitMs = 30000;

struct Failure {
    const char* call;
    DWORD error;
};

[[noreturn]] void Fail(const char* call, DWORD error = GetLastError()) {
    throw Failure{call, error};
}

double Now100ns() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1e7 / static_cast<double>(frequency.QuadPart);
}

long long Counter() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

long long Frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// The value at `fraction` (0 to 1) of the sorted samples, nearest rank.
double Percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank =
        static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(rank, samples.size() - 1)];
}

void PrintDistribution(const char* name, const std::vector<double>& samples) {
    std::printf("%s_median_us %.1f\n", name, Percentile(samples, 0.5));
    std::printf("%s_p99_us %.1f\n", name, Percentile(samples, 0.99));
    std::printf("%s_max_us %.1f\n", name, Percentile(samples, 1.0));
}

unsigned long ParseCount(const wchar_t* text) {
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long value = std::wcstoul(text, &end, 10);
    if (*text == L'\0' || *end != L'\0' || errno != 0)
        Fail("the count argument", ERROR_BAD_ARGUMENTS);
    return value;
}

// --- the service, through the SCM

struct ScHandle {
    SC_HANDLE handle;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle() {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

SERVICE_STATUS_PROCESS QueryService(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed))
        Fail("QueryServiceStatusEx");
    return status;
}

DWORD ServiceProcessId() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) Fail("OpenSCManagerW");
    ScHandle service(OpenServiceW(manager.handle, kServiceName, SERVICE_QUERY_STATUS));
    if (service.handle == nullptr) Fail("OpenServiceW");
    const SERVICE_STATUS_PROCESS status = QueryService(service.handle);
    if (status.dwProcessId == 0) Fail("the service's process", ERROR_SERVICE_NOT_ACTIVE);
    return status.dwProcessId;
}

std::vector<DWORD> ThreadsOf(DWORD processId) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) Fail("CreateToolhelp32Snapshot");
    std::vector<DWORD> threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == processId) threads.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return threads;
}

// The system handle table as NtQuerySystemInformation(SystemExtendedHandleInformation) returns
// it, the source of handle lists in Windows's own tools; the SDK does not declare it.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
struct SystemHandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct SystemHandles {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntry entries[1];
};
using QuerySystemInformation = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The handles of `processId` in the system handle table.
unsigned long SystemTableHandles(DWORD processId) {
    const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) Fail("GetProcAddress(NtQuerySystemInformation)");
    std::vector<BYTE> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = query(kSystemExtendedHandleInformation, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
            continue;
        }
        if (status != 0) Fail("NtQuerySystemInformation", static_cast<DWORD>(status));
        break;
    }
    const auto* table = reinterpret_cast<const SystemHandles*>(buffer.data());
    unsigned long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].processId == processId) ++count;
    return count;
}

ULONGLONG FileTime100ns(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Handle count, private bytes, working set and thread count of the service's process. Its CPU
// time comes from `threads`: Wine's GetProcessTimes of another process gives its main thread's.
int PrintFootprint() {
    const DWORD processId = ServiceProcessId();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) Fail("OpenProcess");
    DWORD handles = 0;
    if (!GetProcessHandleCount(process, &handles)) Fail("GetProcessHandleCount");
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof(memory)))
        Fail("GetProcessMemoryInfo");
    CloseHandle(process);
    std::printf("pid %lu\n", static_cast<unsigned long>(processId));
    std::printf("handles %lu\n", static_cast<unsigned long>(handles));
    std::printf("system_table_handles %lu\n", SystemTableHandles(processId));
    std::printf("private_bytes %llu\n", static_cast<unsigned long long>(memory.PrivateUsage));
    std::printf("pagefile_bytes %llu\n", static_cast<unsigned long long>(memory.PagefileUsage));
    std::printf("working_set_bytes %llu\n", static_cast<unsigned long long>(memory.WorkingSetSize));
    std::printf("threads %zu\n", ThreadsOf(processId).size());
    return 0;
}

// Every thread of the service's process with its CPU time: "thread ID CPU_100NS".
int PrintThreads() {
    for (const DWORD threadId : ThreadsOf(ServiceProcessId())) {
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
        if (thread == nullptr) Fail("OpenThread");
        FILETIME created, exited, kernel, user;
        if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) Fail("GetThreadTimes");
        CloseHandle(thread);
        std::printf("thread %lu %llu\n", static_cast<unsigned long>(threadId),
                    FileTime100ns(kernel) + FileTime100ns(user));
    }
    return 0;
}

// --- the test switch driver

std::wstring FindInterfacePath() {
    std::wstring path = FindSwitchInterfacePath();
    if (path.empty()) Fail("the switch interface", ERROR_FILE_NOT_FOUND);
    return path;
}

// The driver's test requests go through a handle without read or write access, which never
// collides with the reader's share mode.
HANDLE OpenSwitchForRequests() {
    HANDLE device = CreateFileW(FindInterfacePath().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) Fail("CreateFileW");
    return device;
}

void Request(HANDLE device, DWORD code, const char* name, const void* in, DWORD inSize,
             void* out = nullptr, DWORD outSize = 0) {
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                         nullptr))
        Fail(name);
}

SWITCH_TEST_STATE DriverState(HANDLE device) {
    SWITCH_TEST_STATE state{};
    Request(device, IOCTL_SWITCH_TEST_GET_STATE, "IOCTL_SWITCH_TEST_GET_STATE", nullptr, 0, &state,
            sizeof(state));
    return state;
}

std::vector<SWITCH_TEST_TIME> TakeTimes(HANDLE device, long long& frequency) {
    constexpr DWORD kHeader = offsetof(SWITCH_TEST_TIMES, entries);
    std::vector<BYTE> buffer(kHeader + SWITCH_TEST_TIMES_MAX * sizeof(SWITCH_TEST_TIME));
    Request(device, IOCTL_SWITCH_TEST_TAKE_TIMES, "IOCTL_SWITCH_TEST_TAKE_TIMES", nullptr, 0,
            buffer.data(), static_cast<DWORD>(buffer.size()));
    const auto* times = reinterpret_cast<const SWITCH_TEST_TIMES*>(buffer.data());
    if (times->dropped != 0) Fail("the driver's times", ERROR_BUFFER_OVERFLOW);
    frequency = times->frequency;
    return {times->entries, times->entries + times->count};
}

// --- the service process as Linux sees it, through Wine's Z: drive

// CPU time, in ns, of every thread of the Unix process, from /proc/PID/task/*/schedstat.
unsigned long long UnixProcessCpuNs(unsigned long unixPid) {
    const std::wstring tasks = L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\task\\";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((tasks + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) Fail("FindFirstFileW /proc/PID/task");
    unsigned long long total = 0;
    do {
        if (found.cFileName[0] == L'.') continue;
        const std::wstring path = tasks + found.cFileName + L"\\schedstat";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        // A thread that ended between the listing and the open has nothing more to add.
        if (file == INVALID_HANDLE_VALUE) continue;
        char text[128] = {};
        DWORD bytes = 0;
        if (ReadFile(file, text, sizeof(text) - 1, &bytes, nullptr))
            total += std::strtoull(text, nullptr, 10);
        CloseHandle(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return total;
}

// Waits until the Unix process has used no CPU for a few milliseconds and returns the counter
// reading at which its CPU time was last seen to grow: the end of its work, to about a
// millisecond.
long long WaitUntilIdle(unsigned long unixPid) {
    constexpr int kQuietPolls = 2;
    unsigned long long last = UnixProcessCpuNs(unixPid);
    long long lastChange = Counter();
    for (int quiet = 0; quiet < kQuietPolls;) {
        Sleep(1);
        const unsigned long long now = UnixProcessCpuNs(unixPid);
        if (now != last) {
            last = now;
            lastChange = Counter();
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return lastChange;
}

// --- the Native Wifi double

// The double's state when the prefix has it (tests/wine/wlanapi), else null: Wine's own
// Native Wifi lists no interface, so no set is made and none is timed.
wlan_double_state* WlanDouble() {
    if (GetFileAttributesW(WLAN_DOUBLE_STATE_PATH) == INVALID_FILE_ATTRIBUTES) return nullptr;
    static wlan_double_state* const state = wlan_double_map_state();
    return state;
}

LONG WlanSetCount(wlan_double_state& state) {
    wlan_double_lock(&state);
    const LONG count = state.set_count;
    wlan_double_unlock(&state);
    return count;
}

// The counter times of the sets from `first` on, once `count` of them have been made (the
// worker may still be at them when the reader is back in its read).
std::vector<long long> WlanSetTimes(wlan_double_state& state, LONG first, unsigned long count) {
    for (DWORD waited = 0; WlanSetCount(state) - first < static_cast<LONG>(count);
         waited += kPollMs) {
        if (waited >= kServiceWaitMs) Fail("the double's sets for a burst", ERROR_TIMEOUT);
        Sleep(kPollMs);
    }
    std::vector<long long> times;
    wlan_double_lock(&state);
    for (unsigned long i = 0; i < count; ++i) {
        const wlan_double_set& set = state.sets[(first + i) % WLAN_DOUBLE_MAX_SETS];
        if (set.result == ERROR_SUCCESS) times.push_back(set.counter);
    }
    wlan_double_unlock(&state);
    if (times.size() != count) Fail("the double's sets", ERROR_INVALID_DATA);
    return times;
}

// Feeds COUNT switch values in bursts of BURST, each burst once the reader has a read pending,
// and prints the driver's times: per value, from the read's completion to the reader's next
// read; per burst, from the first completion to the last next read (the reader's own span) and,
// with the reader's Unix process id, to the end of its CPU use (the whole pipeline).
int Feed(unsigned long count, unsigned long burst, unsigned long unixPid) {
    if (count == 0 || burst == 0 || burst > SWITCH_TEST_QUEUE_MAX)
        Fail("the count and burst", ERROR_BAD_ARGUMENTS);
    HANDLE device = OpenSwitchForRequests();
    long long frequency = 0;
    // Times noted before this run belong to no value of it.
    TakeTimes(device, frequency);
    if (frequency != Frequency()) Fail("the driver's counter frequency", ERROR_INVALID_DATA);
    const double usPerTick = 1e6 / static_cast<double>(frequency);

    std::vector<double> latencies;
    // With the double and one interface, every value makes one set: each is timed from its
    // read's completion.
    wlan_double_state* wlan = WlanDouble();
    std::vector<double> setLatencies;
    double readerSpanUs = 0;
    double pipelineSpanUs = 0;
    std::vector<ULONG> values;
    for (unsigned long sent = 0; sent < count;) {
        const unsigned long n = std::min(burst, count - sent);
        values.clear();
        // Off and on in turn, so that every value asks for a change.
        for (unsigned long i = 0; i < n; ++i) values.push_back((sent + i) % 2);
        Request(device, IOCTL_SWITCH_TEST_WAIT_READ, "IOCTL_SWITCH_TEST_WAIT_READ", nullptr, 0);
        const LONG firstSet = wlan != nullptr ? WlanSetCount(*wlan) : 0;
        Request(device, IOCTL_SWITCH_TEST_QUEUE_VALUES, "IOCTL_SWITCH_TEST_QUEUE_VALUES",
                values.data(), static_cast<DWORD>(n * sizeof(ULONG)));
        Request(device, IOCTL_SWITCH_TEST_WAIT_READ, "IOCTL_SWITCH_TEST_WAIT_READ", nullptr, 0);
        const long long idleAt = unixPid != 0 ? WaitUntilIdle(unixPid) : 0;
        const std::vector<SWITCH_TEST_TIME> times = TakeTimes(device, frequency);
        if (times.size() != n) Fail("the driver's times for a burst", ERROR_INVALID_DATA);
        for (const SWITCH_TEST_TIME& time : times)
            latencies.push_back(static_cast<double>(time.nextReadAt - time.completedAt) *
                                usPerTick);
        if (wlan != nullptr) {
            const std::vector<long long> sets = WlanSetTimes(*wlan, firstSet, n);
            for (unsigned long i = 0; i < n; ++i)
                setLatencies.push_back(static_cast<double>(sets[i] - times[i].completedAt) *
                                       usPerTick);
        }
        const long long first = times.front().completedAt;
        const long long readerEnd = times.back().nextReadAt;
        // Both counters are the one performance counter; an end before the reader's last read
        // would mean they are not.
        if (unixPid != 0 && idleAt < readerEnd) Fail("the counters' agreement", ERROR_INVALID_DATA);
        readerSpanUs += static_cast<double>(readerEnd - first) * usPerTick;
        pipelineSpanUs += static_cast<double>(std::max(readerEnd, idleAt) - first) * usPerTick;
        sent += n;
    }
    CloseHandle(device);

    std::printf("values %lu\n", count);
    std::printf("burst %lu\n", burst);
    PrintDistribution("read_to_next_read", latencies);
    if (wlan != nullptr) PrintDistribution("read_to_set", setLatencies);
    std::printf("reader_us_per_value %.2f\n", readerSpanUs / static_cast<double>(count));
    // A single value's end is known to a millisecond only, which says nothing of its time.
    if (unixPid != 0 && burst > 1)
        std::printf("pipeline_us_per_value %.2f\n", pipelineSpanUs / static_cast<double>(count));
    return 0;
}

// --- the bare loop

// One event-log record as the service writes it: its own event source, two strings, released.
void Record(const std::wstring& message) {
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (source == nullptr) return;
    LPCWSTR strings[2] = {kServiceName, message.c_str()};
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}

void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The airplane-mode read with its five console lines, as the service makes it.
DWORD ReadAirplaneMode() {
    HKEY key = nullptr;
    const LSTATUS opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSystemRadioStateKey, 0, KEY_QUERY_VALUE, &key);
    Print(opened == ERROR_SUCCESS ? "Success opening key." : "Error opening key.");
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS queried =
        RegQueryValueExW(key, L"", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    char line[64];
    std::snprintf(line, sizeof(line), "\nget data: %d\n", static_cast<int>(value));
    Print(line);
    Print(queried == ERROR_SUCCESS ? "Success Reading to Registry." : "Error Reading to Registry.");
    std::snprintf(line, sizeof(line), "%ld\n", static_cast<long>(queried));
    Print(line);
    Print(RegCloseKey(key) == ERROR_SUCCESS ? "Success closing key." : "Error closing key.");
    return value;
}

// Reads COUNT values and makes, for each, the platform calls of one request on this one thread:
// the read, the device loop's record, the worker's record, the client handle, the interface
// list, the airplane-mode read, each interface's query and set with its record, and the releases.
// Then reads once more and ends: the driver notes the last value's end at that read.
int Bare(unsigned long count) {
    HANDLE device = CreateFileW(FindInterfacePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) Fail("CreateFileW");
    for (unsigned long i = 0; i <= count; ++i) {
        DWORD value = 0;
        DWORD bytesRead = 0;
        if (!ReadFile(device, &value, sizeof(value), &bytesRead, nullptr)) Fail("ReadFile");
        if (i == count) break;
        const DWORD state = (value == 0 || value == 2) ? 0 : 1;
        Record(L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: " + std::to_wstring(value) +
               L", wifiState: " + std::to_wstring(state));
        Record(L"ProcessHotkeyPressed, state: " + std::to_wstring(state));
        DWORD negotiated = 0;
        HANDLE client = nullptr;
        if (WlanOpenHandle(2, nullptr, &negotiated, &client) != ERROR_SUCCESS) continue;
        PWLAN_INTERFACE_INFO_LIST interfaces = nullptr;
        if (WlanEnumInterfaces(client, nullptr, &interfaces) == ERROR_SUCCESS) {
            if (ReadAirplaneMode() != 1) {
                for (DWORD k = 0; k < interfaces->dwNumberOfItems; ++k) {
                    const GUID& guid = interfaces->InterfaceInfo[k].InterfaceGuid;
                    DWORD size = sizeof(WLAN_RADIO_STATE);
                    PVOID data = nullptr;
                    WLAN_OPCODE_VALUE_TYPE type = wlan_opcode_value_type_invalid;
                    if (WlanQueryInterface(client, &guid, wlan_intf_opcode_radio_state, nullptr,
                                           &size, &data, &type) != ERROR_SUCCESS)
                        continue;
                    auto* radio = static_cast<PWLAN_RADIO_STATE>(data);
                    radio->PhyRadioState[0].dot11SoftwareRadioState =
                        state == 0 ? dot11_radio_state_off : dot11_radio_state_on;
                    if (WlanSetInterface(client, &guid, wlan_intf_opcode_radio_state,
                                         sizeof(WLAN_PHY_RADIO_STATE), &radio->PhyRadioState[0],
                                         nullptr) == ERROR_SUCCESS)
                        Record(state == 0 ? L"Wlan state is OFF" : L"Wlan state is ON");
                    WlanFreeMemory(data);
                }
            }
            WlanFreeMemory(interfaces);
        }
        WlanCloseHandle(client, nullptr);
    }
    CloseHandle(device);
    return 0;
}

// --- stops

enum class StopState { kReadPending, kWlanWait, kNotReadyWait };

// Waits until `done` holds, polling; false after the bound.
template <typename Condition>
bool PollUntil(Condition done) {
    for (DWORD waited = 0; waited < kServiceWaitMs; waited += kPollMs) {
        if (done()) return true;
        Sleep(kPollMs);
    }
    return false;
}

// Starts the service, brings it into `state`, sends the stop and returns the time from
// ControlService to the process's exit, in ms; negative when the stop hung: the SCM gave up on
// the control, or the process did not exit within kStopWaitMs. A hung process is ended, so that
// the next run can start.
double TimeOneStop(SC_HANDLE service, HANDLE device, StopState state) {
    const SWITCH_TEST_STATE before = DriverState(device);
    if (!StartServiceW(service, 0, nullptr)) Fail("StartServiceW");
    SERVICE_STATUS_PROCESS status{};
    if (!PollUntil([&] {
            status = QueryService(service);
            return status.dwCurrentState == SERVICE_RUNNING ||
                   status.dwCurrentState == SERVICE_STOPPED;
        }) ||
        status.dwCurrentState != SERVICE_RUNNING)
        Fail("the service's start", ERROR_SERVICE_REQUEST_TIMEOUT);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, status.dwProcessId);
    if (process == nullptr) Fail("OpenProcess");

    // RUNNING is reported once the device is open, just before the readiness wait.
    if (state == StopState::kWlanWait) {
        Sleep(500);
        // The first read, after the BIOS status request, would mean the wait is over.
        if (DriverState(device).statusRequests != before.statusRequests)
            Fail("the WLAN readiness wait", ERROR_INVALID_STATE);
    } else {
        if (!PollUntil([&] { return DriverState(device).readsPending != 0; }))
            Fail("the service's first read", ERROR_TIMEOUT);
        if (state == StopState::kNotReadyWait) {
            Request(device, IOCTL_SWITCH_TEST_FAIL_READ, "IOCTL_SWITCH_TEST_FAIL_READ", nullptr, 0);
            Sleep(500);
        }
    }

    SERVICE_STATUS stopStatus{};
    const double start = Now100ns();
    // A control handler that never answers makes the SCM fail the control after its own
    // time-out; the stop then counts as hung, like a process that does not exit.
    const bool accepted = ControlService(service, SERVICE_CONTROL_STOP, &stopStatus) != FALSE;
    if (!accepted && GetLastError() != ERROR_SERVICE_REQUEST_TIMEOUT) Fail("ControlService");
    const DWORD waited = accepted ? WaitForSingleObject(process, kStopWaitMs) : WAIT_TIMEOUT;
    const double elapsedMs = (Now100ns() - start) / 1e4;
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, kStopWaitMs);
    }
    CloseHandle(process);
    // The SCM takes the service as stopped a little after its process has gone.
    if (!PollUntil([&] { return QueryService(service).dwCurrentState == SERVICE_STOPPED; }))
        Fail("the service's stopped state", ERROR_SERVICE_REQUEST_TIMEOUT);
    return waited == WAIT_OBJECT_0 ? elapsedMs : -1;
}

int Stops(const std::wstring& stateName, unsigned long runs) {
    StopState state;
    if (stateName == L"read-pending")
        state = StopState::kReadPending;
    else if (stateName == L"wlan-wait")
        state = StopState::kWlanWait;
    else if (stateName == L"not-ready-wait")
        state = StopState::kNotReadyWait;
    else
        Fail("the state argument", ERROR_BAD_ARGUMENTS);

    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.handle == nullptr) Fail("OpenSCManagerW");
    ScHandle service(OpenServiceW(manager.handle, kServiceName,
                                  SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (service.handle == nullptr) Fail("OpenServiceW");
    HANDLE device = OpenSwitchForRequests();
    // Every run starts the service itself; one that runs already is stopped first, untimed.
    if (QueryService(service.handle).dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS stopStatus{};
        if (!ControlService(service.handle, SERVICE_CONTROL_STOP, &stopStatus))
            Fail("ControlService");
        if (!PollUntil(
                [&] { return QueryService(service.handle).dwCurrentState == SERVICE_STOPPED; }))
            Fail("the service's stopped state", ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    std::vector<double> exited;
    unsigned long hung = 0;
    for (unsigned long run = 0; run < runs; ++run) {
        const double ms = TimeOneStop(service.handle, device, state);
        if (ms < 0)
            ++hung;
        else
            exited.push_back(ms);
        std::printf("stop_ms %.2f\n", ms);
        std::fflush(stdout);
    }
    CloseHandle(device);
    std::printf("runs %lu\n", runs);
    std::printf("hung %lu\n", hung);
    std::printf("stop_median_ms %.2f\n", Percentile(exited, 0.5));
    std::printf("stop_max_ms %.2f\n", Percentile(exited, 1.0));
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_probe footprint | threads | feed COUNT BURST [UNIX_PID]"
                 " | bare COUNT | stop read-pending|wlan-wait|not-ready-wait RUNS\n");
    return 2;
}

// The C runtime's abort() writes its message to the console, which a probe whose output goes to
// files has none of, and exits with 3: without this a failed assertion of the runtime's would end
// the probe without a word.
void SayAborted(int) {
    static const char message[] = "bench_probe: abort() called\n";
    std::fwrite(message, 1, sizeof(message) - 1, stderr);
    std::fflush(stderr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::signal(SIGABRT, SayAborted);
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    try {
        if (argc == 2 && command == L"footprint") return PrintFootprint();
        if (argc == 2 && command == L"threads") return PrintThreads();
        if ((argc == 4 || argc == 5) && command == L"feed")
            return Feed(ParseCount(argv[2]), ParseCount(argv[3]),
                        argc == 5 ? ParseCount(argv[4]) : 0);
        if (argc == 3 && command == L"bare") return Bare(ParseCount(argv[2]));
        if (argc == 4 && command == L"stop") return Stops(argv[2], ParseCount(argv[3]));
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s failed w/err 0x%08lx\n", failure.call,
                     static_cast<unsigned long>(failure.error));
        return 1;
    }
    return Usage();
}
