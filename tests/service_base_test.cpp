// The service frame run by the simulated SCM: the reports and records of whole runs, every
// wrapper's failure paths, and reports made from two threads at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "tests/frame_test_service.h"

namespace {

using frame_testing::Outcome;
using frame_testing::Rig;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ServiceFrame, WholeRunReportsCheckPointsOneZeroTwoZeroAndReleasesEverything) {
    Rig rig;
    rig.StartService();
    EXPECT_THAT(frame_testing::Timeline(rig.machine), ElementsAre("START_PENDING 1", "RUNNING 0"));

    rig.Control(SERVICE_CONTROL_STOP);
    EXPECT_THAT(frame_testing::Timeline(rig.machine),
                ElementsAre("START_PENDING 1", "RUNNING 0", "STOP_PENDING 2", "STOPPED 0"));
    EXPECT_TRUE(rig.ServiceExited());
    EXPECT_EQ(rig.script.runResult, TRUE);
    EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
}

TEST(ServiceFrame, PauseAndContinueRunTheBaseHandlersWhileCheckPointsKeepRising) {
    Rig rig;
    rig.StartService();
    rig.Mark();
    rig.Control(SERVICE_CONTROL_PAUSE);
    rig.Control(SERVICE_CONTROL_CONTINUE);
    rig.Control(SERVICE_CONTROL_PAUSE);
    rig.Control(SERVICE_CONTROL_STOP);
    EXPECT_THAT(rig.SinceMark(), ElementsAre("PAUSE_PENDING 2", "info: BrevRbtnService in OnPause",
                                             "PAUSED 3", "CONTINUE_PENDING 4", "RUNNING 0",
                                             "PAUSE_PENDING 5", "info: BrevRbtnService in OnPause",
                                             "PAUSED 6", "STOP_PENDING 7", "STOPPED 0"));
}

TEST(ServiceFrame, FailedStartWritesItsRecordAndStopsWithTheErrorCodeOrZero) {
    struct Case {
        Outcome outcome;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {Outcome::ThrowCode,
         {"START_PENDING 1", "error: Service Start failed w/err 0x00000005", "STOPPED 0 exit 5"}},
        {Outcome::ThrowOther, {"START_PENDING 1", "error: Service failed to start.", "STOPPED 0"}},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.script.start = c.outcome;
        rig.StartService();
        EXPECT_EQ(frame_testing::Timeline(rig.machine), c.expected);
        EXPECT_TRUE(rig.ServiceExited());
        EXPECT_EQ(rig.machine.Scm().CurrentStatus(frame_testing::kServiceName).dwWin32ExitCode,
                  c.outcome == Outcome::ThrowCode ? 5u : 0u);
    }
}

