// libFuzzer target: any text as a scenario file. The reader must take it or reject it line by
// line, each rejection naming the file, a line of the text and the problem; what it takes must
// run on the simulated machine to its end, as brevrctl-sim runs it, with the machine idle after
// every command (no thread that never blocks), no rule of Windows broken by the service, and no
// more virtual time than the scenario's waits and runs allow. A crash, a sanitizer report, a
// broken expectation here (abort) or a run longer than libFuzzer's -timeout is a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>

#include "simulator/output.h"
#include "simulator/runner.h"
#include "simulator/scenario.h"

namespace {

constexpr std::string_view kFileName = "fuzz.scenario";

[[noreturn]] void Fault(const std::string& what) {
    std::fprintf(stderr, "scenario fuzz: %s\n", what.c_str());
    std::abort();
}

// Both of the simulator's outputs, so that their rendering of whatever the scenario made the
// service do is exercised too; the text goes nowhere.
class BothOutputs final : public simulator::Output {
public:
    void Command(std::uint64_t timeMs, int line, const std::string& text,
                 const std::vector<std::string>& notes) override {
        m_text.Command(timeMs, line, text, notes);
        m_jsonl.Command(timeMs, line, text, notes);
    }
    void Observation(const sim::Observation& observation) override {
        m_text.Observation(observation);
        m_jsonl.Observation(observation);
    }
    void ExpectFailed(std::uint64_t timeMs, int line, const std::string& text) override {
        m_text.ExpectFailed(timeMs, line, text);
        m_jsonl.ExpectFailed(timeMs, line, text);
    }
    void Error(std::uint64_t timeMs, int line, const std::string& text) override {
        m_text.Error(timeMs, line, text);
        m_jsonl.Error(timeMs, line, text);
    }
    void Summary(std::uint64_t timeMs, const simulator::RunSummary& summary) override {
        m_text.Summary(timeMs, summary);
        m_jsonl.Summary(timeMs, summary);
    }

private:
    std::ostringstream m_sink;
    simulator::TextOutput m_text{m_sink, false};
    simulator::JsonlOutput m_jsonl{m_sink};
};

// The virtual time a scenario may take at most: its waits, the limit of each run, and the same
// limit for its end.
std::uint64_t VirtualTimeBound(const simulator::Scenario& scenario) {
    std::uint64_t bound = simulator::kRunLimitMs;
    const auto add = [&bound](std::uint64_t ms) {
        bound = ms > std::numeric_limits<std::uint64_t>::max() - bound
                    ? std::numeric_limits<std::uint64_t>::max()
                    : bound + ms;
    };
    for (const auto& command : scenario.commands) {
        if (auto* wait = std::get_if<simulator::Wait>(&command.action)) add(wait->milliseconds);
        if (std::holds_alternative<simulator::Run>(command.action)) add(simulator::kRunLimitMs);
    }
    return bound;
}

void CheckIdle(const simulator::StepResult& step, int line) {
    if (!step.idle) Fault("the machine did not become idle after line " + std::to_string(line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const simulator::Scenario scenario = simulator::ParseScenario(text);
    int lines = 1;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    for (const auto& problem : scenario.problems) {
        const std::string described = simulator::DescribeProblem(kFileName, problem);
        const std::string where =
            std::string(kFileName) + ":" + std::to_string(problem.line) + ": ";
        if (problem.line < 1 || problem.line > lines || problem.text.empty() ||
            described.rfind(where, 0) != 0)
            Fault("a rejection without its line or its problem: " + described);
    }
    if (!scenario.problems.empty()) return 0;

    BothOutputs output;
    simulator::Runner runner(output);
    for (const auto& command : scenario.commands) CheckIdle(runner.Execute(command), command.line);
    CheckIdle(runner.Finish(), 0);
    if (runner.Violations() > 0) Fault("the service broke a rule of Windows");
    if (runner.Machine().NowMs() > VirtualTimeBound(scenario))
        Fault("the scenario ran " + std::to_string(runner.Machine().NowMs()) +
              " ms of virtual time, more than its waits and runs allow");
    return 0;
}
