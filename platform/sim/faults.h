// Simulated machine only: which platform calls fail, with which code, on which of their calls,
// and which of them take longer than they would. A fault is data given to the machine; the logic
// under test never knows it is being tested.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

struct FaultRule {
    // The Win32 name, for example "WlanSetInterface", or kAllocationOperation for a C++
    // allocation of a process (which fails with std::bad_alloc, whatever the code).
    std::string operation;
    DWORD code = ERROR_GEN_FAILURE;
    std::uint32_t skipCalls = 0;  // calls that still succeed before the first failure
    std::optional<std::uint32_t> failCalls = 1;  // how many calls fail; none means always
    // Only calls made by this thread ("process#2/thread-1"), or by any thread of this process
    // ("process#2"), count and fail; empty: every caller's.
    std::string caller{};
};

// A call that takes this much virtual time before it does its work, as a slow driver or service
// would: the calling thread waits, the others run.
struct DelayRule {
    std::string operation;
    std::uint64_t delayMs = 0;
    std::uint32_t skipCalls = 0;                 // calls that still take no time first
    std::optional<std::uint32_t> slowCalls = 1;  // how many calls are slow; none means always
};

class FaultPlan {
public:
    void Add(FaultRule rule);
    void AddDelay(DelayRule rule);
    void Clear();
    // The delay of the coming call of `operation`, if it is to be slow; counts nothing, as the
    // call's Take that follows does.
    std::optional<std::uint64_t> TakeDelay(const std::string& operation);
    // Counts a call of `operation` by the thread named `caller` (empty: not a simulated thread)
    // and says whether it fails, and with which code.
    std::optional<DWORD> Take(const std::string& operation, const std::string& caller = "");
    std::uint64_t CallCount(const std::string& operation) const;
    // Calls of `operation` made by `caller`, a thread or a process as FaultRule::caller says.
    std::uint64_t CallCount(const std::string& operation, const std::string& caller) const;
    std::map<std::string, std::uint64_t> CallCounts() const;
    // How many calls have been made to fail so far, by every rule together.
    std::uint64_t FailuresInjected() const { return m_failures; }

private:
    std::vector<FaultRule> m_rules;
    std::vector<DelayRule> m_delays;
    // By operation, then by calling thread.
    std::map<std::string, std::map<std::string, std::uint64_t>> m_callsByThread;
    std::uint64_t m_failures = 0;
};

}  // namespace sim
