// The simulator's run of a scenario: the machine it starts from, the JSON lines that scripts depend
// on (kinds and field names exactly), what an expectation sees, and how the run ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator/output.h"
#include "simulator/runner.h"
#include "simulator/scenario.h"

namespace {

using Json = nlohmann::ordered_json;

struct RunResult {
    std::vector<Json> lines;
    int failedExpects = 0;

    std::vector<Json> OfKind(const std::string& kind) const {
        std::vector<Json> result;
        for (const auto& line : lines)
            if (line["kind"] == kind) result.push_back(line);
        return result;
    }
    bool HasRecord(const std::string& message) const {
        for (const auto& event : OfKind("event"))
            if (event["strings"].size() > 1 && event["strings"][1] == message) return true;
        return false;
    }
};

RunResult RunJsonl(const std::string& text) {
    const simulator::Scenario scenario = simulator::ParseScenario(text);
    EXPECT_TRUE(scenario.problems.empty());
    std::ostringstream out;
    simulator::JsonlOutput output(out);
    RunResult result;
    {
        simulator::Runner runner(output);
        for (const auto& command : scenario.commands)
            EXPECT_TRUE(runner.Execute(command).idle) << command.text;
        EXPECT_TRUE(runner.Finish().idle);
        result.failedExpects = runner.FailedExpects();
    }
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) result.lines.push_back(Json::parse(line));
    return result;
}

std::vector<std::string> Keys(const Json& line) {
    std::vector<std::string> keys;
    for (const auto& item : line.items()) keys.push_back(item.key());
    return keys;
}

TEST(SimulatorJsonl, EveryKindCarriesExactlyItsFields) {
    const RunResult run = RunJsonl(
        "wlan Wi-Fi\n"
        "run -install\n"
        "wait 1500ms\n"
        "switch 0\n"
        "expect wlan Wi-Fi software=on\n"
        "stop\n"
        "stop\n");
    const std::map<std::string, std::vector<std::string>> fields = {
        {"status", {"state", "checkpoint", "exit_code", "wait_hint", "controls_accepted"}},
        {"event", {"source", "type", "category", "event_id", "strings"}},
        {"stdout", {"process", "text"}},
        {"wlan_set", {"interface", "phy", "software", "hardware", "result"}},
        {"registration",
         {"name", "display_name", "service_type", "start_type", "error_control", "binary_path",
          "dependencies", "account"}},
        {"process_start", {"process", "args", "scm"}},
        {"process_exit", {"process", "code"}},
        {"expect_failed", {"line", "text"}},
        {"error", {"line", "text"}},
        {"summary", {"wlan", "open"}},
    };
    std::set<std::string> seen;
    for (const auto& line : run.lines) {
        ASSERT_TRUE(line["t_ms"].is_number_unsigned()) << line;
        const std::string kind = line["kind"];
        ASSERT_TRUE(fields.contains(kind)) << line;
        std::vector<std::string> expected = {"t_ms", "kind"};
        expected.insert(expected.end(), fields.at(kind).begin(), fields.at(kind).end());
        EXPECT_EQ(Keys(line), expected) << line;
        seen.insert(kind);
    }
    EXPECT_EQ(seen.size(), fields.size());
    EXPECT_EQ(run.lines.back()["kind"], "summary");

    const Json status = run.OfKind("status").front();
    EXPECT_EQ(status["state"], "SERVICE_START_PENDING");
    EXPECT_TRUE(status["controls_accepted"].is_number());
    const Json set = run.OfKind("wlan_set").front();
    EXPECT_EQ(set["interface"], "Wi-Fi");
    EXPECT_EQ(set["phy"], 0);
    EXPECT_EQ(set["software"], "off");
    EXPECT_EQ(set["hardware"], "on");
    EXPECT_EQ(set["result"], 0);
    EXPECT_EQ(set["t_ms"], 1500);
    const Json registration = run.OfKind("registration").front();
    EXPECT_EQ(registration["dependencies"], Json::array({"WlanSvc"}));
    EXPECT_EQ(registration["account"], "LocalSystem");
    const Json event = run.OfKind("event").front();
    EXPECT_EQ(event["type"], 4);
    EXPECT_EQ(event["source"], "BrevRctlService");
    const Json installer = run.OfKind("process_start").front();
    EXPECT_EQ(installer["args"],
              Json::array({"C:\\Program Files\\BrevRctl\\BrevRctlService.exe", "-install"}));
    EXPECT_EQ(installer["scm"], false);
    EXPECT_EQ(run.OfKind("process_start").at(1)["scm"], true);

    const Json failed = run.OfKind("expect_failed").front();
    EXPECT_EQ(failed["line"], 5);
    EXPECT_EQ(failed["text"],
              "expect wlan Wi-Fi software=on: the first PHY's software state is off");
    EXPECT_EQ(run.failedExpects, 1);
    const Json error = run.OfKind("error").front();
    EXPECT_EQ(error["line"], 7);
    EXPECT_EQ(error["text"],
              "the SCM refused SERVICE_CONTROL_STOP with 1062 (ERROR_SERVICE_NOT_ACTIVE)");
    EXPECT_EQ(
        run.lines.back()["wlan"],
        Json::parse(R"([{"interface":"Wi-Fi","phys":[{"software":"off","hardware":"on"}]}])"));
    EXPECT_EQ(run.lines.back()["open"], Json::object());
}

