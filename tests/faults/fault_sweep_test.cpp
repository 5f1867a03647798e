// The fault sweep: every platform call that two standard scenarios make is failed in turn, one
// call per run. Each failure must take its defined path (the table below), the service must still
// end at the instant of its stop, and every process must have released all it held at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/sim/allocations.h"
#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"
#include "radio/service_source.h"
#include "service/process_entry.h"

namespace {

constexpr const wchar_t* kImagePath = L"C:\\Program Files\\BrevRctl\\BrevRctlService.exe";
// Failed calls per operation: every call that the scenarios make (at most 30 of one operation),
// bounded so that the sweep stays within a minute under the sanitizers if the scenarios grow.
constexpr std::uint64_t kCallsPerOperationMax = 40;
// Virtual time after each step: longer than any bounded wait (ten WLAN attempts a second apart,
// fifteen not-ready pauses, the remover's polls), so every step ends settled.
constexpr std::uint64_t kSettleMs = 20000;
// Codes that Windows defines and the shared type definitions do not need.
constexpr DWORD kErrorInvalidData = 13;
constexpr DWORD kErrorLogFileFull = 1502;

std::string Hex8(DWORD code) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(code));
    return text;
}

// One observation as a line of text, its virtual time first, so that whole runs compare.
std::string Describe(const sim::Observation& observation) {
    std::string line = std::to_string(observation.timeMs) + " ";
    std::visit(
        [&line](const auto& body) {
            using T = std::decay_t<decltype(body)>;
            if constexpr (std::is_same_v<T, sim::EventRecord>) {
                line += "record " + std::to_string(body.type) + " " +
                        platform::Utf8FromWide(body.Message());
            } else if constexpr (std::is_same_v<T, sim::ConsoleOutput>) {
                line += "console " + body.process + " " + body.text;
            } else if constexpr (std::is_same_v<T, sim::StatusReport>) {
                line += "status " + std::to_string(body.status.dwCurrentState) + " " +
                        std::to_string(body.status.dwCheckPoint) + " " +
                        std::to_string(body.status.dwWin32ExitCode);
            } else if constexpr (std::is_same_v<T, sim::WlanSet>) {
                line += "set " + body.interfaceName + " " + std::to_string(body.software) + " " +
                        std::to_string(body.result);
            } else if constexpr (std::is_same_v<T, sim::ProcessStart>) {
                line += "start " + body.process;
            } else if constexpr (std::is_same_v<T, sim::ProcessExit>) {
                line += "exit " + body.process + " " + std::to_string(body.code);
            } else {
                line += "other";
            }
        },
        observation.body);
    return line;
}

// What a run left to be seen.
struct Outcome {
    std::vector<std::string> transcript;
    std::vector<std::string> records;
    std::vector<std::string> outputs;  // each process's standard output
    std::vector<sim::WlanSet> sets;
    std::size_t statusReports = 0;
    std::map<std::string, std::uint64_t> calls;
};

// One run of a scenario on a fresh machine, with at most one fault planned. Problems are
// collected rather than asserted, so that the sweep can count them.
class Run {
public:
    explicit Run(const std::optional<sim::FaultRule>& fault) {
        machine.InstallImage(kImagePath, ProcessEntry);
        machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
        // wlan0 starts on, wlan1 off with a second PHY, so that requests switch both ways.
        machine.Wlan().AddInterface("wlan0", {{dot11_radio_state_on, dot11_radio_state_on}});
        machine.Wlan().AddInterface("wlan1", {{dot11_radio_state_off, dot11_radio_state_on},
                                              {dot11_radio_state_on, dot11_radio_state_on}});
        machine.Devices().SetBiosStatus(2);
        if (fault) machine.Faults().Add(*fault);
    }