TEST(ServiceFrame, FailedWrappersWriteTheirRecordAndReportTheStateToFallBackTo) {
    using frame_testing::Script;
    struct Case {
        const char* name;
        bool pausedFirst;
        Outcome Script::*handler;
        Outcome outcome;
        DWORD control;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"stop, code",
         false,
         &Script::stop,
         Outcome::ThrowCode,
         SERVICE_CONTROL_STOP,
         {"STOP_PENDING 2", "error: Service Stop failed w/err 0x00000426", "RUNNING 0"}},
        {"stop, other",
         false,
         &Script::stop,
         Outcome::ThrowOther,
         SERVICE_CONTROL_STOP,
         {"STOP_PENDING 2", "error: Service failed to stop.", "RUNNING 0"}},
        {"stop while paused",
         true,
         &Script::stop,
         Outcome::ThrowCode,
         SERVICE_CONTROL_STOP,
         {"STOP_PENDING 4", "error: Service Stop failed w/err 0x00000426", "PAUSED 5"}},
        {"pause, code",
         false,
         &Script::pause,
         Outcome::ThrowCode,
         SERVICE_CONTROL_PAUSE,
         {"PAUSE_PENDING 2", "error: Service Pause failed w/err 0x00000426", "RUNNING 0"}},
        {"pause, other",
         false,
         &Script::pause,
         Outcome::ThrowOther,
         SERVICE_CONTROL_PAUSE,
         {"PAUSE_PENDING 2", "error: Service failed to pause.", "RUNNING 0"}},
        {"continue, code",
         true,
         &Script::resume,
         Outcome::ThrowCode,
         SERVICE_CONTROL_CONTINUE,
         {"CONTINUE_PENDING 4", "error: Service Continue failed w/err 0x00000426", "PAUSED 5"}},
        {"continue, other",
         true,
         &Script::resume,
         Outcome::ThrowOther,
         SERVICE_CONTROL_CONTINUE,
         {"CONTINUE_PENDING 4", "error: Service failed to resume.", "PAUSED 5"}},
        {"shutdown, code",
         false,
         &Script::shutdown,
         Outcome::ThrowCode,
         SERVICE_CONTROL_SHUTDOWN,
         {"info: BrevRbtnService in Shutdown", "error: Service Shutdown failed w/err 0x00000426"}},
        {"shutdown, other",
         false,
         &Script::shutdown,
         Outcome::ThrowOther,
         SERVICE_CONTROL_SHUTDOWN,
         {"info: BrevRbtnService in Shutdown", "error: Service failed to shut down."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.script.code = ERROR_SERVICE_NOT_ACTIVE;
        rig.StartService();
        if (c.pausedFirst) rig.Control(SERVICE_CONTROL_PAUSE);
        rig.Mark();
        rig.script.*c.handler = c.outcome;
        rig.Control(c.control);
        EXPECT_EQ(rig.SinceMark(), c.expected);

        // The service goes on running and stops normally afterwards.
        EXPECT_FALSE(rig.ServiceExited());
        rig.script.*c.handler = Outcome::Return;
        rig.Control(SERVICE_CONTROL_STOP);
        EXPECT_TRUE(rig.ServiceExited());
    }
}

TEST(ServiceFrame, ShutdownRecordsFirstAndReportsStoppedAfterOnShutdownWithNoPendingReport) {
    Rig rig;
    rig.StartService();
    rig.Mark();
    rig.Control(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_THAT(rig.SinceMark(), ElementsAre("info: BrevRbtnService in Shutdown",
                                             "info: test: OnShutdown", "STOPPED 0"));
    EXPECT_TRUE(rig.ServiceExited());
}

TEST(ServiceFrame, PowerEventsInterrogateAndUnknownControlsReportNothingAndReturnNoError) {
    Rig rig;
    rig.StartService();
    rig.Mark();
    struct Case {
        DWORD control, eventType;
        int suspends, resumes;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, 1, 0},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, 1, 1},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE, 1, 1},
        {SERVICE_CONTROL_INTERROGATE, 0, 1, 1},
        {200, 0, 1, 1},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(
            rig.machine.Scm().SendControl(frame_testing::kServiceName, c.control, c.eventType), 0u);
        rig.RunUntilIdle();
        EXPECT_EQ(rig.machine.Scm().LastHandlerResult(frame_testing::kServiceName), NO_ERROR);
        EXPECT_EQ(rig.script.suspends, c.suspends);
        EXPECT_EQ(rig.script.resumes, c.resumes);
    }
    EXPECT_THAT(rig.SinceMark(), IsEmpty());
}

TEST(ServiceFrame, RefusedStatusReportIsIgnoredAndTheCounterStillAdvances) {
    Rig rig;
    rig.machine.Faults().Add({"SetServiceStatus", ERROR_INVALID_HANDLE, 0, 1});
    rig.StartService();
    rig.Control(SERVICE_CONTROL_STOP);
    EXPECT_THAT(frame_testing::Timeline(rig.machine),
                ElementsAre("RUNNING 0", "STOP_PENDING 2", "STOPPED 0"));
}

TEST(ServiceFrame, HandlerRegistrationFailureWritesARecordAndTheProcessEnds) {
    Rig rig;
    rig.machine.Faults().Add({"RegisterServiceCtrlHandlerExW", ERROR_ACCESS_DENIED});
    rig.StartService();
    EXPECT_THAT(frame_testing::Timeline(rig.machine),
                ElementsAre("error: RegisterServiceCtrlHandlerEx failed w/err 0x00000005"));
    EXPECT_TRUE(rig.ServiceExited());
    EXPECT_EQ(rig.script.runResult, TRUE);
    const SERVICE_STATUS status = rig.machine.Scm().CurrentStatus(frame_testing::kServiceName);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
}

