// The radio switch service from switch to radio on the simulated machine: start-up order, the
// mapping of switch values and BIOS statuses, the queue, the not-ready wait, and stopping from
// every state without waiting anything out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/service_harness.h"

namespace {

using ::testing::ElementsAre;
using testing_support::ServiceHarness;

// ERROR_INVALID_DATA, which SetServiceStatus gives for a status it cannot take.
constexpr DWORD kErrorInvalidData = 13;

std::vector<std::wstring> Only(const std::vector<std::wstring>& messages,
                               const std::wstring& prefix) {
    std::vector<std::wstring> matching;
    for (auto& message : messages)
        if (message.rfind(prefix, 0) == 0) matching.push_back(message);
    return matching;
}

class RadioService : public ::testing::Test {
protected:
    void SetUp() override { harness.machine.Wlan().AddInterface("wlan0", {{}}); }

    // Stops the service and checks that it ended at once and released everything.
    void StopAndExpectCleanEnd() {
        const std::uint64_t stoppedAt = harness.machine.NowMs();
        harness.Stop();
        EXPECT_TRUE(harness.ServiceProcessExited());
        EXPECT_EQ(harness.machine.NowMs(), stoppedAt);
        EXPECT_EQ(harness.machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState,
                  SERVICE_STOPPED);
        EXPECT_TRUE(harness.machine.OpenResources().empty());
    }

    ServiceHarness harness;
};

TEST_F(RadioService, StartReportsRunningReconcilesWithTheBiosAndWaitsForTheSwitch) {
    harness.StartService();
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"BrevRbtnService in OnStart", L"WaitUntilCanQuerryWlanState",
                            L"TryQueryWlanState", L"Send request sucessful!",
                            L"ReadAndUpdateWlanState, bSendRet: TRUE",
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1",
                            L"ProcessHotkeyPressed, state: 1"));
    EXPECT_THAT(harness.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING));
    EXPECT_EQ(harness.Statuses()[0].dwCheckPoint, 1u);
    EXPECT_EQ(harness.Statuses()[1].dwCheckPoint, 0u);
    EXPECT_TRUE(harness.machine.Devices().ReadPending());
    StopAndExpectCleanEnd();
}

TEST_F(RadioService, SwitchValuesAreMappedAndAppliedInOrder) {
    harness.StartService();
    harness.Mark();
    for (DWORD value : {0u, 1u, 2u, 3u, 4u}) harness.Switch(value);
    EXPECT_THAT(Only(harness.Messages(), L"DoUpdateWifiState"),
                ElementsAre(L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 0, wifiState: 0",
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 1, wifiState: 1",
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 2, wifiState: 0",
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1",
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 4, wifiState: 1"));
    EXPECT_THAT(harness.AppliedRequests(), ElementsAre(L"0", L"1", L"0", L"1", L"1"));
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_on);
    harness.Switch(0);
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    StopAndExpectCleanEnd();
}

// A device that fails for good ends the service, but what the user switched before is applied.
TEST_F(RadioService, RequestsStillQueuedWhenTheDeviceFailsAreAppliedBeforeTheServiceEnds) {
    harness.StartService();
    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(0));
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_DEVICE_NOT_CONNECTED));
    harness.RunUntilIdle();
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 0, wifiState: 0",
                            L"Cannot read device!", L"ProcessHotkeyPressed, state: 0",
                            L"Wlan state is OFF"));
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    EXPECT_THAT(harness.States(), ElementsAre(SERVICE_STOPPED));
    EXPECT_TRUE(harness.ServiceProcessExited());
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(RadioService, ValuesDeliveredBeforeTheWorkerWakesAreAllAppliedInOrder) {
    harness.StartService();
    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(0));
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(1));
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(2));
    harness.RunUntilIdle();
    EXPECT_THAT(harness.AppliedRequests(), ElementsAre(L"0", L"1", L"0"));
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    StopAndExpectCleanEnd();
}

