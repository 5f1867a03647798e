#include "platform/sim/scm_sim.h"

#include <cwchar>
#include <deque>
#include <map>
#include <vector>

#include "platform/sim/kernel_sim.h"
#include "platform/sim/machine.h"
#include "platform/text.h"

namespace sim {

namespace {

// Service access rights that the shared type definitions do not name (they are SDK macros on
// Windows, hence the different spelling).
constexpr DWORD kAccessPauseContinue = 0x0040;
constexpr DWORD kAccessInterrogate = 0x0080;
constexpr DWORD kAccessUserDefinedControl = 0x0100;
// What Windows grants a user without administrator rights: on the SCM, connect, enumerate,
// query the lock status and read control; on a service created with the default security,
// query its configuration and status, enumerate its dependents, interrogate it, send it
// user-defined controls and read control. Anything else takes an administrator.
constexpr DWORD kUserManagerRights = 0x0001 | 0x0004 | 0x0010 | 0x20000;
constexpr DWORD kUserServiceRights = 0x0001 | 0x0004 | 0x0008 | 0x0080 | 0x0100 | 0x20000;
constexpr DWORD kFirstUserControl = 128;
constexpr DWORD kLastUserControl = 255;

// A control on its way to the service's handler; the sender may wait until it is done.
struct PendingControl {
    DWORD control = 0;
    DWORD eventType = 0;
    bool done = false;
    DWORD result = NO_ERROR;  // what the handler returned, or why it was never delivered
    SERVICE_STATUS status{};  // the service's status once the handler had returned
};

struct Service {
    std::wstring name;
    std::optional<ServiceRegistration> registration;  // none: started by the driver unregistered
    bool deletePending = false;
    int openHandles = 0;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
    std::vector<std::wstring> startArgs;
    // The running process; null once it has exited.
    SimProcess* process = nullptr;
    bool dispatcherRunning = false;
    const SimThread* mainThread = nullptr;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    // The status handle is spent once SERVICE_STOPPED has been reported on it.
    bool stoppedReported = false;
    // Until its first report the service accepts no control, so none but an interrogation
    // reaches its handler, however a control was sent.
    bool reported = false;
    // The dispatcher's lock: held while a handler runs, taken by a SERVICE_STOPPED report.
    const SimThread* dispatcherLockOwner = nullptr;
    std::deque<std::shared_ptr<PendingControl>> controls;
    std::optional<DWORD> lastHandlerResult;

    DWORD Type() const {
        return registration ? registration->serviceType : SERVICE_WIN32_OWN_PROCESS;
    }
};

struct ManagerHandle {
    DWORD access = 0;
};

struct ServiceHandle {
    std::shared_ptr<Service> service;
    DWORD access = 0;
};

// The accept flag a control needs, or none for controls that every running service takes.
std::optional<DWORD> AcceptFlagFor(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_ACCEPT_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return SERVICE_ACCEPT_PAUSE_CONTINUE;
        case SERVICE_CONTROL_SHUTDOWN:
            return SERVICE_ACCEPT_SHUTDOWN;
        case SERVICE_CONTROL_POWEREVENT:
            return SERVICE_ACCEPT_POWEREVENT;
        default:
            return std::nullopt;
    }
}

// The right a ControlService caller needs for `control`; none for a control that applications
// cannot send (shutdown and power events come from the system only).
std::optional<DWORD> AccessFor(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return kAccessPauseContinue;
        case SERVICE_CONTROL_INTERROGATE:
            return kAccessInterrogate;
        default:
            if (control >= kFirstUserControl && control <= kLastUserControl)
                return kAccessUserDefinedControl;
            return std::nullopt;
    }
}

// The image path of a registered command line: a quoted path loses its quotes.
std::wstring ImagePathOf(const std::wstring& binaryPath) {
    if (binaryPath.empty() || binaryPath.front() != L'"') return binaryPath;
    const auto closing = binaryPath.find(L'"', 1);
    return binaryPath.substr(1, closing == std::wstring::npos ? std::wstring::npos : closing - 1);
}

}  // namespace

std::string ServiceStateName(DWORD state) {
    static const char* const kNames[] = {
        "SERVICE_STOPPED", "SERVICE_START_PENDING",    "SERVICE_STOP_PENDING",
        "SERVICE_RUNNING", "SERVICE_CONTINUE_PENDING", "SERVICE_PAUSE_PENDING",
        "SERVICE_PAUSED"};
    if (state >= SERVICE_STOPPED && state <= SERVICE_PAUSED) return kNames[state - 1];
    return "state " + std::to_string(state);
}

