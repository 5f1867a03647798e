// The scenario language: every malformed line is caught before anything runs, with a message that
// says what is wrong, and well-formed lines become exactly the actions they describe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/scenario.h"

namespace {

using simulator::ParseLine;
using simulator::ParseScenario;

template <typename T>
T ActionOf(const std::string& line) {
    simulator::LineResult result = ParseLine(line, 1);
    EXPECT_FALSE(result.problem) << line << ": " << result.problem->text;
    EXPECT_TRUE(result.command.has_value()) << line;
    const T* action = result.command ? std::get_if<T>(&result.command->action) : nullptr;
    EXPECT_NE(action, nullptr) << line;
    return action != nullptr ? *action : T{};
}

TEST(ScenarioParserProblems, EachMalformedLineSaysWhatIsWrong) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"swtich 1", "unknown command \"swtich\""},
        {"switch", "switch: missing the switch value"},
        {"switch x1", "switch: \"x1\" is not a number (decimal, or hexadecimal after 0x)"},
        {"switch 4294967296",
         "switch: \"4294967296\" is not a number (decimal, or hexadecimal "
         "after 0x)"},
        {"switch 0xZZ", "switch: \"0xZZ\" is not a number (decimal, or hexadecimal after 0x)"},
        {"switch 1 2", "switch: unexpected argument \"2\""},
        {"stop now", "stop: unexpected argument \"now\""},
        {"wait", "wait: missing the duration, for example 500ms or 15s"},
        {"wait 500", "wait: \"500\" has no unit (ms, s or min)"},
        {"wait 5h", "wait: \"5h\" has an unknown unit (ms, s or min)"},
        {"wait ms", "wait: \"ms\" is not a duration"},
        {"wait 99999999999999999999ms", "wait: \"99999999999999999999ms\" is too long"},
        {"airplane bytes 0g", "airplane: \"0g\" is not hexadecimal bytes (two digits a byte)"},
        {"airplane bytes 010", "airplane: \"010\" is not hexadecimal bytes (two digits a byte)"},
        {"airplane", "airplane: missing the value: N, bytes HEX, absent or no-value"},
        {"airplane on", "airplane: \"on\" is not a number (decimal, or hexadecimal after 0x)"},
        {"short-read 01020304",
         "short-read: a short read has 1 to 3 bytes; use switch N for a whole value"},
        {"read-error", "read-error: missing the error code"},
        {"short-read-flood", "short-read-flood: missing on or off"},
        {"short-read-flood yes", "short-read-flood: on or off, not \"yes\""},
        {"bios", "bios: missing the BIOS wifi status, fail, hold or release"},
        {"switch-device gone", "switch-device: present or absent, not \"gone\""},
        {"wlan", "wlan: missing the interface name"},
        {"wlan Wi-Fi software=maybe", "wlan: software must be on, off or unknown, not \"maybe\""},
        {"wlan Wi-Fi phys=0", "wlan: phys must be 1 to 64"},
        {"wlan Wi-Fi phys=65", "wlan: phys must be 1 to 64"},
        {"wlan Wi-Fi speed=1", "wlan: unknown setting \"speed=1\""},
        {"wlan Wi-Fi off", "wlan: unknown setting \"off\""},
        {"fail WlanSetInterfaces", "fail: unknown operation \"WlanSetInterfaces\""},
        {"fail WlanSetInterface count=0", "fail: count must be at least 1, or always"},
        {"fail WlanSetInterface code=x",
         "fail: \"x\" is not a number (decimal, or hexadecimal "
         "after 0x)"},
        {"slow WlanSetInterface", "slow: missing the duration, for example 500ms or 15s"},
        {"slow WlanSetInterface 3", "slow: \"3\" has no unit (ms, s or min)"},
        {"slow Sleep 1s", "slow: unknown operation \"Sleep\""},
        {"slow ReadFile 1s count=0", "slow: count must be at least 1, or always"},
        {"power", "power: missing the power event type"},
        {"expect", "expect: missing what to expect: wlan, status or record"},
        {"expect nothing", "expect: unknown expectation \"nothing\" (wlan, status or record)"},
        {"expect wlan Wi-Fi", "expect: missing software=on|off|unknown"},
        {"expect status RUNNING", "expect: unknown state \"RUNNING\""},
        {"expect record", "expect: missing the record's message in quotes"},
        {"expect record Wlan state is OFF",
         "expect: unexpected argument \"state\" (a message with blanks goes in quotes)"},
        {"expect record \"Wlan state is OFF", "unterminated quote"},
        {"run \"C:\\Program Files", "unterminated quote"},
        {"image", "image: missing the executable's path"},
        {"image BrevRctlService.exe",
         "image: \"BrevRctlService.exe\" is not a full path (X:\\... or \\\\server\\share\\...)"},
        {"image C:\\x.exe C:\\y.exe", "image: unexpected argument \"C:\\y.exe\""},
        {"reparse", "reparse: missing the path"},
        {"reparse Tools",
         "reparse: \"Tools\" is not a full path (X:\\... or \\\\server\\share\\...)"},
        {"volume", "volume: missing the drive letter"},
        {"volume E", "volume: missing fixed, removable or remote"},
        {"volume EF fixed", "volume: \"EF\" is not a drive letter"},
        {"volume 1 fixed", "volume: \"1\" is not a drive letter"},
        {"volume E cdrom", "volume: fixed, removable or remote, not \"cdrom\""},
        {"acl C:\\Tools",
         "acl: missing the owner and the DACL in SDDL, for example "
         "\"O:BAD:(A;OICI;FA;;;SY)\""},
        {"acl C:\\Tools \"\"", "acl: neither an owner nor a DACL"},
        {"acl C:\\Tools O:XX", "acl: \"XX\" is not a SID alias the machine knows"},
        {"acl C:\\Tools O:DU", "acl: \"DU\" is not a SID alias the machine knows"},
        {"acl C:\\Tools O:S-1-5", "acl: \"S-1-5\" is not a SID"},
        {"acl C:\\Tools O:S-1-281474976710656-1", "acl: \"S-1-281474976710656-1\" is not a SID"},
        {"acl C:\\Tools O:S-1-5-4294967296", "acl: \"S-1-5-4294967296\" is not a SID"},
        {"acl C:\\Tools O:S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",
         "acl: \"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16\" is not a SID"},
        {"acl C:\\Tools O:S-1-5--1", "acl: \"S-1-5--1\" is not a SID"},
        {"acl C:\\Tools O:BAO:SY", "acl: two owners"},
        {"acl C:\\Tools X:BA", "acl: \"X:\" is not O:, G: or D:"},
        {"acl C:\\Tools BA", "acl: \"BA\" is not O:, G: or D:"},
        {"acl C:\\Tools S:(AU;;FA;;;WD)", "acl: a SACL (S:) is not kept by the simulated machine"},
        {"acl C:\\Tools D:Q(A;;FA;;;WD)",
         "acl: \"Q(A;;FA;;;WD)\" is not a DACL: flags P, AI, AR or NO_ACCESS_CONTROL, then "
         "entries in parentheses"},
        {"acl C:\\Tools D:(A;;FA;;;WD", "acl: an entry without its closing parenthesis"},
        {"acl C:\\Tools D:(A;;FA;;;WD)x", "acl: \"x\" is not an entry"},
        {"acl C:\\Tools D:(AU;;FA;;;WD)",
         "acl: \"AU\" is not an entry type of a DACL (A, D, XA or XD)"},
        {"acl C:\\Tools D:(OA;;FA;;;WD)",
         "acl: object entries (OA) are for directory objects, not files"},
        {"acl C:\\Tools D:(A;;FA;;WD)", "acl: (A;;FA;;WD) has 5 fields, not 6"},
        {"acl C:\\Tools D:(A;;FA;x;;WD)",
         "acl: (A;;FA;x;;WD) has object types, which files do not have"},
        {"acl C:\\Tools D:(A;QQ;FA;;;WD)", "acl: \"QQ\" is not an entry flag"},
        {"acl C:\\Tools D:(A;;ZZ;;;WD)", "acl: \"ZZ\" is not an access right code"},
        {"acl C:\\Tools D:(A;;;;;WD)", "acl: an entry without rights"},
        {"acl C:\\Tools D:(A;;0x1g;;;WD)", "acl: \"0x1g\" is not an access mask"},
        {"acl C:\\Tools D:(XA;;FA;;;WD;Member_of)",
         "acl: the condition of (XA;;FA;;;WD;Member_of) is not in parentheses"},
        {"acl C:\\Tools D:NO_ACCESS_CONTROL(A;;FA;;;WD)",
         "acl: a NULL DACL (NO_ACCESS_CONTROL) has no entries"},
    };
    for (const auto& [line, problem] : cases) {
        simulator::LineResult result = ParseLine(line, 12);
        EXPECT_FALSE(result.command) << line;
        ASSERT_TRUE(result.problem) << line;
        EXPECT_EQ(result.problem->line, 12) << line;
        EXPECT_EQ(result.problem->text, problem) << line;
    }
}

