// Simulated machine only: the scheduler, virtual clock, handle table, fault plan and observation
// log that every simulated platform service shares. Nothing here calls the host's operating
// system beyond the standard library's threads, mutex and condition variable.
//
// Scheduling: every simulated thread is a host thread, but only the one that holds the baton
// runs; it keeps the baton until it blocks in a platform call, yields or ends. That makes every
// run deterministic, lets the driver (a test or the simulator) act only while the machine is idle,
// and lets virtual time stand still while anything can still run. With a seed, the scheduler
// also preempts at platform calls and picks the next thread at random, so tests can explore the
// interleavings that real threads would produce. A chooser (see ScheduleChooser) takes over every
// such decision instead, which is how schedules are explored systematically (explore.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/allocations.h"
#include "platform/sim/faults.h"
#include "platform/sim/observations.h"
#include "platform/sim/race_annotations.h"
#include "platform/win_types.h"

namespace sim {

// The machine's lock as a simulated thread holds it through a platform call. In race mode the
// hold, and all the machine does under it, is hidden from ThreadSanitizer (race_annotations.h).
// In race mode it also starts, at the end of the call, the threads the call has made ready.
class SimCore;

class CallLock : private race::MachineScope,
                 private MachineAllocations,
                 public std::unique_lock<std::mutex> {
public:
    CallLock(std::mutex& mutex, bool hidden, SimCore* startsWoken)
        : race::MachineScope(hidden), std::unique_lock<std::mutex>(mutex), m_core(startsWoken) {}
    CallLock(CallLock&& other) noexcept
        : race::MachineScope(std::move(other)),
          MachineAllocations(std::move(other)),
          std::unique_lock<std::mutex>(std::move(other)),
          m_core(other.m_core) {
        other.m_core = nullptr;
    }
    ~CallLock();
    // Lets go of the machine for code of the process that runs inside a call (the dispatcher's
    // call of the control handler), and takes it back.
    void LeaveMachine() {
        unlock();
        race::MachineScope::Suspend();
        MachineAllocations::Suspend();
    }
    void ReenterMachine() {
        MachineAllocations::Resume();
        race::MachineScope::Resume();
        lock();
    }

private:
    SimCore* m_core;
};

class SimProcess;

// What a handle of the simulated machine refers to; also the resource kinds that are accounted.
enum class HandleKind {
    Event,
    Thread,
    Device,
    EventSource,
    WlanClient,
    RegistryKey,
    DeviceInfoSet,
    ScManager,
    Service,
};
const char* HandleKindName(HandleKind kind);

struct SimThread {
    int id = 0;
    std::string name;
    SimProcess* process = nullptr;
    enum class State { Runnable, Running, Blocked, Ended } state = State::Runnable;
    // Its process has ended while it ran (race mode): it stops at its next platform call.
    bool abandoned = false;
    std::function<bool()> wakeCondition;      // while Blocked
    const void* waitsForLock = nullptr;       // while Blocked on a lock with an owner
    std::optional<std::uint64_t> deadlineMs;  // while Blocked, for timed waits
    bool timedOut = false;
    std::condition_variable baton;  // signalled when this thread is handed the baton
    std::thread host;
};

// Decides, wherever more than one simulated thread could run next, which one does. Without a
// chooser the machine keeps the order in which threads became ready and lets a thread run until
// it blocks, yields or ends.
class ScheduleChooser {
public:
    virtual ~ScheduleChooser() = default;
    // `candidates` may run next, in the machine's default order. With `atCall`, candidates[0] is
    // the thread that has just begun a platform call and may go on (any other index preempts
    // it); otherwise the thread that ran has blocked, yielded, ended or been interrupted by an
    // injected event. Returns an index into `candidates`. Called with the machine's lock held.
    virtual std::size_t Choose(const std::vector<const SimThread*>& candidates, bool atCall) = 0;
    // `thread` gave the processor up of its own accord (Sleep(0)).
    virtual void Yielded(const SimThread& thread) { static_cast<void>(thread); }
};

// Result of letting the machine run until every thread is blocked or ended.
struct IdleResult {
    bool idle = true;
    std::vector<std::string> busyThreads;  // when not idle: the threads that kept running
};

class SimCore {
public:
    SimCore();
    ~SimCore();
    SimCore(const SimCore&) = delete;
    SimCore& operator=(const SimCore&) = delete;

    std::mutex& Mutex() { return m_mutex; }
    // Every platform call begins here: takes the machine's lock, and is a preemption point.
    CallLock EnterCall();
    // The machine's lock, for the machine's own work on a simulated thread outside any call.
    CallLock LockMachine();

