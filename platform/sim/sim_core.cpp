#include "platform/sim/sim_core.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
thread_local SimThread* t_current = nullptr;

// Made on first use: test programs install their reporter from a static initialiser of another
// file, which may run before this file's own.
struct ViolationReporter {
    std::mutex mutex;
    std::function<void(const std::string&)> report;
};
ViolationReporter& TheViolationReporter() {
    static ViolationReporter reporter;
    return reporter;
}
}  // namespace

void SetViolationReporter(std::function<void(const std::string& what)> reporter) {
    std::lock_guard lock(TheViolationReporter().mutex);
    TheViolationReporter().report = std::move(reporter);
}

const char* HandleKindName(HandleKind kind) {
    switch (kind) {
        case HandleKind::Event:
            return "events";
        case HandleKind::Thread:
            return "thread handles";
        case HandleKind::Device:
            return "device handles";
        case HandleKind::EventSource:
            return "event sources";
        case HandleKind::WlanClient:
            return "WLAN handles";
        case HandleKind::RegistryKey:
            return "registry keys";
        case HandleKind::DeviceInfoSet:
            return "device information sets";
        case HandleKind::ScManager:
            return "SCM handles";
        case HandleKind::Service:
            return "SCM handles";
    }
    return "unknown";
}

void Observations::Add(Observation observation) {
    if (!m_retained) {
        if (m_listener) m_listener(observation);
        return;
    }
    m_all.push_back(std::move(observation));
    if (m_listener) m_listener(m_all.back());
}

CallLock::~CallLock() {
    if (m_core != nullptr && owns_lock()) m_core->ScheduleNext();
}

SimCore::SimCore() = default;

SimCore::~SimCore() {
    std::unique_lock lock(m_mutex);
    for (auto& thread : m_threads) {
        if (!thread->host.joinable()) continue;
        if (thread->state == SimThread::State::Ended) {
            lock.unlock();
            thread->host.join();
            lock.lock();
        } else {
            // A thread that never ended waits for a baton that will not come. It cannot be
            // joined; the owner of this core keeps it alive for such threads (see SimMachine).
            thread->host.detach();
        }
    }
}

SimThread* SimCore::CurrentThread() {
    return t_current;
}

std::string SimCore::CurrentThreadName() {
    return t_current != nullptr ? t_current->name : "a host thread";
}

SimThread* SimCore::StartThread([[maybe_unused]] std::unique_lock<std::mutex>& lock,
                                SimProcess* process, std::string name, std::function<void()> body) {
    assert(lock.owns_lock());
    auto thread = std::make_unique<SimThread>();
    thread->id = static_cast<int>(m_threads.size()) + 1;
    thread->name = std::move(name);
    thread->process = process;
    thread->state = SimThread::State::Runnable;
    SimThread* raw = thread.get();
    m_threads.push_back(std::move(thread));
    m_ready.push_back(raw);
    // The new thread sees everything its creator did before it created it.
    PromiseRelease(raw);
    // The mode goes by value: the new thread may not read the core before it has acquired what
    // its creator released.
    raw->host =
        std::thread([this, raw, concurrent = Concurrent(), body = std::move(body)]() mutable {
            RunThreadBody(raw, concurrent, std::move(body));
        });
    return raw;
}

void SimCore::RunThreadBody(SimThread* thread, bool concurrent, std::function<void()> body) {
    if (concurrent) race::Acquire(thread);
    t_current = thread;
    {
        CallLock lock = LockMachine();
        WaitForBaton(lock, thread);
    }
    try {
        body();
    } catch (...) {
        // On Windows an exception that leaves a thread's procedure ends the whole process.
        CallLock lock = LockMachine();
        Violate(thread->name + ": an exception left the thread's procedure");
    }
    CallLock lock = LockMachine();
    // Windows leaves a section owned by an ended thread owned for ever: whoever enters it next
    // waits for good. Application Verifier stops the process at the thread's end.
    for (auto& [id, owned] : m_locks)
        if (owned.owner == thread) Violate(thread->name + " ended while it owned " + owned.name);
    // Whoever waits for the thread's end sees everything it did.
    PromiseRelease(thread);
    thread->state = SimThread::State::Ended;
    thread->wakeCondition = nullptr;
    GiveUpProcessor();
    ScheduleNext();
}

