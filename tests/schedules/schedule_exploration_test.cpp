// The service's concurrency rules under explored schedules: a stop or a resume placed at every
// platform call of a window in turn (the not-ready wait, the readiness wait, a request, the BIOS
// status request, the reconciliation), each with every schedule within a bound of deviations from
// the machine's own order, and long runs under randomised priorities. After every run: no
// deadlock or broken rule of Windows, one SERVICE_STOPPED and nothing after it, every resume
// consumed once, no request taken after a stop, none lost when the device fails, nothing held.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"
#include "radio/service_source.h"
#include "service/process_entry.h"
#include "tests/schedules/exploration.h"

namespace {

using testing_support::ExploreSchedules;

constexpr const wchar_t* kImagePath = L"C:\\Program Files\\BrevRctl\\BrevRctlService.exe";
#if defined(BREVRCTL_SANITIZED)
constexpr int kDeviationBound = 0;
constexpr int kPriorityRuns = 30;
#else
constexpr int kDeviationBound = 1;
constexpr int kPriorityRuns = 150;
#endif
// Longer than the not-ready wait's fifteen pauses and the readiness wait's ten attempts.
constexpr std::uint64_t kSettleMs = 16000;

const std::wstring kStopRecord = L"BrevRbtnService in OnStop";
const std::wstring kAppliedPrefix = L"ProcessHotkeyPressed, state: ";
const std::wstring kDeliveredPrefix = L"DoUpdateWifiState,";
const std::wstring kResumeConsumed =
    L"Device not ready!, Wait resume event end, call update wlan state";

// One run of the service on the machine the exploration gives; every step says what went wrong
// instead of asserting, so that the exploration can print the schedule.
class ServiceRun {
public:
    explicit ServiceRun(sim::ScenarioRun& run) : m_run(run), m_machine(run.machine) {
        // Broken rules are read from the log, with the schedule that broke them.
        m_machine.Core().ExpectViolations(true);
        m_machine.InstallImage(kImagePath, ProcessEntry);
        m_machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
        m_machine.Wlan().AddInterface("wlan0", {{}});
    }

    sim::SimMachine& Machine() { return m_machine; }
    bool Failed() const { return !m_failure.empty(); }
    std::string Failure() const { return m_failure; }

    void Start() {
        if (m_machine.Scm().StartServiceProcess(CServiceSource::kServiceName, kImagePath) != 0)
            Fail("the service could not be started");
        RunUntilIdle();
    }
    void RunUntilIdle() {
        if (!Failed() && !m_machine.RunUntilIdle().idle) Fail("the machine never fell idle");
    }
    void AdvanceBy(std::uint64_t ms) {
        if (!Failed() && !m_machine.AdvanceBy(ms).idle) Fail("the machine never fell idle");
    }
    void Complete(sim::ReadCompletion completion) {
        m_failureQueued = completion.kind == sim::ReadCompletion::Kind::Error;
        m_machine.Devices().Complete(std::move(completion));
    }
    // A control as the SCM delivers it, whatever state it believes the service in.
    void Deliver(DWORD control, DWORD eventType = 0) {
        m_machine.Scm().SendControl(CServiceSource::kServiceName, control, eventType, true);
    }
    // Places `control` at the arrival point the exploration chose, counted from here.
    void DeliverAtArrival(DWORD control, DWORD eventType = 0) {
        m_machine.Core().InjectAtCall(m_run.arrivalCall, [this, control, eventType] {
            if (control == SERVICE_CONTROL_STOP) m_stoppedAtMs = m_machine.NowMs();
            Deliver(control, eventType);
        });
    }
    // The window of arrival points ends here: an event that has not arrived yet never will.
    void EndWindow() {
        if (m_machine.Core().CancelInjection()) m_run.arrivalMissed = true;
    }
    // Ends the window and stops the service unless a stop reached it already; it must end with
    // no time passing.
    void StopUnlessStopped() {
        EndWindow();
        if (Failed()) return;
        if (!m_stoppedAtMs && m_machine.Scm().HostProcess(CServiceSource::kServiceName)) {
            m_stoppedAtMs = m_machine.NowMs();
            Deliver(SERVICE_CONTROL_STOP);
        }
        RunUntilIdle();
    }