    // Runs the executable from a console with `argument` until it has ended.
    sim::SimProcess* Console(const std::wstring& argument) {
        sim::SimProcess* process = machine.Launch(kImagePath, {argument});
        Settle();
        return process;
    }
    void Switch(DWORD value) {
        machine.Devices().Complete(sim::ReadCompletion::Switch(value));
        Settle();
    }
    // A control that the SCM may refuse for the state it holds, as Windows does.
    void Control(DWORD control, DWORD eventType) {
        machine.Scm().SendControl(CServiceSource::kServiceName, control, eventType);
        RunUntilIdle();
    }
    void RunUntilIdle() {
        if (!m_stuck) Expect(machine.RunUntilIdle());
    }
    void Settle() {
        if (!m_stuck) Expect(machine.AdvanceBy(kSettleMs));
    }

    // A stop delivered whatever state the SCM believes the service in: the service must have
    // ended once the machine falls idle, without any virtual time passing.
    void StopService() {
        sim::SimProcess* service = machine.Scm().HostProcess(CServiceSource::kServiceName);
        if (service == nullptr || m_stuck) return;
        machine.Scm().SendControl(CServiceSource::kServiceName, SERVICE_CONTROL_STOP, 0, true);
        RunUntilIdle();
        if (!service->HasExited()) Problem("the service had not ended when the machine fell idle");
    }

    // The remover stops the running service through the SCM, then waits and deletes it. When
    // the stop was accepted, the service must have ended at the instant the remover started.
    void RemoveRunningService() {
        sim::SimProcess* service = machine.Scm().HostProcess(CServiceSource::kServiceName);
        const std::uint64_t removedAt = machine.NowMs();
        sim::SimProcess* remover = Console(L"-remove");
        if (service == nullptr || remover->Stdout().find("Stopping ") == std::string::npos) return;
        if (ExitTime(service->Name()) != removedAt)
            Problem("the service did not end at the instant of the stop");
    }

    // Every process ended with status 0 and released everything, but for `kept`: the one
    // resource a refused close leaves held.
    void CheckEnd(const std::string& kept) {
        if (m_stuck) return;
        for (auto& process : machine.Processes()) {
            if (!process->HasExited())
                Problem(process->Name() + " never ended");
            else if (process->ExitCode() != 0)
                Problem(process->Name() + " ended with " + std::to_string(process->ExitCode()));
        }
        sim::ResourceCounts expected;
        if (!kept.empty()) expected[kept] = 1;
        const sim::ResourceCounts held = machine.OpenResources();
        if (held != expected) {
            std::string text = "held at the end:";
            for (auto& [kind, count] : held) text += " " + kind + " " + std::to_string(count);
            Problem(text);
        }
    }

    Outcome Collect() {
        Outcome outcome;
        for (auto& observation : machine.Log().All())
            outcome.transcript.push_back(Describe(observation));
        for (auto& record : machine.Log().Of<sim::EventRecord>())
            outcome.records.push_back(platform::Utf8FromWide(record.Message()));
        for (auto& process : machine.Processes()) outcome.outputs.push_back(process->Stdout());
        outcome.sets = machine.Log().Of<sim::WlanSet>();
        outcome.statusReports = machine.Log().Of<sim::StatusReport>().size();
        outcome.calls = machine.Faults().CallCounts();
        return outcome;
    }

    void Problem(std::string text) { problems.push_back(std::move(text)); }

    sim::SimMachine machine;
    std::vector<std::string> problems;

private:
    void Expect(const sim::IdleResult& result) {
        if (result.idle) return;
        // Every further step would wait out the real-time limit again.
        m_stuck = true;
        std::string text = "the machine never fell idle; busy:";
        for (auto& thread : result.busyThreads) text += " " + thread;
        Problem(text);
    }
    std::optional<std::uint64_t> ExitTime(const std::string& process) {
        for (auto& observation : machine.Log().All())
            if (auto* exit = std::get_if<sim::ProcessExit>(&observation.body);
                exit != nullptr && exit->process == process)
                return observation.timeMs;
        return std::nullopt;
    }

    bool m_stuck = false;
};

