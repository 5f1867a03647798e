// Scenarios: the simulator's input language. One command a line; `#` starts a comment. A whole
// scenario is parsed before anything runs, so a malformed line stops the run before its start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/sim/devices_sim.h"
#include "platform/sim/faults.h"
#include "platform/sim/security_sim.h"
#include "platform/win_types.h"

namespace simulator {

// `wlan NAME [software=…] [hardware=…] [phys=N]`
struct AddWlan {
    std::string name;
    DOT11_RADIO_STATE software = dot11_radio_state_on;
    DOT11_RADIO_STATE hardware = dot11_radio_state_on;
    std::uint32_t phys = 1;
};
// `wlan-remove NAME`
struct RemoveWlan {
    std::string name;
};
// `switch-device present|absent`
struct SwitchDevice {
    bool present = true;
};
// `bios N`, `bios fail`: no status means the status request fails.
struct Bios {
    std::optional<DWORD> status;
};
// `bios hold`, `bios release`: status requests stay pending until released or cancelled.
struct BiosHold {
    bool held = true;
};
// `airplane N|bytes HEX|absent|no-value`
struct Airplane {
    enum class Kind { Dword, Bytes, NoKey, NoValue } kind = Kind::Dword;
    DWORD value = 0;
    std::vector<BYTE> bytes;
};
// `switch N`, `not-ready`, `read-error CODE`, `short-read HEX`
struct DriverRead {
    sim::ReadCompletion completion;
};
// `short-read-flood on|off`: while on, every read without a completion queued succeeds at once
// with no data.
struct ShortReadFlood {
    bool on = true;
};
// `fail OPERATION [code=N] [count=N|always]`
struct Fail {
    sim::FaultRule rule;
};
// `slow OPERATION DURATION [count=N|always]`
struct Slow {
    sim::DelayRule rule;
};
// `start`
struct Start {};
// `run [ARG...]`
struct Run {
    std::vector<std::string> args;
};
// `stop`, `shutdown`, `pause`, `continue`, `interrogate`, `suspend`, `resume`, `power N`,
// `control N`
struct Control {
    DWORD control = 0;
    DWORD eventType = 0;
};
// `wait DURATION`
struct Wait {
    std::uint64_t milliseconds = 0;
};
// `expect wlan NAME software=…` (and/or hardware=…), about the first PHY.
struct ExpectWlan {
    std::string name;
    std::optional<DOT11_RADIO_STATE> software;
    std::optional<DOT11_RADIO_STATE> hardware;
};
// `expect status STATE`
struct ExpectStatus {
    DWORD state = 0;
};
// `expect record "TEXT"`
struct ExpectRecord {
    std::string message;
};

// `acl PATH SDDL`: the owner and the DACL the SDDL gives, each only when it gives it.
struct Acl {
    std::wstring path;
    sim::SimSecurityDescriptor descriptor;
};
// `image PATH`: the executable's path for the `run` and `start` commands that follow.
struct Image {
    std::wstring path;
};
// `volume LETTER fixed|removable|remote`
struct Volume {
    wchar_t letter = L'C';
    UINT type = DRIVE_FIXED;
};
// `reparse PATH`: PATH is a junction.
struct Reparse {
    std::wstring path;
};

using Action = std::variant<AddWlan, RemoveWlan, SwitchDevice, Bios, BiosHold, Airplane, DriverRead,
                            ShortReadFlood, Fail, Slow, Start, Run, Control, Wait, ExpectWlan,
                            ExpectStatus, ExpectRecord, Acl, Image, Volume, Reparse>;

struct Command {
    int line = 0;
    std::string text;  // the command as written, without its comment
    Action action;
    // The comment lines since the previous command, without their "#" (an empty one where a
    // blank line parted them): what the command is meant to show.
    std::vector<std::string> notes;

    bool IsExpect() const {
        return std::holds_alternative<ExpectWlan>(action) ||
               std::holds_alternative<ExpectStatus>(action) ||
               std::holds_alternative<ExpectRecord>(action);
    }
};

struct ParseProblem {
    int line = 0;
    std::string text;  // what is wrong, without file and line
};

// One line: a command, nothing (blank or comment), or a problem.
struct LineResult {
    std::optional<Command> command;
    std::optional<ParseProblem> problem;
};
LineResult ParseLine(std::string_view line, int number);

struct Scenario {
    std::vector<Command> commands;
    std::vector<ParseProblem> problems;  // every malformed line, in order
};
Scenario ParseScenario(std::string_view text);
// A malformed line as the simulator reports it: "FILE:LINE: problem".
std::string DescribeProblem(std::string_view fileName, const ParseProblem& problem);

// Names used in output and messages.
std::string ControlName(DWORD control);  // "SERVICE_CONTROL_STOP", …

}  // namespace simulator