struct SimScm::Impl {
    std::map<std::wstring, std::shared_ptr<Service>> services;  // by lower-case name
    std::map<SERVICE_STATUS_HANDLE, std::shared_ptr<Service>> statusHandles;
    // Status handles are never closed, so they stay out of the machine's handle table; odd
    // values never collide with its handles.
    std::uintptr_t nextStatusHandle = 0x10001;
    bool privileged = true;
    std::vector<AccessRequest> accessRequests;

    std::shared_ptr<Service> Find(std::wstring_view name) const {
        auto it = services.find(platform::AsciiLower(name));
        return it == services.end() ? nullptr : it->second;
    }
    std::shared_ptr<Service> FindRegistered(std::wstring_view name) const {
        auto service = Find(name);
        return service && service->registration ? service : nullptr;
    }
    std::shared_ptr<Service> FindOrAdd(SimCore& core, const std::wstring& name) {
        auto& slot = services[platform::AsciiLower(name)];
        if (!slot) {
            slot = std::make_shared<Service>();
            slot->name = name;
            core.NameLock(&slot->dispatcherLockOwner,
                          "the dispatcher lock of " + platform::Utf8FromWide(name));
        }
        return slot;
    }
    // Launches the service's process as the SCM does; returns the Win32 error code, 0 when the
    // process was started.
    DWORD Start(SimMachine& machine, std::unique_lock<std::mutex>& lock, Service& service,
                const std::wstring& imagePath, std::vector<std::wstring> startArgs) {
        if (service.process != nullptr) return ERROR_SERVICE_ALREADY_RUNNING;
        SimProcess* process = machine.LaunchLocked(lock, imagePath, {}, service.name);
        if (process == nullptr) return ERROR_FILE_NOT_FOUND;
        service.process = process;
        service.startArgs = std::move(startArgs);
        service.status = {service.Type(), SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
        service.stoppedReported = false;
        service.reported = false;
        service.lastHandlerResult.reset();
        return NO_ERROR;
    }
    // A service marked for deletion goes once no handle refers to it and it no longer runs.
    void RemoveIfDeleted(SimCore& core, const Service& service) {
        if (service.deletePending && service.openHandles == 0 && service.process == nullptr) {
            core.ForgetLock(&service.dispatcherLockOwner);
            services.erase(platform::AsciiLower(service.name));
        }
    }
};

namespace {

// Windows's checks before a control goes to a service; `raw` keeps only the one that a live
// process is needed to take it.
DWORD ControlRefusal(const Service& service, DWORD control, bool raw) {
    if (service.process == nullptr) return ERROR_SERVICE_NOT_ACTIVE;
    if (raw) return NO_ERROR;
    const DWORD state = service.status.dwCurrentState;
    if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    const auto flag = AcceptFlagFor(control);
    if (flag && (service.status.dwControlsAccepted & *flag) == 0)
        return ERROR_INVALID_SERVICE_CONTROL;
    return NO_ERROR;
}

std::shared_ptr<PendingControl> QueueControl(Service& service, DWORD control, DWORD eventType) {
    auto pending = std::make_shared<PendingControl>();
    pending->control = control;
    pending->eventType = eventType;
    service.controls.push_back(pending);
    return pending;
}

ServiceHandle* UseServiceHandle(SimCore& core, const SimProcess& caller, SC_HANDLE handle,
                                const char* call) {
    auto* entry = core.UseHandle(handle, &caller, {HandleKind::Service}, call);
    return entry == nullptr ? nullptr : static_cast<ServiceHandle*>(entry->object.get());
}

}  // namespace

SimScm::SimScm(SimMachine& machine) : m_machine(machine), m_impl(std::make_unique<Impl>()) {}

SimScm::~SimScm() = default;

// --- the dispatcher side, called by service processes

BOOL SimScm::StartServiceCtrlDispatcherW(SimProcess& caller,
                                         const SERVICE_TABLE_ENTRYW* serviceTable) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "StartServiceCtrlDispatcherW"))
        return Failure(*code);
    if (serviceTable == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    auto service = caller.ScmService().empty() ? nullptr : m_impl->Find(caller.ScmService());
    if (service == nullptr || service->process != &caller)
        return Failure(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    if (service->dispatcherRunning) return Failure(ERROR_SERVICE_ALREADY_RUNNING);

    const SERVICE_TABLE_ENTRYW* entry = serviceTable;
    while (entry->lpServiceName != nullptr &&
           !platform::EqualsIgnoringAsciiCase(entry->lpServiceName, service->name))
        ++entry;
    if (entry->lpServiceName == nullptr || entry->lpServiceProc == nullptr)
        return Failure(ERROR_SERVICE_DOES_NOT_EXIST);

    service->dispatcherRunning = true;
    std::vector<std::wstring> args{service->name};
    args.insert(args.end(), service->startArgs.begin(), service->startArgs.end());
    const LPSERVICE_MAIN_FUNCTIONW serviceMain = entry->lpServiceProc;
    service->mainThread = m_machine.Core().StartThread(
        lock, &caller, caller.Name() + "/service-main", [serviceMain, args]() mutable {
            std::vector<LPWSTR> argv;
            {
                MachineAllocations machineWork;
                for (auto& arg : args) argv.push_back(arg.data());
                argv.push_back(nullptr);
            }
            serviceMain(static_cast<DWORD>(args.size()), argv.data());
        });

    // A ServiceMain that ends without registering a handler can never report SERVICE_STOPPED;
    // the dispatcher then has nothing left to serve and returns as if it had.
    auto deliverable = [service] {
        return service->handler != nullptr && !service->controls.empty() &&
               (service->reported ||
                service->controls.front()->control == SERVICE_CONTROL_INTERROGATE);
    };
    auto finished = [service] {
        const bool stopped =
            service->status.dwCurrentState == SERVICE_STOPPED && service->controls.empty();
        const bool abandoned =
            service->handler == nullptr && service->mainThread->state == SimThread::State::Ended;
        return stopped || abandoned;
    };
    for (;;) {
        m_machine.Core().BlockUntil(lock, [&] { return deliverable() || finished(); });
        if (!deliverable()) break;
        auto pending = service->controls.front();
        service->controls.pop_front();
        const LPHANDLER_FUNCTION_EX handler = service->handler;
        const LPVOID context = service->context;
        const DWORD control = pending->control;
        const DWORD eventType = pending->eventType;
        // As Wine's dispatcher does, the handler runs under the dispatcher's lock, which a
        // SERVICE_STOPPED report from another thread then waits for.
        SimCore& core = m_machine.Core();
        const void* dispatcherLock = &service->dispatcherLockOwner;
        core.BlockOnLock(lock, dispatcherLock,
                         [service] { return service->dispatcherLockOwner == nullptr; });
        service->dispatcherLockOwner = SimCore::CurrentThread();
        core.SetLockOwner(dispatcherLock, service->dispatcherLockOwner);
        // The handler makes platform calls of its own, which take the machine's lock. It sees
        // what the service reported and registered before the control came.
        core.PromiseAcquire(service.get());
        lock.LeaveMachine();
        DWORD result = NO_ERROR;
        bool escaped = false;
        try {
            result = handler(control, eventType, nullptr, context);
        } catch (...) {
            escaped = true;
        }
        lock.ReenterMachine();
        // On Windows an exception that leaves the handler ends the process.
        if (escaped) core.Violate(caller.Name() + ": an exception left the control handler");
        service->dispatcherLockOwner = nullptr;
        core.SetLockOwner(dispatcherLock, nullptr);
        service->lastHandlerResult = result;
        pending->result = result;
        pending->status = service->status;
        pending->done = true;
    }
    service->dispatcherRunning = false;
    // The dispatcher returns once the service has reported SERVICE_STOPPED, and after it.
    m_machine.Core().PromiseAcquire(service.get());
    return TRUE;
}

SERVICE_STATUS_HANDLE SimScm::RegisterServiceCtrlHandlerExW(SimProcess& caller, LPCWSTR serviceName,
                                                            LPHANDLER_FUNCTION_EX handler,
                                                            LPVOID context) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "RegisterServiceCtrlHandlerExW"))
        return Failure(*code);
    if (serviceName == nullptr || handler == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    if (caller.ScmService().empty() ||
        !platform::EqualsIgnoringAsciiCase(serviceName, caller.ScmService()))
        return Failure(ERROR_SERVICE_DOES_NOT_EXIST);
    auto service = m_impl->Find(caller.ScmService());
    if (service == nullptr || service->process != &caller)
        return Failure(ERROR_SERVICE_DOES_NOT_EXIST);
    service->handler = handler;
    service->context = context;
    m_machine.Core().PromiseRelease(service.get());
    if (service->statusHandle == nullptr) {
        service->statusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(m_impl->nextStatusHandle);
        m_impl->nextStatusHandle += 2;
        m_impl->statusHandles[service->statusHandle] = service;
    }
    return service->statusHandle;
}

