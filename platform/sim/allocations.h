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

// The machine's own work while it lives. A moved scope enters again, as its source will leave
// when it ends, so that it holds no state: nothing of it lies on the thread's stack, where
// ThreadSanitizer would see it written outside the machine in race mode.
class MachineAllocations {
public:
    MachineAllocations() { EnterMachineWork(); }
    ~MachineAllocations() { LeaveMachineWork(); }
    MachineAllocations(const MachineAllocations&) = delete;
    MachineAllocations& operator=(const MachineAllocations&) = delete;
    MachineAllocations(MachineAllocations&&) noexcept { EnterMachineWork(); }
    // Leaves the machine's work for a while (the dispatcher runs the service's handler) and
    // comes back.
    void Suspend() { LeaveMachineWork(); }
    void Resume() { EnterMachineWork(); }
};

// Counts an allocation of the calling thread and says whether the plan fails it; always false
// for a thread that is not simulated, and within the machine's own work.
bool AllocationFails();

}  // namespace sim
