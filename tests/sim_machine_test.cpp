// The simulated machine's own guarantees that every other test relies on: virtual time, the
// order of wake-ups, waits with and without time-outs, faults and resource accounting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"

namespace {

TEST(SimMachineTime, SleepEndsExactlyAtItsDeadlineWithoutRealTime) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    bool woke = false;
    process.RunOnThread("sleeper", [&] {
        process.Sleep(1000);
        woke = true;
    });
    EXPECT_FALSE(woke);
    ASSERT_TRUE(machine.AdvanceBy(999).idle);
    EXPECT_FALSE(woke);
    ASSERT_TRUE(machine.AdvanceBy(1).idle);
    EXPECT_TRUE(woke);
    EXPECT_EQ(machine.NowMs(), 1000u);
}

TEST(SimMachineTime, TimersFireInDeadlineOrderWithinOneAdvance) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    std::vector<std::pair<int, std::uint64_t>> wakeups;
    process.Spawn("late", [&] {
        process.Sleep(300);
        wakeups.emplace_back(300, machine.NowMs());
    });
    process.Spawn("early", [&] {
        process.Sleep(100);
        wakeups.emplace_back(100, machine.NowMs());
    });
    ASSERT_TRUE(machine.AdvanceBy(1000).idle);
    ASSERT_EQ(wakeups.size(), 2u);
    EXPECT_EQ(wakeups[0], std::make_pair(100, std::uint64_t{100}));
    EXPECT_EQ(wakeups[1], std::make_pair(300, std::uint64_t{300}));
}

TEST(SimMachineKernel, WaitsEndOnSetOnTimeoutOrOnThreadEnd) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    HANDLE event = nullptr;
    DWORD first = 99, second = 99, joined = 99;
    process.RunOnThread("waiter", [&] {
        event = process.CreateEventW(nullptr, TRUE, FALSE, nullptr);
        first = process.WaitForSingleObject(event, 500);
        second = process.WaitForSingleObject(event, INFINITE);
        HANDLE thread = process.CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
        joined = process.WaitForSingleObject(thread, INFINITE);
        process.CloseHandle(thread);
        process.CloseHandle(event);
    });
    ASSERT_TRUE(machine.AdvanceBy(500).idle);
    EXPECT_EQ(first, WAIT_TIMEOUT);
    EXPECT_EQ(second, 99u);  // still waiting: nothing set the event
    process.RunOnThread("setter", [&] { process.SetEvent(event); });
    EXPECT_EQ(second, WAIT_OBJECT_0);
    EXPECT_EQ(joined, WAIT_OBJECT_0);
    EXPECT_TRUE(machine.OpenResources().empty());
}

TEST(SimMachineFaults, RuleSkipsThenFailsTheGivenNumberOfCalls) {
    sim::FaultPlan plan;
    plan.Add({"CreateFileW", 5, 1, 2});
    plan.Add({"ReadFile", 21, 0, std::nullopt});
    std::vector<std::optional<DWORD>> results;
    for (int i = 0; i < 4; ++i) results.push_back(plan.Take("CreateFileW"));
    EXPECT_EQ(results, (std::vector<std::optional<DWORD>>{std::nullopt, 5, 5, std::nullopt}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(plan.Take("ReadFile"), 21u);
    EXPECT_EQ(plan.CallCount("CreateFileW"), 4u);
}

TEST(SimMachineKernel, ModulePathThatDoesNotFitIsCutAndReported) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test", L"C:\\dir\\app.exe");
    WCHAR small[8];
    WCHAR large[MAX_PATH];
    DWORD cutLength = 0, cutError = 0, fullLength = 0;
    process.RunOnThread("main", [&] {
        cutLength = process.GetModuleFileNameW(nullptr, small, 8);
        cutError = process.GetLastError();
        fullLength = process.GetModuleFileNameW(nullptr, large, MAX_PATH);
    });
    EXPECT_EQ(cutLength, 8u);
    EXPECT_EQ(cutError, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::wstring(small), L"C:\\dir\\");
    EXPECT_EQ(fullLength, 14u);
    EXPECT_EQ(std::wstring(large), L"C:\\dir\\app.exe");
}

TEST(SimMachineDevices, ReadBlocksUntilTheDriverCompletesOrTheReadIsCancelled) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    HANDLE device = INVALID_HANDLE_VALUE;
    std::vector<std::pair<BOOL, DWORD>> reads;
    process.RunOnThread("reader", [&] {
        device = process.CreateFileW(machine.Devices().SwitchDevicePaths()[0].c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        for (int i = 0; i < 2; ++i) {
            DWORD value = 0, bytes = 0;
            const BOOL ok = process.ReadFile(device, &value, 4, &bytes, nullptr);
            reads.emplace_back(ok, ok ? value : process.GetLastError());
        }
        process.CloseHandle(device);
    });
    EXPECT_TRUE(reads.empty());
    EXPECT_TRUE(machine.Devices().ReadPending());
    machine.Devices().Complete(sim::ReadCompletion::Switch(7));
    machine.RunUntilIdle();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0], std::make_pair(TRUE, DWORD{7}));
    BOOL cancelled = FALSE;
    process.RunOnThread("canceller", [&] { cancelled = process.CancelIoEx(device, nullptr); });
    EXPECT_TRUE(cancelled);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1], std::make_pair(FALSE, DWORD{ERROR_OPERATION_ABORTED}));
    EXPECT_TRUE(machine.OpenResources().empty());
}

}  // namespace