BOOL SimScm::SetServiceStatus(SimProcess&, SERVICE_STATUS_HANDLE statusHandle,
                              SERVICE_STATUS* status) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "SetServiceStatus")) return Failure(*code);
    auto it = m_impl->statusHandles.find(statusHandle);
    if (it == m_impl->statusHandles.end()) return Failure(ERROR_INVALID_HANDLE);
    if (status == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    const std::shared_ptr<Service> service = it->second;
    // Windows closes the status handle's RPC context at the first SERVICE_STOPPED: a later
    // report may crash the process, so the machine refuses it and says so.
    if (service->stoppedReported) {
        m_machine.Core().Violate(platform::Utf8FromWide(service->name) + ": SetServiceStatus(" +
                                 ServiceStateName(status->dwCurrentState) +
                                 ") after SERVICE_STOPPED");
        return Failure(ERROR_INVALID_HANDLE);
    }
    service->status = *status;
    service->reported = true;
    m_machine.Core().PromiseRelease(service.get());
    m_machine.Core().Observe({0, StatusReport{platform::Utf8FromWide(service->name), *status}});
    if (status->dwCurrentState != SERVICE_STOPPED) return TRUE;

    service->stoppedReported = true;
    // Wine's SetServiceStatus takes the dispatcher's lock once it has told the SCM of the stop,
    // to let the dispatcher return; from the handler's own thread the lock is already held.
    const SimThread* self = SimCore::CurrentThread();
    if (service->dispatcherLockOwner != self)
        m_machine.Core().BlockOnLock(lock, &service->dispatcherLockOwner,
                                     [service] { return service->dispatcherLockOwner == nullptr; });
    return TRUE;
}