TEST(SimulatorMachine, StartsWithTheDeviceBiosThreeAirplaneOffAndNoWlan) {
    const RunResult run = RunJsonl(
        "start\n"
        "expect status SERVICE_RUNNING\n"
        "expect record \"TryQueryWlanState\"\n"
        // No WLAN interface: the service is in its ten-attempt wait, and time stands still
        // until a wait moves it.
        "wlan Wi-Fi software=off\n"
        "wait 1s\n"
        "expect record \"DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1\"\n"
        "expect wlan Wi-Fi software=on\n");
    EXPECT_EQ(run.failedExpects, 0);
    EXPECT_EQ(run.OfKind("expect_failed").size(), 0u);
    // Airplane mode off: the key opened, the DWORD 0 read.
    std::string console;
    for (const auto& line : run.OfKind("stdout")) console += line["text"];
    EXPECT_NE(console.find("Success opening key.\nget data: 0\nSuccess Reading to Registry.0\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(run.OfKind("wlan_set").front()["t_ms"], 1000);
}

TEST(SimulatorExpect, RecordSeesOnlyWhatTheLatestCommandWrote) {
    const RunResult run = RunJsonl(
        "wlan Wi-Fi\n"
        "start\n"
        "switch 0\n"
        "expect record \"Wlan state is OFF\"\n"
        "expect record \"Wlan state is OFF\"\n"
        "airplane 0\n"
        "expect record \"Wlan state is OFF\"\n"
        "expect record \"Wlan state\"\n"
        "expect status SERVICE_STOPPED\n");
    ASSERT_EQ(run.failedExpects, 3);
    const auto failed = run.OfKind("expect_failed");
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[0]["line"], 7);
    EXPECT_EQ(failed[0]["text"],
              "expect record \"Wlan state is OFF\": no record with this message among the 0 "
              "written since line 6");
    EXPECT_EQ(failed[1]["line"], 8);
    EXPECT_EQ(failed[2]["text"], "expect status SERVICE_STOPPED: the status is SERVICE_RUNNING");
}

TEST(SimulatorRun, ARefusedControlIsReportedAndTheRunGoesOn) {
    const RunResult run = RunJsonl(
        "pause\n"
        "wlan Wi-Fi\n"
        "start\n"
        "pause\n"
        "expect status SERVICE_RUNNING\n");
    const auto errors = run.OfKind("error");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0]["line"], 1);
    EXPECT_EQ(errors[0]["text"],
              "the SCM refused SERVICE_CONTROL_PAUSE with 1060 (ERROR_SERVICE_DOES_NOT_EXIST)");
    EXPECT_EQ(errors[1]["line"], 4);
    EXPECT_EQ(errors[1]["text"],
              "the SCM refused SERVICE_CONTROL_PAUSE with 1052 (ERROR_INVALID_SERVICE_CONTROL)");
    EXPECT_EQ(run.failedExpects, 0);
}

