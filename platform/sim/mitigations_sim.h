// Simulated machine only: what each process asked of the loader and of the process mitigation
// policies, and the requests Windows refuses.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

// One call, as the process made it, and the machine's answer.
struct MitigationRequest {
    std::string operation;                            // "SetDefaultDllDirectories" or
                                                      // "SetProcessMitigationPolicy"
    std::optional<PROCESS_MITIGATION_POLICY> policy;  // none for SetDefaultDllDirectories
    DWORD flags = 0;                                  // the directory flags, or the policy's flags
    DWORD error = NO_ERROR;                           // NO_ERROR when the call succeeded
};

class SimMitigations {
public:
    explicit SimMitigations(SimMachine& machine) : m_machine(machine) {}

    BOOL SetDefaultDllDirectories(SimProcess& caller, DWORD directoryFlags);
    BOOL SetProcessMitigationPolicy(SimProcess& caller, PROCESS_MITIGATION_POLICY policy,
                                    PVOID buffer, SIZE_T length);

    // Driver side: every request of the process named `process`, in order.
    std::vector<MitigationRequest> Requests(const std::string& process);

private:
    struct ProcessState {
        std::vector<MitigationRequest> requests;
        std::map<PROCESS_MITIGATION_POLICY, DWORD> policies;  // the flags in force
    };
    SimMachine& m_machine;
    std::map<std::string, ProcessState> m_processes;
};

}  // namespace sim
