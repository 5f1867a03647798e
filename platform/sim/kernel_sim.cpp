#include "platform/sim/kernel_sim.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"

namespace sim {

namespace {

thread_local DWORD t_lastError = 0;

struct EventObject {
    bool manualReset = true;
    bool signalled = false;
};

struct ThreadObject {
    SimThread* thread = nullptr;
};

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

[[noreturn]] void Misuse(const char* what) {
    std::fprintf(stderr, "simulated machine: %s\n", what);
    std::abort();
}

}  // namespace

DWORD SimKernel::LastError() {
    return t_lastError;
}
void SimKernel::SetLastError(DWORD error) {
    t_lastError = error;
}

HANDLE SimKernel::CreateEventW(SimProcess& caller, BOOL manualReset, BOOL initialState,
                               LPCWSTR name) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "CreateEventW")) {
        return Failure(*code);
    }
    if (name != nullptr) {
        std::erase_if(m_namedEvents, [](const auto& named) { return named.second.expired(); });
        if (auto existing = m_namedEvents[name].lock()) {
            // The existing event keeps its own reset mode and state.
            t_lastError = ERROR_ALREADY_EXISTS;
            return m_machine.Core().AddHandle(HandleKind::Event, &caller, existing);
        }
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    if (name != nullptr) m_namedEvents[name] = event;
    t_lastError = NO_ERROR;
    return m_machine.Core().AddHandle(HandleKind::Event, &caller, event);
}

BOOL SimKernel::SetEvent(SimProcess& caller, HANDLE event) {
    auto lock = m_machine.Core().EnterCall();
    auto* entry = m_machine.Core().UseHandle(event, &caller, {HandleKind::Event}, "SetEvent");
    if (entry == nullptr) {
        return Failure(ERROR_INVALID_HANDLE);
    }
    auto object = std::static_pointer_cast<EventObject>(entry->object);
    m_machine.Core().PromiseRelease(object.get());
    object->signalled = true;
    return TRUE;
}

BOOL SimKernel::ResetEvent(SimProcess& caller, HANDLE event) {
    auto lock = m_machine.Core().EnterCall();
    auto* entry = m_machine.Core().UseHandle(event, &caller, {HandleKind::Event}, "ResetEvent");
    if (entry == nullptr) {
        return Failure(ERROR_INVALID_HANDLE);
    }
    std::static_pointer_cast<EventObject>(entry->object)->signalled = false;
    return TRUE;
}

DWORD SimKernel::WaitForSingleObject(SimProcess& caller, HANDLE handle, DWORD milliseconds) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "WaitForSingleObject")) {
        t_lastError = *code;
        return WAIT_FAILED;
    }
    auto* entry = m_machine.Core().UseHandle(
        handle, &caller, {HandleKind::Event, HandleKind::Thread}, "WaitForSingleObject");
    std::function<bool()> signalled;
    std::shared_ptr<EventObject> event;
    const void* synchronisesWith = nullptr;
    if (entry != nullptr && entry->kind == HandleKind::Event) {
        event = std::static_pointer_cast<EventObject>(entry->object);
        signalled = [event] { return event->signalled; };
        synchronisesWith = event.get();
    } else if (entry != nullptr && entry->kind == HandleKind::Thread) {
        auto thread = std::static_pointer_cast<ThreadObject>(entry->object);
        signalled = [thread] { return thread->thread->state == SimThread::State::Ended; };
        synchronisesWith = thread->thread;
    } else {
        t_lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    bool satisfied;
    if (milliseconds == 0) {
        satisfied = signalled();
    } else {
        std::optional<std::uint64_t> deadline;
        if (milliseconds != INFINITE) deadline = m_machine.NowMs() + milliseconds;
        satisfied = m_machine.Core().BlockUntil(lock, signalled, deadline);
    }
    if (!satisfied) return WAIT_TIMEOUT;
    if (event && !event->manualReset) event->signalled = false;
    m_machine.Core().PromiseAcquire(synchronisesWith);
    return WAIT_OBJECT_0;
}

BOOL SimKernel::CloseHandle(SimProcess& caller, HANDLE handle) {
    auto lock = m_machine.Core().EnterCall();
    // A second close, or the close of a pseudo handle, is reported as any other misuse: under a
    // debugger Windows raises an exception for both.
    auto* entry = m_machine.Core().UseHandle(
        handle, &caller, {HandleKind::Event, HandleKind::Thread, HandleKind::Device},
        "CloseHandle");
    if (entry == nullptr) {
        return Failure(ERROR_INVALID_HANDLE);
    }
    if (entry->kind == HandleKind::Device) m_machine.Devices().CloseDevice(handle);
    m_machine.Core().RemoveHandle(handle);
    return TRUE;
}

// Application Verifier's Locks checks stop the process on each misuse below; the machine
// reports it and goes on as far as the section's state allows.
void SimKernel::InitializeCriticalSection(SimProcess&, LPCRITICAL_SECTION section) {
    auto lock = m_machine.Core().EnterCall();
    if (m_sections.contains(section)) {
        m_machine.Core().Violate("InitializeCriticalSection of a section already initialised, by " +
                                 SimCore::CurrentThreadName());
        return;
    }
    m_sections.emplace(section, CriticalSection{});
    m_machine.Core().NameLock(section, "critical section #" + std::to_string(++m_sectionsMade));
}

