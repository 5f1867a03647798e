// The race mode of the simulated machine under ThreadSanitizer: a service whose two threads
// write one field with a platform call but no lock between them races on Windows. One by one,
// the machine hands its baton over through a mutex that ThreadSanitizer takes for
// synchronisation, so nothing is reported; in race mode the threads run at the same time and
// only the platform's promised synchronisation counts, so the race is reported. Each mode runs in
// a child process, whose report is read whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/sim/machine.h"
#include "platform/sim/race_annotations.h"
#include "platform/sim/scm_sim.h"

namespace {

#if defined(__SANITIZE_THREAD__)

constexpr const wchar_t* kName = L"BrevRctlService";
constexpr const wchar_t* kImage = L"C:\\racy.exe";
// ThreadSanitizer's exit status for a process in which it reported something.
constexpr int kSanitizerExitCode = 66;

// A bare service: ServiceMain and the stop handler both count their work in `unguardedCount`.
struct Racy {
    platform::Platform* platform = nullptr;
    SERVICE_STATUS_HANDLE status = nullptr;
    HANDLE stopRequested = nullptr;
    int unguardedCount = 0;
};
Racy g_racy;

void Report(DWORD state) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    g_racy.platform->SetServiceStatus(g_racy.status, &status);
}

DWORD WINAPI RacyHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    ++g_racy.unguardedCount;
    g_racy.platform->SetEvent(g_racy.stopRequested);
    return NO_ERROR;
}

void WINAPI RacyServiceMain(DWORD, LPWSTR*) {
    platform::Platform& p = *g_racy.platform;
    g_racy.status = p.RegisterServiceCtrlHandlerExW(kName, RacyHandler, nullptr);
    Report(SERVICE_RUNNING);
    ++g_racy.unguardedCount;
    p.WaitForSingleObject(g_racy.stopRequested, INFINITE);
    Report(SERVICE_STOPPED);
}

int RacyEntry(platform::Platform& p, int, wchar_t**) {
    g_racy.platform = &p;
    g_racy.stopRequested = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), RacyServiceMain},
                                    {nullptr, nullptr}};
    p.StartServiceCtrlDispatcherW(table);
    p.CloseHandle(g_racy.stopRequested);
    return 0;
}

// Starts and stops the racy service, then ends the process, which ThreadSanitizer's report
// decides the status of.
[[noreturn]] void RunRacyServiceAndExit(bool raceMode) {
    sim::SimMachine machine;
    machine.Core().SetConcurrent(raceMode);
    machine.InstallImage(kImage, RacyEntry);
    machine.Scm().StartServiceProcess(kName, kImage);
    machine.RunUntilIdle();
    machine.Scm().SendControl(kName, SERVICE_CONTROL_STOP);
    machine.RunUntilIdle();
    const bool ended = machine.Processes().front()->HasExited() && g_racy.unguardedCount == 2;
    std::exit(ended ? EXIT_SUCCESS : EXIT_FAILURE);
}

TEST(RaceMode, AFieldTwoThreadsWriteWithNoLockIsReportedInRaceModeOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunRacyServiceAndExit(false), ::testing::ExitedWithCode(EXIT_SUCCESS),
                ::testing::Not(::testing::HasSubstr("ThreadSanitizer")));
    EXPECT_EXIT(RunRacyServiceAndExit(true), ::testing::ExitedWithCode(kSanitizerExitCode),
                ::testing::AllOf(::testing::HasSubstr("WARNING: ThreadSanitizer: data race"),
                                 ::testing::HasSubstr("RacyHandler"),
                                 ::testing::HasSubstr("RacyServiceMain")));
}

#endif

}  // namespace
