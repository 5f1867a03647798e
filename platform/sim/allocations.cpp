#include "platform/sim/allocations.h"

#include <cstdlib>
#include <new>

#include "platform/sim/machine.h"

namespace sim {

namespace {
thread_local int t_machineWork = 0;
}  // namespace

void EnterMachineWork() {
    ++t_machineWork;
}

void LeaveMachineWork() {
    --t_machineWork;
}

bool AllocationFails() {
    if (t_machineWork > 0) return false;
    const SimThread* thread = SimCore::CurrentThread();
    if (thread == nullptr || thread->process == nullptr) return false;
    SimCore& core = thread->process->Machine().Core();
    MachineAllocations planWork;
    // One by one, the caller holds the baton and nothing else touches the plan; it may even
    // hold the machine's lock already (a test's set-up on a simulated thread). In race mode
    // the lock is needed, and hides the plan's work from ThreadSanitizer.
    if (!core.Concurrent())
        return core.Faults().Take(kAllocationOperation, thread->name).has_value();
    CallLock lock = core.LockMachine();
    return core.Faults().Take(kAllocationOperation, thread->name).has_value();
}

}  // namespace sim

namespace {

void* Allocate(std::size_t size) {
    if (sim::AllocationFails()) throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void* AllocateOrNull(std::size_t size) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

// Every form that the runtime would otherwise pair with its own allocator is replaced, so that
// what these allocate is always released by std::free (AddressSanitizer checks the pairing).
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