void SimCore::WaitForBaton(std::unique_lock<std::mutex>& lock, SimThread* thread) {
    thread->baton.wait(lock, [&] { return thread->state == SimThread::State::Running; });
}

void SimCore::GiveUpProcessor() {
    if (m_concurrent)
        --m_runningCount;
    else
        m_running = nullptr;
}

void SimCore::ParkIfAbandoned(std::unique_lock<std::mutex>& lock) {
    SimThread* self = t_current;
    if (self == nullptr || !self->abandoned) return;
    self->state = SimThread::State::Blocked;
    self->wakeCondition = nullptr;
    GiveUpProcessor();
    ScheduleNext();
    WaitForBaton(lock, self);
}

void SimCore::WakeReadyThreads() {
    for (auto& thread : m_threads) {
        if (thread->state != SimThread::State::Blocked) continue;
        const bool satisfied = thread->wakeCondition && thread->wakeCondition();
        const bool expired = thread->deadlineMs && *thread->deadlineMs <= m_nowMs;
        if (!satisfied && !expired) continue;
        thread->timedOut = !satisfied;
        thread->state = SimThread::State::Runnable;
        m_ready.push_back(thread.get());
    }
}

void SimCore::ScheduleNext() {
    WakeReadyThreads();
    if (m_concurrent) {
        for (SimThread* next : m_ready) HandBatonTo(next);
        m_ready.clear();
        if (m_runningCount == 0) m_idle.notify_all();
        return;
    }
    assert(m_running == nullptr);
    if (!m_ready.empty()) {
        std::size_t index = 0;
        if (m_chooser && m_ready.size() > 1) {
            const std::vector<const SimThread*> candidates(m_ready.begin(), m_ready.end());
            index = std::min(m_chooser->Choose(candidates, false), m_ready.size() - 1);
        } else if (m_preemptive && m_ready.size() > 1) {
            index = std::uniform_int_distribution<std::size_t>(0, m_ready.size() - 1)(m_random);
        }
        SimThread* next = m_ready[index];
        m_ready.erase(m_ready.begin() + static_cast<std::ptrdiff_t>(index));
        HandBatonTo(next);
        return;
    }
    m_idle.notify_all();
}

void SimCore::HandBatonTo(SimThread* next) {
    next->state = SimThread::State::Running;
    if (m_concurrent)
        ++m_runningCount;
    else
        m_running = next;
    ++m_switches;
    // Only the thread that gets the baton is woken; the others sleep on.
    next->baton.notify_one();
}

void SimCore::ChooseAtCall(std::unique_lock<std::mutex>& lock) {
    SimThread* self = t_current;
    // What the running thread has made ready since it took the baton may preempt it.
    WakeReadyThreads();
    if (m_ready.empty()) return;
    std::vector<const SimThread*> candidates{self};
    candidates.insert(candidates.end(), m_ready.begin(), m_ready.end());
    const std::size_t index = std::min(m_chooser->Choose(candidates, true), m_ready.size());
    if (index == 0) return;
    SimThread* next = m_ready[index - 1];
    m_ready.erase(m_ready.begin() + static_cast<std::ptrdiff_t>(index - 1));
    // The preempted thread is next in line: once the other blocks, it goes on by default.
    self->state = SimThread::State::Runnable;
    m_ready.push_front(self);
    HandBatonTo(next);
    WaitForBaton(lock, self);
}

void SimCore::GiveWayToWoken(std::unique_lock<std::mutex>& lock) {
    SimThread* self = t_current;
    WakeReadyThreads();
    self->state = SimThread::State::Runnable;
    m_ready.push_back(self);
    m_running = nullptr;
    ScheduleNext();
    WaitForBaton(lock, self);
}

bool SimCore::BlockUntil(std::unique_lock<std::mutex>& lock, std::function<bool()> condition,
                         std::optional<std::uint64_t> deadlineMs) {
    SimThread* self = t_current;
    while (!condition()) {
        if (deadlineMs && *deadlineMs <= m_nowMs) return false;
        if (self == nullptr || self->state != SimThread::State::Running) {
            std::fprintf(stderr, "simulated machine: a blocking call from a host thread\n");
            std::abort();
        }
        self->state = SimThread::State::Blocked;
        self->wakeCondition = condition;
        self->deadlineMs = deadlineMs;
        self->timedOut = false;
        GiveUpProcessor();
        ScheduleNext();
        WaitForBaton(lock, self);
        self->wakeCondition = nullptr;
        self->deadlineMs.reset();
        if (self->timedOut) return false;
    }
    return true;
}

