// Simulated machine only: systematic exploration of the schedules of a scenario. Each run plays
// the scenario on a fresh machine whose every scheduling decision is made by a chooser:
//
// - exhaustive: depth-first over the decisions, replaying a prefix of them from the start of
//   each run, with a bound on the deviations from the machine's default schedule (a preemption
//   at a platform call, or passing over a thread that is first in line, costs one per thread
//   passed over: delay bounding, the cousin of a preemption bound that keeps the count of
//   schedules polynomial in the run's length);
// - priorities (PCT): each run gives the threads random priorities and lowers the running
//   thread's priority at depth - 1 random decisions; the highest-priority thread that can run
//   does. For long scenarios, where an exhaustive search would not end.
//
// Optionally the scenario also places an event (a control, a device completion) at every
// platform call of a window in turn: the arrival dimension, explored outside the schedules.
// Deterministic given the options; a failure comes with the schedule that replays it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class SimMachine;

struct ExploreOptions {
    enum class Strategy { Exhaustive, Priorities } strategy = Strategy::Exhaustive;
    int bound = 1;                       // exhaustive: deviations per schedule
    std::uint64_t schedulesMax = 20000;  // exhaustive: per arrival point, then it gives up
    std::uint64_t seed = 1;              // priorities: the first run's seed
    int runs = 100;                      // priorities: runs per arrival point
    int depth = 3;                       // priorities: the bug depth aimed at
    // The scenario places an event at call 1, 2, ... of its window, until the event no longer
    // arrives within it (the arrival point is past the window's end; that run is not judged).
    bool arrivals = false;
};

// What the scenario is given: its machine, and with arrivals the call at which to inject.
struct ScenarioRun {
    SimMachine& machine;
    std::uint64_t arrivalCall = 0;  // 0 without arrivals
    // Set by a scenario that ended its window before the event arrived (SimCore's
    // CancelInjection): the arrival points are exhausted.
    bool arrivalMissed = false;
};
// Plays one run; returns what went wrong, or an empty text.
using Scenario = std::function<std::string(ScenarioRun& run)>;

struct ExploreResult {
    std::uint64_t schedules = 0;  // runs played, over every arrival point
    std::uint64_t arrivals = 0;   // arrival points tried
    bool complete = true;         // exhaustive: no arrival point hit schedulesMax
    std::optional<std::string> failure;
    std::string failedSchedule;  // for Replay, when there is a failure
};

ExploreResult Explore(const ExploreOptions& options, const Scenario& scenario);

// Plays the one run that `schedule` (as an ExploreResult gives it) describes. Returns what went
// wrong, or an empty text; an unreadable schedule is said so.
std::string Replay(const std::string& schedule, const Scenario& scenario);

}  // namespace sim