// --- the service database, called by any process

SC_HANDLE SimScm::OpenSCManagerW(SimProcess& caller, LPCWSTR, LPCWSTR, DWORD desiredAccess) {
    auto lock = m_machine.Core().EnterCall();
    m_impl->accessRequests.push_back({"OpenSCManagerW", L"", desiredAccess});
    if (auto code = m_machine.Core().TakeFault(lock, "OpenSCManagerW")) return Failure(*code);
    if (!m_impl->privileged && (desiredAccess & ~kUserManagerRights) != 0)
        return Failure(ERROR_ACCESS_DENIED);
    auto manager = std::make_shared<ManagerHandle>();
    manager->access = desiredAccess | SC_MANAGER_CONNECT;
    return static_cast<SC_HANDLE>(
        m_machine.Core().AddHandle(HandleKind::ScManager, &caller, manager));
}

SC_HANDLE SimScm::CreateServiceW(SimProcess& caller, SC_HANDLE manager, LPCWSTR serviceName,
                                 LPCWSTR displayName, DWORD desiredAccess, DWORD serviceType,
                                 DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                                 LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                 LPCWSTR serviceStartName, LPCWSTR password) {
    auto lock = m_machine.Core().EnterCall();
    m_impl->accessRequests.push_back(
        {"CreateServiceW", serviceName != nullptr ? serviceName : L"", desiredAccess});
    if (auto code = m_machine.Core().TakeFault(lock, "CreateServiceW")) return Failure(*code);
    auto* entry =
        m_machine.Core().UseHandle(manager, &caller, {HandleKind::ScManager}, "CreateServiceW");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    if ((static_cast<ManagerHandle*>(entry->object.get())->access & SC_MANAGER_CREATE_SERVICE) == 0)
        return Failure(ERROR_ACCESS_DENIED);
    if (serviceName == nullptr || *serviceName == L'\0' || std::wcspbrk(serviceName, L"/\\"))
        return Failure(ERROR_INVALID_NAME);
    // Tags belong to drivers; a service of its own process cannot ask for one.
    if (binaryPathName == nullptr || *binaryPathName == L'\0' || tagId != nullptr)
        return Failure(ERROR_INVALID_PARAMETER);
    if (auto existing = m_impl->FindRegistered(serviceName))
        return Failure(existing->deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE
                                               : ERROR_SERVICE_EXISTS);

    ServiceRegistration registration;
    registration.name = serviceName;
    registration.displayName = displayName != nullptr ? displayName : serviceName;
    registration.serviceType = serviceType;
    registration.startType = startType;
    registration.errorControl = errorControl;
    registration.binaryPath = binaryPathName;
    registration.loadOrderGroup = loadOrderGroup != nullptr ? loadOrderGroup : L"";
    for (LPCWSTR name = dependencies; name != nullptr && *name != L'\0';
         name += std::wcslen(name) + 1)
        registration.dependencies.emplace_back(name);
    registration.account = serviceStartName != nullptr ? serviceStartName : L"LocalSystem";
    registration.hasPassword = password != nullptr && *password != L'\0';

    auto service = m_impl->FindOrAdd(m_machine.Core(), serviceName);
    service->registration = registration;
    service->deletePending = false;
    if (service->process == nullptr)
        service->status = {serviceType, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
    m_machine.Core().Observe({0, registration});

    auto handle = std::make_shared<ServiceHandle>(ServiceHandle{service, desiredAccess});
    ++service->openHandles;
    return static_cast<SC_HANDLE>(m_machine.Core().AddHandle(HandleKind::Service, &caller, handle));
}

BOOL SimScm::StartServiceW(SimProcess& caller, SC_HANDLE service, DWORD numArgs, LPCWSTR* args) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "StartServiceW")) return Failure(*code);
    auto* handle = UseServiceHandle(m_machine.Core(), caller, service, "StartServiceW");
    if (handle == nullptr) return Failure(ERROR_INVALID_HANDLE);
    if ((handle->access & SERVICE_START) == 0) return Failure(ERROR_ACCESS_DENIED);
    Service& target = *handle->service;
    if (target.deletePending) return Failure(ERROR_SERVICE_MARKED_FOR_DELETE);
    std::vector<std::wstring> startArgs;
    for (DWORD i = 0; i < numArgs && args != nullptr; ++i) startArgs.emplace_back(args[i]);
    const DWORD refusal = m_impl->Start(m_machine, lock, target,
                                        ImagePathOf(target.registration->binaryPath), startArgs);
    if (refusal != NO_ERROR) return Failure(refusal);
    return TRUE;
}

