#include "simulator/scenario.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <functional>
#include <iterator>
#include <limits>
#include <map>

#include "platform/sim/scm_sim.h"
#include "platform/text.h"

namespace simulator {

namespace {

// The Win32 operations that the simulated machine can make fail; `fail` takes only these, so that
// a misspelt name is caught before the run instead of failing nothing.
constexpr std::string_view kFallibleOperations[] = {
    "CancelIoEx",
    "CloseServiceHandle",
    "ControlService",
    "CreateEventW",
    "CreateFileW",
    "CreateServiceW",
    "CreateThread",
    "DeleteService",
    "DeviceIoControl",
    "GetModuleFileNameW",
    "GetFileAttributesW",
    "GetNamedSecurityInfoW",
    "GetTokenInformation",
    "LocalAlloc",
    "LookupAccountSidW",
    "OpenSCManagerW",
    "OpenServiceW",
    "QueryDosDeviceW",
    "QueryServiceStatus",
    "ReadFile",
    "RegCloseKey",
    "RegOpenKeyExW",
    "RegQueryValueExW",
    "RegisterEventSourceW",
    "RegisterServiceCtrlHandlerExW",
    "ReportEventW",
    "SetDefaultDllDirectories",
    "SetProcessMitigationPolicy",
    "SetServiceStatus",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetClassDevsW",
    "SetupDiGetDeviceInterfaceDetailW",
    "StartServiceCtrlDispatcherW",
    "StartServiceW",
    "WaitForSingleObject",
    "WlanCloseHandle",
    "WlanEnumInterfaces",
    "WlanFreeMemory",
    "WlanOpenHandle",
    "WlanQueryInterface",
    "WlanSetInterface",
};

// The largest number of PHYs an interface can report (WLAN_MAX_PHY_INDEX).
constexpr std::uint32_t kMaxPhys = 64;
// A switch value is 4 bytes; a short read delivers fewer.
constexpr std::size_t kSwitchValueBytes = 4;

// Thrown while parsing one line; becomes that line's problem.
struct Malformed {
    std::string text;
};

struct Token {
    std::string text;
    bool quoted = false;
};

std::string Quote(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Splits a line into blank-separated tokens. Double quotes group a token that may hold blanks
// and `#`; inside them \" and \\ stand for themselves and every other backslash is literal, so
// Windows paths need no doubling. `#` outside quotes ends the line. `commandText` receives the
// line without its comment and outer blanks.
std::vector<Token> Tokenize(std::string_view line, std::string& commandText) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    std::size_t end = 0;
    for (;;) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        Token token;
        while (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
            if (line[i] != '"') {
                token.text += line[i++];
                continue;
            }
            token.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\'))
                    token.text += line[i++];
                else
                    token.text += c;
            }
            if (!closed) throw Malformed{"unterminated quote"};
        }
        end = i;
        tokens.push_back(std::move(token));
    }
    const std::size_t begin = std::min(line.find_first_not_of(" \t\r\n\v\f"), end);
    commandText = std::string(line.substr(begin, end - begin));
    return tokens;
}

std::optional<DWORD> ParseDword(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    DWORD value = 0;
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || next != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<std::vector<BYTE>> ParseHex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        auto [next, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || next != text.data() + i + 2) return std::nullopt;
        bytes.push_back(static_cast<BYTE>(value));
    }
    return bytes;
}

std::optional<DOT11_RADIO_STATE> ParseRadioState(std::string_view text) {
    if (text == "on") return dot11_radio_state_on;
    if (text == "off") return dot11_radio_state_off;
    if (text == "unknown") return dot11_radio_state_unknown;
    return std::nullopt;
}

// The arguments of one command, consumed front to back; every complaint names the command.
class Arguments {
public:
    Arguments(std::string command, std::vector<Token> tokens)
        : m_command(std::move(command)), m_tokens(std::move(tokens)) {}

