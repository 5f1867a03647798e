// WLAN radio control on the simulated machine: what each request does to each interface, the
// airplane-mode read and its console trace, a failure at every Native Wifi call, and the bounded
// start-up wait in virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"
#include "radio/service_source.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DOT11_RADIO_STATE kOn = dot11_radio_state_on;
constexpr DOT11_RADIO_STATE kOff = dot11_radio_state_off;
constexpr DOT11_RADIO_STATE kUnknown = dot11_radio_state_unknown;

struct Record {
    WORD type;
    std::wstring text;
    bool operator==(const Record&) const = default;
};
void PrintTo(const Record& record, std::ostream* out) {
    *out << (record.type == EVENTLOG_ERROR_TYPE ? "error \"" : "info \"")
         << platform::Utf8FromWide(record.text) << '"';
}
Record Info(std::wstring text) {
    return {EVENTLOG_INFORMATION_TYPE, std::move(text)};
}
Record Error(std::wstring text) {
    return {EVENTLOG_ERROR_TYPE, std::move(text)};
}

// A software radio state change as the platform saw it: interface, PHY, software and hardware
// state sent, result.
using SetCall = std::tuple<std::string, DWORD, DOT11_RADIO_STATE, DOT11_RADIO_STATE, DWORD>;

class WlanControlTest : public ::testing::Test {
protected:
    WlanControlTest() { machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0); }

    void Run(std::function<void()> body) {
        ASSERT_TRUE(process.RunOnThread("worker", std::move(body)).idle);
    }
    void Press(DWORD request) {
        Run([this, request] { service.ProcessHotkeyPressed(request); });
    }
    // The wait on a thread of its own, as the device loop runs it; `done` tells when it returned.
    void StartWait(bool& done) {
        process.Spawn("service-main", [this, &done] {
            service.WaitUntilCanQuerryWlanState();
            done = true;
        });
    }
    bool TryQuery() {
        bool result = false;
        Run([this, &result] { result = service.TryQueryWlanState(); });
        return result;
    }

    std::vector<Record> Records(std::size_t from = 0) {
        std::vector<Record> records;
        for (auto& record : machine.Log().Of<sim::EventRecord>(from))
            records.push_back({record.type, record.Message()});
        return records;
    }
    std::vector<SetCall> Sets() {
        std::vector<SetCall> sets;
        for (auto& set : machine.Log().Of<sim::WlanSet>())
            sets.emplace_back(set.interfaceName, set.phyIndex, set.software, set.hardware,
                              set.result);
        return sets;
    }
    std::vector<std::string> Console() {
        std::vector<std::string> lines;
        for (auto& output : machine.Log().Of<sim::ConsoleOutput>()) lines.push_back(output.text);
        return lines;
    }
    DOT11_RADIO_STATE Software(const std::string& name, std::size_t phy = 0) {
        return machine.Wlan().Find(name)->phys.at(phy).software;
    }
    std::uint64_t Calls(const char* operation) { return machine.Faults().CallCount(operation); }
    // What Native Wifi and the registry still hold; the service object's own event and lock are
    // not this code's to release.
    sim::ResourceCounts HeldByWlanControl() {
        sim::ResourceCounts held = machine.OpenResources();
        std::erase_if(held, [](const auto& kind) {
            return kind.first != "WLAN handles" && kind.first != "WLAN memory" &&
                   kind.first != "registry keys";
        });
        return held;
    }
    std::size_t TryQueryRecords() {
        auto records = Records();
        return std::count(records.begin(), records.end(), Info(L"TryQueryWlanState"));
    }

    sim::SimMachine machine;
    sim::SimProcess& process = machine.CreateProcess("service");
    CServiceSource service{process};
};

