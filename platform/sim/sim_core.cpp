#include "platform/sim/sim_core.h"

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
    raw->host = std::thread(
        [this, raw, body = std::move(body)]() mutable { RunThreadBody(raw, std::move(body)); });
    return raw;
}

void SimCore::RunThreadBody(SimThread* thread, std::function<void()> body) {
    t_current = thread;
    {
        std::unique_lock lock(m_mutex);
        WaitForBaton(lock, thread);
    }
    body();
    std::unique_lock lock(m_mutex);
    thread->state = SimThread::State::Ended;
    thread->wakeCondition = nullptr;
    m_running = nullptr;
    ScheduleNext();
}

void SimCore::WaitForBaton(std::unique_lock<std::mutex>& lock, SimThread* thread) {
    thread->baton.wait(lock, [&] { return m_running == thread; });
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
    assert(m_running == nullptr);
    WakeReadyThreads();
    if (!m_ready.empty()) {
        std::size_t index = 0;
        if (m_preemptive && m_ready.size() > 1)
            index = std::uniform_int_distribution<std::size_t>(0, m_ready.size() - 1)(m_random);
        SimThread* next = m_ready[index];
        m_ready.erase(m_ready.begin() + static_cast<std::ptrdiff_t>(index));
        next->state = SimThread::State::Running;
        m_running = next;
        ++m_switches;
        // Only the thread that gets the baton is woken; the others sleep on.
        next->baton.notify_one();
        return;
    }
    m_idle.notify_all();
}

bool SimCore::BlockUntil(std::unique_lock<std::mutex>& lock, std::function<bool()> condition,
                         std::optional<std::uint64_t> deadlineMs) {
    SimThread* self = t_current;
    while (!condition()) {
        if (deadlineMs && *deadlineMs <= m_nowMs) return false;
        if (self == nullptr || m_running != self) {
            std::fprintf(stderr, "simulated machine: a blocking call from a host thread\n");
            std::abort();
        }
        self->state = SimThread::State::Blocked;
        self->wakeCondition = condition;
        self->deadlineMs = deadlineMs;
        self->timedOut = false;
        m_running = nullptr;
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
    if (self == nullptr || m_running != self) return;
    self->state = SimThread::State::Runnable;
    m_ready.push_back(self);
    m_running = nullptr;
    ScheduleNext();
    WaitForBaton(lock, self);
}

void SimCore::MaybePreempt(std::unique_lock<std::mutex>& lock) {
    if (!m_preemptive || t_current == nullptr) return;
    if (std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < m_preemptProbability)
        Yield(lock);
}

std::unique_lock<std::mutex> SimCore::EnterCall() {
    std::unique_lock lock(m_mutex);
    MaybePreempt(lock);
    return lock;
}

void SimCore::SetPreemption(std::uint64_t seed, double probability) {
    std::lock_guard lock(m_mutex);
    m_preemptive = true;
    m_preemptProbability = probability;
    m_random.seed(seed);
}

void SimCore::AbandonThreadsOf(const SimProcess* process, const SimThread* except) {
    for (auto& thread : m_threads) {
        if (thread->process != process || thread.get() == except ||
            thread->state == SimThread::State::Ended)
            continue;
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
    if (m_running == nullptr) ScheduleNext();
    const bool idle = m_idle.wait_for(lock, realTimeout, [&] { return m_running == nullptr; });
    if (idle) return {};
    IdleResult busy{false, {}};
    busy.busyThreads.push_back(m_running->name);
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

HANDLE SimCore::AddHandle(HandleKind kind, SimProcess* owner, std::shared_ptr<void> object) {
    const std::uintptr_t value = m_nextHandle;
    m_nextHandle += 4;
    m_handles.emplace(value, HandleEntry{kind, owner, std::move(object)});
    return reinterpret_cast<HANDLE>(value);
}

SimCore::HandleEntry* SimCore::FindHandle(const void* handle) {
    auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == m_handles.end() ? nullptr : &it->second;
}

SimCore::HandleEntry* SimCore::FindHandle(const void* handle, HandleKind kind) {
    HandleEntry* entry = FindHandle(handle);
    return entry != nullptr && entry->kind == kind ? entry : nullptr;
}

bool SimCore::RemoveHandle(const void* handle) {
    return m_handles.erase(reinterpret_cast<std::uintptr_t>(handle)) > 0;
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
    return m_faults.Take(operation);
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