TEST(ScenarioParserProblems, AWholeScenarioReportsEveryBadLineByItsNumber) {
    const simulator::Scenario scenario = ParseScenario(
        "# comment\n"
        "\n"
        "wlan Wi-Fi\n"
        "swtich 1\r\n"
        "   # indented comment\n"
        "wait 500\n"
        "stop");
    ASSERT_EQ(scenario.problems.size(), 2u);
    EXPECT_EQ(scenario.problems[0].line, 4);
    EXPECT_EQ(scenario.problems[0].text, "unknown command \"swtich\"");
    EXPECT_EQ(scenario.problems[1].line, 6);
    ASSERT_EQ(scenario.commands.size(), 2u);
    EXPECT_EQ(scenario.commands[0].line, 3);
    EXPECT_EQ(scenario.commands[1].line, 7);
    EXPECT_EQ(scenario.commands[1].text, "stop");
}

TEST(ScenarioParser, BlankAndCommentLinesAreNoCommand) {
    for (const char* line : {"", "   ", "\t\r", "# switch 0", "  #"}) {
        simulator::LineResult result = ParseLine(line, 1);
        EXPECT_FALSE(result.command) << line;
        EXPECT_FALSE(result.problem) << line;
    }
}

TEST(ScenarioParser, WlanAndExpectWlanTakeTheirSettings) {
    const auto wlan = ActionOf<simulator::AddWlan>(
        "wlan \"Wi-Fi 2\" software=off hardware=unknown phys=3  # three PHYs");
    EXPECT_EQ(wlan.name, "Wi-Fi 2");
    EXPECT_EQ(wlan.software, dot11_radio_state_off);
    EXPECT_EQ(wlan.hardware, dot11_radio_state_unknown);
    EXPECT_EQ(wlan.phys, 3u);

    const auto defaults = ActionOf<simulator::AddWlan>("wlan Wi-Fi");
    EXPECT_EQ(defaults.software, dot11_radio_state_on);
    EXPECT_EQ(defaults.hardware, dot11_radio_state_on);
    EXPECT_EQ(defaults.phys, 1u);

    const auto expect = ActionOf<simulator::ExpectWlan>("expect wlan Wi-Fi software=off");
    EXPECT_EQ(expect.name, "Wi-Fi");
    EXPECT_EQ(expect.software, dot11_radio_state_off);
    EXPECT_FALSE(expect.hardware);
}