struct RequestCase {
    DWORD request;
    const wchar_t* stateRecord;
    const char* switched;
    DOT11_RADIO_STATE target;
    const wchar_t* record;
};
void PrintTo(const RequestCase& c, std::ostream* out) {
    *out << "request " << c.request;
}
class RequestTable : public WlanControlTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTable, SwitchesTheFirstPhyOnlyWhenItIsInTheOppositeState) {
    const RequestCase& c = GetParam();
    machine.Wlan().AddInterface("on", {{kOn, kOn}});
    machine.Wlan().AddInterface("off", {{kOff, kOn}});
    machine.Wlan().AddInterface("unknown", {{kUnknown, kOn}});
    Press(c.request);

    EXPECT_THAT(Records(), ElementsAre(Info(c.stateRecord), Info(c.record)));
    EXPECT_THAT(Sets(), ElementsAre(SetCall{c.switched, 0, c.target, kOn, ERROR_SUCCESS}));
    EXPECT_EQ(Software(c.switched), c.target);
    EXPECT_EQ(Software("unknown"), kUnknown);
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestTable,
                         ::testing::Values(RequestCase{0, L"ProcessHotkeyPressed, state: 0", "on",
                                                       kOff, L"Wlan state is OFF"},
                                           RequestCase{1, L"ProcessHotkeyPressed, state: 1", "off",
                                                       kOn, L"Wlan state is ON"},
                                           RequestCase{2, L"ProcessHotkeyPressed, state: 2", "off",
                                                       kOn, L"Wlan state is ON"}));

TEST_F(WlanControlTest, OnlyTheFirstPhyIsSetAndItsHardwareStateGoesBackAsQueried) {
    machine.Wlan().AddInterface("multi", {{kOff, kOff}, {kOff, kOn}, {kOn, kOff}});
    Press(1);

    EXPECT_THAT(Sets(), ElementsAre(SetCall{"multi", 0, kOn, kOff, ERROR_SUCCESS}));
    const auto& phys = machine.Wlan().Find("multi")->phys;
    EXPECT_EQ(phys[0].hardware, kOff);
    EXPECT_EQ(std::make_tuple(phys[1].software, phys[1].hardware), std::make_tuple(kOff, kOn));
    EXPECT_EQ(std::make_tuple(phys[2].software, phys[2].hardware), std::make_tuple(kOn, kOff));
    EXPECT_EQ(Records().back(), Info(L"Wlan state is ON"));
}

TEST_F(WlanControlTest, ARefusedSetIsRecordedWithItsLabelAndNotRetried) {
    machine.Wlan().AddInterface("wifi", {{kOff, kOn}});
    machine.Faults().Add({"WlanSetInterface", ERROR_ACCESS_DENIED});
    Press(1);
    EXPECT_EQ(Records().back(), Error(L"Switch state WLAN to ON failed failed w/err 0x00000005"));
    EXPECT_EQ(Sets().size(), 1u);
    EXPECT_EQ(Software("wifi"), kOff);
}

struct RegistryCase {
    const char* name;
    std::function<void(sim::SimRegistry&)> setUp;
    bool airplaneOn;
    std::vector<std::string> console;
};
void PrintTo(const RegistryCase& c, std::ostream* out) {
    *out << c.name;
}
class AirplaneMode : public WlanControlTest, public ::testing::WithParamInterface<RegistryCase> {};

TEST_P(AirplaneMode, OnlyExactlyOneStopsTheRequestAndTheReadIsTraced) {
    const RegistryCase& c = GetParam();
    c.setUp(machine.Registry());
    machine.Wlan().AddInterface("wifi", {{kOn, kOn}});
    Press(0);

    EXPECT_THAT(Console(), ::testing::ElementsAreArray(c.console));
    if (c.airplaneOn) {
        EXPECT_THAT(Records(),
                    ElementsAre(Info(L"ProcessHotkeyPressed, state: 0"),
                                Info(L"ProcessHotkeyPressed Airplane mode on, do nothing")));
        EXPECT_EQ(Calls("WlanQueryInterface"), 0u);
        EXPECT_EQ(Software("wifi"), kOn);
    } else {
        EXPECT_EQ(Records().back(), Info(L"Wlan state is OFF"));
        EXPECT_EQ(Software("wifi"), kOff);
    }
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());
}