    // --- race mode
    // Simulated threads run at the same time between platform calls instead of one by one, and
    // ThreadSanitizer sees only the synchronisation the platform promises (race_annotations.h).
    // Driver side, before any thread runs. Choosers, preemption and injections do not apply.
    void SetConcurrent(bool concurrent);
    bool Concurrent() const { return m_concurrent.load(std::memory_order_relaxed); }
    // The platform's promised synchronisation on `object`, said to ThreadSanitizer in race mode.
    void PromiseRelease(const void* object) const {
        if (Concurrent()) race::Release(object);
    }
    void PromiseAcquire(const void* object) const {
        if (Concurrent()) race::Acquire(object);
    }

    // --- time
    std::uint64_t NowMs() const { return m_nowMs; }

    // --- threads (called with the mutex held unless said otherwise)
    // Starts a simulated thread that runs `body` once it is scheduled.
    SimThread* StartThread(std::unique_lock<std::mutex>& lock, SimProcess* process,
                           std::string name, std::function<void()> body);
    // The simulated thread that calls, or null for the driver and other host threads.
    static SimThread* CurrentThread();
    // Its name, for the reports of broken rules.
    static std::string CurrentThreadName();
    // Blocks the calling simulated thread until `condition` holds (checked under the mutex) or
    // the virtual deadline passes. Returns false on time-out.
    bool BlockUntil(std::unique_lock<std::mutex>& lock, std::function<bool()> condition,
                    std::optional<std::uint64_t> deadlineMs = std::nullopt);
    // Lets other ready threads run before the caller continues.
    void Yield(std::unique_lock<std::mutex>& lock);
    // A preemption point at the start of a platform call: yields only in preemptive mode.
    void MaybePreempt(std::unique_lock<std::mutex>& lock);
    void SetPreemption(std::uint64_t seed, double probability);
    // Hands every scheduling decision to `chooser` from now on (driver side, before any thread
    // runs). The core keeps it for as long as its threads may ask it.
    void SetChooser(std::shared_ptr<ScheduleChooser> chooser);
    // Runs `action` at the start of the `call`-th platform call that simulated threads make from
    // now on (1: the next one), as a control or a device event arriving at that instant: the
    // machine's lock is free, so the action uses the driver's methods (never RunUntilIdle), and
    // the threads it makes ready run before the interrupted caller goes on. Driver side.
    void InjectAtCall(std::uint64_t call, std::function<void()> action);
    // Whether an injected action is still waiting for its call. Driver side.
    bool InjectionPending() const;
    // Drops the injected action if it has not run yet; returns whether it was still waiting.
    bool CancelInjection();
    // Platform calls made by simulated threads since the core was made. Driver side.
    std::uint64_t CallsMade() const;
    // A process has ended: its other threads never run again (Windows ends them), and they
    // stay counted as live so that the account shows them.
    void AbandonThreadsOf(const SimProcess* process, const SimThread* except);
    std::vector<const SimThread*> Threads() const;
    int LiveThreadCount() const;
    // How many times a thread has been handed the baton since the core was made: every run of a
    // simulated thread, so idle time that wakes nothing leaves it unchanged. Driver side.
    std::uint64_t Switches() const {
        std::lock_guard lock(m_mutex);
        return m_switches;
    }

