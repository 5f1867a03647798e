#include "bench/rigs.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/sim/devices_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "radio/service_source.h"
#include "service/process_entry.h"

namespace bench {

namespace {

constexpr const wchar_t* kImagePath = L"C:\\Program Files\\BrevRctl\\BrevRctlService.exe";

double CpuNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void AddInterfaces(sim::SimMachine& machine, int interfaces) {
    for (int i = 0; i < interfaces; ++i)
        machine.Wlan().AddInterface("wlan" + std::to_string(i), {sim::SimPhy{}});
}

}  // namespace

double ThreadCpuNs() {
    return CpuNs(CLOCK_THREAD_CPUTIME_ID);
}

double ProcessCpuNs() {
    return CpuNs(CLOCK_PROCESS_CPUTIME_ID);
}

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "brevrctl_bench: %s\n", what);
    std::exit(1);
}

ServiceRig::ServiceRig(int interfaces) {
    machine.InstallImage(kImagePath, ::ProcessEntry);
    machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
    AddInterfaces(machine, interfaces);
}

ServiceRig::~ServiceRig() {
    // A service left running would keep its threads waiting on the machine for ever.
    if (machine.Scm().HostProcess(CServiceSource::kServiceName) != nullptr && !Exited()) Stop();
}

void ServiceRig::Start() {
    Require(machine.Scm().StartServiceProcess(CServiceSource::kServiceName, kImagePath) == 0,
            "the SCM cannot start the service");
    RunUntilIdle();
}

void ServiceRig::Stop() {
    Require(machine.Scm().SendControl(CServiceSource::kServiceName, SERVICE_CONTROL_STOP) == 0,
            "the SCM refused the stop");
    RunUntilIdle();
    Require(Exited(), "the service did not end on a stop");
}

void ServiceRig::RunUntilIdle() {
    Require(machine.RunUntilIdle().idle, "the simulated machine did not become idle");
}

void ServiceRig::AdvanceBy(std::uint64_t ms) {
    Require(machine.AdvanceBy(ms).idle, "the simulated machine did not become idle");
}

bool ServiceRig::Exited() {
    const sim::SimProcess* host = machine.Scm().HostProcess(CServiceSource::kServiceName);
    return host == nullptr || host->HasExited();
}

void ServiceRig::Queue(std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i)
        machine.Devices().Complete(sim::ReadCompletion::Switch(NextValue()));
}

void ServiceRig::Deliver(std::uint64_t count, std::uint64_t burst) {
    while (count > 0) {
        const std::uint64_t now = std::min(count, burst);
        Queue(now);
        RunUntilIdle();
        count -= now;
    }
}

RequestLoopRig::RequestLoopRig(int interfaces)
    : m_interfaces(interfaces), m_process(machine.CreateProcess("loop")) {
    machine.Log().SetRetained(false);
    machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
    AddInterfaces(machine, interfaces);
    const std::wstring path = machine.Devices().SwitchDevicePaths().at(0);
    m_process.RunOnThread("setup", [&] {
        m_device = m_process.CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
        m_go = m_process.CreateEventW(nullptr, FALSE, FALSE, nullptr);
        m_service = std::make_unique<CServiceSource>(m_process);
    });
    Require(m_device != INVALID_HANDLE_VALUE && m_go != nullptr,
            "the loop process cannot open the switch device");
    m_process.Spawn("loop", [this] {
        for (;;) {
            m_process.WaitForSingleObject(m_go, INFINITE);
            if (!m_job) return;
            const auto realStart = std::chrono::steady_clock::now();
            const double cpuStart = ThreadCpuNs();
            m_job();
            m_cost.cpuNs = ThreadCpuNs() - cpuStart;
            m_cost.realNs = std::chrono::duration<double, std::nano>(
                                std::chrono::steady_clock::now() - realStart)
                                .count();
        }
    });
    Require(machine.RunUntilIdle().idle, "the loop thread does not wait");
}

RequestLoopRig::~RequestLoopRig() {
    m_job = nullptr;
    m_process.SetEvent(m_go);
    machine.RunUntilIdle();
    m_process.RunOnThread("teardown", [&] {
        m_service.reset();
        m_process.CloseHandle(m_go);
        m_process.CloseHandle(m_device);
    });
}

Cost RequestLoopRig::RunLoop(std::uint64_t count, std::function<void(DWORD request)> request) {
    const std::uint64_t first = m_requests;
    m_job = [count, first, request = std::move(request)] {
        for (std::uint64_t i = 0; i < count; ++i) request((first + i) % 2 == 0 ? 0 : 1);
    };
    m_requests += count;
    // The loop thread waits for its event; setting it does not block, so the driver may.
    m_process.SetEvent(m_go);
    Require(machine.RunUntilIdle().idle, "the loop thread did not finish");
    return m_cost;
}