constexpr const char* kStopThenRemove = "stop then remove";
constexpr const char* kRemoveWhileRunning = "remove while running";

// Install, BIOS reconciliation (status 2: radio off), switch traffic both ways, a read that
// finds the device not ready across a suspend and resume, a request under airplane mode, the
// SCM's stop, and the removal of the stopped service.
void StopThenRemove(Run& run) {
    run.Console(L"-install");
    run.Switch(1);
    run.Switch(0);
    run.machine.Devices().SetBiosStatus(3);
    run.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    run.RunUntilIdle();
    run.Control(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
    run.Control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    run.Settle();
    run.machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", sim::kAirplaneModeOn);
    run.Switch(0);
    run.machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
    run.StopService();
    run.Console(L"-remove");
}

// Install, one switch value, and the removal of the running service, which stops it first.
void RemoveWhileRunning(Run& run) {
    run.Console(L"-install");
    run.Switch(0);
    run.RemoveRunningService();
}

// Whole-run checks that a fragment cannot express.
enum class Whole {
    None,
    // The record of the failed call is missing and every other observation is as without it.
    RecordDropped,
    // The status report of the failed call is missing; nothing is written about it.
    ReportDropped,
    // Nothing visible: every observation is as without the fault.
    Unchanged,
};

// The failure path of one operation. In the texts, {code} stands for the code as eight
// hexadecimal digits, {decimal} for it in decimal, and {target} for OFF or ON, the state that the
// failed WlanSetInterface asked for.
struct Expectation {
    const char* operation;
    DWORD code;
    const char* scenario = nullptr;  // the row holds only there; none: everywhere
    std::uint64_t fromCall = 0;      // the row holds for this call (counted from 0) and later ones
    std::string record{};            // a record's message contains this
    std::string console{};           // a process's standard output contains this
    std::vector<std::string> absent{};  // no record and no output contains any of these
    Whole whole = Whole::None;
    std::string kept{};  // the resource that the refused close leaves held
};

const std::vector<Expectation>& Expectations() {
    static const std::vector<Expectation> table = {
        // Event log: a refused registration or report drops that record silently.
        {.operation = "RegisterEventSourceW",
         .code = ERROR_ACCESS_DENIED,
         .whole = Whole::RecordDropped},
        {.operation = "ReportEventW", .code = kErrorLogFileFull, .whole = Whole::RecordDropped},
        // The process's mitigations, first in every process: one error record, and the run goes
        // on (ProcessEntryTest pins which policy each record names).
        {.operation = "SetDefaultDllDirectories",
         .code = ERROR_INVALID_PARAMETER,
         .record = "SetDefaultDllDirectories failed w/err 0x{code}"},
        {.operation = "SetProcessMitigationPolicy",
         .code = ERROR_INVALID_PARAMETER,
         .record = "SetProcessMitigationPolicy(Process"},
        // The service frame.
        {.operation = "StartServiceCtrlDispatcherW",
         .code = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
         .console = "Service failed to run w/err 0x{code}\n"},
        {.operation = "RegisterServiceCtrlHandlerExW",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .record = "RegisterServiceCtrlHandlerEx failed w/err 0x{code}"},
        {.operation = "SetServiceStatus", .code = kErrorInvalidData, .whole = Whole::ReportDropped},
        // Run's own event (call 0), then OnStart's wake and stop events.
        {.operation = "CreateEventW",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .console = "Service failed to run w/err 0x{code}\n"},
        {.operation = "CreateEventW",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .fromCall = 1,
         .record = "Service Start failed w/err 0x{code}"},
        {.operation = "CreateThread",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .record = "Service failed to start."},
        // Waits, in the order the scenarios make them: the worker's wait for a request; the
        // not-ready pause, which sleeps instead; Run's wait for ServiceMain's end and OnStart's
        // wait for the worker, which are recorded and retried, after which the service must
        // still end and release everything.
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .record = "WorkerLoop failed w/err 0x{code}"},
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .scenario = kStopThenRemove,
         .fromCall = 3,
         .whole = Whole::Unchanged},
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .scenario = kStopThenRemove,
         .fromCall = 4,
         .record = "WorkerLoop failed w/err 0x{code}"},
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .scenario = kStopThenRemove,
         .fromCall = 6,
         .record = "WaitForSingleObject failed w/err 0x{code}"},
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .scenario = kStopThenRemove,
         .fromCall = 7,
         .record = "WaitForSingleObject failed w/err 0x{code}"},
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .scenario = kRemoveWhileRunning,
         .fromCall = 2,
         .record = "WaitForSingleObject failed w/err 0x{code}"},
        {.operation = "WaitForSingleObject",
         .code = ERROR_INVALID_HANDLE,
         .scenario = kRemoveWhileRunning,
         .fromCall = 3,
         .record = "WaitForSingleObject failed w/err 0x{code}"},
        // The device channel.
        {.operation = "SetupDiGetClassDevsW",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .record = "Cannot open device!",
         .console = "SetupDiGetClassDevs failed!\n"},
        {.operation = "SetupDiEnumDeviceInterfaces",
         .code = ERROR_NO_MORE_ITEMS,
         .record = "Cannot open device!",
         .console = "SetupDiEnumDeviceInterfaces failed.\n"},
        {.operation = "SetupDiGetDeviceInterfaceDetailW",
         .code = ERROR_INVALID_USER_BUFFER,
         .record = "Cannot open device!",
         .absent = {"SetupDi", "Failed to allocate memory."}},
        {.operation = "LocalAlloc",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .record = "Cannot open device!",
         .console = "Failed to allocate memory.\n"},
        {.operation = "CreateFileW",
         .code = ERROR_ACCESS_DENIED,
         .record = "Cannot open device!",
         .absent = {"SetupDi", "Failed to allocate memory."}},
        {.operation = "ReadFile",
         .code = ERROR_DEVICE_NOT_CONNECTED,
         .record = "Cannot read device!"},
        {.operation = "DeviceIoControl",
         .code = ERROR_GEN_FAILURE,
         .record = "ReadAndUpdateWlanState ignore update wlan state because can't read wifi "
                   "status from Bios"},
        // No read pending yet: the stop tries again until the read is cancelled.
        {.operation = "CancelIoEx", .code = ERROR_NOT_FOUND, .whole = Whole::Unchanged},
        // Native Wifi.
        {.operation = "WlanOpenHandle",
         .code = ERROR_SERVICE_NOT_ACTIVE,
         .record = "WlanOpenHandle failed w/err 0x{code}"},
        {.operation = "WlanEnumInterfaces",
         .code = ERROR_NOT_ENOUGH_MEMORY,
         .record = "WlanEnumInterfaces failed w/err 0x{code}"},
        {.operation = "WlanQueryInterface",
         .code = ERROR_NOT_FOUND,
         .record = "WlanQueryInterface failed w/err 0x{code}"},
        {.operation = "WlanSetInterface",
         .code = ERROR_ACCESS_DENIED,
         .record = "Switch state WLAN to {target} failed failed w/err 0x{code}"},
        // It cannot report a failure; the call is only counted.
        {.operation = "WlanFreeMemory", .code = ERROR_INVALID_PARAMETER, .whole = Whole::Unchanged},
        {.operation = "WlanCloseHandle",
         .code = ERROR_INVALID_HANDLE,
         .whole = Whole::Unchanged,
         .kept = "WLAN handles"},
        // The airplane-mode read: console trace only, and the request is applied.
        {.operation = "RegOpenKeyExW",
         .code = ERROR_FILE_NOT_FOUND,
         .console = "Error opening key.Key code :{decimal}"},
        {.operation = "RegQueryValueExW",
         .code = ERROR_FILE_NOT_FOUND,
         .console = "Error Reading to Registry.{decimal}\n"},
        {.operation = "RegCloseKey",
         .code = ERROR_INVALID_HANDLE,
         .console = "Error closing key.",
         .kept = "registry keys"},
        // The installer and the remover.
        {.operation = "GetModuleFileNameW",
         .code = ERROR_INSUFFICIENT_BUFFER,
         .console = "GetModuleFileName failed w/err 0x{code}\n"},
        // A descriptor of the path that cannot be read refuses the install.
        {.operation = "GetNamedSecurityInfoW",
         .code = ERROR_ACCESS_DENIED,
         .console = "GetNamedSecurityInfo failed w/err 0x{code}\n",
         .absent = {" is installed."}},
        {.operation = "GetTokenInformation",
         .code = ERROR_ACCESS_DENIED,
         .console = "GetTokenInformation failed w/err 0x{code}\n",
         .absent = {" is installed."}},
        {.operation = "GetFileAttributesW",
         .code = ERROR_ACCESS_DENIED,
         .console = "GetFileAttributes failed w/err 0x{code}\n",
         .absent = {" is installed."}},
        {.operation = "QueryDosDeviceW",
         .code = ERROR_FILE_NOT_FOUND,
         .console = "QueryDosDevice failed w/err 0x{code}\n",
         .absent = {" is installed."}},
        {.operation = "OpenSCManagerW",
         .code = ERROR_ACCESS_DENIED,
         .console = "OpenSCManager failed w/err 0x{code}\n"},
        {.operation = "CreateServiceW",
         .code = ERROR_SERVICE_EXISTS,
         .console = "CreateService failed w/err 0x{code}\n"},
        {.operation = "StartServiceW",
         .code = ERROR_SERVICE_DISABLED,
         .console = "StartSerive failed w/err 0x{code}\n",
         .absent = {" is installed."}},
        {.operation = "OpenServiceW",
         .code = ERROR_ACCESS_DENIED,
         .console = "OpenService failed w/err 0x{code}\n"},
        // A refused stop request is not reported; removal goes on.
        {.operation = "ControlService",
         .code = ERROR_SERVICE_REQUEST_TIMEOUT,
         .console = "BrevRctlService is removed.\n",
         .absent = {"Stopping "}},
        // The state judged is then the one the stop request returned: a service that stops
        // reports SERVICE_STOPPED only after its handler has returned from the control.
        {.operation = "QueryServiceStatus", .code = ERROR_ACCESS_DENIED, .whole = Whole::Unchanged},
        {.operation = "QueryServiceStatus",
         .code = ERROR_ACCESS_DENIED,
         .scenario = kRemoveWhileRunning,
         .console = "\nBrevRctlService failed to stop.\n",
         .absent = {" is stopped."}},
        {.operation = "DeleteService",
         .code = ERROR_ACCESS_DENIED,
         .console = "DeleteService failed w/err 0x{code}\n"},
        {.operation = "CloseServiceHandle",
         .code = ERROR_INVALID_HANDLE,
         .whole = Whole::Unchanged,
         .kept = "SCM handles"},
    };
    return table;
}