TEST_F(RadioService, BiosStatusDecidesTheFirstRequest) {
    struct Case {
        const char* name;
        std::function<void(sim::SimDevices&)> bios;
        std::vector<std::wstring> records;
        std::vector<std::wstring> applied;
    };
    const std::vector<Case> cases = {
        {"status 0",
         [](auto& d) { d.SetBiosStatus(0); },
         {L"Send request sucessful!", L"ReadAndUpdateWlanState, bSendRet: TRUE",
          L"ReadAndUpdateWlanState ignore case (Wlan control state off), bSendRet: TRUE, "
          L"wifiStatus: 0, validStatus: TRUE"},
         {}},
        {"status 1",
         [](auto& d) { d.SetBiosStatus(1); },
         {L"Send request sucessful!", L"ReadAndUpdateWlanState, bSendRet: TRUE",
          L"ReadAndUpdateWlanState ignore case (Wlan control state off), bSendRet: TRUE, "
          L"wifiStatus: 1, validStatus: TRUE"},
         {}},
        {"status 2",
         [](auto& d) { d.SetBiosStatus(2); },
         {L"Send request sucessful!", L"ReadAndUpdateWlanState, bSendRet: TRUE",
          L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 2, wifiState: 0"},
         {L"0"}},
        {"status 7",
         [](auto& d) { d.SetBiosStatus(7); },
         {L"Send request sucessful!", L"ReadAndUpdateWlanState, bSendRet: TRUE",
          L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 7, wifiState: 1"},
         {L"1"}},
        {"request fails",
         [](auto& d) { d.SetBiosFailure(ERROR_GEN_FAILURE); },
         {L"Send request failed!", L"ReadAndUpdateWlanState, bSendRet: FALSE",
          L"ReadAndUpdateWlanState ignore update wlan state because can't read wifi status "
          L"from Bios"},
         {}},
        {"no data",
         [](auto& d) { d.SetBiosNoData(); },
         {L"Send request sucessful!", L"ReadAndUpdateWlanState, bSendRet: TRUE",
          L"ReadAndUpdateWlanState ignore case (Wlan control state off), bSendRet: TRUE, "
          L"wifiStatus: 0, validStatus: TRUE"},
         {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceHarness run;
        run.machine.Wlan().AddInterface("wlan0", {{}});
        c.bios(run.machine.Devices());
        run.StartService();
        auto messages = run.Messages();
        // The BIOS records follow the WLAN wait's two records and precede any request.
        ASSERT_GE(messages.size(), 3u + c.records.size());
        EXPECT_EQ(std::vector<std::wstring>(
                      messages.begin() + 3,
                      messages.begin() + 3 + static_cast<std::ptrdiff_t>(c.records.size())),
                  c.records);
        EXPECT_EQ(run.AppliedRequests(), c.applied);
        EXPECT_TRUE(run.machine.Devices().ReadPending());
        run.Stop();
        EXPECT_TRUE(run.ServiceProcessExited());
    }
}

TEST_F(RadioService, NotReadyDeviceIsWaitedOutForFifteenSecondsThenReadAgain) {
    harness.StartService();
    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.RunUntilIdle();
    EXPECT_THAT(harness.Messages(), ElementsAre(L"Device not ready!, Wait resume event"));
    EXPECT_FALSE(harness.machine.Devices().ReadPending());
    harness.AdvanceBy(14999);
    EXPECT_EQ(harness.Messages().size(), 1u);
    harness.AdvanceBy(1);
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"Device not ready!, Wait resume event",
                            L"Device not ready!, Wait resume event end, don't call update wlan "
                            L"state"));
    EXPECT_TRUE(harness.machine.Devices().ReadPending());
    harness.Switch(0);
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    StopAndExpectCleanEnd();
}

TEST_F(RadioService, ResumeEndsTheNotReadyWaitWithinASecondAndReconciles) {
    harness.StartService();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.RunUntilIdle();
    harness.AdvanceBy(10000);
    harness.Mark();
    harness.machine.Devices().SetBiosStatus(2);
    harness.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    EXPECT_THAT(harness.Messages(), ElementsAre(L"OnSystemResume"));
    harness.AdvanceBy(1000);
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"OnSystemResume",
                            L"Device not ready!, Wait resume event end, call update wlan state",
                            L"Send request sucessful!", L"ReadAndUpdateWlanState, bSendRet: TRUE",
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 2, wifiState: 0",
                            L"ProcessHotkeyPressed, state: 0", L"Wlan state is OFF"));
    EXPECT_TRUE(harness.machine.Devices().ReadPending());
    StopAndExpectCleanEnd();
}