    [[noreturn]] void Problem(const std::string& text) const {
        throw Malformed{m_command + ": " + text};
    }
    bool Empty() const { return m_next >= m_tokens.size(); }
    const std::string& Peek() const { return m_tokens[m_next].text; }
    std::string Next(const char* what) {
        if (Empty()) Problem("missing " + std::string(what));
        return m_tokens[m_next++].text;
    }
    // The rest of the arguments, for commands that take any number.
    std::vector<std::string> Rest() {
        std::vector<std::string> rest;
        while (!Empty()) rest.push_back(m_tokens[m_next++].text);
        return rest;
    }
    void End() const {
        if (!Empty()) Problem("unexpected argument " + Quote(Peek()));
    }
    DWORD Number(const char* what) {
        const std::string text = Next(what);
        return NumberOf(text);
    }
    DWORD NumberOf(const std::string& text) const {
        auto value = ParseDword(text);
        if (!value) Problem(Quote(text) + " is not a number (decimal, or hexadecimal after 0x)");
        return *value;
    }
    std::vector<BYTE> Hex(const char* what) {
        const std::string text = Next(what);
        auto bytes = ParseHex(text);
        if (!bytes) Problem(Quote(text) + " is not hexadecimal bytes (two digits a byte)");
        return *bytes;
    }
    DOT11_RADIO_STATE RadioStateOf(const std::string& key, const std::string& text) const {
        auto state = ParseRadioState(text);
        if (!state) Problem(key + " must be on, off or unknown, not " + Quote(text));
        return *state;
    }
    // Each remaining argument as key=value, checked against `handlers`.
    void Settings(const std::map<std::string, std::function<void(const std::string&)>>& handlers) {
        while (!Empty()) {
            const std::string setting = m_tokens[m_next++].text;
            const auto equals = setting.find('=');
            auto handler = equals == std::string::npos ? handlers.end()
                                                       : handlers.find(setting.substr(0, equals));
            if (handler == handlers.end()) Problem("unknown setting " + Quote(setting));
            handler->second(setting.substr(equals + 1));
        }
    }

private:
    std::string m_command;
    std::vector<Token> m_tokens;
    std::size_t m_next = 0;
};

std::uint64_t ParseDuration(Arguments& args) {
    const std::string text = args.Next("the duration, for example 500ms or 15s");
    std::uint64_t amount = 0;
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), amount);
    if (error == std::errc::result_out_of_range) args.Problem(Quote(text) + " is too long");
    if (error != std::errc()) args.Problem(Quote(text) + " is not a duration");
    const std::string_view unit(next, static_cast<std::size_t>(text.data() + text.size() - next));
    std::uint64_t scale = 0;
    if (unit.empty()) args.Problem(Quote(text) + " has no unit (ms, s or min)");
    if (unit == "ms") scale = 1;
    if (unit == "s") scale = 1000;
    if (unit == "min") scale = 60'000;
    if (scale == 0) args.Problem(Quote(text) + " has an unknown unit (ms, s or min)");
    if (amount > std::numeric_limits<std::uint64_t>::max() / scale)
        args.Problem(Quote(text) + " is too long");
    return amount * scale;
}

Action ParseWlan(Arguments& args) {
    AddWlan wlan;
    wlan.name = args.Next("the interface name");
    args.Settings({
        {"software",
         [&](const std::string& v) { wlan.software = args.RadioStateOf("software", v); }},
        {"hardware",
         [&](const std::string& v) { wlan.hardware = args.RadioStateOf("hardware", v); }},
        {"phys",
         [&](const std::string& v) {
             wlan.phys = args.NumberOf(v);
             if (wlan.phys < 1 || wlan.phys > kMaxPhys)
                 args.Problem("phys must be 1 to " + std::to_string(kMaxPhys));
         }},
    });
    return wlan;
}

