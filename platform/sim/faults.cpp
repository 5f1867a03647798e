#include "platform/sim/faults.h"

#include <algorithm>

namespace sim {

void FaultPlan::Add(FaultRule rule) {
    m_rules.push_back(std::move(rule));
}

void FaultPlan::AddDelay(DelayRule rule) {
    m_delays.push_back(std::move(rule));
}

void FaultPlan::Clear() {
    m_rules.clear();
    m_delays.clear();
}

std::optional<std::uint64_t> FaultPlan::TakeDelay(const std::string& operation) {
    for (auto it = m_delays.begin(); it != m_delays.end(); ++it) {
        if (it->operation != operation) continue;
        if (it->skipCalls > 0) {
            --it->skipCalls;
            continue;
        }
        const std::uint64_t delayMs = it->delayMs;
        if (it->slowCalls && --*it->slowCalls == 0) m_delays.erase(it);
        return delayMs;
    }
    return std::nullopt;
}

namespace {
// A thread's name is its process's name, "/", and its own.
bool CallerMatches(const std::string& wanted, const std::string& thread) {
    if (wanted.empty() || wanted == thread) return true;
    return thread.size() > wanted.size() && thread.compare(0, wanted.size(), wanted) == 0 &&
           thread[wanted.size()] == '/';
}
}  // namespace

std::optional<DWORD> FaultPlan::Take(const std::string& operation, const std::string& caller) {
    ++m_callsByThread[operation][caller];
    for (auto it = m_rules.begin(); it != m_rules.end(); ++it) {
        if (it->operation != operation || !CallerMatches(it->caller, caller)) continue;
        if (it->skipCalls > 0) {
            --it->skipCalls;
            continue;
        }
        const DWORD code = it->code;
        if (it->failCalls && --*it->failCalls == 0) m_rules.erase(it);
        ++m_failures;
        return code;
    }
    return std::nullopt;
}

std::uint64_t FaultPlan::CallCount(const std::string& operation) const {
    return CallCount(operation, "");
}

std::map<std::string, std::uint64_t> FaultPlan::CallCounts() const {
    std::map<std::string, std::uint64_t> counts;
    for (auto& [operation, byThread] : m_callsByThread) counts[operation] = CallCount(operation);
    return counts;
}

std::uint64_t FaultPlan::CallCount(const std::string& operation, const std::string& caller) const {
    auto byThread = m_callsByThread.find(operation);
    if (byThread == m_callsByThread.end()) return 0;
    std::uint64_t calls = 0;
    for (auto& [thread, count] : byThread->second)
        if (CallerMatches(caller, thread)) calls += count;
    return calls;
}

}  // namespace sim
