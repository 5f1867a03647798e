#include "platform/sim/explore.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>

#include "platform/sim/machine.h"

namespace sim {

namespace {

struct Decision {
    std::uint32_t chosen = 0;
    std::uint32_t count = 0;
};

// Makes the decisions it is given, then the default ones, and keeps every decision it made.
class RecordingChooser : public ScheduleChooser {
public:
    explicit RecordingChooser(std::vector<std::uint32_t> forced) : m_forced(std::move(forced)) {}

    std::size_t Choose(const std::vector<const SimThread*>& candidates, bool atCall) override {
        const std::size_t at = m_taken.size();
        std::size_t chosen = at < m_forced.size() ? m_forced[at] : Default(candidates, atCall);
        chosen = std::min(chosen, candidates.size() - 1);
        m_taken.push_back(
            {static_cast<std::uint32_t>(chosen), static_cast<std::uint32_t>(candidates.size())});
        return chosen;
    }
    const std::vector<Decision>& Taken() const { return m_taken; }

protected:
    virtual std::size_t Default(const std::vector<const SimThread*>&, bool) { return 0; }

private:
    std::vector<std::uint32_t> m_forced;
    std::vector<Decision> m_taken;
};

// PCT: random distinct priorities, lowered at depth - 1 random decisions of the run.
class PriorityChooser : public RecordingChooser {
public:
    PriorityChooser(std::uint64_t seed, int depth, std::uint64_t decisionsExpected)
        : RecordingChooser({}), m_random(seed) {
        std::uniform_int_distribution<std::uint64_t> at(
            1, std::max<std::uint64_t>(decisionsExpected, 1));
        for (int change = 1; change < depth; ++change)
            m_changes[at(m_random)] = static_cast<double>(depth - change);
    }

    void Yielded(const SimThread& thread) override {
        // A thread that yields waits for another: below everyone, or it would starve them.
        m_priority[thread.id] = -static_cast<double>(++m_yields);
    }

protected:
    std::size_t Default(const std::vector<const SimThread*>& candidates, bool) override {
        ++m_decisions;
        std::size_t best = Highest(candidates);
        if (auto change = m_changes.find(m_decisions); change != m_changes.end()) {
            m_priority[candidates[best]->id] = change->second;
            best = Highest(candidates);
        }
        return best;
    }

private:
    std::size_t Highest(const std::vector<const SimThread*>& candidates) {
        std::size_t best = 0;
        for (std::size_t i = 0; i < candidates.size(); ++i)
            if (PriorityOf(*candidates[i]) > PriorityOf(*candidates[best])) best = i;
        return best;
    }
    double PriorityOf(const SimThread& thread) {
        auto [it, added] = m_priority.try_emplace(thread.id, 0.0);
        // Above every change point's value, which lies in 1 .. depth - 1.
        if (added)
            it->second = static_cast<double>(m_changes.size() + 1) +
                         std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
        return it->second;
    }

    std::mt19937_64 m_random;
    std::map<std::uint64_t, double> m_changes;  // decision number -> the priority given there
    std::map<int, double> m_priority;           // by thread id
    std::uint64_t m_decisions = 0;
    std::uint64_t m_yields = 0;
};

struct RunOutcome {
    std::string failure;
    bool injected = true;  // the injection, if any, arrived
    std::vector<Decision> taken;
};

RunOutcome RunOnce(const Scenario& scenario, std::shared_ptr<RecordingChooser> chooser,
                   std::uint64_t arrivalCall) {
    auto machine = std::make_unique<SimMachine>();
    machine->Core().SetChooser(chooser);
    ScenarioRun run{*machine, arrivalCall};
    RunOutcome outcome;
    outcome.failure = scenario(run);
    outcome.injected = !machine->Core().InjectionPending() && !run.arrivalMissed;
    outcome.taken = chooser->Taken();
    // A thread that never stopped running still uses the machine, which must then outlive it.
    if (!machine->Core().Idle()) static_cast<void>(machine.release());
    return outcome;
}

std::string Encode(std::uint64_t arrivalCall, const std::vector<Decision>& taken) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + string.
    std::string text;
    if (arrivalCall != 0) text.append("@").append(std::to_string(arrivalCall)).append("/");
    std::string decisions;
    for (std::size_t i = 0; i < taken.size(); ++i) {
        if (taken[i].chosen == 0) continue;
        if (!decisions.empty()) decisions.append(",");
        decisions.append(std::to_string(i)).append(":").append(std::to_string(taken[i].chosen));
    }
    return text.append(decisions.empty() ? "-" : decisions);
}

// The next prefix of the depth-first search, or none when every schedule within the bound has
// been played. A choice of index i costs i deviations.
std::optional<std::vector<std::uint32_t>> NextPrefix(const std::vector<Decision>& taken,
                                                     int bound) {
    std::vector<std::uint64_t> costBefore(taken.size() + 1, 0);
    for (std::size_t i = 0; i < taken.size(); ++i)
        costBefore[i + 1] = costBefore[i] + taken[i].chosen;
    for (std::size_t i = taken.size(); i-- > 0;) {
        const std::uint32_t next = taken[i].chosen + 1;
        if (next >= taken[i].count || costBefore[i] + next > static_cast<std::uint64_t>(bound))
            continue;
        std::vector<std::uint32_t> prefix;
        for (std::size_t j = 0; j < i; ++j) prefix.push_back(taken[j].chosen);
        prefix.push_back(next);
        return prefix;
    }
    return std::nullopt;
}

}  // namespace