void SimCore::Yield(std::unique_lock<std::mutex>& lock) {
    SimThread* self = t_current;
    if (self == nullptr || self->state != SimThread::State::Running) return;
    if (m_concurrent) {
        // The others run anyway; let the host run one of them on this core.
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
        return;
    }
    if (m_chooser) m_chooser->Yielded(*self);
    self->state = SimThread::State::Runnable;
    m_ready.push_back(self);
    m_running = nullptr;
    ScheduleNext();
    WaitForBaton(lock, self);
}

void SimCore::MaybePreempt(std::unique_lock<std::mutex>& lock) {
    if (m_concurrent || t_current == nullptr || m_running != t_current) return;
    if (m_chooser) {
        ChooseAtCall(lock);
        return;
    }
    if (!m_preemptive) return;
    if (std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < m_preemptProbability)
        Yield(lock);
}

CallLock SimCore::LockMachine() {
    const bool concurrent = m_concurrent.load(std::memory_order_relaxed);
    return CallLock(m_mutex, concurrent && t_current != nullptr, concurrent ? this : nullptr);
}

CallLock SimCore::EnterCall() {
    CallLock lock = LockMachine();
    if (m_concurrent) {
        ParkIfAbandoned(lock);
        return lock;
    }
    if (t_current == nullptr || m_running != t_current) return lock;
    ++m_callsMade;
    if (m_injection && m_injection->call == m_callsMade) {
        const std::function<void()> action = std::move(m_injection->action);
        m_injection.reset();
        // The caller holds the baton, so nothing else touches the machine meanwhile.
        lock.unlock();
        action();
        lock.lock();
        GiveWayToWoken(lock);
        return lock;
    }
    MaybePreempt(lock);
    return lock;
}

void SimCore::SetPreemption(std::uint64_t seed, double probability) {
    std::lock_guard lock(m_mutex);
    m_preemptive = true;
    m_preemptProbability = probability;
    m_random.seed(seed);
}

void SimCore::SetConcurrent(bool concurrent) {
    std::lock_guard lock(m_mutex);
    m_concurrent = concurrent;
}

void SimCore::SetChooser(std::shared_ptr<ScheduleChooser> chooser) {
    std::lock_guard lock(m_mutex);
    m_chooser = std::move(chooser);
}

void SimCore::InjectAtCall(std::uint64_t call, std::function<void()> action) {
    std::lock_guard lock(m_mutex);
    m_injection = Injection{m_callsMade + call, std::move(action)};
}

bool SimCore::InjectionPending() const {
    std::lock_guard lock(m_mutex);
    return m_injection.has_value();
}

bool SimCore::CancelInjection() {
    std::lock_guard lock(m_mutex);
    const bool pending = m_injection.has_value();
    m_injection.reset();
    return pending;
}

std::uint64_t SimCore::CallsMade() const {
    std::lock_guard lock(m_mutex);
    return m_callsMade;
}

void SimCore::AbandonThreadsOf(const SimProcess* process, const SimThread* except) {
    for (auto& thread : m_threads) {
        if (thread->process != process || thread.get() == except ||
            thread->state == SimThread::State::Ended)
            continue;
        if (thread->state == SimThread::State::Running) {
            // Race mode: it runs on a host thread that cannot be stopped from here.
            thread->abandoned = true;
            continue;
        }
        std::erase(m_ready, thread.get());
        thread->state = SimThread::State::Blocked;
        thread->wakeCondition = nullptr;
        thread->deadlineMs.reset();
    }
}

std::vector<const SimThread*> SimCore::Threads() const {
    std::vector<const SimThread*> result;
    for (auto& thread : m_threads) result.push_back(thread.get());
    return result;
}

int SimCore::LiveThreadCount() const {
    int live = 0;
    for (auto& thread : m_threads)
        if (thread->state != SimThread::State::Ended) ++live;
    return live;
}

