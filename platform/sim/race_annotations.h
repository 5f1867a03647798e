// Simulated machine only: what ThreadSanitizer is told in the machine's race mode (SimCore's
// SetConcurrent). The machine's own bookkeeping, its mutex, condition variables and memory, is
// hidden from it: a platform call runs inside a MachineScope, where ThreadSanitizer records no
// memory access and no synchronisation. What the platform promises as synchronisation is then
// said explicitly: Release where Windows releases (SetEvent, LeaveCriticalSection, a thread's
// creation and end, SetServiceStatus) and Acquire where it acquires (a satisfied wait,
// EnterCriticalSection, a new thread's start, a control delivered). So two simulated threads
// that touch the same memory with none of those between them are reported, as on Windows they
// would race. Without ThreadSanitizer every function here does nothing.
#pragma once

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
#endif

namespace sim::race {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kDetectorPresent = true;

// How deep the calling thread is in machine scopes; nested scopes hide nothing more.
inline thread_local int t_machineDepth = 0;

inline void HideBegin() {
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
inline void HideEnd() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}

// Promised synchronisation is recorded even from inside a machine scope.
inline void Release(const void* object) {
    if (t_machineDepth > 0) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
    __tsan_release(const_cast<void*>(object));
    if (t_machineDepth > 0) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}
inline void Acquire(const void* object) {
    if (t_machineDepth > 0) AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
    __tsan_acquire(const_cast<void*>(object));
    if (t_machineDepth > 0) AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
}

// Hides what the calling thread does from ThreadSanitizer while it lives, when `active`.
class MachineScope {
public:
    // The scope's own flag is written once hidden: it lies on the stack of a thread, where the
    // driver may later read what the same thread keeps there, with no synchronisation that
    // ThreadSanitizer could see in between.
    explicit MachineScope(bool active) {
        if (active && t_machineDepth++ == 0) HideBegin();
        m_active = active;
    }
    ~MachineScope() {
        if (m_active && --t_machineDepth == 0) HideEnd();
    }
    MachineScope(const MachineScope&) = delete;
    MachineScope& operator=(const MachineScope&) = delete;
    MachineScope(MachineScope&& other) noexcept : m_active(other.m_active) {
        other.m_active = false;
    }

    // Leaves the scope for a while (the dispatcher runs the service's handler) and comes back.
    void Suspend() {
        if (m_active && --t_machineDepth == 0) HideEnd();
    }
    void Resume() {
        if (m_active && t_machineDepth++ == 0) HideBegin();
    }

private:
    bool m_active;
};
#else
inline constexpr bool kDetectorPresent = false;
inline void Release(const void*) {}
inline void Acquire(const void*) {}
class MachineScope {
public:
    explicit MachineScope(bool) {}
    void Suspend() {}
    void Resume() {}
};
#endif

}  // namespace sim::race