Action ParseAirplane(Arguments& args) {
    Airplane airplane;
    const std::string what = args.Next("the value: N, bytes HEX, absent or no-value");
    if (what == "bytes") {
        airplane.kind = Airplane::Kind::Bytes;
        airplane.bytes = args.Hex("the bytes, for example 01");
    } else if (what == "absent") {
        airplane.kind = Airplane::Kind::NoKey;
    } else if (what == "no-value") {
        airplane.kind = Airplane::Kind::NoValue;
    } else {
        airplane.value = args.NumberOf(what);
    }
    args.End();
    return airplane;
}

// `count=N|always`: how many calls a rule takes; none means every call from now on.
std::optional<std::uint32_t> ParseCallCount(Arguments& args, const std::string& value) {
    if (value == "always") return std::nullopt;
    const DWORD count = args.NumberOf(value);
    if (count == 0) args.Problem("count must be at least 1, or always");
    return count;
}

// The Win32 name of an operation the machine can fail or slow.
std::string ParseOperation(Arguments& args) {
    std::string operation = args.Next("the operation's Win32 name, for example WlanSetInterface");
    if (std::ranges::find(kFallibleOperations, operation) == std::end(kFallibleOperations))
        args.Problem("unknown operation " + Quote(operation));
    return operation;
}

Action ParseFail(Arguments& args) {
    Fail fail;
    fail.rule.operation = ParseOperation(args);
    args.Settings({
        {"code", [&](const std::string& v) { fail.rule.code = args.NumberOf(v); }},
        {"count", [&](const std::string& v) { fail.rule.failCalls = ParseCallCount(args, v); }},
    });
    return fail;
}

Action ParseSlow(Arguments& args) {
    Slow slow;
    slow.rule.operation = ParseOperation(args);
    slow.rule.delayMs = ParseDuration(args);
    args.Settings({
        {"count", [&](const std::string& v) { slow.rule.slowCalls = ParseCallCount(args, v); }},
    });
    return slow;
}

Action ParseExpect(Arguments& args) {
    const std::string what = args.Next("what to expect: wlan, status or record");
    if (what == "wlan") {
        ExpectWlan expect;
        expect.name = args.Next("the interface name");
        args.Settings({
            {"software",
             [&](const std::string& v) { expect.software = args.RadioStateOf("software", v); }},
            {"hardware",
             [&](const std::string& v) { expect.hardware = args.RadioStateOf("hardware", v); }},
        });
        if (!expect.software && !expect.hardware) args.Problem("missing software=on|off|unknown");
        return expect;
    }
    if (what == "status") {
        const std::string name = args.Next("the state, for example SERVICE_RUNNING");
        args.End();
        for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; ++state)
            if (sim::ServiceStateName(state) == name) return ExpectStatus{state};
        args.Problem("unknown state " + Quote(name));
    }
    if (what == "record") {
        ExpectRecord expect{args.Next("the record's message in quotes")};
        if (!args.Empty())
            args.Problem("unexpected argument " + Quote(args.Peek()) +
                         " (a message with blanks goes in quotes)");
        return expect;
    }
    args.Problem("unknown expectation " + Quote(what) + " (wlan, status or record)");
}

// A full Windows path, as the machine keeps paths: "X:\..." or "\\server\share\...".
std::wstring ParsePath(Arguments& args, const char* what) {
    const std::string path = args.Next(what);
    const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                       path[1] == ':' && path[2] == '\\';
    if (!drive && path.rfind("\\\\", 0) != 0)
        args.Problem(Quote(path) + " is not a full path (X:\\... or \\\\server\\share\\...)");
    return platform::WideFromUtf8(path);
}

Action ParseAcl(Arguments& args) {
    Acl acl;
    acl.path = ParsePath(args, "the path");
    const std::string sddl =
        args.Next("the owner and the DACL in SDDL, for example \"O:BAD:(A;OICI;FA;;;SY)\"");
    args.End();
    auto descriptor = sim::ParseSddl(sddl);
    if (auto* problem = std::get_if<std::string>(&descriptor)) args.Problem(*problem);
    acl.descriptor = std::get<sim::SimSecurityDescriptor>(std::move(descriptor));
    return acl;
}