IdleResult SimCore::RunUntilIdle(std::chrono::milliseconds realTimeout) {
    assert(t_current == nullptr);
    std::unique_lock lock(m_mutex);
    if (!Busy()) ScheduleNext();
    const bool idle = m_idle.wait_for(lock, realTimeout, [&] { return !Busy(); });
    if (idle) return {};
    IdleResult busy{false, {}};
    for (auto& thread : m_threads)
        if (thread->state == SimThread::State::Running) busy.busyThreads.push_back(thread->name);
    for (auto* ready : m_ready) busy.busyThreads.push_back(ready->name);
    return busy;
}

std::optional<std::uint64_t> SimCore::NextDeadline() const {
    std::optional<std::uint64_t> next;
    for (auto& thread : m_threads)
        if (thread->state == SimThread::State::Blocked && thread->deadlineMs &&
            (!next || *thread->deadlineMs < *next))
            next = thread->deadlineMs;
    return next;
}

IdleResult SimCore::AdvanceTo(std::uint64_t targetMs, std::chrono::milliseconds realTimeout) {
    for (;;) {
        IdleResult result = RunUntilIdle(realTimeout);
        if (!result.idle) return result;
        std::lock_guard lock(m_mutex);
        auto next = NextDeadline();
        if (!next || *next > targetMs) break;
        if (*next > m_nowMs) m_nowMs = *next;
    }
    {
        std::lock_guard lock(m_mutex);
        if (targetMs > m_nowMs) m_nowMs = targetMs;
    }
    return RunUntilIdle(realTimeout);
}

void SimCore::ReapEndedThreads() {
    std::unique_lock lock(m_mutex);
    for (auto& thread : m_threads) {
        if (thread->state != SimThread::State::Ended || !thread->host.joinable()) continue;
        lock.unlock();
        thread->host.join();
        lock.lock();
    }
}

namespace {

// Kernel objects share one table of values, as in a Windows process; the other families are
// values of the libraries that hand them out. Ranges apart, so that a handle of one family given
// to another shows as a kind the call does not take.
int HandleFamily(HandleKind kind) {
    switch (kind) {
        case HandleKind::Event:
        case HandleKind::Thread:
        case HandleKind::Device:
        case HandleKind::RegistryKey:
            return 0;
        case HandleKind::EventSource:
            return 1;
        case HandleKind::WlanClient:
            return 2;
        case HandleKind::DeviceInfoSet:
            return 3;
        case HandleKind::ScManager:
        case HandleKind::Service:
            return 4;
    }
    return 5;
}
constexpr std::uintptr_t kFirstHandleValue = 0x1000;
constexpr std::uintptr_t kHandleFamilyRange = 0x100000;

const char* HandleKindSingular(HandleKind kind) {
    switch (kind) {
        case HandleKind::Event:
            return "an event";
        case HandleKind::Thread:
            return "a thread";
        case HandleKind::Device:
            return "a device file";
        case HandleKind::EventSource:
            return "an event source";
        case HandleKind::WlanClient:
            return "a WLAN client handle";
        case HandleKind::RegistryKey:
            return "a registry key";
        case HandleKind::DeviceInfoSet:
            return "a device information set";
        case HandleKind::ScManager:
            return "an SCM manager handle";
        case HandleKind::Service:
            return "a service handle";
    }
    return "an unknown handle";
}

// GetCurrentProcess() is -1, GetCurrentThread() -2, and Windows 8 added -3 to -6 for tokens.
bool IsPseudoHandle(std::uintptr_t value) {
    return value >= static_cast<std::uintptr_t>(-6);
}

std::string HexValue(std::uintptr_t value) {
    char text[2 + 2 * sizeof(value) + 1];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

HANDLE SimCore::AddHandle(HandleKind kind, SimProcess* owner, std::shared_ptr<void> object) {
    const int family = HandleFamily(kind);
    HandleValues& values = m_handleValues[family];
    std::uintptr_t value;
    if (!values.freed.empty()) {
        value = values.freed.back();
        values.freed.pop_back();
    } else {
        if (values.next == 0)
            values.next =
                kFirstHandleValue + static_cast<std::uintptr_t>(family) * kHandleFamilyRange;
        value = values.next;
        values.next += 4;
    }
    m_issuedHandles.insert(value);
    m_handles.emplace(value, HandleEntry{kind, owner, std::move(object)});
    return reinterpret_cast<HANDLE>(value);
}

SimCore::HandleEntry* SimCore::FindHandle(const void* handle, HandleKind kind) {
    auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it != m_handles.end() && it->second.kind == kind ? &it->second : nullptr;
}

SimCore::HandleEntry* SimCore::UseHandle(const void* handle, const SimProcess* caller,
                                         std::initializer_list<HandleKind> kinds,
                                         const char* call) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    auto it = m_handles.find(value);
    std::string misuse;
    if (value == 0) {
        misuse = "a NULL handle";
    } else if (IsPseudoHandle(value)) {
        misuse = "a pseudo handle";
    } else if (it == m_handles.end()) {
        misuse = m_issuedHandles.contains(value) ? "a handle already closed"
                                                 : "a value never handed out as a handle";
    } else if (it->second.owner != caller) {
        misuse = "a handle of another process";
    } else if (std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end()) {
        misuse = std::string(HandleKindSingular(it->second.kind)) + ", of a kind " + call +
                 " does not take";
    } else {
        return &it->second;
    }
    Violate(std::string(call) + "(" + HexValue(value) + ") on " + misuse + ", by " +
            CurrentThreadName());
    return nullptr;
}

void SimCore::RemoveHandle(const void* handle) {
    auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == m_handles.end()) return;
    m_handleValues[HandleFamily(it->second.kind)].freed.push_back(it->first);
    m_handles.erase(it);
}