SC_HANDLE SimScm::OpenServiceW(SimProcess& caller, SC_HANDLE manager, LPCWSTR serviceName,
                               DWORD desiredAccess) {
    auto lock = m_machine.Core().EnterCall();
    m_impl->accessRequests.push_back(
        {"OpenServiceW", serviceName != nullptr ? serviceName : L"", desiredAccess});
    if (auto code = m_machine.Core().TakeFault(lock, "OpenServiceW")) return Failure(*code);
    if (m_machine.Core().UseHandle(manager, &caller, {HandleKind::ScManager}, "OpenServiceW") ==
        nullptr)
        return Failure(ERROR_INVALID_HANDLE);
    if (serviceName == nullptr) return Failure(ERROR_INVALID_NAME);
    auto service = m_impl->FindRegistered(serviceName);
    if (service == nullptr) return Failure(ERROR_SERVICE_DOES_NOT_EXIST);
    if (!m_impl->privileged && (desiredAccess & ~kUserServiceRights) != 0)
        return Failure(ERROR_ACCESS_DENIED);
    auto handle = std::make_shared<ServiceHandle>(ServiceHandle{service, desiredAccess});
    ++service->openHandles;
    return static_cast<SC_HANDLE>(m_machine.Core().AddHandle(HandleKind::Service, &caller, handle));
}

BOOL SimScm::ControlService(SimProcess& caller, SC_HANDLE service, DWORD control,
                            LPSERVICE_STATUS status) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "ControlService")) return Failure(*code);
    auto* handle = UseServiceHandle(m_machine.Core(), caller, service, "ControlService");
    if (handle == nullptr) return Failure(ERROR_INVALID_HANDLE);
    const auto access = AccessFor(control);
    if (!access || status == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    if ((handle->access & *access) == 0) return Failure(ERROR_ACCESS_DENIED);
    auto target = handle->service;
    if (const DWORD refusal = ControlRefusal(*target, control, false); refusal != NO_ERROR) {
        // As on Windows, a control refused for the service's state still returns that state.
        *status = target->status;
        return Failure(refusal);
    }
    auto pending = QueueControl(*target, control, 0);
    m_machine.Core().BlockUntil(lock, [pending] { return pending->done; });
    *status = pending->status;
    if (pending->result != NO_ERROR) return Failure(pending->result);
    return TRUE;
}