TEST_F(RadioService, ResumeBeforeTheNotReadyFailureIsConsumedWithoutSleeping) {
    harness.StartService();
    harness.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
    harness.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    harness.Mark();
    const std::uint64_t before = harness.machine.NowMs();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.RunUntilIdle();
    EXPECT_EQ(harness.machine.NowMs(), before);
    auto messages = harness.Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[1], L"Device not ready!, Wait resume event end, call update wlan state");
    EXPECT_EQ(messages[2], L"Send request sucessful!");
    // The flag was consumed: the next not-ready failure waits again.
    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.AdvanceBy(15000);
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"Device not ready!, Wait resume event",
                            L"Device not ready!, Wait resume event end, don't call update wlan "
                            L"state"));
    StopAndExpectCleanEnd();
}

// The wait takes the flag in one exchange before it reconciles: a resume that comes while the
// reconciliation's status request is pending is a new one, kept for the next not-ready failure.
TEST_F(RadioService, ResumeDuringTheReconciliationItTriggeredIsKeptForTheNextFailure) {
    harness.StartService();
    harness.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    harness.machine.Devices().HoldStatusRequests(true);
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.RunUntilIdle();
    ASSERT_TRUE(harness.machine.Devices().StatusRequestPending());
    harness.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
    harness.machine.Devices().HoldStatusRequests(false);
    harness.RunUntilIdle();
    ASSERT_TRUE(harness.machine.Devices().ReadPending());

    harness.Mark();
    const std::uint64_t before = harness.machine.NowMs();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.RunUntilIdle();
    EXPECT_EQ(harness.machine.NowMs(), before);
    const auto messages = harness.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[1], L"Device not ready!, Wait resume event end, call update wlan state");
    StopAndExpectCleanEnd();
}

// Whatever the device loop waits for, a stop ends the process with no virtual time passing, and
// SERVICE_STOPPED comes once, after everything else. A not-ready wait cut short still ends with
// its record.
TEST_F(RadioService, StopEndsTheServiceAtOnceFromEveryWaitingState) {
    static const std::wstring kNotReadyWaitEnd =
        L"Device not ready!, Wait resume event end, don't call update wlan state";
    struct Case {
        const char* name;
        std::function<void(ServiceHarness&)> beforeStart;
        std::function<void(ServiceHarness&)> afterStart;
        std::vector<std::wstring> cancelledRecords;  // between OnStop's and the loop's last
    };
    const std::vector<Case> cases = {
        {"read pending", [](ServiceHarness&) {}, [](ServiceHarness&) {}, {}},
        {"WLAN wait",
         [](ServiceHarness& h) { h.machine.Wlan().RemoveInterface("wlan0"); },
         [](ServiceHarness& h) { h.AdvanceBy(2500); },
         {}},
        {"not-ready wait",
         [](ServiceHarness&) {},
         [](ServiceHarness& h) {
             h.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
             h.AdvanceBy(3500);
         },
         {kNotReadyWaitEnd}},
        {"device failing as not ready for ever",
         [](ServiceHarness&) {},
         [](ServiceHarness& h) {
             h.machine.Faults().Add({"ReadFile", ERROR_NOT_READY, 0, std::nullopt});
             h.machine.Devices().Complete(sim::ReadCompletion::Switch(1));
             h.AdvanceBy(31000);
         },
         {kNotReadyWaitEnd}},
        {"not-ready wait after a resume",
         [](ServiceHarness&) {},
         [](ServiceHarness& h) {
             h.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
             h.AdvanceBy(2000);
             h.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
         },
         {kNotReadyWaitEnd}},
        {"short reads without end",
         [](ServiceHarness&) {},
         [](ServiceHarness& h) {
             h.machine.Devices().SetShortReadFlood(true);
             h.AdvanceBy(3500);
         },
         {L"Short reads from device ended, count: 11"}},
        {"BIOS status request pending",
         [](ServiceHarness& h) { h.machine.Devices().HoldStatusRequests(true); },
         [](ServiceHarness& h) { ASSERT_TRUE(h.machine.Devices().StatusRequestPending()); },
         {L"Send request failed!", L"ReadAndUpdateWlanState, bSendRet: FALSE",
          L"ReadAndUpdateWlanState ignore update wlan state because can't read wifi status "
          L"from Bios"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceHarness run;
        run.machine.Wlan().AddInterface("wlan0", {{}});
        c.beforeStart(run);
        run.StartService();
        c.afterStart(run);
        ASSERT_FALSE(run.ServiceProcessExited());
        run.Mark();
        const std::uint64_t stoppedAt = run.machine.NowMs();
        run.Stop();
        EXPECT_TRUE(run.ServiceProcessExited());
        EXPECT_EQ(run.machine.NowMs(), stoppedAt);
        std::vector<std::wstring> expected{L"BrevRbtnService in OnStop"};
        expected.insert(expected.end(), c.cancelledRecords.begin(), c.cancelledRecords.end());
        expected.push_back(L"Cannot read device!");
        EXPECT_EQ(run.Messages(), expected);
        EXPECT_THAT(run.States(), ElementsAre(SERVICE_STOP_PENDING, SERVICE_STOPPED));
        EXPECT_TRUE(run.machine.OpenResources().empty());
    }
}

TEST_F(RadioService, StopAtAnyInstantOfAStartUnderRandomSchedulesEndsAtOnce) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        ServiceHarness run;
        run.machine.Wlan().AddInterface("wlan0", {{}});
        run.machine.Core().SetPreemption(seed, 0.3);
        ASSERT_EQ(run.machine.Scm().StartServiceProcess(CServiceSource::kServiceName,
                                                        testing_support::kImagePath),
                  0u);
        run.machine.Devices().Complete(sim::ReadCompletion::Switch(0));
        // Delivered at once, whatever the service is doing: the raw control skips the SCM's
        // refusal of a stop while the start is pending.
        ASSERT_EQ(run.machine.Scm().SendControl(CServiceSource::kServiceName, SERVICE_CONTROL_STOP,
                                                0, true),
                  0u);
        run.RunUntilIdle();
        EXPECT_TRUE(run.ServiceProcessExited());
        EXPECT_EQ(run.machine.NowMs(), 0u);
        EXPECT_EQ(run.machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState,
                  SERVICE_STOPPED);
        EXPECT_TRUE(run.machine.OpenResources().empty());
    }
}