const Expectation* ExpectationFor(const std::string& scenario, const std::string& operation,
                                  std::uint64_t call) {
    const Expectation* found = nullptr;
    for (auto& row : Expectations())
        if (operation == row.operation && (row.scenario == nullptr || scenario == row.scenario) &&
            row.fromCall <= call)
            found = &row;
    return found;
}

std::string Fill(std::string text, const Expectation& row, const std::string& target) {
    auto replace = [&text](const std::string& key, const std::string& value) {
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at))
            text.replace(at, key.size(), value);
    };
    replace("{code}", Hex8(row.code));
    replace("{decimal}", std::to_string(row.code));
    replace("{target}", target);
    return text;
}

bool AnyContains(const std::vector<std::string>& texts, const std::string& fragment) {
    for (auto& text : texts)
        if (text.find(fragment) != std::string::npos) return true;
    return false;
}

// The transcript of `log` without its `index`-th observation of type T.
template <typename T>
std::vector<std::string> Without(const sim::Observations& log, std::uint64_t index) {
    std::vector<std::string> lines;
    std::uint64_t seen = 0;
    for (auto& observation : log.All()) {
        if (std::holds_alternative<T>(observation.body) && seen++ == index) continue;
        lines.push_back(Describe(observation));
    }
    return lines;
}

