// Simulated machine only: everything the machine saw the processes do, in order, with the virtual
// time at which it happened. Tests and the simulator read the system's behaviour from here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "platform/win_types.h"

namespace sim {

struct StatusReport {
    std::string service;
    SERVICE_STATUS status;
};

struct EventRecord {
    std::wstring source;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    bool hasSid = false;
    std::vector<std::wstring> strings;
    std::vector<std::uint8_t> data;
    // The message: the second string, as every record of the service carries it.
    std::wstring Message() const { return strings.size() > 1 ? strings[1] : std::wstring(); }
};

struct ConsoleOutput {
    std::string process;
    std::string text;  // UTF-8, exactly what one print call wrote
};

struct WlanSet {
    std::string interfaceName;
    DWORD phyIndex = 0;
    DOT11_RADIO_STATE software = dot11_radio_state_unknown;
    DOT11_RADIO_STATE hardware = dot11_radio_state_unknown;
    DWORD result = 0;
};

struct ServiceRegistration {
    std::wstring name;
    std::wstring displayName;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring loadOrderGroup;
    std::vector<std::wstring> dependencies;
    std::wstring account;
    bool hasPassword = false;
};

struct ProcessStart {
    std::string process;
    std::vector<std::wstring> args;
    bool scm = false;
};

struct ProcessExit {
    std::string process;
    int code = 0;
};

// A rule of Windows that a process broke: a report after SERVICE_STOPPED, a deadlock, ...
struct Violation {
    std::string what;
};

using ObservationBody = std::variant<StatusReport, EventRecord, ConsoleOutput, WlanSet,
                                     ServiceRegistration, ProcessStart, ProcessExit, Violation>;

struct Observation {
    std::uint64_t timeMs = 0;
    ObservationBody body;
};

class Observations {
public:
    void Add(Observation observation);
    const std::vector<Observation>& All() const { return m_all; }
    std::size_t Size() const { return m_all.size(); }
    // Called for every observation as it is made, with the machine's lock held.
    void SetListener(std::function<void(const Observation&)> listener) {
        m_listener = std::move(listener);
    }
    // Whether observations are kept from now on. A long run turns this off so that the log does
    // not grow with every record; the listener still sees each one.
    void SetRetained(bool retained) { m_retained = retained; }

    template <typename T>
    std::vector<T> Of(std::size_t from = 0) const {
        std::vector<T> result;
        for (std::size_t i = from; i < m_all.size(); ++i)
            if (auto* item = std::get_if<T>(&m_all[i].body)) result.push_back(*item);
        return result;
    }

private:
    std::vector<Observation> m_all;
    std::function<void(const Observation&)> m_listener;
    bool m_retained = true;
};

}  // namespace sim