std::map<std::string, int> SimCore::OpenHandleCounts() const {
    std::map<std::string, int> counts;
    for (auto& [value, entry] : m_handles) ++counts[HandleKindName(entry.kind)];
    return counts;
}

void SimCore::Observe(Observation observation) {
    observation.timeMs = m_nowMs;
    m_log.Add(std::move(observation));
}

std::optional<DWORD> SimCore::TakeFault(std::unique_lock<std::mutex>& lock,
                                        const std::string& operation) {
    if (auto delayMs = m_faults.TakeDelay(operation); delayMs && t_current != nullptr)
        BlockUntil(
            lock, [] { return false; }, m_nowMs + *delayMs);
    return m_faults.Take(operation, t_current != nullptr ? t_current->name : std::string());
}

void SimCore::Violate(std::string what) {
    if (!m_violationsExpected) {
        ViolationReporter& reporter = TheViolationReporter();
        std::lock_guard lock(reporter.mutex);
        if (reporter.report) reporter.report(what);
    }
    Observe({0, Violation{std::move(what)}});
}

void SimCore::NameLock(const void* lock, std::string name) {
    m_locks[lock].name = std::move(name);
}

void SimCore::SetLockOwner(const void* lock, const SimThread* owner) {
    m_locks[lock].owner = owner;
}

void SimCore::ForgetLock(const void* lock) {
    m_locks.erase(lock);
}

std::string SimCore::LockName(const void* lock) const {
    auto it = m_locks.find(lock);
    return it == m_locks.end() ? "an unnamed lock" : it->second.name;
}

std::optional<std::string> SimCore::DeadlockThrough(const SimThread* self,
                                                    const void* lockId) const {
    std::string chain;
    const SimThread* waiter = self;
    const void* wanted = lockId;
    // Each thread waits for at most one lock, so the chain either ends or comes back to `self`
    // within as many steps as there are threads.
    for (std::size_t step = 0; step <= m_threads.size(); ++step) {
        auto it = m_locks.find(wanted);
        if (it == m_locks.end() || it->second.owner == nullptr) return std::nullopt;
        const SimThread* owner = it->second.owner;
        if (!chain.empty()) chain += "; ";
        chain += waiter->name + " waits for " + it->second.name + ", held by " + owner->name;
        if (owner == self) return "deadlock: " + chain;
        if (owner->state != SimThread::State::Blocked || owner->waitsForLock == nullptr)
            return std::nullopt;
        waiter = owner;
        wanted = owner->waitsForLock;
    }
    return std::nullopt;
}

void SimCore::BlockOnLock(std::unique_lock<std::mutex>& lock, const void* lockId,
                          std::function<bool()> isFree) {
    SimThread* self = t_current;
    if (isFree()) return;
    if (self != nullptr) {
        if (auto deadlock = DeadlockThrough(self, lockId)) Violate(std::move(*deadlock));
        self->waitsForLock = lockId;
    }
    BlockUntil(lock, std::move(isFree));
    if (self != nullptr) self->waitsForLock = nullptr;
}

}  // namespace sim