void CheckPath(const Expectation& row, std::uint64_t call, Run& cleanRun, const Outcome& clean,
               Run& run) {
    const Outcome faulted = run.Collect();
    const std::string target =
        call < clean.sets.size() && clean.sets[call].software == dot11_radio_state_off ? "OFF"
                                                                                       : "ON";
    if (!row.record.empty() && !AnyContains(faulted.records, Fill(row.record, row, target)))
        run.Problem("no record \"" + Fill(row.record, row, target) + "\"");
    if (!row.console.empty() && !AnyContains(faulted.outputs, Fill(row.console, row, target)))
        run.Problem("no output \"" + Fill(row.console, row, target) + "\"");
    for (auto& fragment : row.absent)
        if (AnyContains(faulted.records, fragment) || AnyContains(faulted.outputs, fragment))
            run.Problem("unexpected \"" + fragment + "\"");
    switch (row.whole) {
        case Whole::None:
            break;
        case Whole::RecordDropped:
            if (faulted.transcript != Without<sim::EventRecord>(cleanRun.machine.Log(), call))
                run.Problem("more changed than the one record");
            break;
        case Whole::ReportDropped:
            if (faulted.statusReports + 1 != faulted.calls.at(row.operation))
                run.Problem("not exactly the one status report missing");
            if (AnyContains(faulted.records, "SetServiceStatus"))
                run.Problem("the ignored report failure was recorded");
            break;
        case Whole::Unchanged:
            if (faulted.transcript != clean.transcript)
                run.Problem("the run differs from the run without the fault");
            break;
    }
}

