// What the simulator prints: every observation of the machine as it happens, failed
// expectations, errors and the closing summary, as aligned text or as one JSON object a line.
// Every line is flushed at once, so that output is complete even when the run has to be cut off.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/observations.h"
#include "platform/win_types.h"

namespace simulator {

struct InterfaceState {
    std::string name;
    std::vector<std::pair<DOT11_RADIO_STATE, DOT11_RADIO_STATE>> phys;  // software, hardware
};

struct RunSummary {
    std::vector<InterfaceState> wlan;
    std::map<std::string, int> open;  // resources still held, by kind
};

class Output {
public:
    virtual ~Output() = default;
    // A command is about to run (`line` 0: the end of the scenario).
    virtual void Command(std::uint64_t timeMs, int line, const std::string& text,
                         const std::vector<std::string>& notes) = 0;
    // Called with the machine's lock held: must not call back into the machine.
    virtual void Observation(const sim::Observation& observation) = 0;
    virtual void ExpectFailed(std::uint64_t timeMs, int line, const std::string& text) = 0;
    // `line` 0: not caused by one line (the end of the scenario).
    virtual void Error(std::uint64_t timeMs, int line, const std::string& text) = 0;
    virtual void Summary(std::uint64_t timeMs, const RunSummary& summary) = 0;
};

// Aligned lines: virtual time, kind, details; ANSI colours when asked for.
class TextOutput final : public Output {
public:
    TextOutput(std::ostream& out, bool colour) : m_out(out), m_colour(colour) {}
    // Shows the command, so that what follows reads as its consequence.
    // The comment above the command comes first, so that a commented scenario reads as a story.
    void Command(std::uint64_t timeMs, int line, const std::string& text,
                 const std::vector<std::string>& notes) override;
    void Observation(const sim::Observation& observation) override;
    void ExpectFailed(std::uint64_t timeMs, int line, const std::string& text) override;
    void Error(std::uint64_t timeMs, int line, const std::string& text) override;
    void Summary(std::uint64_t timeMs, const RunSummary& summary) override;

private:
    void Note(const std::string& note);
    void Line(std::uint64_t timeMs, const char* kind, const char* colour,
              const std::string& details);

    std::ostream& m_out;
    bool m_colour;
};

// One JSON object a line, each with `t_ms` and `kind` first.
class JsonlOutput final : public Output {
public:
    explicit JsonlOutput(std::ostream& out) : m_out(out) {}
    // Commands are not part of the stream: every line is something the machine or the run did.
    void Command(std::uint64_t, int, const std::string&, const std::vector<std::string>&) override {
    }
    void Observation(const sim::Observation& observation) override;
    void ExpectFailed(std::uint64_t timeMs, int line, const std::string& text) override;
    void Error(std::uint64_t timeMs, int line, const std::string& text) override;
    void Summary(std::uint64_t timeMs, const RunSummary& summary) override;

private:
    std::ostream& m_out;
};

}  // namespace simulator
