// What the simulated machine offers long runs and benchmarks: a log that need not keep what it
// observes, and a count of the runs of simulated threads, which shows any wake-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "platform/sim/machine.h"

namespace {

using ::testing::ElementsAre;

TEST(SimInstrumentation, ObservationsNotRetainedStillReachTheListener) {
    sim::SimMachine machine;
    sim::SimProcess& process = machine.CreateProcess("printer");
    std::vector<std::string> heard;
    machine.Log().SetListener([&](const sim::Observation& observation) {
        if (auto* output = std::get_if<sim::ConsoleOutput>(&observation.body))
            heard.push_back(output->text);
    });
    auto print = [&](const char* text) {
        process.RunOnThread("print", [&] { process.PrintNarrow(text); });
    };
    print("kept ");
    const std::size_t sizeBefore = machine.Log().Size();
    machine.Log().SetRetained(false);
    print("dropped ");
    EXPECT_EQ(machine.Log().Size(), sizeBefore);
    machine.Log().SetRetained(true);
    print("kept again");
    EXPECT_THAT(heard, ElementsAre("kept ", "dropped ", "kept again"));
    EXPECT_EQ(process.Stdout(), "kept kept again");
}

TEST(SimInstrumentation, SwitchesCountEveryRunOfASimulatedThreadAndNothingWhileAllWait) {
    sim::SimMachine machine;
    sim::SimProcess& process = machine.CreateProcess("threads");
    const std::uint64_t start = machine.Core().Switches();
    HANDLE event = nullptr;
    process.RunOnThread("setup",
                        [&] { event = process.CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    EXPECT_EQ(machine.Core().Switches() - start, 1u);

    process.Spawn("waiter", [&] { process.WaitForSingleObject(event, INFINITE); });
    ASSERT_TRUE(machine.RunUntilIdle().idle);
    const std::uint64_t waiting = machine.Core().Switches();
    EXPECT_EQ(waiting - start, 2u);

    // An hour with every thread waiting for an event runs nothing.
    ASSERT_TRUE(machine.AdvanceBy(60 * 60 * 1000).idle);
    EXPECT_EQ(machine.Core().Switches(), waiting);

    // The setter runs, the waiter it wakes runs once, and the setter's timed sleep once more.
    process.RunOnThread("setter", [&] {
        process.SetEvent(event);
        process.Sleep(1000);
    });
    EXPECT_EQ(machine.Core().Switches() - waiting, 2u);
    ASSERT_TRUE(machine.AdvanceBy(1000).idle);
    EXPECT_EQ(machine.Core().Switches() - waiting, 3u);

    process.RunOnThread("teardown", [&] { process.CloseHandle(event); });
    EXPECT_TRUE(machine.OpenResources().empty());
}

}  // namespace
