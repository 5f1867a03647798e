#include "simulator/output.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"
#include "simulator/overloaded.h"
#include "simulator/scenario.h"

namespace simulator {

namespace {

using Json = nlohmann::ordered_json;

// The column that holds the kind is as wide as the longest kind.
constexpr int kKindWidth = 13;
// The state column of a status line is as wide as the longest state name.
constexpr std::size_t kStateWidth = 24;

namespace colour {
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kMagenta = "\x1b[35m";
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kBoldRed = "\x1b[1;31m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";
}  // namespace colour

// A string as a C literal, so that line ends and partial lines stay visible.
std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
                    quoted += escape;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

// An argument as a Windows command line shows it: in double quotes only when it holds a blank
// or is empty, backslashes as they are.
std::string Argument(const std::wstring& argument) {
    const std::string text = platform::Utf8FromWide(argument);
    if (!text.empty() && text.find_first_of(" \t") == std::string::npos) return text;
    return "\"" + text + "\"";
}

std::string Hex(DWORD value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

std::string Seconds(std::uint64_t timeMs) {
    std::ostringstream text;
    text << timeMs / 1000 << '.' << std::setw(3) << std::setfill('0') << timeMs % 1000 << 's';
    return text.str();
}

std::string SummaryText(const RunSummary& summary) {
    std::string text = "wlan:";
    if (summary.wlan.empty()) text += " none";
    for (const auto& interface : summary.wlan) {
        text += " " + interface.name;
        for (std::size_t i = 0; i < interface.phys.size(); ++i)
            text += " [phy " + std::to_string(i) + " software " +
                    sim::RadioStateName(interface.phys[i].first) + ", hardware " +
                    sim::RadioStateName(interface.phys[i].second) + "]";
    }
    text += "; open:";
    if (summary.open.empty()) text += " nothing";
    bool first = true;
    for (const auto& [kind, count] : summary.open) {
        text += (first ? " " : ", ") + std::to_string(count) + " " + kind;
        first = false;
    }
    return text;
}

std::vector<std::string> Utf8(const std::vector<std::wstring>& strings) {
    std::vector<std::string> result;
    for (const auto& text : strings) result.push_back(platform::Utf8FromWide(text));
    return result;
}

Json Header(std::uint64_t timeMs, const char* kind) {
    return Json{{"t_ms", timeMs}, {"kind", kind}};
}

Json ObservationJson(const sim::Observation& observation) {
    return std::visit(Overloaded{
                          [&](const sim::StatusReport& report) {
                              Json json = Header(observation.timeMs, "status");
                              json["state"] = sim::ServiceStateName(report.status.dwCurrentState);
                              json["checkpoint"] = report.status.dwCheckPoint;
                              json["exit_code"] = report.status.dwWin32ExitCode;
                              json["wait_hint"] = report.status.dwWaitHint;
                              json["controls_accepted"] = report.status.dwControlsAccepted;
                              return json;
                          },
                          [&](const sim::EventRecord& record) {
                              Json json = Header(observation.timeMs, "event");
                              json["source"] = platform::Utf8FromWide(record.source);
                              json["type"] = record.type;
                              json["category"] = record.category;
                              json["event_id"] = record.eventId;
                              json["strings"] = Utf8(record.strings);
                              return json;
                          },
                          [&](const sim::ConsoleOutput& output) {
                              Json json = Header(observation.timeMs, "stdout");
                              json["process"] = output.process;
                              json["text"] = output.text;
                              return json;
                          },
                          [&](const sim::WlanSet& set) {
                              Json json = Header(observation.timeMs, "wlan_set");
                              json["interface"] = set.interfaceName;
                              json["phy"] = set.phyIndex;
                              json["software"] = sim::RadioStateName(set.software);
                              json["hardware"] = sim::RadioStateName(set.hardware);
                              json["result"] = set.result;
                              return json;
                          },
                          [&](const sim::ServiceRegistration& registration) {
                              Json json = Header(observation.timeMs, "registration");
                              json["name"] = platform::Utf8FromWide(registration.name);
                              json["display_name"] =
                                  platform::Utf8FromWide(registration.displayName);
                              json["service_type"] = registration.serviceType;
                              json["start_type"] = registration.startType;
                              json["error_control"] = registration.errorControl;
                              json["binary_path"] = platform::Utf8FromWide(registration.binaryPath);
                              json["dependencies"] = Utf8(registration.dependencies);
                              json["account"] = platform::Utf8FromWide(registration.account);
                              return json;
                          },
                          [&](const sim::ProcessStart& start) {
                              Json json = Header(observation.timeMs, "process_start");
                              json["process"] = start.process;
                              json["args"] = Utf8(start.args);
                              json["scm"] = start.scm;
                              return json;
                          },
                          [&](const sim::ProcessExit& exit) {
                              Json json = Header(observation.timeMs, "process_exit");
                              json["process"] = exit.process;
                              json["code"] = exit.code;
                              return json;
                          },
                          [&](const sim::Violation& violation) {
                              Json json = Header(observation.timeMs, "violation");
                              json["text"] = violation.what;
                              return json;
                          },
                      },
                      observation.body);
}

void WriteJson(std::ostream& out, const Json& json) {
    // A print call may end inside a multi-byte character; replacing it keeps the line valid.
    out << json.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
}

}  // namespace

void TextOutput::Note(const std::string& note) {
    if (m_colour) m_out << colour::kDim;
    m_out << std::string(12, ' ') << (note.empty() ? "#" : "# ") << note;
    if (m_colour) m_out << colour::kReset;
    m_out << std::endl;
}

void TextOutput::Line(std::uint64_t timeMs, const char* kind, const char* kindColour,
                      const std::string& details) {
    std::ostringstream line;
    const bool coloured = m_colour && *kindColour != '\0';
    if (m_colour) line << colour::kDim;
    line << std::setw(10) << Seconds(timeMs);
    if (m_colour) line << colour::kReset;
    line << "  ";
    if (coloured) line << kindColour;
    line << std::left << std::setw(kKindWidth) << kind;
    if (coloured) line << colour::kReset;
    line << "  " << details;
    m_out << line.str() << std::endl;
}

void TextOutput::Observation(const sim::Observation& observation) {
    const std::uint64_t t = observation.timeMs;
    std::visit(
        Overloaded{
            [&](const sim::StatusReport& report) {
                const SERVICE_STATUS& s = report.status;
                std::string state = sim::ServiceStateName(s.dwCurrentState);
                state.resize(std::max(state.size(), kStateWidth), ' ');
                Line(t, "status", colour::kCyan,
                     state + "  checkpoint " + std::to_string(s.dwCheckPoint) + ", wait hint " +
                         std::to_string(s.dwWaitHint) + " ms, exit code " +
                         std::to_string(s.dwWin32ExitCode) + ", accepts " +
                         Hex(s.dwControlsAccepted));
            },
            [&](const sim::EventRecord& record) {
                const bool error = record.type == EVENTLOG_ERROR_TYPE;
                std::string details =
                    (error ? "error  " : "info   ") + platform::Utf8FromWide(record.Message());
                // Every record of the service has this form; anything else is shown whole.
                const bool usual = record.strings.size() == 2 &&
                                   record.strings[0] == record.source && record.category == 0 &&
                                   record.eventId == 0;
                if (!usual) {
                    details += "  [source " + Quoted(platform::Utf8FromWide(record.source)) +
                               ", type " + std::to_string(record.type) + ", category " +
                               std::to_string(record.category) + ", id " +
                               std::to_string(record.eventId) + ", strings";
                    for (const auto& text : record.strings)
                        details += " " + Quoted(platform::Utf8FromWide(text));
                    details += "]";
                }
                Line(t, "event", error ? colour::kRed : colour::kGreen, details);
            },
            [&](const sim::ConsoleOutput& output) {
                Line(t, "stdout", colour::kDim, output.process + "  " + Quoted(output.text));
            },
            [&](const sim::WlanSet& set) {
                Line(t, "wlan_set", colour::kYellow,
                     set.interfaceName + "  phy " + std::to_string(set.phyIndex) + "  software " +
                         sim::RadioStateName(set.software) + ", hardware " +
                         sim::RadioStateName(set.hardware) + "  result " +
                         std::to_string(set.result));
            },
            [&](const sim::ServiceRegistration& r) {
                std::string dependencies;
                for (const auto& name : r.dependencies)
                    dependencies += (dependencies.empty() ? "" : ", ") + Argument(name);
                Line(t, "registration", colour::kMagenta,
                     Argument(r.name) + "  display name " + Argument(r.displayName) + ", type " +
                         Hex(r.serviceType) + ", start " + std::to_string(r.startType) +
                         ", error control " + std::to_string(r.errorControl) + ", path " +
                         platform::Utf8FromWide(r.binaryPath) + ", depends on " +
                         (dependencies.empty() ? "nothing" : dependencies) + ", account " +
                         Argument(r.account));
            },
            [&](const sim::ProcessStart& start) {
                std::string command;
                for (const auto& argument : start.args)
                    command += (command.empty() ? "" : " ") + Argument(argument);
                Line(t, "process_start", colour::kBlue,
                     start.process + "  " + command + (start.scm ? "  (by the SCM)" : ""));
            },
            [&](const sim::ProcessExit& exit) {
                Line(t, "process_exit", colour::kBlue,
                     exit.process + "  exit code " + std::to_string(exit.code));
            },
            [&](const sim::Violation& violation) {
                Line(t, "violation", colour::kBoldRed, violation.what);
            },
        },
        observation.body);
}

void TextOutput::Command(std::uint64_t timeMs, int line, const std::string& text,
                         const std::vector<std::string>& notes) {
    for (auto& note : notes) Note(note);
    Line(timeMs, "command", colour::kBold,
         (line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + text);
}

void TextOutput::ExpectFailed(std::uint64_t timeMs, int line, const std::string& text) {
    Line(timeMs, "expect_failed", colour::kBoldRed, "line " + std::to_string(line) + ": " + text);
}

void TextOutput::Error(std::uint64_t timeMs, int line, const std::string& text) {
    Line(timeMs, "error", colour::kBoldRed,
         (line > 0 ? "line " + std::to_string(line) + ": " : std::string("end: ")) + text);
}

void TextOutput::Summary(std::uint64_t timeMs, const RunSummary& summary) {
    Line(timeMs, "summary", colour::kBold, SummaryText(summary));
}

void JsonlOutput::Observation(const sim::Observation& observation) {
    WriteJson(m_out, ObservationJson(observation));
}

void JsonlOutput::ExpectFailed(std::uint64_t timeMs, int line, const std::string& text) {
    Json json = Header(timeMs, "expect_failed");
    json["line"] = line;
    json["text"] = text;
    WriteJson(m_out, json);
}

void JsonlOutput::Error(std::uint64_t timeMs, int line, const std::string& text) {
    Json json = Header(timeMs, "error");
    json["line"] = line;
    json["text"] = text;
    WriteJson(m_out, json);
}

void JsonlOutput::Summary(std::uint64_t timeMs, const RunSummary& summary) {
    Json json = Header(timeMs, "summary");
    Json wlan = Json::array();
    for (const auto& interface : summary.wlan) {
        Json phys = Json::array();
        for (const auto& [software, hardware] : interface.phys)
            phys.push_back(Json{{"software", sim::RadioStateName(software)},
                                {"hardware", sim::RadioStateName(hardware)}});
        wlan.push_back(Json{{"interface", interface.name}, {"phys", phys}});
    }
    json["wlan"] = wlan;
    json["open"] = Json::object();
    for (const auto& [kind, count] : summary.open) json["open"][kind] = count;
    WriteJson(m_out, json);
}

}  // namespace simulator