TEST(ScenarioParser, DriverAndRegistryCommandsCarryTheirValues) {
    EXPECT_EQ(ActionOf<simulator::DriverRead>("switch 0x10").completion.value, 16u);
    const auto notReady = ActionOf<simulator::DriverRead>("not-ready").completion;
    EXPECT_EQ(notReady.kind, sim::ReadCompletion::Kind::Error);
    EXPECT_EQ(notReady.error, ERROR_NOT_READY);
    EXPECT_EQ(ActionOf<simulator::DriverRead>("read-error 1167").completion.error, 1167u);
    EXPECT_EQ(ActionOf<simulator::DriverRead>("short-read 01ff").completion.bytes,
              (std::vector<BYTE>{0x01, 0xff}));
    EXPECT_TRUE(ActionOf<simulator::ShortReadFlood>("short-read-flood on").on);
    EXPECT_FALSE(ActionOf<simulator::ShortReadFlood>("short-read-flood off").on);

    EXPECT_EQ(ActionOf<simulator::Bios>("bios 7").status, 7u);
    EXPECT_FALSE(ActionOf<simulator::Bios>("bios fail").status);
    EXPECT_FALSE(ActionOf<simulator::SwitchDevice>("switch-device absent").present);

    const auto dword = ActionOf<simulator::Airplane>("airplane 1");
    EXPECT_EQ(dword.kind, simulator::Airplane::Kind::Dword);
    EXPECT_EQ(dword.value, 1u);
    const auto bytes = ActionOf<simulator::Airplane>("airplane bytes 0100000000");
    EXPECT_EQ(bytes.kind, simulator::Airplane::Kind::Bytes);
    EXPECT_EQ(bytes.bytes, (std::vector<BYTE>{1, 0, 0, 0, 0}));
    EXPECT_EQ(ActionOf<simulator::Airplane>("airplane absent").kind,
              simulator::Airplane::Kind::NoKey);
    EXPECT_EQ(ActionOf<simulator::Airplane>("airplane no-value").kind,
              simulator::Airplane::Kind::NoValue);
}

