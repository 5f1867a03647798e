// Runs scenario commands on one simulated machine that holds the service's executable, and
// reports what the machine observes to an Output.
//
// Threads: the runner is the machine's driver; call it from one host thread only. After every
// command the machine has run until every simulated thread is blocked or ended, so the
// observations of a command are complete before the next command starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "simulator/output.h"
#include "simulator/scenario.h"

namespace simulator {

// Where the executable is installed until an `image` command puts it elsewhere; the blank is
// there on purpose, as in every real "C:\Program Files", so that a path that needs quoting shows
// whether it got them.
inline constexpr const wchar_t* kImagePath = L"C:\\Program Files\\BrevRctl\\BrevRctlService.exe";
// A `run` whose process has not exited after this much virtual time is reported as an error.
inline constexpr std::uint64_t kRunLimitMs = 10 * 60 * 1000;

struct StepResult {
    bool idle = true;
    std::vector<std::string> busyThreads;  // when not idle: the threads that kept running
};

class Runner {
public:
    // Sets up the machine: the switch device present, BIOS status 3, the airplane-mode key with
    // the DWORD 0, no WLAN interface, and the executable at kImagePath.
    explicit Runner(Output& output);
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    StepResult Execute(const Command& command);
    // The end of the scenario: stops a service still running, as `stop` does, lets every process
    // end within kRunLimitMs of virtual time, and reports the summary.
    StepResult Finish();
    int FailedExpects() const { return m_failedExpects; }
    // Rules of Windows the processes broke (each is also a `violation` line of the output).
    int Violations() const { return m_violations; }
    sim::SimMachine& Machine() { return m_machine; }

private:
    StepResult RunProcess(const Command& command, const Run& run);
    void SendControl(const Command& command, const Control& control);
    void Check(const Command& command, const ExpectWlan& expect);
    void Check(const Command& command, const ExpectStatus& expect);
    void Check(const Command& command, const ExpectRecord& expect);
    void ExpectFailed(const Command& command, const std::string& why);
    void Error(int line, const std::string& text);

    Output& m_output;
    sim::SimMachine m_machine;
    // The executable that `run` and `start` start.
    std::wstring m_imagePath = kImagePath;
    // Where the records of the latest command other than an expectation begin in the log.
    std::size_t m_recordsFrom = 0;
    int m_recordsFromLine = 0;
    int m_failedExpects = 0;
    int m_violations = 0;
};

}  // namespace simulator