TEST(SimulatorRun, TheEndStopsARunningServiceAndCountsWhatIsStillHeld) {
    const RunResult run = RunJsonl(
        "wlan Wi-Fi\n"
        "start\n");
    EXPECT_TRUE(run.HasRecord("BrevRbtnService in OnStop"));
    EXPECT_EQ(run.OfKind("status").back()["state"], "SERVICE_STOPPED");
    EXPECT_EQ(run.OfKind("process_exit").size(), 1u);
    EXPECT_EQ(run.lines.back()["kind"], "summary");
    EXPECT_EQ(run.lines.back()["open"], Json::object());
    EXPECT_TRUE(run.OfKind("error").empty());
}

TEST(SimulatorRun, RunWaitsInVirtualTimeUntilTheProcessExits) {
    const RunResult run = RunJsonl(
        "wlan Wi-Fi\n"
        "run -install\n"
        "run -remove\n");
    const auto exits = run.OfKind("process_exit");
    ASSERT_EQ(exits.size(), 3u);
    // The remover waits a second before it looks whether the service has stopped.
    EXPECT_EQ(exits.back()["t_ms"], 1000);
    EXPECT_EQ(run.lines.back()["t_ms"], 1000);
    std::string removerOutput;
    for (const auto& line : run.OfKind("stdout"))
        if (line["process"] == exits.back()["process"]) removerOutput += line["text"];
    EXPECT_EQ(removerOutput,
              "Stopping BrevRctlService.\nBrevRctlService is stopped.\nBrevRctlService is "
              "removed.\n");
}

TEST(SimulatorRun, AThreadThatNeverGivesUpTheMachineIsNamed) {
    std::ostringstream out;
    simulator::JsonlOutput output(out);
    simulator::Runner runner(output);
    std::atomic<bool> release{false};
    // Holds the machine without blocking in a platform call, as a livelocked thread would; it
    // sleeps on the host so that the ten seconds of real time cost no CPU.
    runner.Machine().CreateProcess("stuck").Spawn("spinner", [&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    const auto scenario = simulator::ParseScenario("wlan Wi-Fi\n");
    const simulator::StepResult result = runner.Execute(scenario.commands.front());
    release = true;
    EXPECT_FALSE(result.idle);
    EXPECT_EQ(result.busyThreads, std::vector<std::string>{"stuck/spinner"});
    EXPECT_TRUE(runner.Machine().RunUntilIdle().idle);
}

}  // namespace

// A rule of Windows broken on the machine is a line of its own, and the runner counts it for the
// exit status.
TEST(SimulatorRun, AViolationIsALineOfItsOwnAndCounted) {
    std::ostringstream out;
    simulator::JsonlOutput output(out);
    simulator::Runner runner(output);
    sim::SimCore& core = runner.Machine().Core();
    core.ExpectViolations(true);
    {
        std::lock_guard lock(core.Mutex());
        core.Violate("BrevRctlService: SetServiceStatus(SERVICE_RUNNING) after SERVICE_STOPPED");
    }
    EXPECT_EQ(runner.Violations(), 1);
    const Json line = Json::parse(out.str());
    EXPECT_EQ(Keys(line), (std::vector<std::string>{"t_ms", "kind", "text"}));
    EXPECT_EQ(line["kind"], "violation");
    EXPECT_EQ(line["text"],
              "BrevRctlService: SetServiceStatus(SERVICE_RUNNING) after SERVICE_STOPPED");
}