TEST(ServiceFrame, RunFailsWithoutStartingServiceMainWhenTheDispatcherCannotRun) {
    for (const bool eventRefused : {false, true}) {
        SCOPED_TRACE(eventRefused ? "event refused" : "console process");
        Rig rig;
        // The test service's constructor creates two events; Run's own is the third.
        if (eventRefused) rig.machine.Faults().Add({"CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 2});
        auto& console = rig.machine.CreateProcess("console");
        console.RunOnThread("main", [&] {
            frame_testing::TestService service(console, rig.script);
            rig.script.runResult = CServiceBase::Run(service);
            rig.script.runError = console.GetLastError();
        });
        EXPECT_EQ(rig.script.runResult, FALSE);
        EXPECT_EQ(rig.script.runError,
                  eventRefused ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        EXPECT_EQ(rig.machine.Faults().CallCount("StartServiceCtrlDispatcherW"),
                  eventRefused ? 0u : 1u);
        EXPECT_EQ(rig.machine.Faults().CallCount("RegisterServiceCtrlHandlerExW"), 0u);
        EXPECT_THAT(frame_testing::Timeline(rig.machine), IsEmpty());
        EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
    }
}

// The control thread pauses and continues while the service-main thread reports on its own;
// preempted at random platform calls, no report may carry fields set by the other thread, the
// reports reach the SCM in the order their check points were taken, and SERVICE_STOPPED comes
// once, last.
TEST(ServiceFrame, ReportsFromTwoThreadsNeverMix) {
    constexpr int kBurst = 6;
    constexpr int kPauses = 4;
    for (std::uint64_t seed = 1; seed <= 150; ++seed) {
        SCOPED_TRACE(
            "seed " + std::to_string(seed) +
            "; rerun: brevrctl_tests --gtest_filter=ServiceFrame.ReportsFromTwoThreadsNeverMix");
        Rig rig;
        rig.machine.Core().SetPreemption(seed, 0.5);
        rig.script.startBurst = kBurst;
        ASSERT_EQ(rig.machine.Scm().StartServiceProcess(frame_testing::kServiceName,
                                                        frame_testing::kImagePath),
                  0u);
        for (int i = 0; i < kPauses; ++i) {
            rig.machine.Scm().SendControl(frame_testing::kServiceName, SERVICE_CONTROL_PAUSE, 0,
                                          true);
            rig.machine.Scm().SendControl(frame_testing::kServiceName, SERVICE_CONTROL_CONTINUE, 0,
                                          true);
        }
        rig.machine.Scm().SendControl(frame_testing::kServiceName, SERVICE_CONTROL_STOP, 0, true);
        rig.RunUntilIdle();
        ASSERT_TRUE(rig.ServiceExited());

        std::map<DWORD, int> counts;
        DWORD nextCheckPoint = 1;
        bool consistent = true;
        const auto reports = rig.machine.Log().Of<sim::StatusReport>();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED);
        for (auto& report : reports) {
            const SERVICE_STATUS& s = report.status;
            ++counts[s.dwCurrentState];
            const bool settled =
                s.dwCurrentState == SERVICE_RUNNING || s.dwCurrentState == SERVICE_STOPPED;
            consistent =
                consistent && (settled ? s.dwCheckPoint == 0 : s.dwCheckPoint == nextCheckPoint++);
        }
        EXPECT_TRUE(consistent) << testing::PrintToString(frame_testing::Timeline(rig.machine));
        const std::map<DWORD, int> expected{{SERVICE_START_PENDING, 1 + kBurst},
                                            {SERVICE_RUNNING, kBurst + 1 + kPauses},
                                            {SERVICE_PAUSE_PENDING, kPauses},
                                            {SERVICE_PAUSED, kPauses},
                                            {SERVICE_CONTINUE_PENDING, kPauses},
                                            {SERVICE_STOP_PENDING, 1},
                                            {SERVICE_STOPPED, 1}};
        EXPECT_EQ(counts, expected);
        EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
        if (HasFailure()) break;
    }
}

}  // namespace
