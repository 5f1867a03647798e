// Simulated machine only: the C++ allocations of simulated processes, counted and failed as a
// fault plan says, as Application Verifier's low-resources simulation fails a process's heap
// allocations. The global allocation functions of every program that links the machine ask it
// here; only allocations made by a simulated thread outside the machine's own work count, so
// the driver and the machine itself never see an allocation fail.
#pragma once

namespace sim {

// The operation name under which the plan counts and fails a process's allocations.
inline constexpr const char* kAllocationOperation = "operator new";

// The machine's own work begins and ends on the calling thread; it nests. Every platform call is
// such work (CallLock), and so is the machine's code that runs on a simulated thread around the
// process's: its allocations are never counted or failed.
void EnterMachineWork();
void LeaveMachineWork();

class MachineAllocations {
public:
    MachineAllocations();
    ~MachineAllocations();
    MachineAllocations(const MachineAllocations&) = delete;
    MachineAllocations& operator=(const MachineAllocations&) = delete;
};

// Counts an allocation of the calling thread and says whether the plan fails it; always false
// for a thread that is not simulated, and within the machine's own work.
bool AllocationFails();

}  // namespace sim
