// The service's side of its contracts, each expected value written from where it is defined
// (Windows's documentation, the switch driver's interface, the registration the executable must
// make) and never taken from the constants the code uses: what it passes to the device, to the
// SCM and to the event log, what its control handler answers, and how the remover waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/text.h"
#include "radio/switch_device.h"
#include "tests/service_harness.h"

namespace {

using ::testing::ElementsAre;
using testing_support::kImagePath;
using testing_support::ServiceHarness;

constexpr const wchar_t* kName = L"BrevRctlService";

// Runs the executable from a console with `args` until it exits; returns what it printed.
std::string RunConsole(ServiceHarness& harness, std::vector<std::wstring> args) {
    sim::SimProcess* process = harness.machine.Launch(kImagePath, std::move(args));
    EXPECT_NE(process, nullptr);
    if (process == nullptr) return {};
    EXPECT_TRUE(harness.machine.RunUntilExited(*process, 60'000).idle);
    return process->Stdout();
}

TEST(DeviceContract, TheInterfaceClassIsTheDriversGuidByteForByte) {
    // {248801F3-19F5-472C-A8AE-36085DB2C0A5}: the first three fields little-endian in memory.
    const unsigned char expected[16] = {0xF3, 0x01, 0x88, 0x24, 0xF5, 0x19, 0x2C, 0x47,
                                        0xA8, 0xAE, 0x36, 0x08, 0x5D, 0xB2, 0xC0, 0xA5};
    static_assert(sizeof(GUID) == sizeof(expected));
    EXPECT_EQ(std::memcmp(&radio::GUID_RADIO_SWITCH_INTERFACE, expected, sizeof(expected)), 0);
}

TEST(DeviceContract, TheSwitchIsOpenedForSynchronousReadsAndAskedForFourStatusBytes) {
    ServiceHarness harness;
    harness.machine.Wlan().AddInterface("wlan0", {{}});
    harness.StartService();
    harness.Stop();

    const auto& opens = harness.machine.Devices().Opens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, harness.machine.Devices().SwitchDevicePaths().front());
    EXPECT_EQ(opens[0].desiredAccess, 0x80000000u);  // GENERIC_READ
    EXPECT_EQ(opens[0].shareMode, 0x1u);             // FILE_SHARE_READ
    EXPECT_FALSE(opens[0].security);
    EXPECT_EQ(opens[0].creationDisposition, 3u);  // OPEN_EXISTING
    EXPECT_EQ(opens[0].flagsAndAttributes, 0u);   // synchronous I/O
    EXPECT_FALSE(opens[0].templateFile);

    const auto& requests = harness.machine.Devices().StatusRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].ioControlCode, 737284u);  // 0xB4004
    EXPECT_FALSE(requests[0].inBuffer);
    EXPECT_EQ(requests[0].inBufferSize, 0u);
    EXPECT_EQ(requests[0].outBufferSize, 4u);
    EXPECT_FALSE(requests[0].overlapped);
}

TEST(ScmContract, InstallAndRemoveAskForExactlyTheRightsTheyNeed) {
    ServiceHarness harness;
    EXPECT_EQ(RunConsole(harness, {L"-install"}), "BrevRctlService is installed.\n");
    RunConsole(harness, {L"-remove"});
    const auto requests = harness.machine.Scm().AccessRequests();
    ASSERT_EQ(requests.size(), 4u);
    // SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE; the new service opened for SERVICE_START.
    EXPECT_EQ(requests[0].operation, "OpenSCManagerW");
    EXPECT_EQ(requests[0].desiredAccess, 0x3u);
    EXPECT_EQ(requests[1].operation, "CreateServiceW");
    EXPECT_EQ(requests[1].name, kName);
    EXPECT_EQ(requests[1].desiredAccess, 0x10u);
    // SC_MANAGER_CONNECT; SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE.
    EXPECT_EQ(requests[2].operation, "OpenSCManagerW");
    EXPECT_EQ(requests[2].desiredAccess, 0x1u);
    EXPECT_EQ(requests[3].operation, "OpenServiceW");
    EXPECT_EQ(requests[3].name, kName);
    EXPECT_EQ(requests[3].desiredAccess, 0x10024u);
}

