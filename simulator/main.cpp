// brevrctl-sim: runs BrevRctlService's executable on a simulated Windows machine, driven by a
// scenario, and prints everything the machine sees it do.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "simulator/demo.h"
#include "simulator/output.h"
#include "simulator/runner.h"
#include "simulator/scenario.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitExpectFailed = 1;
constexpr int kExitMalformed = 2;
constexpr int kExitStuck = 3;
constexpr int kExitViolation = 4;

int ExitStatusOf(const simulator::Runner& runner) {
    if (runner.Violations() > 0) return kExitViolation;
    return runner.FailedExpects() > 0 ? kExitExpectFailed : kExitSuccess;
}

struct Options {
    bool jsonl = false;
    std::string scenario;  // empty: the demo
};

// Where and how problems and output go; shared by the whole run.
class Session {
public:
    Session(const Options& options, std::string fileName)
        : m_jsonl(options.jsonl), m_fileName(std::move(fileName)) {
        if (m_jsonl)
            m_output = std::make_unique<simulator::JsonlOutput>(std::cout);
        else
            m_output = std::make_unique<simulator::TextOutput>(
                std::cout, isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr);
    }

    simulator::Output& Output() { return *m_output; }

    // A malformed line: "FILE:LINE: problem", on standard error or as a JSON `error`.
    void Malformed(const simulator::ParseProblem& problem) {
        const std::string text = simulator::DescribeProblem(m_fileName, problem);
        if (m_jsonl)
            m_output->Error(0, problem.line, text);
        else
            std::cerr << text << std::endl;
    }

    // Runs one command; a machine that does not become idle ends the program at once.
    void Execute(simulator::Runner& runner, const simulator::Command& command) {
        ExitIfStuck(runner, command.line, runner.Execute(command));
    }

    void Finish(simulator::Runner& runner) { ExitIfStuck(runner, 0, runner.Finish()); }

private:
    void ExitIfStuck(simulator::Runner& runner, int line, const simulator::StepResult& result) {
        if (result.idle) return;
        std::string threads;
        for (const auto& name : result.busyThreads) threads += (threads.empty() ? "" : ", ") + name;
        m_output->Error(runner.Machine().NowMs(), line,
                        m_fileName + ":" + std::to_string(line) +
                            ": the machine did not become idle within 10 seconds of real time; "
                            "busy threads: " +
                            threads);
        std::cout.flush();
        std::cerr.flush();
        // The busy threads never give up the machine, so nothing may wait for them or destroy
        // what they use: leave without unwinding.
        std::_Exit(kExitStuck);
    }

    bool m_jsonl;
    std::string m_fileName;
    std::unique_ptr<simulator::Output> m_output;
};

int RunScenario(Session& session, std::string_view text) {
    const simulator::Scenario scenario = simulator::ParseScenario(text);
    if (!scenario.problems.empty()) {
        for (const auto& problem : scenario.problems) session.Malformed(problem);
        return kExitMalformed;
    }
    simulator::Runner runner(session.Output());
    for (const auto& command : scenario.commands) session.Execute(runner, command);
    session.Finish(runner);
    return ExitStatusOf(runner);
}

// Standard input from a terminal: each line runs as soon as it is entered. A malformed line is
// reported and skipped, so that a typing error does not end the session; the exit status then
// says that the scenario was malformed.
int RunInteractively(Session& session) {
    simulator::Runner runner(session.Output());
    bool malformed = false;
    std::string line;
    for (int number = 1;; ++number) {
        std::cerr << "> " << std::flush;
        if (!std::getline(std::cin, line)) break;
        simulator::LineResult result = simulator::ParseLine(line, number);
        if (result.problem) {
            session.Malformed(*result.problem);
            malformed = true;
        }
        if (result.command) session.Execute(runner, *result.command);
    }
    std::cerr << std::endl;
    session.Finish(runner);
    if (malformed) return kExitMalformed;
    return ExitStatusOf(runner);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Runs BrevRctlService on a simulated Windows machine, driven by a scenario.\n"
        "Exit status: 0 every expect held, 1 an expect failed, 2 malformed scenario,\n"
        "3 the machine did not become idle.",
        "brevrctl-sim"};
    app.add_flag("--jsonl", options.jsonl, "Print one JSON object a line");
    app.add_option("SCENARIO", options.scenario,
                   "Scenario file, or - for standard input; without it the built-in demo runs");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExitSuccess : kExitMalformed;
    }

    if (options.scenario.empty()) {
        Session session(options, "<demo>");
        return RunScenario(session, simulator::kDemoScenario);
    }
    if (options.scenario == "-") {
        Session session(options, "<stdin>");
        if (isatty(STDIN_FILENO) != 0) return RunInteractively(session);
        const std::string text{std::istreambuf_iterator<char>(std::cin), {}};
        return RunScenario(session, text);
    }
    std::ifstream file(options.scenario, std::ios::binary);
    if (!file) {
        std::cerr << options.scenario << ": cannot be read" << std::endl;
        return kExitMalformed;
    }
    std::ostringstream text;
    text << file.rdbuf();
    Session session(options, options.scenario);
    return RunScenario(session, text.str());
}