BOOL SimScm::QueryServiceStatus(SimProcess& caller, SC_HANDLE service, LPSERVICE_STATUS status) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "QueryServiceStatus")) return Failure(*code);
    auto* handle = UseServiceHandle(m_machine.Core(), caller, service, "QueryServiceStatus");
    if (handle == nullptr) return Failure(ERROR_INVALID_HANDLE);
    if ((handle->access & SERVICE_QUERY_STATUS) == 0) return Failure(ERROR_ACCESS_DENIED);
    if (status == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    *status = handle->service->status;
    return TRUE;
}

BOOL SimScm::DeleteService(SimProcess& caller, SC_HANDLE service) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "DeleteService")) return Failure(*code);
    auto* handle = UseServiceHandle(m_machine.Core(), caller, service, "DeleteService");
    if (handle == nullptr) return Failure(ERROR_INVALID_HANDLE);
    if ((handle->access & DELETE) == 0) return Failure(ERROR_ACCESS_DENIED);
    if (handle->service->deletePending) return Failure(ERROR_SERVICE_MARKED_FOR_DELETE);
    // The caller's own handle is still open, so the entry stays until CloseServiceHandle.
    handle->service->deletePending = true;
    return TRUE;
}

BOOL SimScm::CloseServiceHandle(SimProcess& caller, SC_HANDLE handle) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "CloseServiceHandle")) return Failure(*code);
    auto* entry = m_machine.Core().UseHandle(
        handle, &caller, {HandleKind::ScManager, HandleKind::Service}, "CloseServiceHandle");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    std::shared_ptr<Service> service;
    if (entry->kind == HandleKind::Service)
        service = static_cast<ServiceHandle*>(entry->object.get())->service;
    m_machine.Core().RemoveHandle(handle);
    if (service != nullptr) {
        --service->openHandles;
        m_impl->RemoveIfDeleted(m_machine.Core(), *service);
    }
    return TRUE;
}

void SimScm::OnProcessExit(SimProcess& process) {
    std::vector<std::shared_ptr<Service>> hosted;
    for (auto& [key, service] : m_impl->services)
        if (service->process == &process) hosted.push_back(service);
    for (auto& service : hosted) {
        if (service->status.dwCurrentState != SERVICE_STOPPED)
            service->status = {service->Type(), SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
        for (auto& pending : service->controls) {
            pending->result = ERROR_PROCESS_ABORTED;
            pending->status = service->status;
            pending->done = true;
        }
        service->controls.clear();
        service->process = nullptr;
        service->dispatcherRunning = false;
        service->mainThread = nullptr;
        service->handler = nullptr;
        service->context = nullptr;
        m_impl->statusHandles.erase(service->statusHandle);
        service->statusHandle = nullptr;
        m_impl->RemoveIfDeleted(m_machine.Core(), *service);
    }
}

// --- driver side

void SimScm::SetCallerPrivileged(bool privileged) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_impl->privileged = privileged;
}

DWORD SimScm::StartServiceProcess(const std::wstring& service, const std::wstring& imagePath) {
    std::unique_lock lock(m_machine.Core().Mutex());
    return m_impl->Start(m_machine, lock, *m_impl->FindOrAdd(m_machine.Core(), service), imagePath,
                         {});
}

DWORD SimScm::SendControl(const std::wstring& service, DWORD control, DWORD eventType, bool raw) {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto target = m_impl->Find(service);
    if (target == nullptr) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (const DWORD refusal = ControlRefusal(*target, control, raw); refusal != NO_ERROR)
        return refusal;
    QueueControl(*target, control, eventType);
    return NO_ERROR;
}

std::optional<ServiceRegistration> SimScm::Registration(const std::wstring& service) const {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto found = m_impl->Find(service);
    return found ? found->registration : std::nullopt;
}

SERVICE_STATUS SimScm::CurrentStatus(const std::wstring& service) const {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto found = m_impl->Find(service);
    return found ? found->status : SERVICE_STATUS{};
}

std::optional<DWORD> SimScm::LastHandlerResult(const std::wstring& service) const {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto found = m_impl->Find(service);
    return found ? found->lastHandlerResult : std::nullopt;
}

std::vector<AccessRequest> SimScm::AccessRequests() const {
    std::lock_guard lock(m_machine.Core().Mutex());
    return m_impl->accessRequests;
}

SimProcess* SimScm::HostProcess(const std::wstring& service) const {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto found = m_impl->Find(service);
    return found ? found->process : nullptr;
}

}  // namespace sim
