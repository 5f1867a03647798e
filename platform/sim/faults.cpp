#include "platform/sim/faults.h"

#include <algorithm>

namespace sim {

void FaultPlan::Add(FaultRule rule) {
    m_rules.push_back(std::move(rule));
}

void FaultPlan::Clear() {
    m_rules.clear();
}

std::optional<DWORD> FaultPlan::Take(const std::string& operation) {
    ++m_calls[operation];
    for (auto it = m_rules.begin(); it != m_rules.end(); ++it) {
        if (it->operation != operation) continue;
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
    auto it = m_calls.find(operation);
    return it == m_calls.end() ? 0 : it->second;
}

}  // namespace sim
