// The rules of Windows's service control dispatcher that the simulated machine keeps, shown with
// services that break them on purpose: one SERVICE_STOPPED and nothing after it, and the
// dispatcher's lock that a SERVICE_STOPPED report takes while a handler runs (as Wine's does), so
// that the old reporting order, a status lock held across SetServiceStatus, deadlocks here as it
// did under Wine, and the machine names the threads and locks of the cycle.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/scm_sim.h"

namespace {

constexpr const wchar_t* kName = L"BrevRctlService";
constexpr const wchar_t* kImage = L"C:\\rules.exe";

// A bare service written straight against the platform, as a test of the machine needs one.
// Its handler and ServiceMain are plain functions, so what they share lives here.
struct Bare {
    platform::Platform* platform = nullptr;
    SERVICE_STATUS_HANDLE status = nullptr;
    CRITICAL_SECTION statusLock{};
    HANDLE stopRequested = nullptr;
    HANDLE lockTaken = nullptr;
    // What ServiceMain does once it is RUNNING, and what the stop handler does.
    enum class Script { OldReportingOrder, ReportAfterStopped, StoppedFromTheHandler } script{};
    std::vector<DWORD> refusals;  // last errors of the reports the machine refused
};
Bare g_bare;

BOOL Report(DWORD state) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    const BOOL accepted = g_bare.platform->SetServiceStatus(g_bare.status, &status);
    if (!accepted) g_bare.refusals.push_back(g_bare.platform->GetLastError());
    return accepted;
}

// The report order of a frame that holds its status lock across every SetServiceStatus.
void ReportUnderLock(DWORD state) {
    g_bare.platform->EnterCriticalSection(&g_bare.statusLock);
    g_bare.platform->SetEvent(g_bare.lockTaken);
    Report(state);
    g_bare.platform->LeaveCriticalSection(&g_bare.statusLock);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    platform::Platform& p = *g_bare.platform;
    switch (g_bare.script) {
        case Bare::Script::OldReportingOrder:
            // The service-main thread is woken, takes the status lock and reports its
            // SERVICE_STOPPED first, as a device loop that was awake at the stop did.
            p.SetEvent(g_bare.stopRequested);
            p.WaitForSingleObject(g_bare.lockTaken, INFINITE);
            ReportUnderLock(SERVICE_STOPPED);
            break;
        case Bare::Script::ReportAfterStopped:
            p.SetEvent(g_bare.stopRequested);
            break;
        case Bare::Script::StoppedFromTheHandler:
            // The dispatcher's lock is the handler's own: no wait.
            Report(SERVICE_STOPPED);
            break;
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    platform::Platform& p = *g_bare.platform;
    g_bare.status = p.RegisterServiceCtrlHandlerExW(kName, Handler, nullptr);
    Report(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    if (g_bare.script == Bare::Script::StoppedFromTheHandler) return;
    p.WaitForSingleObject(g_bare.stopRequested, INFINITE);
    if (g_bare.script == Bare::Script::OldReportingOrder) {
        ReportUnderLock(SERVICE_STOPPED);
        return;
    }
    Report(SERVICE_STOPPED);
    Report(SERVICE_STOPPED);
    Report(SERVICE_RUNNING);
}

int BareEntry(platform::Platform& p, int, wchar_t**) {
    g_bare.platform = &p;
    p.InitializeCriticalSection(&g_bare.statusLock);
    g_bare.stopRequested = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_bare.lockTaken = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), ServiceMain}, {nullptr, nullptr}};
    p.StartServiceCtrlDispatcherW(table);
    return 0;
}

class ScmRules : public ::testing::Test {
protected:
    void Run(Bare::Script script) {
        g_bare = Bare{};
        g_bare.script = script;
        machine.InstallImage(kImage, BareEntry);
        ASSERT_EQ(machine.Scm().StartServiceProcess(kName, kImage), 0u);
        ASSERT_TRUE(machine.RunUntilIdle().idle);
        ASSERT_EQ(machine.Scm().SendControl(kName, SERVICE_CONTROL_STOP), 0u);
        ASSERT_TRUE(machine.RunUntilIdle().idle);
    }
    std::vector<std::string> Violations() const {
        std::vector<std::string> texts;
        for (auto& violation : machine.Log().Of<sim::Violation>()) texts.push_back(violation.what);
        return texts;
    }
    std::vector<DWORD> States() const {
        std::vector<DWORD> states;
        for (auto& report : machine.Log().Of<sim::StatusReport>())
            states.push_back(report.status.dwCurrentState);
        return states;
    }
    bool Exited() const { return machine.Processes().front()->HasExited(); }

    mutable sim::SimMachine machine;
};

TEST_F(ScmRules, OldReportingOrderDeadlocksAndTheMachineNamesTheCycle) {
    machine.Core().ExpectViolations(true);
    Run(Bare::Script::OldReportingOrder);
    // The stop report reached the SCM, as under Wine, but neither thread ever goes on.
    EXPECT_EQ(States(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(Violations(),
              std::vector<std::string>{
                  "deadlock: rules.exe#1/main waits for critical section #1, held by "
                  "rules.exe#1/service-main; rules.exe#1/service-main waits for the dispatcher "
                  "lock of BrevRctlService, held by rules.exe#1/main"});
    EXPECT_FALSE(Exited());
}

TEST_F(ScmRules, ASecondStoppedAndAnyReportAfterItAreRefusedAsViolations) {
    machine.Core().ExpectViolations(true);
    Run(Bare::Script::ReportAfterStopped);
    EXPECT_EQ(States(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(g_bare.refusals, (std::vector<DWORD>{ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE}));
    EXPECT_EQ(Violations(),
              (std::vector<std::string>{
                  "BrevRctlService: SetServiceStatus(SERVICE_STOPPED) after SERVICE_STOPPED",
                  "BrevRctlService: SetServiceStatus(SERVICE_RUNNING) after SERVICE_STOPPED"}));
    EXPECT_TRUE(Exited());
}

TEST_F(ScmRules, StoppedReportedFromTheHandlersOwnThreadTakesTheLockItHolds) {
    Run(Bare::Script::StoppedFromTheHandler);
    EXPECT_EQ(States(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_TRUE(Violations().empty());
    EXPECT_TRUE(Exited());
}

// A violation that the test did not ask for fails it, from whichever thread broke the rule.
TEST_F(ScmRules, AnUnexpectedViolationFailsTheRunningTest) {
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter intercept(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
        Run(Bare::Script::ReportAfterStopped);
    }
    ASSERT_EQ(failures.size(), 2);
    EXPECT_TRUE(failures.GetTestPartResult(0).nonfatally_failed());
    EXPECT_THAT(failures.GetTestPartResult(1).message(),
                ::testing::HasSubstr("SetServiceStatus(SERVICE_RUNNING) after SERVICE_STOPPED"));
}

}  // namespace