    // The rules every run keeps, once it is over; a broken one comes with what the run did.
    std::string CheckEnd() { return WithTheRun(BrokenRule()); }
    // `failure`, if there is one, followed by the run's records and reports.
    std::string WithTheRun(std::string failure) const {
        if (failure.empty()) return failure;
        failure += "\nthe run:";
        for (auto& observation : m_machine.Log().All()) {
            if (auto* record = std::get_if<sim::EventRecord>(&observation.body))
                failure += "\n  record: " + platform::Utf8FromWide(record->Message());
            else if (auto* report = std::get_if<sim::StatusReport>(&observation.body))
                failure += "\n  status: " + sim::ServiceStateName(report->status.dwCurrentState);
        }
        return failure;
    }

private:
    std::string BrokenRule() {
        if (Failed()) return m_failure;
        const auto& all = m_machine.Log().All();
        std::vector<std::wstring> messages;
        std::vector<DWORD> states;
        std::optional<std::uint64_t> exitedAtMs;
        for (auto& observation : all) {
            if (auto* violation = std::get_if<sim::Violation>(&observation.body))
                return "broken rule: " + violation->what;
            if (auto* record = std::get_if<sim::EventRecord>(&observation.body))
                messages.push_back(record->Message());
            if (auto* report = std::get_if<sim::StatusReport>(&observation.body))
                states.push_back(report->status.dwCurrentState);
            if (std::holds_alternative<sim::ProcessExit>(observation.body))
                exitedAtMs = observation.timeMs;
        }
        if (!exitedAtMs) return "the service process never ended";
        if (std::count(states.begin(), states.end(), SERVICE_STOPPED) != 1 ||
            states.back() != SERVICE_STOPPED)
            return "SERVICE_STOPPED is not reported once, last: " + Join(states);
        if (m_stoppedAtMs && *exitedAtMs != *m_stoppedAtMs)
            return "stopped at " + std::to_string(*m_stoppedAtMs) + " ms, ended at " +
                   std::to_string(*exitedAtMs) + " ms";
        if (auto held = m_machine.OpenResources(); !held.empty())
            return "held at the end: " + held.begin()->first + " " +
                   std::to_string(held.begin()->second);

        std::vector<std::wstring> delivered, applied;
        int appliedAfterStop = 0;
        bool stopped = false;
        bool loopEndedByStop = false;
        // A read failure the device loop took ended it, even after the stop's record: the stop
        // raises its flag after writing that record.
        const bool failureTaken = m_failureQueued && m_machine.Devices().QueuedCompletions() == 0;
        for (auto& message : messages) {
            if (message == kStopRecord) stopped = true;
            if (stopped && !failureTaken && message == L"Cannot read device!")
                loopEndedByStop = true;
            if (message.starts_with(kDeliveredPrefix))
                delivered.push_back(message.substr(message.rfind(L' ') + 1));
            if (message.starts_with(kAppliedPrefix)) {
                applied.push_back(message.substr(kAppliedPrefix.size()));
                if (loopEndedByStop) ++appliedAfterStop;
            }
        }
        // Once the stop has ended the device loop its flag is up, and the worker tests it before
        // every turn: only a request it had taken already may still be applied.
        if (appliedAfterStop > 1)
            return std::to_string(appliedAfterStop) + " requests taken after the stop";
        const bool prefix = applied.size() <= delivered.size() &&
                            std::equal(applied.begin(), applied.end(), delivered.begin());
        if (!prefix || (!stopped && applied.size() != delivered.size()))
            return "delivered " + Join(delivered) + ", applied " + Join(applied) +
                   (stopped ? "" : ", with no stop");
        m_resumesConsumed = std::count(messages.begin(), messages.end(), kResumeConsumed);
        return "";
    }

public:
    long ResumesConsumed() const { return m_resumesConsumed; }

private:
    void Fail(std::string what) {
        if (m_failure.empty()) m_failure = std::move(what);
    }
    template <typename T>
    static std::string Join(const std::vector<T>& items) {
        std::string text;
        for (auto& item : items) {
            if (!text.empty()) text += " ";
            if constexpr (std::is_same_v<T, std::wstring>)
                text += platform::Utf8FromWide(item);
            else
                text += std::to_string(item);
        }
        return text.empty() ? "none" : text;
    }

