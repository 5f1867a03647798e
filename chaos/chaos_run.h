// One seeded random scenario: the service on the simulated machine under a random sequence of
// switch values, not-ready reads, power events, airplane values, WLAN interfaces coming and
// going, injected faults, stops and restarts, with random preemption. Invariants are checked
// after every step, once the machine is idle. The same seed gives the same run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace chaos {

// Everything a run draws from its seed before its first step.
struct Settings {
    std::uint64_t seed = 0;
    double preemption = 0.0;  // chance that a platform call hands the processor to another thread
    int interfaces = 0;       // WLAN interfaces at the start
    std::uint32_t biosStatus = 0;
    double faultWeight = 0.0;  // relative weight of the fault-injecting step
    // Race mode: the threads run at the same time between platform calls instead of under the
    // seeded preemption, so the run is no longer the same twice; ThreadSanitizer then sees the
    // service's own memory (platform/sim/race_annotations.h).
    bool race = false;

    static Settings FromSeed(std::uint64_t seed);
    std::string Describe() const;
};

struct Failure {
    int step = 0;  // 1 for the first step; the step count for the checks at the end
    std::string invariant;
    std::string detail;
    // A thread of the machine never stopped running: the process can only end at once.
    bool machineBusy = false;
};

// What a run did, for the closing figures.
struct Totals {
    int steps = 0;
    std::uint64_t requests = 0;  // requests the worker applied
    std::uint64_t faults = 0;    // calls made to fail
    int stops = 0;               // stops and shutdowns, each checked to end the service at once
    int starts = 0;
};

// Plays `steps` random steps of the run that `settings` describe and adds to `totals`; returns
// the first broken invariant, if any. `trace` prints every step and what the machine saw.
std::optional<Failure> Play(const Settings& settings, int steps, bool trace, Totals& totals);

}  // namespace chaos