std::function<void(sim::SimRegistry&)> Bytes(std::vector<BYTE> bytes) {
    return [bytes](sim::SimRegistry& registry) {
        registry.SetValue(sim::kSystemRadioStateKey, L"", REG_BINARY, bytes);
    };
}
std::vector<std::string> ReadOk(const char* data) {
    return {"Success opening key.", data, "Success Reading to Registry.", "0\n",
            "Success closing key."};
}

INSTANTIATE_TEST_SUITE_P(
    Values, AirplaneMode,
    ::testing::Values(
        RegistryCase{"DwordZero", Bytes({0, 0, 0, 0}), false, ReadOk("\nget data: 0\n")},
        RegistryCase{"DwordOne", Bytes({1, 0, 0, 0}), true, ReadOk("\nget data: 1\n")},
        RegistryCase{"DwordTwo", Bytes({2, 0, 0, 0}), false, ReadOk("\nget data: 2\n")},
        RegistryCase{"SingleByteOne", Bytes({1}), true, ReadOk("\nget data: 1\n")},
        RegistryCase{"FiveBytes",
                     Bytes({1, 0, 0, 0, 0}),
                     false,
                     {"Success opening key.", "\nget data: 0\n", "Error Reading to Registry.",
                      "234\n", "Success closing key."}},
        RegistryCase{"MissingValue",
                     [](sim::SimRegistry& registry) {
                         registry.DeleteValue(sim::kSystemRadioStateKey, L"");
                         registry.SetDword(sim::kSystemRadioStateKey, L"Other", 1);
                     },
                     false,
                     {"Success opening key.", "\nget data: 0\n", "Error Reading to Registry.",
                      "2\n", "Success closing key."}},
        RegistryCase{
            "MissingKey",
            [](sim::SimRegistry& registry) { registry.DeleteKey(sim::kSystemRadioStateKey); },
            false,
            {"Error opening key.", "Key code :2", "\nget data: 0\n", "Error Reading to Registry.",
             "6\n", "Error closing key."}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WlanControlTest, AFailedReadLeavesTheCallersValueAsItWas) {
    machine.Registry().SetValue(sim::kSystemRadioStateKey, L"", REG_BINARY, {1, 0, 0, 0, 0});
    DWORD value = 7, returned = 0;
    Run([&] { returned = service.ReadSystemRadioState(value); });
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(returned, 7u);

    machine.Registry().DeleteValue(sim::kSystemRadioStateKey, L"");
    Run([&] { returned = service.ReadSystemRadioState(value); });
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(returned, 7u);
}

struct FaultCase {
    const char* operation;
    const wchar_t* hotkeyRecord;
    bool registryRead;
    std::uint64_t closes;
    bool queryable;
};
void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.operation;
}
class NativeWifiFault : public WlanControlTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NativeWifiFault, IsRecordedAndEverythingObtainedIsReleased) {
    const FaultCase& c = GetParam();
    machine.Wlan().AddInterface("wifi", {{kOn, kOn}});
    machine.Faults().Add({c.operation, 0x80342002u, 0, std::nullopt});

