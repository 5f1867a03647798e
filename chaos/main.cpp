// brevrctl-chaos: seeded random scenarios of the service on the simulated machine, with invariants
// checked after every step. The same seed and steps replay the same run; a failure prints the
// command that does.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "chaos/chaos_run.h"

int main(int argc, char** argv) {
    CLI::App app{"Seeded random scenarios of BrevRctlService on the simulated machine"};
    std::uint64_t seed = 0;
    int steps = 200;
    int runs = 1;
    bool trace = false;
    bool race = false;
    CLI::Option* seedOption =
        app.add_option("--seed", seed, "Seed of the first run (default: taken from the clock)");
    app.add_option("--steps", steps, "Steps of each run")->check(CLI::NonNegativeNumber);
    app.add_option("--runs", runs, "Runs, with consecutive seeds")->check(CLI::PositiveNumber);
    app.add_flag("--trace", trace, "Print every step and what the machine saw");
    app.add_flag("--race", race,
                 "Race mode: threads run at the same time between platform calls (for "
                 "ThreadSanitizer; a run no longer replays exactly)");
    CLI11_PARSE(app, argc, argv);
    if (seedOption->count() == 0)
        seed = static_cast<std::uint64_t>(
                   std::chrono::system_clock::now().time_since_epoch().count()) %
               1000000000u;

    std::printf("brevrctl-chaos: seed %llu, runs %d, steps %d%s%s\n",
                static_cast<unsigned long long>(seed), runs, steps, trace ? ", trace" : "",
                race ? ", race mode" : "");
    chaos::Totals totals;
    const auto started = std::chrono::steady_clock::now();
    for (int run = 0; run < runs; ++run) {
        auto settings = chaos::Settings::FromSeed(seed + static_cast<std::uint64_t>(run));
        settings.race = race;
        std::printf("%s\n", settings.Describe().c_str());
        std::fflush(stdout);
        const auto failure = chaos::Play(settings, steps, trace, totals);
        if (!failure) continue;
        std::printf("FAILED seed %llu, step %d, invariant \"%s\": %s\n",
                    static_cast<unsigned long long>(settings.seed), failure->step,
                    failure->invariant.c_str(), failure->detail.c_str());
        std::printf("rerun: %s --seed %llu --steps %d%s\n", argv[0],
                    static_cast<unsigned long long>(settings.seed), failure->step,
                    race ? " --race" : "");
        std::printf("(--trace prints every step and what the machine saw)\n");
        std::fflush(stdout);
        // A machine thread that never stopped would keep using what an orderly exit destroys.
        if (failure->machineBusy) std::_Exit(EXIT_FAILURE);
        return EXIT_FAILURE;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::printf(
        "%d runs, %d steps, no failure: %llu requests applied, %llu calls failed, %d starts, %d "
        "stops, %.1f s\n",
        runs, totals.steps, static_cast<unsigned long long>(totals.requests),
        static_cast<unsigned long long>(totals.faults), totals.starts, totals.stops, took.count());
    return EXIT_SUCCESS;
}