// SERVICE_STOPPED is the one report the dispatcher waits for, and a refused report spends
// nothing: it goes once more. Refused once, the service ends; refused for good, the dispatcher
// never returns and the process stays, as on Windows, but no thread keeps trying.
TEST_F(RadioService, RefusedStoppedReportIsSentOnceMore) {
    struct Case {
        const char* name;
        std::optional<std::uint32_t> refusals;  // from the stop's SERVICE_STOP_PENDING on
        bool ends;
    };
    for (const Case& c : {Case{"refused once", 1, true}, Case{"refused for good", {}, false}}) {
        SCOPED_TRACE(c.name);
        ServiceHarness run;
        run.machine.Wlan().AddInterface("wlan0", {{}});
        run.StartService();
        const std::uint64_t reportsBefore = run.machine.Faults().CallCount("SetServiceStatus");
        // The stop's SERVICE_STOP_PENDING goes through; what follows is refused.
        run.machine.Faults().Add({"SetServiceStatus", kErrorInvalidData, 1, c.refusals});
        run.Stop();
        EXPECT_EQ(run.machine.Faults().CallCount("SetServiceStatus") - reportsBefore, 3u);
        EXPECT_EQ(run.ServiceProcessExited(), c.ends);
        EXPECT_EQ(run.machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState,
                  c.ends ? SERVICE_STOPPED : SERVICE_STOP_PENDING);
        if (c.ends) {
            EXPECT_TRUE(run.machine.OpenResources().empty());
        }
    }
}