Action ParseVolume(Arguments& args) {
    const std::string letter = args.Next("the drive letter");
    const std::string type = args.Next("fixed, removable or remote");
    args.End();
    if ((letter.size() != 1 && (letter.size() != 2 || letter[1] != ':')) ||
        !std::isalpha(static_cast<unsigned char>(letter[0])))
        args.Problem(Quote(letter) + " is not a drive letter");
    Volume volume;
    volume.letter = static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(letter[0])));
    if (type == "fixed") {
        volume.type = DRIVE_FIXED;
    } else if (type == "removable") {
        volume.type = DRIVE_REMOVABLE;
    } else if (type == "remote") {
        volume.type = DRIVE_REMOTE;
    } else {
        args.Problem("fixed, removable or remote, not " + Quote(type));
    }
    return volume;
}

// A command without arguments that becomes the given action.
template <typename T>
std::function<Action(Arguments&)> Bare(T action) {
    return [action](Arguments& args) -> Action {
        args.End();
        return action;
    };
}

std::function<Action(Arguments&)> PowerEvent(DWORD eventType) {
    return Bare(Control{SERVICE_CONTROL_POWEREVENT, eventType});
}

const std::map<std::string, std::function<Action(Arguments&)>, std::less<>>& Commands() {
    static const std::map<std::string, std::function<Action(Arguments&)>, std::less<>> commands{
        {"wlan", ParseWlan},
        {"wlan-remove",
         [](Arguments& args) -> Action {
             RemoveWlan remove{args.Next("the interface name")};
             args.End();
             return remove;
         }},
        {"switch-device",
         [](Arguments& args) -> Action {
             const std::string what = args.Next("present or absent");
             args.End();
             if (what != "present" && what != "absent")
                 args.Problem("present or absent, not " + Quote(what));
             return SwitchDevice{what == "present"};
         }},
        {"bios",
         [](Arguments& args) -> Action {
             const std::string what = args.Next("the BIOS wifi status, fail, hold or release");
             args.End();
             if (what == "fail") return Bios{};
             if (what == "hold" || what == "release") return BiosHold{what == "hold"};
             return Bios{args.NumberOf(what)};
         }},
        {"airplane", ParseAirplane},
        {"switch",
         [](Arguments& args) -> Action {
             const DWORD value = args.Number("the switch value");
             args.End();
             return DriverRead{sim::ReadCompletion::Switch(value)};
         }},
        {"not-ready", Bare(DriverRead{sim::ReadCompletion::Failure(ERROR_NOT_READY)})},
        {"read-error",
         [](Arguments& args) -> Action {
             const DWORD code = args.Number("the error code");
             args.End();
             return DriverRead{sim::ReadCompletion::Failure(code)};
         }},
        {"short-read",
         [](Arguments& args) -> Action {
             auto bytes = args.Hex("the bytes, for example 01");
             args.End();
             if (bytes.size() >= kSwitchValueBytes)
                 args.Problem("a short read has 1 to 3 bytes; use switch N for a whole value");
             return DriverRead{sim::ReadCompletion::Raw(std::move(bytes))};
         }},
        {"short-read-flood",
         [](Arguments& args) -> Action {
             const std::string what = args.Next("on or off");
             args.End();
             if (what != "on" && what != "off") args.Problem("on or off, not " + Quote(what));
             return ShortReadFlood{what == "on"};
         }},
        {"fail", ParseFail},
        {"slow", ParseSlow},
        {"start", Bare(Start{})},
        {"run", [](Arguments& args) -> Action { return Run{args.Rest()}; }},
        {"stop", Bare(Control{SERVICE_CONTROL_STOP, 0})},
        {"shutdown", Bare(Control{SERVICE_CONTROL_SHUTDOWN, 0})},
        {"pause", Bare(Control{SERVICE_CONTROL_PAUSE, 0})},
        {"continue", Bare(Control{SERVICE_CONTROL_CONTINUE, 0})},
        {"interrogate", Bare(Control{SERVICE_CONTROL_INTERROGATE, 0})},
        {"suspend", PowerEvent(PBT_APMSUSPEND)},
        {"resume", PowerEvent(PBT_APMRESUMEAUTOMATIC)},
        {"power",
         [](Arguments& args) -> Action {
             const DWORD eventType = args.Number("the power event type");
             args.End();
             return Control{SERVICE_CONTROL_POWEREVENT, eventType};
         }},
        {"control",
         [](Arguments& args) -> Action {
             const DWORD control = args.Number("the control code");
             args.End();
             return Control{control, 0};
         }},
        {"wait",
         [](Arguments& args) -> Action {
             const std::uint64_t milliseconds = ParseDuration(args);
             args.End();
             return Wait{milliseconds};
         }},
        {"expect", ParseExpect},
        {"acl", ParseAcl},
        {"image",
         [](Arguments& args) -> Action {
             Image image{ParsePath(args, "the executable's path")};
             args.End();
             return image;
         }},
        {"volume", ParseVolume},
        {"reparse",
         [](Arguments& args) -> Action {
             Reparse reparse{ParsePath(args, "the path")};
             args.End();
             return reparse;
         }},
    };
    return commands;
}

}  // namespace