void SimKernel::EnterCriticalSection(SimProcess&, LPCRITICAL_SECTION section) {
    auto lock = m_machine.Core().EnterCall();
    auto it = m_sections.find(section);
    if (it == m_sections.end()) {
        m_machine.Core().Violate("EnterCriticalSection of a section not initialised, by " +
                                 SimCore::CurrentThreadName());
        return;
    }
    const SimThread* self = SimCore::CurrentThread();
    CriticalSection& cs = it->second;
    if (cs.recursion > 0 && cs.owner == self) {
        ++cs.recursion;
        return;
    }
    // Only a simulated thread can wait for another owner; a host thread finds it free or aborts.
    if (cs.recursion > 0 && self == nullptr) Misuse("a host thread waits for a critical section");
    ++cs.waiters;
    m_machine.Core().BlockOnLock(lock, section, [&cs] { return cs.recursion == 0; });
    --cs.waiters;
    cs.owner = self;
    cs.recursion = 1;
    m_machine.Core().SetLockOwner(section, self);
    m_machine.Core().PromiseAcquire(section);
}

void SimKernel::LeaveCriticalSection(SimProcess&, LPCRITICAL_SECTION section) {
    auto lock = m_machine.Core().EnterCall();
    auto it = m_sections.find(section);
    if (it == m_sections.end() || it->second.recursion == 0 ||
        it->second.owner != SimCore::CurrentThread()) {
        m_machine.Core().Violate(std::string("LeaveCriticalSection of a section ") +
                                 (it == m_sections.end() ? "not initialised" : "it does not own") +
                                 ", by " + SimCore::CurrentThreadName());
        return;
    }
    if (--it->second.recursion > 0) return;
    m_machine.Core().PromiseRelease(section);
    m_machine.Core().SetLockOwner(section, nullptr);
}

void SimKernel::DeleteCriticalSection(SimProcess&, LPCRITICAL_SECTION section) {
    auto lock = m_machine.Core().EnterCall();
    auto it = m_sections.find(section);
    if (it == m_sections.end()) {
        m_machine.Core().Violate("DeleteCriticalSection of a section not initialised, by " +
                                 SimCore::CurrentThreadName());
        return;
    }
    // Threads waiting for a deleted section would wait for ever: it stays while anyone does.
    if (it->second.recursion > 0 || it->second.waiters > 0) {
        m_machine.Core().Violate(std::string("DeleteCriticalSection of a section ") +
                                 (it->second.recursion > 0 ? "still owned" : "still waited for") +
                                 ", by " + SimCore::CurrentThreadName());
        return;
    }
    m_sections.erase(it);
    m_machine.Core().ForgetLock(section);
}

std::optional<std::string> SimKernel::LiveSectionWithin(const void* block,
                                                        std::size_t bytes) const {
    const auto* begin = static_cast<const unsigned char*>(block);
    for (auto& [section, state] : m_sections) {
        const auto* at = reinterpret_cast<const unsigned char*>(section);
        if (at >= begin && at < begin + bytes) return m_machine.Core().LockName(section);
    }
    return std::nullopt;
}

HANDLE SimKernel::CreateThread(SimProcess& caller, LPTHREAD_START_ROUTINE startAddress,
                               LPVOID parameter, LPDWORD threadId) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "CreateThread")) {
        return Failure(*code);
    }
    ThreadStart start{startAddress, parameter};
    SimThread* thread = m_machine.Core().StartThread(
        lock, &caller, caller.Name() + "/thread-" + std::to_string(caller.NextThreadNumber()),
        [start] { start.start(start.parameter); });
    if (threadId != nullptr) *threadId = static_cast<DWORD>(thread->id);
    auto object = std::make_shared<ThreadObject>();
    object->thread = thread;
    return m_machine.Core().AddHandle(HandleKind::Thread, &caller, object);
}

void SimKernel::Sleep(SimProcess&, DWORD milliseconds) {
    auto lock = m_machine.Core().EnterCall();
    if (milliseconds == 0) {
        m_machine.Core().Yield(lock);
        return;
    }
    std::optional<std::uint64_t> deadline;
    if (milliseconds != INFINITE) deadline = m_machine.NowMs() + milliseconds;
    m_machine.Core().BlockUntil(
        lock, [] { return false; }, deadline);
}

DWORD SimKernel::GetModuleFileNameW(SimProcess& caller, HMODULE, LPWSTR fileName, DWORD size) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "GetModuleFileNameW")) {
        t_lastError = *code;
        return 0;
    }
    const std::wstring& path = caller.ImagePath();
    if (size == 0) {
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    // As on Windows since Vista: a path that does not fit is cut to size - 1 characters and
    // terminated, the result is the buffer size, and the last error is ERROR_INSUFFICIENT_BUFFER.
    if (path.size() + 1 > size) {
        std::wmemcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = L'\0';
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    std::wmemcpy(fileName, path.c_str(), path.size() + 1);
    t_lastError = NO_ERROR;
    return static_cast<DWORD>(path.size());
}

}  // namespace sim