TEST_F(RadioService, ShutdownWritesItsThreeRecordsInOrderAndEnds) {
    harness.StartService();
    harness.Mark();
    harness.SendControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"BrevRbtnService in Shutdown", L"BrevRbtnService in shutdown",
                            L"BrevRbtnService in OnStop", L"Cannot read device!"));
    EXPECT_TRUE(harness.ServiceProcessExited());
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(RadioService, NoSwitchDeviceEndsTheServiceWithoutReportingRunning) {
    harness.machine.Devices().SetSwitchPresent(false);
    harness.StartService();
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"BrevRbtnService in OnStart", L"Cannot open device!"));
    EXPECT_THAT(harness.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_STOPPED));
    EXPECT_EQ(harness.Statuses()[1].dwWin32ExitCode, 0u);
    EXPECT_NE(
        harness.machine.Processes()[0]->Stdout().find("SetupDiEnumDeviceInterfaces failed.\n"),
        std::string::npos);
    EXPECT_TRUE(harness.ServiceProcessExited());
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(RadioService, ReadErrorEndsTheDeviceLoopAndTheWorker) {
    harness.StartService();
    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_GEN_FAILURE));
    harness.RunUntilIdle();
    EXPECT_THAT(harness.Messages(), ElementsAre(L"Cannot read device!"));
    EXPECT_THAT(harness.States(), ElementsAre(SERVICE_STOPPED));
    EXPECT_TRUE(harness.ServiceProcessExited());
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(RadioService, ShortReadIsDroppedAndReadingGoesOn) {
    harness.StartService();
    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Raw({0x00, 0x00}));
    harness.RunUntilIdle();
    EXPECT_THAT(harness.Messages(), ElementsAre(L"Short read from device ignored, bytesRead: 2"));
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_on);
    EXPECT_TRUE(harness.machine.Devices().ReadPending());
    StopAndExpectCleanEnd();
}

// A driver that completes every read at once without data costs about a read a second and two
// records, however long it goes on; the first whole value ends the run within a second, and the
// next short read is read past at once again.
TEST_F(RadioService, ShortReadsWithoutEndCostAReadASecondAndTwoRecords) {
    harness.StartService();
    harness.Mark();
    const std::uint64_t readsBefore = harness.machine.Faults().CallCount("ReadFile");
    harness.machine.Devices().SetShortReadFlood(true);
    harness.AdvanceBy(10000);
    const std::uint64_t reads = harness.machine.Faults().CallCount("ReadFile") - readsBefore;
    EXPECT_GE(reads, 10u);
    EXPECT_LE(reads, 18u);
    EXPECT_THAT(harness.Messages(), ElementsAre(L"Short read from device ignored, bytesRead: 0"));

    harness.machine.Devices().SetShortReadFlood(false);
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(0));
    harness.AdvanceBy(1000);
    EXPECT_THAT(harness.Messages(),
                ElementsAre(L"Short read from device ignored, bytesRead: 0",
                            // and the read pending when the flood began
                            L"Short reads from device ended, count: " + std::to_wstring(reads + 1),
                            L"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 0, wifiState: 0",
                            L"ProcessHotkeyPressed, state: 0", L"Wlan state is OFF"));

    harness.Mark();
    harness.machine.Devices().Complete(sim::ReadCompletion::Raw({0x01}));
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(1));
    harness.RunUntilIdle();
    EXPECT_THAT(harness.AppliedRequests(), ElementsAre(L"1"));
    StopAndExpectCleanEnd();
}

// Values beyond the queue's bound replace the newest one queued: memory stays bounded, the
// requests queued first keep their order, the latest value is the last applied, and the flood is
// written once, though the worker makes room now and then while it goes on.
TEST_F(RadioService, FloodOfValuesBeyondTheQueueBoundKeepsTheLatest) {
    constexpr int kBatches = 5;
    constexpr int kValuesPerBatch = 2000;
    harness.StartService();
    harness.Mark();
    // Each request takes the worker 10 ms while the driver delivers values in batches.
    harness.machine.Faults().AddDelay({"WlanSetInterface", 10, 0, std::nullopt});
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int i = 0; i < kValuesPerBatch; ++i)
            harness.machine.Devices().Complete(sim::ReadCompletion::Switch(i % 2 == 0 ? 0 : 1));
        harness.RunUntilIdle();
        harness.AdvanceBy(50);
    }
    harness.machine.Devices().Complete(sim::ReadCompletion::Switch(2));
    harness.AdvanceBy(60000);
    EXPECT_THAT(Only(harness.Messages(), L"Event queue full"),
                ElementsAre(L"Event queue full, newest request replaced, queueLength: 4096"));
    const auto applied = harness.AppliedRequests();
    ASSERT_GE(applied.size(), 4096u);
    EXPECT_LT(applied.size(), 4200u);
    EXPECT_EQ(applied.back(), L"0");
    for (std::size_t i = 0; i < 4096; ++i) EXPECT_EQ(applied[i], i % 2 == 0 ? L"0" : L"1") << i;
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    StopAndExpectCleanEnd();
}

