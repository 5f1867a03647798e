#include "platform/sim/mitigations_sim.h"

#include <cstring>

#include "platform/sim/kernel_sim.h"
#include "platform/sim/machine.h"

namespace sim {

namespace {

// The directories SetDefaultDllDirectories takes; LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR is for
// LoadLibraryEx only.
constexpr DWORD kDefaultDirectoryFlags =
    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// The policies of PROCESS_MITIGATION_POLICY up to ProcessSEHOPPolicy (18), the last one
// Windows documents; a value past them names no policy.
constexpr int kPolicyCount = 19;

// Every policy's structure is one DWORD of flags but the DEP policy's, which adds a BOOLEAN
// (padded to 8 bytes).
SIZE_T PolicySize(PROCESS_MITIGATION_POLICY policy) {
    return policy == ProcessDEPPolicy ? 8 : sizeof(DWORD);
}

}  // namespace

BOOL SimMitigations::SetDefaultDllDirectories(SimProcess& caller, DWORD directoryFlags) {
    auto lock = m_machine.Core().EnterCall();
    MitigationRequest request{"SetDefaultDllDirectories", std::nullopt, directoryFlags};
    if (auto code = m_machine.Core().TakeFault(lock, request.operation))
        request.error = *code;
    else if (directoryFlags == 0 || (directoryFlags & ~kDefaultDirectoryFlags) != 0)
        request.error = ERROR_INVALID_PARAMETER;
    m_processes[caller.Name()].requests.push_back(request);
    if (request.error != NO_ERROR) SimKernel::SetLastError(request.error);
    return request.error == NO_ERROR;
}

BOOL SimMitigations::SetProcessMitigationPolicy(SimProcess& caller,
                                                PROCESS_MITIGATION_POLICY policy, PVOID buffer,
                                                SIZE_T length) {
    auto lock = m_machine.Core().EnterCall();
    ProcessState& state = m_processes[caller.Name()];
    MitigationRequest request{"SetProcessMitigationPolicy", policy};
    const int value = static_cast<int>(policy);
    const bool known = value >= 0 && value < kPolicyCount;
    if (buffer != nullptr && known && length == PolicySize(policy))
        std::memcpy(&request.flags, buffer, sizeof(DWORD));
    if (auto code = m_machine.Core().TakeFault(lock, request.operation)) {
        request.error = *code;
    } else if (buffer == nullptr || !known || length != PolicySize(policy) ||
               // A query, not a policy: it reports the mask of the options the system knows.
               policy == ProcessMitigationOptionsMask) {
        request.error = ERROR_INVALID_PARAMETER;
    } else if ((state.policies[policy] & ~request.flags) != 0) {
        // A mitigation once enabled cannot be disabled for the life of the process.
        request.error = ERROR_INVALID_PARAMETER;
    } else {
        state.policies[policy] = request.flags;
    }
    state.requests.push_back(request);
    if (request.error != NO_ERROR) SimKernel::SetLastError(request.error);
    return request.error == NO_ERROR;
}

std::vector<MitigationRequest> SimMitigations::Requests(const std::string& process) {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto found = m_processes.find(process);
    return found == m_processes.end() ? std::vector<MitigationRequest>{} : found->second.requests;
}

}  // namespace sim