    // --- driver side (no lock held by the caller; never from a simulated thread)
    // No simulated thread runs: each one is blocked or ended.
    bool Idle() const {
        std::lock_guard lock(m_mutex);
        return !Busy();
    }
    IdleResult RunUntilIdle(std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
    // Advances virtual time to `targetMs`, firing every timer on the way, in order.
    IdleResult AdvanceTo(std::uint64_t targetMs,
                         std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
    // The earliest deadline of a blocked thread, if any.
    std::optional<std::uint64_t> NextDeadline() const;
    // Joins every ended host thread; threads still blocked are left where they are.
    void ReapEndedThreads();

    // --- handles
    // Values are handed out as Windows does: one family's value just closed is the next one
    // handed out, so a handle used after its close may name another object by then.
    struct HandleEntry {
        HandleKind kind;
        SimProcess* owner;
        std::shared_ptr<void> object;
    };
    HANDLE AddHandle(HandleKind kind, SimProcess* owner, std::shared_ptr<void> object);
    // The open handle `handle` of `caller`, of one of `kinds`. Anything else (NULL, a pseudo
    // handle, a value never handed out or already closed, another process's handle, a handle of
    // a kind the call does not take) is a misuse that Application Verifier's Handles check stops
    // the process on: it is reported as a violation naming `call` and the calling thread, and
    // null is returned, so that the call fails as it does on Windows without the verifier.
    HandleEntry* UseHandle(const void* handle, const SimProcess* caller,
                           std::initializer_list<HandleKind> kinds, const char* call);
    // The open handle `handle` of `kind`, whoever holds it; the machine's own look-up.
    HandleEntry* FindHandle(const void* handle, HandleKind kind);
    // Closes an open handle; its value goes back to its family's free values.
    void RemoveHandle(const void* handle);
    std::map<std::string, int> OpenHandleCounts() const;
    const std::map<std::uintptr_t, HandleEntry>& Handles() const { return m_handles; }

    // --- locks with an owner (critical sections, the dispatcher lock), for the deadlock check
    void NameLock(const void* lock, std::string name);
    void SetLockOwner(const void* lock, const SimThread* owner);  // null: the lock is free
    void ForgetLock(const void* lock);
    std::string LockName(const void* lock) const;
    // Blocks the calling simulated thread until `isFree` holds. A wait that closes a cycle of
    // threads, each waiting for a lock that the next one holds, is reported as a deadlock
    // violation naming every thread and lock of the cycle; the threads then wait for ever, as
    // real ones would.
    void BlockOnLock(std::unique_lock<std::mutex>& lock, const void* lockId,
                     std::function<bool()> isFree);

    // --- faults, observations and violations
    FaultPlan& Faults() { return m_faults; }
    // What the fault plan has for this call of `operation`: first the delay, if it is to be slow
    // (the calling simulated thread waits that much virtual time), then the failure code, if it
    // is to fail.
    std::optional<DWORD> TakeFault(std::unique_lock<std::mutex>& lock,
                                   const std::string& operation);
    Observations& Log() { return m_log; }
    void Observe(Observation observation);
    // A rule of Windows broken by a process: kept as a Violation observation and passed to the
    // process-wide violation reporter, unless this machine expects violations.
    void Violate(std::string what);
    // For tests that break a rule on purpose to see the machine refuse it.
    void ExpectViolations(bool expected) { m_violationsExpected = expected; }

private:
    friend class CallLock;
    void ScheduleNext();  // hands the baton on; the caller has given it up
    // The chooser's decision at the start of a platform call of the running thread.
    void ChooseAtCall(std::unique_lock<std::mutex>& lock);
    // The caller gives the baton up to the threads that have become ready, and waits its turn.
    void GiveWayToWoken(std::unique_lock<std::mutex>& lock);
    void HandBatonTo(SimThread* next);
    // The calling thread stops running: blocks, yields or ends.
    void GiveUpProcessor();
    bool Busy() const { return m_concurrent ? m_runningCount > 0 : m_running != nullptr; }
    // Race mode: the calling thread's process has ended, so it waits for ever.
    void ParkIfAbandoned(std::unique_lock<std::mutex>& lock);
    void WakeReadyThreads();
    void RunThreadBody(SimThread* thread, bool concurrent, std::function<void()> body);
    void WaitForBaton(std::unique_lock<std::mutex>& lock, SimThread* thread);

    mutable std::mutex m_mutex;
    // Signalled when the baton comes back to nobody: the driver waits on it.
    std::condition_variable m_idle;
    std::vector<std::unique_ptr<SimThread>> m_threads;
    std::deque<SimThread*> m_ready;
    SimThread* m_running = nullptr;  // the baton's holder, one by one
    std::atomic<bool> m_concurrent{false};
    int m_runningCount = 0;  // race mode: threads that run
    std::uint64_t m_switches = 0;
    std::uint64_t m_nowMs = 0;
    bool m_preemptive = false;
    double m_preemptProbability = 0.0;
    std::mt19937_64 m_random;
    std::shared_ptr<ScheduleChooser> m_chooser;
    struct Injection {
        std::uint64_t call = 0;  // in CallsMade's count
        std::function<void()> action;
    };
    std::optional<Injection> m_injection;
    std::uint64_t m_callsMade = 0;

    std::map<std::uintptr_t, HandleEntry> m_handles;
    // Each family of handles (kernel objects, event sources, WLAN clients, device information
    // sets, SCM handles) has its own range of values; a closed value is handed out again first.
    struct HandleValues {
        std::uintptr_t next = 0;
        std::vector<std::uintptr_t> freed;  // the last closed at the back
    };
    std::map<int, HandleValues> m_handleValues;
    // Every value ever handed out, to tell a closed handle from one never issued.
    std::set<std::uintptr_t> m_issuedHandles;

    struct OwnedLock {
        std::string name;
        const SimThread* owner = nullptr;
    };
    std::map<const void*, OwnedLock> m_locks;
    std::optional<std::string> DeadlockThrough(const SimThread* self, const void* lockId) const;

    FaultPlan m_faults;
    Observations m_log;
    bool m_violationsExpected = false;
};

// Called for every violation that no machine expected, with the machine's lock held and on the
// thread that broke the rule. Test programs make it fail the running test; the simulator and the
// chaos tool read the Violation observations instead.
void SetViolationReporter(std::function<void(const std::string& what)> reporter);

}  // namespace sim