// A driver that keeps its read whatever the cancel answers gets two seconds; then the stop ends
// without the device loop, which leaves the service object only when the read returns.
TEST_F(RadioService, StopEndsWhenTheDriverRefusesToCancelItsRead) {
    for (const DWORD code : {DWORD{ERROR_GEN_FAILURE}, DWORD{ERROR_NOT_FOUND}}) {
        SCOPED_TRACE(code);
        ServiceHarness run;
        run.machine.Wlan().AddInterface("wlan0", {{}});
        run.StartService();
        run.Mark();
        run.machine.Faults().Add({"CancelIoEx", code, 0, std::nullopt});
        run.Stop();
        run.AdvanceBy(1000);
        EXPECT_EQ(run.machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState,
                  SERVICE_STOP_PENDING);
        run.AdvanceBy(1000);
        EXPECT_EQ(run.machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState,
                  SERVICE_STOPPED);
        EXPECT_THAT(run.Messages(), ElementsAre(L"BrevRbtnService in OnStop",
                                                L"Cannot cancel device request!, lastError: " +
                                                    std::to_wstring(code)));
        EXPECT_THAT(run.States(), ElementsAre(SERVICE_STOP_PENDING, SERVICE_STOPPED));
        EXPECT_FALSE(run.ServiceProcessExited());
        EXPECT_TRUE(run.machine.Devices().ReadPending());

        // The read's return ends the process; its value is not applied.
        run.Switch(0);
        EXPECT_TRUE(run.ServiceProcessExited());
        EXPECT_TRUE(run.AppliedRequests().empty());
        EXPECT_EQ(run.Software("wlan0"), dot11_radio_state_on);
        EXPECT_EQ(run.Messages().back(), L"Cannot read device!");
        EXPECT_EQ(run.States().size(), 2u);
        EXPECT_TRUE(run.machine.OpenResources().empty());
    }
}

TEST_F(RadioService, StartFailuresBecomeRecordsAndAStoppedReport) {
    {
        ServiceHarness run;
        run.machine.Faults().Add({"CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 1, 1});
        run.StartService();
        EXPECT_THAT(run.Messages(), ElementsAre(L"BrevRbtnService in OnStart",
                                                L"Service Start failed w/err 0x00000008"));
        ASSERT_EQ(run.Statuses().size(), 2u);
        EXPECT_EQ(run.Statuses()[1].dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(run.Statuses()[1].dwWin32ExitCode, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_TRUE(run.ServiceProcessExited());
        EXPECT_TRUE(run.machine.OpenResources().empty());
    }
    {
        ServiceHarness run;
        run.machine.Faults().Add({"CreateThread", ERROR_NOT_ENOUGH_MEMORY, 0, 1});
        run.StartService();
        EXPECT_THAT(run.Messages(),
                    ElementsAre(L"BrevRbtnService in OnStart", L"Service failed to start."));
        ASSERT_EQ(run.Statuses().size(), 2u);
        EXPECT_EQ(run.Statuses()[1].dwWin32ExitCode, 0u);
        EXPECT_TRUE(run.ServiceProcessExited());
        EXPECT_TRUE(run.machine.OpenResources().empty());
    }
}

TEST_F(RadioService, FailedWaitEndsOnlyTheWorkerWithARecord) {
    harness.machine.Faults().Add({"WaitForSingleObject", ERROR_INVALID_HANDLE, 0, 1});
    harness.StartService();
    auto messages = harness.Messages();
    EXPECT_EQ(messages.back(), L"WorkerLoop failed w/err 0x00000006");
    harness.Mark();
    harness.Switch(0);
    EXPECT_TRUE(harness.AppliedRequests().empty());
    StopAndExpectCleanEnd();
}

TEST_F(RadioService, ManyStartTrafficStopCyclesLeaveNothingBehind) {
    for (int cycle = 0; cycle < 25; ++cycle) {
        SCOPED_TRACE(cycle);
        harness.StartService();
        for (DWORD value = 0; value < 6; ++value) harness.Switch(value % 3);
        if (cycle % 5 == 0) {
            harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
            harness.SendControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC);
        }
        if (cycle % 2 == 0) {
            harness.Stop();
        } else {
            harness.SendControl(SERVICE_CONTROL_SHUTDOWN);
        }
        ASSERT_TRUE(harness.ServiceProcessExited());
        ASSERT_TRUE(harness.machine.OpenResources().empty());
    }
}

}  // namespace
