// Runs an exploration of schedules inside a test: the figures go to the output, and a failure
// fails the test with the schedule that broke it and the one command that replays it.
//
// BREVRCTL_SCHEDULE=<schedule> replays that one schedule instead; BREVRCTL_EXPLORE_BOUND (for
// the tests that explore deviations at all) and BREVRCTL_PCT_RUNS widen a search beyond what the
// test command affords (docs/reliability.md).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/sim/explore.h"

namespace testing_support {

inline sim::ExploreResult ExploreSchedules(sim::ExploreOptions options,
                                           const sim::Scenario& scenario) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    if (const char* schedule = std::getenv("BREVRCTL_SCHEDULE")) {
        EXPECT_EQ(sim::Replay(schedule, scenario), "") << "schedule " << schedule;
        return {};
    }
    // A test that explores no deviations relies on the default schedule, and keeps it.
    if (const char* bound = std::getenv("BREVRCTL_EXPLORE_BOUND"); bound && options.bound > 0)
        options.bound = std::atoi(bound);
    if (const char* runs = std::getenv("BREVRCTL_PCT_RUNS")) options.runs = std::atoi(runs);
    const auto started = std::chrono::steady_clock::now();
    const sim::ExploreResult result = sim::Explore(options, scenario);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const bool exhaustive = options.strategy == sim::ExploreOptions::Strategy::Exhaustive;
    std::printf("[ explored ] %s: %llu schedules, %llu arrival points, %s %d, %.1f s\n",
                name.c_str(), static_cast<unsigned long long>(result.schedules),
                static_cast<unsigned long long>(result.arrivals),
                exhaustive ? "deviation bound" : "PCT depth",
                exhaustive ? options.bound : options.depth, took.count());
    if (result.failure) {
        std::error_code error;
        const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
        ADD_FAILURE() << *result.failure << "\nschedule: " << result.failedSchedule
                      << "\nreplay: BREVRCTL_SCHEDULE='" << result.failedSchedule << "' "
                      << (error ? "brevrctl_schedule_tests" : program.string())
                      << " --gtest_filter=" << name;
    }
    EXPECT_TRUE(result.complete) << "the search stopped at " << options.schedulesMax
                                 << " schedules of one arrival point";
    return result;
}

}  // namespace testing_support