struct Scenario {
    const char* name;
    void (*play)(Run&);
};

void PlayAndStop(const Scenario& scenario, Run& run) {
    scenario.play(run);
    run.StopService();
}

// Runs `scenario` clean, then once for each call of every operation it made (up to the bound),
// with that one call failing; prints the count of runs and of failures found.
void Sweep(const Scenario& scenario) {
    Run cleanRun(std::nullopt);
    PlayAndStop(scenario, cleanRun);
    cleanRun.CheckEnd("");
    ASSERT_TRUE(cleanRun.problems.empty()) << scenario.name << ": " << cleanRun.problems.front();
    const Outcome clean = cleanRun.Collect();

    std::string calls;
    for (auto& [operation, count] : clean.calls)
        calls += " " + operation + "x" + std::to_string(count);
    std::printf("%s: %zu operations:%s\n", scenario.name, clean.calls.size(), calls.c_str());

    int runs = 0;
    int failures = 0;
    for (auto& [operation, count] : clean.calls) {
        if (operation == sim::kAllocationOperation) continue;  // AllocationSweep's
        const Expectation* first = ExpectationFor(scenario.name, operation, 0);
        if (first == nullptr) {
            ADD_FAILURE() << scenario.name << ": no expected failure path for " << operation;
            ++failures;
            continue;
        }
        for (std::uint64_t call = 0; call < count && call < kCallsPerOperationMax; ++call) {
            const Expectation& row = *ExpectationFor(scenario.name, operation, call);
            Run run(sim::FaultRule{operation, row.code, static_cast<std::uint32_t>(call), 1});
            PlayAndStop(scenario, run);
            ++runs;
            if (run.machine.Faults().CallCount(operation) <= call)
                run.Problem("the call to fail was never made");
            CheckPath(row, call, cleanRun, clean, run);
            run.CheckEnd(row.kept);
            const std::string what = std::string(scenario.name) + ": " + operation + " call " +
                                     std::to_string(call) + " failing with 0x" + Hex8(row.code);
            std::string problems;
            for (auto& problem : run.problems) problems += "\n  " + problem;
            if (run.problems.empty()) continue;
            ++failures;
            ADD_FAILURE() << what << ":" << problems;
        }
    }
    std::printf("%s: %d runs, %d failures found\n", scenario.name, runs, failures);
}