ExploreResult Explore(const ExploreOptions& options, const Scenario& scenario) {
    ExploreResult result;
    auto failed = [&](std::uint64_t arrival, const RunOutcome& outcome) {
        if (outcome.failure.empty()) return false;
        result.failure = outcome.failure;
        result.failedSchedule = Encode(arrival, outcome.taken);
        return true;
    };
    for (std::uint64_t arrival = options.arrivals ? 1 : 0;; ++arrival) {
        const RunOutcome first = RunOnce(
            scenario, std::make_shared<RecordingChooser>(std::vector<std::uint32_t>{}), arrival);
        // The event no longer arrives within the window: that run is the scenario without it,
        // which the scenario's checks do not describe.
        if (options.arrivals && !first.injected) break;
        ++result.schedules;
        if (failed(arrival, first)) return result;
        ++result.arrivals;
        if (options.strategy == ExploreOptions::Strategy::Exhaustive) {
            std::uint64_t played = 1;
            for (auto prefix = NextPrefix(first.taken, options.bound); prefix;) {
                if (played == options.schedulesMax) {
                    result.complete = false;
                    break;
                }
                const RunOutcome outcome =
                    RunOnce(scenario, std::make_shared<RecordingChooser>(*prefix), arrival);
                ++played;
                ++result.schedules;
                if (failed(arrival, outcome)) return result;
                prefix = NextPrefix(outcome.taken, options.bound);
            }
        } else {
            for (int run = 0; run < options.runs; ++run) {
                const RunOutcome outcome =
                    RunOnce(scenario,
                            std::make_shared<PriorityChooser>(
                                options.seed + static_cast<std::uint64_t>(run) + arrival * 1000003u,
                                options.depth, first.taken.size()),
                            arrival);
                ++result.schedules;
                if (failed(arrival, outcome)) return result;
            }
        }
        if (!options.arrivals) break;
    }
    return result;
}

std::string Replay(const std::string& schedule, const Scenario& scenario) {
    std::uint64_t arrival = 0;
    std::string rest = schedule;
    if (rest.starts_with("@")) {
        const auto slash = rest.find('/');
        if (slash == std::string::npos) return "unreadable schedule: " + schedule;
        arrival = std::strtoull(rest.c_str() + 1, nullptr, 10);
        rest = rest.substr(slash + 1);
    }
    std::vector<std::uint32_t> forced;
    if (rest != "-") {
        std::size_t at = 0;
        while (at < rest.size()) {
            const auto colon = rest.find(':', at);
            if (colon == std::string::npos) return "unreadable schedule: " + schedule;
            const auto index = std::strtoull(rest.c_str() + at, nullptr, 10);
            const auto chosen = std::strtoul(rest.c_str() + colon + 1, nullptr, 10);
            if (forced.size() <= index) forced.resize(index + 1, 0);
            forced[index] = static_cast<std::uint32_t>(chosen);
            const auto comma = rest.find(',', colon);
            at = comma == std::string::npos ? rest.size() : comma + 1;
        }
    }
    return RunOnce(scenario, std::make_shared<RecordingChooser>(forced), arrival).failure;
}

}  // namespace sim