LineResult ParseLine(std::string_view line, int number) {
    try {
        Command command;
        command.line = number;
        std::vector<Token> tokens = Tokenize(line, command.text);
        if (tokens.empty()) return {};
        const std::string name = tokens.front().text;
        tokens.erase(tokens.begin());
        auto parser = Commands().find(name);
        if (parser == Commands().end()) throw Malformed{"unknown command " + Quote(name)};
        Arguments args(name, std::move(tokens));
        command.action = parser->second(args);
        return {std::move(command), std::nullopt};
    } catch (const Malformed& malformed) {
        return {std::nullopt, ParseProblem{number, malformed.text}};
    }
}

Scenario ParseScenario(std::string_view text) {
    Scenario scenario;
    int number = 0;
    std::vector<std::string> notes;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        LineResult result = ParseLine(line, ++number);
        if (result.problem) scenario.problems.push_back(std::move(*result.problem));
        if (result.command) {
            while (!notes.empty() && notes.back().empty()) notes.pop_back();
            result.command->notes = std::move(notes);
            notes.clear();
            scenario.commands.push_back(std::move(*result.command));
            continue;
        }
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] != '#') {
            if (!notes.empty()) notes.emplace_back();  // a blank line parts paragraphs
            continue;
        }
        std::string_view note = line.substr(first + 1);
        if (!note.empty() && note.front() == ' ') note.remove_prefix(1);
        while (!note.empty() && (note.back() == '\r' || note.back() == ' ')) note.remove_suffix(1);
        notes.emplace_back(note);
    }
    return scenario;
}

std::string DescribeProblem(std::string_view fileName, const ParseProblem& problem) {
    return std::string(fileName) + ":" + std::to_string(problem.line) + ": " + problem.text;
}

std::string ControlName(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return "SERVICE_CONTROL_STOP";
        case SERVICE_CONTROL_PAUSE:
            return "SERVICE_CONTROL_PAUSE";
        case SERVICE_CONTROL_CONTINUE:
            return "SERVICE_CONTROL_CONTINUE";
        case SERVICE_CONTROL_INTERROGATE:
            return "SERVICE_CONTROL_INTERROGATE";
        case SERVICE_CONTROL_SHUTDOWN:
            return "SERVICE_CONTROL_SHUTDOWN";
        case SERVICE_CONTROL_POWEREVENT:
            return "SERVICE_CONTROL_POWEREVENT";
        default:
            return "control " + std::to_string(control);
    }
}

}  // namespace simulator