// The process the SCM started for the service, once it has been started.
const sim::SimProcess* ServiceProcess(const sim::SimMachine& machine) {
    for (auto& process : machine.Processes())
        if (!process->ScmService().empty()) return process.get();
    return nullptr;
}

// Runs `scenario` once for each allocation that the service's process makes in it, with that
// one allocation failing. Whichever thread it hits, the process must still end with exactly one
// SERVICE_STOPPED, having released everything, and say why in a record: the worker drops the
// request and goes on, the channel ends the service, and a process that could not even make its
// service object ends before the dispatcher.
void AllocationSweep(const Scenario& scenario) {
    Run cleanRun(std::nullopt);
    PlayAndStop(scenario, cleanRun);
    const sim::SimProcess* service = ServiceProcess(cleanRun.machine);
    ASSERT_NE(service, nullptr);
    const std::string serviceName = service->Name();
    const sim::FaultPlan& plan = cleanRun.machine.Faults();
    const std::uint64_t allocations = plan.CallCount(sim::kAllocationOperation, serviceName);
    std::string byThread;
    for (auto* thread : cleanRun.machine.Core().Threads())
        if (thread->process == service)
            byThread += " " + thread->name.substr(serviceName.size() + 1) + " " +
                        std::to_string(plan.CallCount(sim::kAllocationOperation, thread->name));
    std::printf("%s: %llu allocations of the service's process:%s\n", scenario.name,
                static_cast<unsigned long long>(allocations), byThread.c_str());
    ASSERT_GT(allocations, 0u);

    const std::string outOfMemory = "failed w/err 0x" + Hex8(ERROR_NOT_ENOUGH_MEMORY);
    int failures = 0;
    for (std::uint64_t allocation = 0; allocation < allocations; ++allocation) {
        sim::FaultRule rule{sim::kAllocationOperation, 0, static_cast<std::uint32_t>(allocation)};
        rule.caller = serviceName;
        Run run(rule);
        PlayAndStop(scenario, run);
        run.CheckEnd("");
        const Outcome faulted = run.Collect();
        if (run.machine.Faults().FailuresInjected() != 1)
            run.Problem("the allocation to fail was never made");
        std::size_t stopped = 0;
        for (auto& report : run.machine.Log().Of<sim::StatusReport>())
            if (report.status.dwCurrentState == SERVICE_STOPPED) ++stopped;
        const bool dispatched = run.machine.Faults().CallCount("StartServiceCtrlDispatcherW") > 0;
        if (dispatched && stopped != 1)
            run.Problem(std::to_string(stopped) + " SERVICE_STOPPED reports");
        if (dispatched && !AnyContains(faulted.records, outOfMemory))
            run.Problem("no record \"" + outOfMemory + "\"");
        if (run.problems.empty()) continue;
        ++failures;
        std::string problems;
        for (auto& problem : run.problems) problems += "\n  " + problem;
        ADD_FAILURE() << scenario.name << ": allocation " << allocation << " failing:" << problems;
    }
    std::printf("%s: %llu runs, %d failures found\n", scenario.name,
                static_cast<unsigned long long>(allocations), failures);
}

TEST(FaultSweep, StopThenRemove) {
    Sweep({kStopThenRemove, StopThenRemove});
}

TEST(FaultSweep, RemoveWhileRunning) {
    Sweep({kRemoveWhileRunning, RemoveWhileRunning});
}

TEST(FaultSweep, AllocationFailuresInStopThenRemove) {
    AllocationSweep({kStopThenRemove, StopThenRemove});
}

TEST(FaultSweep, AllocationFailuresInRemoveWhileRunning) {
    AllocationSweep({kRemoveWhileRunning, RemoveWhileRunning});
}

}  // namespace
