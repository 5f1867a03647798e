#include "chaos/chaos_run.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"
#include "radio/service_source.h"
#include "service/process_entry.h"

namespace chaos {

namespace {

constexpr const wchar_t* kImagePath = L"C:\\Program Files\\BrevRctl\\BrevRctlService.exe";
constexpr double kPreemptionMax = 0.5;
constexpr int kInterfacesAtStartMax = 3;
constexpr int kPhysPerInterfaceMax = 3;
constexpr double kFaultWeightMax = 12.0;
// Longer than any bounded wait of the service, so that a step of time can run each one out.
constexpr std::uint64_t kAdvanceMsMax = 20000;
constexpr std::uint32_t kFaultSkipMax = 3;
// Race mode: how long a stop may take, at the pace at which the stop's cancel tries again.
constexpr std::uint64_t kCancelRetryMs = 10;
constexpr std::uint64_t kRaceStopMsMax = 1000;

// A failure the service must take in its stride, with a code Windows gives for that call. Not
// drawn, as the fault sweep tries each of them on its own: the event-log calls (the invariants
// read the records), the closing calls (a refused close keeps its handle, which the leak check
// would blame on the service), the waits on events and threads, and SetServiceStatus (refused
// twice, the one SERVICE_STOPPED never reaches the SCM and the process stays, as on Windows).
struct FaultKind {
    const char* operation;
    DWORD code;
};
constexpr FaultKind kFaultKinds[] = {
    {"WlanOpenHandle", ERROR_SERVICE_NOT_ACTIVE},
    {"WlanEnumInterfaces", ERROR_NOT_ENOUGH_MEMORY},
    {"WlanQueryInterface", ERROR_NOT_FOUND},
    {"WlanSetInterface", ERROR_ACCESS_DENIED},
    {"RegOpenKeyExW", ERROR_FILE_NOT_FOUND},
    {"RegQueryValueExW", ERROR_FILE_NOT_FOUND},
    {"DeviceIoControl", ERROR_GEN_FAILURE},
    {"ReadFile", ERROR_NOT_READY},
    {"ReadFile", ERROR_DEVICE_NOT_CONNECTED},
    {"CancelIoEx", ERROR_NOT_FOUND},
    {"SetupDiEnumDeviceInterfaces", ERROR_NO_MORE_ITEMS},
    {"CreateFileW", ERROR_ACCESS_DENIED},
    {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY},
    {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
};

constexpr DWORD kSwitchValues[] = {0, 1, 2, 3, 4, 0xFFFFFFFF};
constexpr DWORD kBiosStatuses[] = {0, 1, 2, 3, 4, 7};

enum class Action {
    Switch,
    ShortRead,
    ShortReadFlood,
    NotReady,
    Suspend,
    Resume,
    Airplane,
    AddInterface,
    RemoveInterface,
    Fault,
    Bios,
    Advance,
    Stop,
    Shutdown,
    Start,
    StartAndStop,
    Count,
};

std::string Join(const std::vector<DWORD>& values) {
    std::string text;
    for (DWORD value : values) text += (text.empty() ? "" : " ") + std::to_string(value);
    return text.empty() ? "none" : text;
}

// The number that follows `key` in `message`, if `key` is in it.
std::optional<DWORD> NumberAfter(std::wstring_view message, std::wstring_view key) {
    const auto at = message.find(key);
    if (at == std::wstring_view::npos) return std::nullopt;
    return static_cast<DWORD>(std::wcstoul(message.data() + at + key.size(), nullptr, 10));
}

// An interface as the run created it: what the service may and may not change.
struct Tracked {
    int addedStep = 0;
    std::vector<DOT11_RADIO_STATE> software;  // each PHY's software state at creation
};

// The last request the worker took, and what explains a radio state other than its own.
struct LastRequest {
    DWORD request = 0;
    int step = 0;
    bool airplaneOn = false;      // the registry held airplane mode on during its step
    bool airplaneRecord = false;  // the worker wrote that airplane mode made it do nothing
    bool faulted = false;         // a call was made to fail during its step
};

class ChaosRun {
public:
    ChaosRun(const Settings& settings, bool trace, Totals& totals)
        : m_totals(totals), m_trace(trace), m_random(settings.seed * 0x9E3779B97F4A7C15u + 1) {
        m_machine.InstallImage(kImagePath, ProcessEntry);
        m_machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
        m_machine.Devices().SetBiosStatus(settings.biosStatus);
        m_faultWeight = settings.faultWeight;
        for (int i = 0; i < settings.interfaces; ++i) AddInterface();
        m_race = settings.race;
        if (settings.race)
            m_machine.Core().SetConcurrent(true);
        else
            m_machine.Core().SetPreemption(settings.seed, settings.preemption);
    }

    std::optional<Failure> Play(int steps) {
        for (m_step = 1; m_step <= steps && !m_failure; ++m_step) {
            const std::uint64_t failuresBefore = m_machine.Faults().FailuresInjected();
            // The first step starts the service; the others are drawn.
            const std::string done = Perform(m_step == 1 ? Action::Start : Draw());
            if (m_trace)
                std::printf("step %d, %llu ms: %s\n", m_step,
                            static_cast<unsigned long long>(m_machine.NowMs()), done.c_str());
            Scan(m_machine.Faults().FailuresInjected() != failuresBefore);
            if (!m_failure) Check();
            ++m_totals.steps;
        }
        if (!m_failure) {
            m_step = steps;
            if (Service() != nullptr) StopService(SERVICE_CONTROL_STOP);
            if (!m_failure) CheckNothingHeld();
        }
        m_totals.faults += m_machine.Faults().FailuresInjected();
        return m_failure;
    }

private:
    sim::SimProcess* Service() { return m_machine.Scm().HostProcess(CServiceSource::kServiceName); }

    Action Draw() {
        const bool running = Service() != nullptr;
        // While the service runs, mostly traffic; while it does not, mostly a new start.
        std::vector<double> weights(static_cast<std::size_t>(Action::Count), 0.0);
        auto weight = [&weights](Action action, double value) {
            weights[static_cast<std::size_t>(action)] = value;
        };
        weight(Action::Switch, running ? 30 : 3);
        weight(Action::ShortRead, running ? 1 : 0);
        weight(Action::ShortReadFlood, running ? 1 : 0);
        weight(Action::NotReady, running ? 6 : 1);
        weight(Action::Suspend, running ? 3 : 0);
        weight(Action::Resume, running ? 6 : 0);
        weight(Action::Airplane, running ? 8 : 2);
        weight(Action::AddInterface, running ? 3 : 1);
        weight(Action::RemoveInterface, running ? 3 : 1);
        weight(Action::Fault, running ? m_faultWeight : m_faultWeight / 2);
        weight(Action::Bios, running ? 3 : 1);
        weight(Action::Advance, running ? 8 : 1);
        weight(Action::Stop, running ? 3 : 0);
        weight(Action::Shutdown, running ? 2 : 0);
        weight(Action::Start, running ? 0 : 30);
        weight(Action::StartAndStop, running ? 0 : 8);
        std::discrete_distribution<int> pick(weights.begin(), weights.end());
        return static_cast<Action>(pick(m_random));
    }

    template <typename T>
    const T& Pick(const T* items, std::size_t count) {
        return items[std::uniform_int_distribution<std::size_t>(0, count - 1)(m_random)];
    }

    // Performs one step; returns what it did, for the trace.
    std::string Perform(Action action) {
        auto& devices = m_machine.Devices();
        switch (action) {
            case Action::Switch: {
                const DWORD value = Pick(kSwitchValues, std::size(kSwitchValues));
                devices.Complete(sim::ReadCompletion::Switch(value));
                RunUntilIdle();
                return "switch " + std::to_string(value);
            }
            case Action::ShortRead:
                devices.Complete(sim::ReadCompletion::Raw({0x01, 0x00}));
                RunUntilIdle();
                return "a read of two bytes";
            case Action::ShortReadFlood:
                // Toggled: while on, the driver completes every read at once without data, and
                // the other steps' completions still come first.
                m_shortReadFlood = !m_shortReadFlood;
                devices.SetShortReadFlood(m_shortReadFlood);
                RunUntilIdle();
                return m_shortReadFlood ? "reads complete at once without data"
                                        : "reads wait for a value again";
            case Action::NotReady:
                devices.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
                RunUntilIdle();
                return "a read that finds the device not ready";
            case Action::Suspend:
            case Action::Resume:
                // The SCM may refuse a power event for the state it believes the service in.
                m_machine.Scm().SendControl(
                    CServiceSource::kServiceName, SERVICE_CONTROL_POWEREVENT,
                    action == Action::Suspend ? PBT_APMSUSPEND : PBT_APMRESUMEAUTOMATIC);
                RunUntilIdle();
                return action == Action::Suspend ? "suspend" : "resume";
            case Action::Airplane: {
                std::string done = SetAirplaneValue();
                RunUntilIdle();
                return done;
            }
            case Action::AddInterface: {
                std::string done = AddInterface();
                RunUntilIdle();
                return done;
            }
            case Action::RemoveInterface: {
                std::string done = RemoveInterface();
                RunUntilIdle();
                return done;
            }
            case Action::Fault: {
                const FaultKind& kind = Pick(kFaultKinds, std::size(kFaultKinds));
                const auto skip =
                    std::uniform_int_distribution<std::uint32_t>(0, kFaultSkipMax)(m_random);
                m_machine.Faults().Add(sim::FaultRule{kind.operation, kind.code, skip, 1});
                return std::string("fault: ") + kind.operation + " fails with " +
                       std::to_string(kind.code) + " after " + std::to_string(skip) + " calls";
            }
            case Action::Bios: {
                if (std::bernoulli_distribution(0.2)(m_random)) {
                    devices.SetBiosFailure(ERROR_GEN_FAILURE);
                    return "BIOS status request fails from now on";
                }
                const DWORD status = Pick(kBiosStatuses, std::size(kBiosStatuses));
                devices.SetBiosStatus(status);
                return "BIOS status " + std::to_string(status);
            }
            case Action::Advance: {
                const auto ms =
                    std::uniform_int_distribution<std::uint64_t>(1, kAdvanceMsMax)(m_random);
                Expect(m_machine.AdvanceBy(ms));
                return "advance " + std::to_string(ms) + " ms";
            }
            case Action::Stop:
                StopService(SERVICE_CONTROL_STOP);
                return "stop";
            case Action::Shutdown:
                StopService(SERVICE_CONTROL_SHUTDOWN);
                return "shutdown";
            case Action::Start:
                m_machine.Scm().StartServiceProcess(CServiceSource::kServiceName, kImagePath);
                ++m_totals.starts;
                RunUntilIdle();
                return "start";
            case Action::StartAndStop:
                // The stop reaches the service at whatever instant of its start the random
                // schedule has it in.
                m_machine.Scm().StartServiceProcess(CServiceSource::kServiceName, kImagePath);
                ++m_totals.starts;
                StopService(SERVICE_CONTROL_STOP);
                return "start, and stop at once";
            case Action::Count:
                break;
        }
        return "nothing";
    }

    std::string SetAirplaneValue() {
        auto& registry = m_machine.Registry();
        switch (std::uniform_int_distribution<int>(0, 4)(m_random)) {
            case 0:
                registry.SetDword(sim::kSystemRadioStateKey, L"", sim::kAirplaneModeOn);
                m_airplaneOn = true;
                return "airplane value 1";
            case 1:
                registry.SetDword(sim::kSystemRadioStateKey, L"", 0);
                m_airplaneOn = false;
                return "airplane value 0";
            case 2:
                registry.SetDword(sim::kSystemRadioStateKey, L"", 2);
                m_airplaneOn = false;
                return "airplane value 2";
            case 3:
                // A one-byte value: its byte is the low-order byte, so 1 means on.
                registry.SetValue(sim::kSystemRadioStateKey, L"", REG_BINARY, {0x01});
                m_airplaneOn = true;
                return "airplane value: the one byte 1";
            default:
                registry.DeleteValue(sim::kSystemRadioStateKey, L"");
                m_airplaneOn = false;
                return "airplane value deleted";
        }
    }

    std::string AddInterface() {
        auto state = [this](double onShare, double offShare) {
            const double draw = std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
            return draw < onShare              ? dot11_radio_state_on
                   : draw < onShare + offShare ? dot11_radio_state_off
                                               : dot11_radio_state_unknown;
        };
        const int phys = std::uniform_int_distribution<int>(1, kPhysPerInterfaceMax)(m_random);
        std::vector<sim::SimPhy> created;
        Tracked tracked{m_step, {}};
        std::string states;
        for (int i = 0; i < phys; ++i) {
            created.push_back(sim::SimPhy{state(0.45, 0.45), state(0.8, 0.2)});
            tracked.software.push_back(created.back().software);
            states += std::string(" ") + sim::RadioStateName(created.back().software);
        }
        const std::string name = "wlan" + std::to_string(m_interfacesCreated++);
        m_machine.Wlan().AddInterface(name, created);
        m_tracked[name] = tracked;
        return "add " + name + ", software states" + states;
    }

    std::string RemoveInterface() {
        const auto& interfaces = m_machine.Wlan().Interfaces();
        if (interfaces.empty()) return "remove an interface: there is none";
        // Copied: the list changes.
        const std::string name = Pick(interfaces.data(), interfaces.size()).name;
        m_machine.Wlan().RemoveInterface(name);
        m_tracked.erase(name);
        return "remove " + name;
    }

    // A stop or shutdown, delivered whatever state the SCM believes the service in: once the
    // machine is idle, without any virtual time passing, the service must have ended.
    void StopService(DWORD control) {
        sim::SimProcess* service = Service();
        if (service == nullptr) return;
        m_machine.Scm().SendControl(CServiceSource::kServiceName, control, 0, true);
        RunUntilIdle();
        // With the threads at the same time, the stop's cancel may come before the read it is
        // to cancel has been issued, and then tries again at its own pace of virtual time.
        for (std::uint64_t waitedMs = 0;
             m_race && !m_failure && !service->HasExited() && waitedMs < kRaceStopMsMax;
             waitedMs += kCancelRetryMs)
            Expect(m_machine.AdvanceBy(kCancelRetryMs));
        ++m_totals.stops;
        if (!m_failure && !service->HasExited())
            Fail("stop", "the service still runs once the machine is idle after the " +
                             std::string(control == SERVICE_CONTROL_STOP ? "stop" : "shutdown"));
    }

    void RunUntilIdle() { Expect(m_machine.RunUntilIdle()); }

    void Expect(const sim::IdleResult& result) {
        if (result.idle || m_failure) return;
        std::string busy;
        for (auto& thread : result.busyThreads) busy += " " + thread;
        Fail("idle", "the machine never fell idle; busy:" + busy);
        m_failure->machineBusy = true;
    }

    void Fail(std::string invariant, std::string detail) {
        if (!m_failure) m_failure = Failure{m_step, std::move(invariant), std::move(detail)};
    }

    // Reads the observations made since the last step.
    void Scan(bool faultedThisStep) {
        const auto& all = m_machine.Log().All();
        for (; m_seen < all.size(); ++m_seen) {
            const auto& body = all[m_seen].body;
            if (m_trace) Trace(all[m_seen]);
            if (auto* violation = std::get_if<sim::Violation>(&body))
                Fail("windows rule", violation->what);
            if (auto* start = std::get_if<sim::ProcessStart>(&body); start && start->scm) {
                // A new service process: its queue starts empty.
                m_delivered.clear();
                m_applied.clear();
            }
            auto* record = std::get_if<sim::EventRecord>(&body);
            if (record == nullptr) continue;
            const std::wstring message = record->Message();
            if (message.starts_with(L"DoUpdateWifiState,")) {
                if (auto state = NumberAfter(message, L", wifiState: "))
                    m_delivered.push_back(*state);
            } else if (auto request = NumberAfter(message, L"ProcessHotkeyPressed, state: ")) {
                m_applied.push_back(*request);
                m_last = LastRequest{*request, m_step, m_airplaneOn, false, false};
                ++m_totals.requests;
            } else if (message == L"ProcessHotkeyPressed Airplane mode on, do nothing" && m_last) {
                m_last->airplaneRecord = true;
            }
        }
        if (m_last && m_last->step == m_step) m_last->faulted = faultedThisStep;
    }

    // One observation, as the trace shows it.
    static void Trace(const sim::Observation& observation) {
        std::string text;
        if (auto* record = std::get_if<sim::EventRecord>(&observation.body))
            text = "record: " + platform::Utf8FromWide(record->Message());
        else if (auto* report = std::get_if<sim::StatusReport>(&observation.body))
            text = "status: " + std::to_string(report->status.dwCurrentState);
        else if (auto* set = std::get_if<sim::WlanSet>(&observation.body))
            text = "set: " + set->interfaceName + " " + sim::RadioStateName(set->software) +
                   ", result " + std::to_string(set->result);
        else if (auto* start = std::get_if<sim::ProcessStart>(&observation.body))
            text = "process start: " + start->process;
        else if (auto* exit = std::get_if<sim::ProcessExit>(&observation.body))
            text = "process exit: " + exit->process;
        else if (auto* violation = std::get_if<sim::Violation>(&observation.body))
            text = "violation: " + violation->what;
        else
            return;
        std::printf("  %llu ms %s\n", static_cast<unsigned long long>(observation.timeMs),
                    text.c_str());
    }

    void Check() {
        CheckOrder();
        CheckRadioStates();
        if (Service() == nullptr) CheckNothingHeld();
    }

    // Requests are applied in the order the device loop delivered them; once the machine is
    // idle, a running service has applied every one. A stop may drop the last ones.
    void CheckOrder() {
        const bool prefix = m_applied.size() <= m_delivered.size() &&
                            std::equal(m_applied.begin(), m_applied.end(), m_delivered.begin());
        const bool complete = m_applied.size() == m_delivered.size();
        if (prefix && (complete || Service() == nullptr)) return;
        Fail("order", "delivered " + Join(m_delivered) + ", applied " + Join(m_applied));
    }

    // Every interface's first PHY is in the state the last applied request asked for, unless
    // airplane mode, a failed call or an interface added since explains otherwise; an unknown
    // state and the PHYs after the first are never touched.
    void CheckRadioStates() {
        if (m_last && !m_last->faulted && m_last->airplaneRecord != m_last->airplaneOn) {
            Fail("airplane mode", std::string("request ") + std::to_string(m_last->request) +
                                      (m_last->airplaneOn ? " applied although airplane mode is on"
                                                          : " ignored although airplane mode "
                                                            "is off"));
            return;
        }
        const bool explained = !m_last || m_last->faulted || m_last->airplaneRecord;
        const DOT11_RADIO_STATE wanted =
            m_last && m_last->request == 0 ? dot11_radio_state_off : dot11_radio_state_on;
        for (auto& wlan : m_machine.Wlan().Interfaces()) {
            const Tracked& tracked = m_tracked.at(wlan.name);
            for (std::size_t i = 1; i < wlan.phys.size(); ++i)
                if (wlan.phys[i].software != tracked.software[i])
                    return Fail("radio state", wlan.name + ": PHY " + std::to_string(i) +
                                                   " changed to " +
                                                   sim::RadioStateName(wlan.phys[i].software));
            const DOT11_RADIO_STATE first = wlan.phys[0].software;
            if (tracked.software[0] == dot11_radio_state_unknown) {
                if (first != dot11_radio_state_unknown)
                    return Fail("radio state", wlan.name + ": unknown state changed to " +
                                                   sim::RadioStateName(first));
                continue;
            }
            if (explained || tracked.addedStep > m_last->step || first == wanted) continue;
            return Fail("radio state", wlan.name + ": " + sim::RadioStateName(first) +
                                           " after request " + std::to_string(m_last->request) +
                                           " of step " + std::to_string(m_last->step));
        }
    }

    // With no service process, nothing may be held: handles, keys, allocations, event sources,
    // critical sections, threads.
    void CheckNothingHeld() {
        std::string held;
        for (auto& [kind, count] : m_machine.OpenResources())
            held += " " + kind + " " + std::to_string(count);
        if (m_machine.Wlan().BadFrees() > 0) held += " bad WLAN frees";
        if (m_machine.Devices().BadLocalFrees() > 0) held += " bad local frees";
        if (!held.empty()) Fail("leak", "held with no service running:" + held);
    }

    Totals& m_totals;
    bool m_trace;
    std::mt19937_64 m_random;
    sim::SimMachine m_machine;
    double m_faultWeight = 0.0;
    bool m_race = false;
    int m_step = 0;
    std::optional<Failure> m_failure;

    bool m_airplaneOn = false;
    bool m_shortReadFlood = false;
    int m_interfacesCreated = 0;
    std::map<std::string, Tracked> m_tracked;
    std::size_t m_seen = 0;
    std::vector<DWORD> m_delivered;  // wifiState of each DoUpdateWifiState record, this process
    std::vector<DWORD> m_applied;    // each ProcessHotkeyPressed request, this process
    std::optional<LastRequest> m_last;
};

}  // namespace

Settings Settings::FromSeed(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    Settings settings;
    settings.seed = seed;
    settings.preemption = std::uniform_real_distribution<double>(0.0, kPreemptionMax)(random);
    settings.interfaces = std::uniform_int_distribution<int>(0, kInterfacesAtStartMax)(random);
    settings.biosStatus = kBiosStatuses[std::uniform_int_distribution<std::size_t>(
        0, std::size(kBiosStatuses) - 1)(random)];
    settings.faultWeight = std::uniform_real_distribution<double>(0.0, kFaultWeightMax)(random);
    return settings;
}

std::string Settings::Describe() const {
    char text[160];
    char scheduling[32];
    if (race)
        std::snprintf(scheduling, sizeof scheduling, "race mode");
    else
        std::snprintf(scheduling, sizeof scheduling, "preemption %.2f", preemption);
    std::snprintf(
        text, sizeof text, "seed %llu: %s, interfaces %d, BIOS status %u, fault weight %.1f",
        static_cast<unsigned long long>(seed), scheduling, interfaces, biosStatus, faultWeight);
    return text;
}

std::optional<Failure> Play(const Settings& settings, int steps, bool trace, Totals& totals) {
    auto run = std::make_unique<ChaosRun>(settings, trace, totals);
    auto failure = run->Play(steps);
    // A thread that keeps running still uses the machine, which must then outlive it.
    if (failure && failure->machineBusy) static_cast<void>(run.release());
    return failure;
}

}  // namespace chaos