TEST(ScenarioParser, FaultsDefaultToOneCallWithAGeneralFailure) {
    const auto once = ActionOf<simulator::Fail>("fail CreateFileW").rule;
    EXPECT_EQ(once.operation, "CreateFileW");
    EXPECT_EQ(once.code, ERROR_GEN_FAILURE);
    EXPECT_EQ(once.failCalls, 1u);
    const auto always = ActionOf<simulator::Fail>("fail RegOpenKeyExW code=0x5 count=always").rule;
    EXPECT_EQ(always.code, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(always.failCalls);
    EXPECT_EQ(ActionOf<simulator::Fail>("fail WlanSetInterface count=3").rule.failCalls, 3u);
}

TEST(ScenarioParser, SlowCallsAndHeldStatusRequests) {
    const auto slow = ActionOf<simulator::Slow>("slow WlanSetInterface 3500ms").rule;
    EXPECT_EQ(slow.operation, "WlanSetInterface");
    EXPECT_EQ(slow.delayMs, 3500u);
    EXPECT_EQ(slow.slowCalls, 1u);
    const auto always = ActionOf<simulator::Slow>("slow ReadFile 2s count=always").rule;
    EXPECT_EQ(always.delayMs, 2000u);
    EXPECT_FALSE(always.slowCalls);
    EXPECT_TRUE(ActionOf<simulator::BiosHold>("bios hold").held);
    EXPECT_FALSE(ActionOf<simulator::BiosHold>("bios release").held);
}

TEST(ScenarioParser, ControlsAndPowerEventsMapToTheirCodes) {
    const std::vector<std::pair<std::string, std::pair<DWORD, DWORD>>> cases = {
        {"stop", {SERVICE_CONTROL_STOP, 0}},
        {"shutdown", {SERVICE_CONTROL_SHUTDOWN, 0}},
        {"pause", {SERVICE_CONTROL_PAUSE, 0}},
        {"continue", {SERVICE_CONTROL_CONTINUE, 0}},
        {"interrogate", {SERVICE_CONTROL_INTERROGATE, 0}},
        {"suspend", {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND}},
        {"resume", {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC}},
        {"power 10", {SERVICE_CONTROL_POWEREVENT, 10}},
        {"control 128", {128, 0}},
    };
    for (const auto& [line, codes] : cases) {
        const auto control = ActionOf<simulator::Control>(line);
        EXPECT_EQ(control.control, codes.first) << line;
        EXPECT_EQ(control.eventType, codes.second) << line;
    }
}

TEST(ScenarioParser, DurationsTakeTheirUnit) {
    EXPECT_EQ(ActionOf<simulator::Wait>("wait 500ms").milliseconds, 500u);
    EXPECT_EQ(ActionOf<simulator::Wait>("wait 15s").milliseconds, 15'000u);
    EXPECT_EQ(ActionOf<simulator::Wait>("wait 2min").milliseconds, 120'000u);
}

TEST(ScenarioParser, QuotesKeepBlanksHashesAndBackslashes) {
    simulator::LineResult result =
        ParseLine("  run -install \"C:\\Program Files\\x\" # not an argument", 3);
    ASSERT_TRUE(result.command);
    EXPECT_EQ(result.command->text, "run -install \"C:\\Program Files\\x\"");
    EXPECT_EQ(std::get<simulator::Run>(result.command->action).args,
              (std::vector<std::string>{"-install", "C:\\Program Files\\x"}));

    EXPECT_EQ(ActionOf<simulator::ExpectRecord>(R"(expect record "say \"hi\" # \\ too")").message,
              R"(say "hi" # \ too)");
    EXPECT_EQ(ActionOf<simulator::ExpectStatus>("expect status SERVICE_PAUSED").state,
              SERVICE_PAUSED);
}

TEST(ScenarioParser, AclTakesTheOwnerAndTheDaclAsWindowsWritesThem) {
    const auto acl = ActionOf<simulator::Acl>(
        "acl \"C:\\Users\\alice\\Downloads\" "
        "\"O:S-1-5-21-1-2-3-1001G:SYD:PAI(A;OICI;FA;;;SY)(D;;0x1301bf;;;BU)"
        "(A;OICIIO;GA;;;CO)(XA;;FX;;;WD;(Member_of "
        "{SID(BA)}))(A;ID;0x1200a9;;;S-1-5-21-7-8-9-513)\"");
    EXPECT_EQ(acl.path, L"C:\\Users\\alice\\Downloads");
    EXPECT_EQ(acl.descriptor.owner, std::optional<std::wstring>(L"S-1-5-21-1-2-3-1001"));
    ASSERT_TRUE(acl.descriptor.dacl.has_value());
    ASSERT_TRUE(acl.descriptor.dacl->has_value());
    const std::vector<sim::SimAce>& aces = **acl.descriptor.dacl;
    ASSERT_EQ(aces.size(), 5u);
    // winnt.h: ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1, the callback type 9; the
    // flags OI 1, CI 2, IO 8, ID 0x10; FA 0x1F01FF, GA 0x10000000, FX 0x1200A0.
    EXPECT_EQ(aces[0].type, 0);
    EXPECT_EQ(aces[0].flags, 0x3);
    EXPECT_EQ(aces[0].mask, 0x1F01FFu);
    EXPECT_EQ(aces[0].sid, L"S-1-5-18");
    EXPECT_EQ(aces[1].type, 1);
    EXPECT_EQ(aces[1].mask, 0x1301BFu);
    EXPECT_EQ(aces[1].sid, L"S-1-5-32-545");
    EXPECT_EQ(aces[2].flags, 0xB);
    EXPECT_EQ(aces[2].mask, 0x10000000u);
    EXPECT_EQ(aces[2].sid, L"S-1-3-0");
    EXPECT_EQ(aces[3].type, 9);
    EXPECT_EQ(aces[3].mask, 0x1200A0u);
    EXPECT_EQ(aces[3].sid, L"S-1-1-0");
    EXPECT_EQ(aces[4].flags, 0x10);
    EXPECT_EQ(aces[4].sid, L"S-1-5-21-7-8-9-513");

    const auto ownerOnly = ActionOf<simulator::Acl>("acl C:\\Tools O:BA");
    EXPECT_EQ(ownerOnly.descriptor.owner, std::optional<std::wstring>(L"S-1-5-32-544"));
    EXPECT_FALSE(ownerOnly.descriptor.dacl.has_value());
    const auto nullDacl = ActionOf<simulator::Acl>("acl C:\\Tools D:NO_ACCESS_CONTROL");
    EXPECT_FALSE(nullDacl.descriptor.owner.has_value());
    ASSERT_TRUE(nullDacl.descriptor.dacl.has_value());
    EXPECT_FALSE(nullDacl.descriptor.dacl->has_value());
    EXPECT_EQ(ActionOf<simulator::Acl>("acl C:\\Tools D:P").descriptor.dacl,
              std::optional<sim::SimDacl>(std::vector<sim::SimAce>{}));
}

TEST(ScenarioParser, ImageVolumeAndReparseTakeTheirPathsAndLetters) {
    EXPECT_EQ(ActionOf<simulator::Image>("image \\\\fileserver\\tools\\BrevRctlService.exe").path,
              L"\\\\fileserver\\tools\\BrevRctlService.exe");
    EXPECT_EQ(ActionOf<simulator::Reparse>("reparse \"C:\\Program Files\\BrevRctl\"").path,
              L"C:\\Program Files\\BrevRctl");
    // fileapi.h: DRIVE_REMOVABLE 2, DRIVE_FIXED 3, DRIVE_REMOTE 4.
    const auto removable = ActionOf<simulator::Volume>("volume e removable");
    EXPECT_EQ(removable.letter, L'E');
    EXPECT_EQ(removable.type, 2u);
    EXPECT_EQ(ActionOf<simulator::Volume>("volume Z: remote").type, 4u);
    EXPECT_EQ(ActionOf<simulator::Volume>("volume D fixed").type, 3u);
}

}  // namespace