// A user without administrator rights may connect to the SCM and query a service, nothing more.
TEST(ScmContract, WithoutAdministratorRightsInstallAndRemoveFailWithAccessDenied) {
    ServiceHarness harness;
    RunConsole(harness, {L"-install"});
    harness.machine.Scm().SetCallerPrivileged(false);
    EXPECT_EQ(RunConsole(harness, {L"-install"}), "OpenSCManager failed w/err 0x00000005\n");
    EXPECT_EQ(RunConsole(harness, {L"-remove"}), "OpenService failed w/err 0x00000005\n");
    EXPECT_EQ(harness.machine.Scm().CurrentStatus(kName).dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(harness.machine.Scm().Registration(kName).has_value());
}

// Two runs that write every kind of record: a failing status request, a not-ready read and its
// wait, a refused WLAN call, airplane mode, a stop; then a start without the device. Only the
// refused WLAN call is an error record; the device channel's failures are information.
TEST(EventLogContract, EveryRecordHasTheServicesSourceNoCategoryIdSidOrDataAndTwoStrings) {
    ServiceHarness harness;
    harness.machine.Wlan().AddInterface("wlan0", {{}});
    harness.machine.Devices().SetBiosFailure(ERROR_GEN_FAILURE);
    harness.StartService();
    harness.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
    harness.AdvanceBy(15000);
    harness.machine.Faults().Add({"WlanSetInterface", ERROR_ACCESS_DENIED, 0, 1});
    harness.Switch(0);
    harness.machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 1);
    harness.Switch(1);
    harness.Stop();
    harness.machine.Devices().SetSwitchPresent(false);
    harness.StartService();

    const auto records = harness.machine.Log().Of<sim::EventRecord>();
    ASSERT_GE(records.size(), 15u);
    std::vector<std::wstring> errors;
    for (const auto& record : records) {
        SCOPED_TRACE(platform::Utf8FromWide(record.Message()));
        EXPECT_EQ(record.source, kName);
        EXPECT_TRUE(record.type == 1 || record.type == 4);  // ERROR or INFORMATION
        EXPECT_EQ(record.category, 0);
        EXPECT_EQ(record.eventId, 0u);
        EXPECT_FALSE(record.hasSid);
        EXPECT_TRUE(record.data.empty());
        ASSERT_EQ(record.strings.size(), 2u);
        EXPECT_EQ(record.strings[0], kName);
        if (record.type == 1) errors.push_back(record.Message());
    }
    EXPECT_THAT(errors, ElementsAre(L"Switch state WLAN to OFF failed failed w/err 0x00000005"));
    const auto messages = [&] {
        std::vector<std::wstring> all;
        for (const auto& record : records) all.push_back(record.Message());
        return all;
    }();
    for (const wchar_t* expected :
         {L"Send request failed!", L"Device not ready!, Wait resume event",
          L"ProcessHotkeyPressed Airplane mode on, do nothing", L"Cannot read device!",
          L"Cannot open device!"})
        EXPECT_THAT(messages, ::testing::Contains(std::wstring(expected)));
}

TEST(ControlContract, TheHandlerAnswersNoErrorToEveryControlItIsGiven) {
    ServiceHarness harness;
    harness.machine.Wlan().AddInterface("wlan0", {{}});
    harness.StartService();
    struct Control {
        DWORD control, eventType;
    };
    // Pause, continue, interrogate, power events of every kind, a user-defined control and an
    // unknown one, delivered whether the service accepts them or not; then stop.
    const Control controls[] = {{2, 0},   {3, 0},  {4, 0},   {13, 4},  {13, 18},
                                {13, 10}, {13, 7}, {128, 0}, {255, 0}, {1, 0}};
    for (const Control& c : controls) {
        SCOPED_TRACE(testing::Message() << "control " << c.control << ", event " << c.eventType);
        harness.SendControl(c.control, c.eventType, true);
        EXPECT_EQ(harness.machine.Scm().LastHandlerResult(kName), std::optional<DWORD>(0));
    }
    EXPECT_TRUE(harness.ServiceProcessExited());
}

// A stop that waits for the worker's slow WLAN call keeps the service in SERVICE_STOP_PENDING:
// the remover polls once a second and prints a dot for every poll that still finds it so.
TEST(RemoverContract, OneDotPerFurtherSecondWhileTheServiceStaysStopPending) {
    ServiceHarness harness;
    harness.machine.Wlan().AddInterface("wlan0", {{}});
    EXPECT_EQ(RunConsole(harness, {L"-install"}), "BrevRctlService is installed.\n");
    harness.machine.Faults().AddDelay({"WlanSetInterface", 3500, 0, 1});
    harness.Switch(0);

    sim::SimProcess* remover = harness.machine.Launch(kImagePath, {L"-remove"});
    ASSERT_NE(remover, nullptr);
    const std::uint64_t startMs = harness.machine.NowMs();
    ASSERT_TRUE(harness.machine.RunUntilExited(*remover, 60'000).idle);
    std::vector<std::pair<std::uint64_t, std::string>> prints;
    for (const auto& observation : harness.machine.Log().All())
        if (auto* output = std::get_if<sim::ConsoleOutput>(&observation.body);
            output != nullptr && output->process == remover->Name())
            prints.emplace_back(observation.timeMs - startMs, output->text);
    using Print = std::pair<std::uint64_t, std::string>;
    EXPECT_THAT(prints, ElementsAre(Print{0, "Stopping BrevRctlService."}, Print{1000, "."},
                                    Print{2000, "."}, Print{3000, "."},
                                    Print{4000, "\nBrevRctlService is stopped.\n"},
                                    Print{4000, "BrevRctlService is removed.\n"}));
    EXPECT_EQ(harness.machine.Faults().CallCount("QueryServiceStatus"), 4u);
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    EXPECT_TRUE(harness.ServiceProcessExited());
}

}  // namespace