    Press(0);
    EXPECT_THAT(Records(),
                ElementsAre(Info(L"ProcessHotkeyPressed, state: 0"), Error(c.hotkeyRecord)));
    EXPECT_EQ(Calls("RegOpenKeyExW"), c.registryRead ? 1u : 0u);
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());

    const std::size_t mark = machine.Log().Size();
    EXPECT_EQ(TryQuery(), c.queryable);
    if (c.queryable)
        EXPECT_THAT(Records(mark), ElementsAre(Info(L"TryQueryWlanState")));
    else
        EXPECT_THAT(Records(mark), ElementsAre(Info(L"TryQueryWlanState"), Error(c.hotkeyRecord)));
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());
    EXPECT_EQ(Calls("WlanCloseHandle"), c.closes);
    EXPECT_EQ(machine.Wlan().BadFrees(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, NativeWifiFault,
    ::testing::Values(
        FaultCase{"WlanOpenHandle", L"WlanOpenHandle failed w/err 0x80342002", false, 0, false},
        FaultCase{"WlanEnumInterfaces", L"WlanEnumInterfaces failed w/err 0x80342002", false, 2,
                  false},
        FaultCase{"WlanQueryInterface", L"WlanQueryInterface failed w/err 0x80342002", true, 2,
                  false},
        FaultCase{"WlanSetInterface", L"Switch state WLAN to OFF failed failed w/err 0x80342002",
                  true, 2, true}),
    [](const auto& info) { return std::string(info.param.operation); });

TEST_F(WlanControlTest, AFailedQueryInTheMiddleSkipsOneInterfaceButEndsTheAttempt) {
    for (const char* name : {"first", "second", "third"}) machine.Wlan().AddInterface(name, {{}});
    const Record queryFailed = Error(L"WlanQueryInterface failed w/err 0x00000005");

    machine.Faults().Add({"WlanQueryInterface", ERROR_ACCESS_DENIED, 1});
    Press(0);
    EXPECT_THAT(Records(),
                ElementsAre(Info(L"ProcessHotkeyPressed, state: 0"), Info(L"Wlan state is OFF"),
                            queryFailed, Info(L"Wlan state is OFF")));
    EXPECT_EQ(Software("third"), kOff);
    EXPECT_EQ(Calls("WlanQueryInterface"), 3u);

    machine.Faults().Add({"WlanQueryInterface", ERROR_ACCESS_DENIED, 1});
    const std::size_t mark = machine.Log().Size();
    EXPECT_FALSE(TryQuery());
    EXPECT_THAT(Records(mark), ElementsAre(Info(L"TryQueryWlanState"), queryFailed));
    EXPECT_EQ(Calls("WlanQueryInterface"), 5u);
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());
}

TEST_F(WlanControlTest, WithoutInterfacesARequestOnlyReadsTheAirplaneMode) {
    Press(0);
    EXPECT_THAT(Records(), ElementsAre(Info(L"ProcessHotkeyPressed, state: 0")));
    EXPECT_EQ(Calls("RegQueryValueExW"), 1u);
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());
}

TEST_F(WlanControlTest, WaitMakesTenAttemptsOneSecondApartWhileNoInterfaceExists) {
    bool done = false;
    StartWait(done);
    ASSERT_TRUE(machine.RunUntilIdle().idle);
    for (std::size_t attempt = 1; attempt <= 10; ++attempt) {
        EXPECT_EQ(TryQueryRecords(), attempt);
        ASSERT_TRUE(machine.AdvanceBy(999).idle);
        EXPECT_EQ(TryQueryRecords(), attempt);
        EXPECT_FALSE(done);
        ASSERT_TRUE(machine.AdvanceBy(1).idle);
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(machine.NowMs(), 10000u);
    EXPECT_EQ(Records().front(), Info(L"WaitUntilCanQuerryWlanState"));
    EXPECT_EQ(Records().size(), 11u) << "no record beyond the attempts' own";
    EXPECT_THAT(HeldByWlanControl(), IsEmpty());
}

TEST_F(WlanControlTest, WaitEndsAtTheFirstSuccessfulAttemptWithoutPausing) {
    machine.Wlan().AddInterface("wifi", {{}});
    Run([this] { service.WaitUntilCanQuerryWlanState(); });
    EXPECT_THAT(Records(),
                ElementsAre(Info(L"WaitUntilCanQuerryWlanState"), Info(L"TryQueryWlanState")));
    EXPECT_EQ(machine.NowMs(), 0u);
}

TEST_F(WlanControlTest, AStopDuringAPauseEndsTheWaitWithoutAnotherAttempt) {
    bool done = false;
    StartWait(done);
    ASSERT_TRUE(machine.RunUntilIdle().idle);
    Run([this] { service.Stop(); });
    ASSERT_TRUE(machine.AdvanceBy(1000).idle);
    EXPECT_TRUE(done);
    EXPECT_EQ(TryQueryRecords(), 1u);
}

}  // namespace