    sim::ScenarioRun& m_run;
    sim::SimMachine& m_machine;
    std::string m_failure;
    std::optional<std::uint64_t> m_stoppedAtMs;
    // The last completion given to the device is a read failure.
    bool m_failureQueued = false;
    long m_resumesConsumed = 0;
};

sim::ExploreOptions Exhaustive(int bound, bool arrivals) {
    sim::ExploreOptions options;
    options.bound = bound;
    options.arrivals = arrivals;
    return options;
}

// The start from the lookup to the first read, with the readiness wait (no WLAN interface for
// the first two attempts) and the BIOS status request.
TEST(Schedules, StopAtEveryPointOfTheStartAndTheReadinessWait) {
    ExploreSchedules(Exhaustive(kDeviationBound, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Machine().Wlan().RemoveInterface("wlan0");
        run.DeliverAtArrival(SERVICE_CONTROL_STOP);
        run.Start();
        run.AdvanceBy(1500);
        run.Machine().Wlan().AddInterface("wlan0", {{}});
        run.AdvanceBy(kSettleMs);
        run.StopUnlessStopped();
        return run.CheckEnd();
    });
}

TEST(Schedules, StopAtEveryPointOfTheNotReadyWait) {
    ExploreSchedules(Exhaustive(kDeviationBound, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Start();
        run.DeliverAtArrival(SERVICE_CONTROL_STOP);
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.AdvanceBy(kSettleMs);
        run.StopUnlessStopped();
        return run.CheckEnd();
    });
}

// Two values: the first is applied while the second waits in the queue, which a stop drops.
TEST(Schedules, StopAtEveryPointOfARequest) {
    ExploreSchedules(Exhaustive(kDeviationBound, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Start();
        run.DeliverAtArrival(SERVICE_CONTROL_STOP);
        run.Complete(sim::ReadCompletion::Switch(0));
        run.Complete(sim::ReadCompletion::Switch(1));
        run.RunUntilIdle();
        run.StopUnlessStopped();
        return run.CheckEnd();
    });
}

// A resume that ends a not-ready wait makes the device loop ask for the BIOS status again.
TEST(Schedules, StopAtEveryPointOfABiosStatusRequest) {
    ExploreSchedules(Exhaustive(kDeviationBound, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Start();
        run.Deliver(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        run.RunUntilIdle();
        run.Machine().Devices().SetBiosStatus(2);
        run.DeliverAtArrival(SERVICE_CONTROL_STOP);
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.RunUntilIdle();
        run.StopUnlessStopped();
        return run.CheckEnd();
    });
}

// The device fails for good while values are queued, and a stop comes at any point of it: the
// queued values are applied unless the stop came first.
TEST(Schedules, StopAndDeviceFailureTogether) {
    ExploreSchedules(Exhaustive(kDeviationBound, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Start();
        run.DeliverAtArrival(SERVICE_CONTROL_STOP);
        run.Complete(sim::ReadCompletion::Switch(0));
        run.Complete(sim::ReadCompletion::Switch(1));
        run.Complete(sim::ReadCompletion::Failure(ERROR_DEVICE_NOT_CONNECTED));
        run.RunUntilIdle();
        run.StopUnlessStopped();
        return run.CheckEnd();
    });
}

// One resume, at any point of the not-ready wait or of the reconciliation it starts: a second
// not-ready failure follows, so that a resume the first wait missed is consumed there. Exactly
// one wait consumes it. The resume handler runs whole where it arrives (bound 0): the records
// then say in which order the flag was exchanged.
TEST(Schedules, ResumeAtEveryPointOfTheNotReadyWaitIsConsumedOnce) {
    ExploreSchedules(Exhaustive(0, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Start();
        run.DeliverAtArrival(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.AdvanceBy(kSettleMs);
        run.EndWindow();
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.AdvanceBy(kSettleMs);
        run.StopUnlessStopped();
        if (auto failure = run.CheckEnd(); !failure.empty()) return failure;
        if (run.ResumesConsumed() != 1)
            return run.WithTheRun("one resume consumed " + std::to_string(run.ResumesConsumed()) +
                                  " times");
        return std::string();
    });
}

// A first resume ends the wait at once and starts the reconciliation; a second one arrives at
// any point of it and must be kept for the next not-ready failure, unless it came before the
// wait took the first flag (the two are then one). The wait takes the flag just before its
// record, so a resume recorded before that record may have come either side of it; one recorded
// after it came after.
TEST(Schedules, ResumeAtEveryPointOfTheReconciliationIsKept) {
    ExploreSchedules(Exhaustive(0, true), [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Start();
        run.Deliver(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        run.RunUntilIdle();
        const std::size_t mark = run.Machine().Log().Size();
        run.DeliverAtArrival(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.RunUntilIdle();
        run.EndWindow();
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.AdvanceBy(kSettleMs);
        run.StopUnlessStopped();
        if (auto failure = run.CheckEnd(); !failure.empty()) return failure;
        bool recordedBeforeTheTake = false;
        for (auto& record : run.Machine().Log().Of<sim::EventRecord>(mark)) {
            if (record.Message() == kResumeConsumed) break;
            if (record.Message() == L"OnSystemResume") recordedBeforeTheTake = true;
        }
        const long consumed = run.ResumesConsumed();
        if (consumed == 2 || (consumed == 1 && recordedBeforeTheTake)) return std::string();
        return run.WithTheRun("two resumes, the second recorded " +
                              std::string(recordedBeforeTheTake ? "before" : "after") +
                              " the first was taken, consumed " + std::to_string(consumed) +
                              " times");
        return std::string();
    });
}

// A long run, traffic of every kind and a stop at the end, under randomised priorities.
TEST(Schedules, LongRunsUnderRandomPriorities) {
    sim::ExploreOptions options;
    options.strategy = sim::ExploreOptions::Strategy::Priorities;
    options.runs = kPriorityRuns;
    options.depth = 3;
    ExploreSchedules(options, [](sim::ScenarioRun& scenario) {
        ServiceRun run(scenario);
        run.Machine().Devices().SetBiosStatus(2);
        run.Start();
        for (DWORD value : {0u, 1u, 2u}) run.Complete(sim::ReadCompletion::Switch(value));
        run.Deliver(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.Complete(sim::ReadCompletion::Switch(3));
        run.RunUntilIdle();
        run.Machine().Registry().SetDword(sim::kSystemRadioStateKey, L"", sim::kAirplaneModeOn);
        run.Complete(sim::ReadCompletion::Switch(0));
        run.Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        run.Deliver(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        run.Complete(sim::ReadCompletion::Switch(1));
        run.Deliver(SERVICE_CONTROL_STOP);
        run.RunUntilIdle();
        run.StopUnlessStopped();
        return run.CheckEnd();
    });
}

}  // namespace