Cost RequestLoopRig::Bare(std::uint64_t count) {
    // Values are queued first, so that no read waits: the bare path never changes thread.
    for (std::uint64_t i = 0; i < count; ++i)
        machine.Devices().Complete(sim::ReadCompletion::Switch((m_requests + i) % 2 == 0 ? 0 : 1));
    return RunLoop(count, [this](DWORD) {
        DWORD value = 0;
        DWORD bytesRead = 0;
        Require(m_process.ReadFile(m_device, &value, sizeof(value), &bytesRead, nullptr) &&
                    bytesRead == sizeof(value),
                "the bare read failed");
        BareRequest(value, true);
    });
}

Cost RequestLoopRig::BareWorker(std::uint64_t count) {
    return RunLoop(count, [this](DWORD request) { BareRequest(request, false); });
}

Cost RequestLoopRig::ProcessHotkeyPressed(std::uint64_t count) {
    return RunLoop(count, [this](DWORD request) { m_service->ProcessHotkeyPressed(request); });
}

void RequestLoopRig::Record(LPCWSTR message) {
    HANDLE source = m_process.RegisterEventSourceW(nullptr, CServiceSource::kServiceName);
    LPCWSTR strings[2] = {CServiceSource::kServiceName, message};
    m_process.ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings,
                           nullptr);
    m_process.DeregisterEventSource(source);
}

void RequestLoopRig::BareRequest(DWORD request, bool deviceSide) {
    const bool off = request == 0;
    if (deviceSide)
        Record(off ? L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 0, wifiState: 0"
                   : L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 1, wifiState: 1");
    Record(off ? L"ProcessHotkeyPressed, state: 0" : L"ProcessHotkeyPressed, state: 1");

    DWORD negotiated = 0;
    HANDLE client = nullptr;
    m_process.WlanOpenHandle(2, nullptr, &negotiated, &client);
    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    m_process.WlanEnumInterfaces(client, nullptr, &list);

    HKEY key = nullptr;
    m_process.RegOpenKeyExW(HKEY_LOCAL_MACHINE, sim::kSystemRadioStateKey, 0, KEY_QUERY_VALUE,
                            &key);
    m_process.PrintNarrow("Success opening key.");
    DWORD airplane = 0;
    DWORD size = sizeof(airplane);
    m_process.RegQueryValueExW(key, L"", nullptr, nullptr, reinterpret_cast<LPBYTE>(&airplane),
                               &size);
    m_process.PrintNarrow("\nget data: 0\n");
    m_process.PrintNarrow("Success Reading to Registry.");
    m_process.PrintNarrow("0\n");
    m_process.RegCloseKey(key);
    m_process.PrintNarrow("Success closing key.");

    for (DWORD i = 0; i < list->dwNumberOfItems; ++i) {
        const GUID& guid = list->InterfaceInfo[i].InterfaceGuid;
        DWORD dataSize = sizeof(WLAN_RADIO_STATE);
        PVOID data = nullptr;
        WLAN_OPCODE_VALUE_TYPE valueType = wlan_opcode_value_type_invalid;
        m_process.WlanQueryInterface(client, &guid, wlan_intf_opcode_radio_state, nullptr,
                                     &dataSize, &data, &valueType);
        WLAN_PHY_RADIO_STATE& phy = static_cast<PWLAN_RADIO_STATE>(data)->PhyRadioState[0];
        phy.dot11SoftwareRadioState = off ? dot11_radio_state_off : dot11_radio_state_on;
        Require(m_process.WlanSetInterface(client, &guid, wlan_intf_opcode_radio_state,
                                           sizeof(WLAN_PHY_RADIO_STATE), &phy,
                                           nullptr) == ERROR_SUCCESS,
                "the bare set failed");
        Record(off ? L"Wlan state is OFF" : L"Wlan state is ON");
        m_process.WlanFreeMemory(data);
    }
    m_process.WlanFreeMemory(list);
    m_process.WlanCloseHandle(client, nullptr);
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

MemorySnapshot TakeMemorySnapshot() {
    MemorySnapshot snapshot;
    std::ifstream statm("/proc/self/statm");
    std::uint64_t sizePages = 0;
    std::uint64_t residentPages = 0;
    statm >> sizePages >> residentPages;
    snapshot.residentKiB = residentPages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
    snapshot.heapBytes = mallinfo2().uordblks;
    return snapshot;
}

std::uint64_t OtherThreadsContextSwitches() {
    const std::string self = std::to_string(gettid());
    std::uint64_t switches = 0;
    for (auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) continue;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            const auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            const std::string field = line.substr(0, colon);
            if (field == "voluntary_ctxt_switches" || field == "nonvoluntary_ctxt_switches")
                switches += std::stoull(line.substr(colon + 1));
        }
    }
    return switches;
}

}  // namespace bench
