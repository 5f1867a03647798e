// Simulated machine only: the Service Control Manager, its service database and the service
// control dispatcher of the processes it starts.
//
// Services are known by name, compared without regard to ASCII case. A service runs in the
// process that StartServiceW or the driver's StartServiceProcess launched for it; that process's
// dispatcher runs ServiceMain on a thread named "<process>/service-main" and delivers queued
// controls on the thread that called it. Every status report is kept whole as a StatusReport
// observation, every registration as a ServiceRegistration. Every platform operation can be made
// to fail by its Win32 name.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/observations.h"
#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

// "SERVICE_RUNNING" and the like; "state N" for a value Windows does not define.
std::string ServiceStateName(DWORD state);

// The access a caller asked for: OpenSCManagerW, OpenServiceW or CreateServiceW (`name` empty
// for the manager).
struct AccessRequest {
    std::string operation;
    std::wstring name;
    DWORD desiredAccess = 0;
};

class SimScm {
public:
    explicit SimScm(SimMachine& machine);
    ~SimScm();

    BOOL StartServiceCtrlDispatcherW(SimProcess& caller, const SERVICE_TABLE_ENTRYW* serviceTable);
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(SimProcess& caller, LPCWSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context);
    BOOL SetServiceStatus(SimProcess& caller, SERVICE_STATUS_HANDLE statusHandle,
                          SERVICE_STATUS* status);
    SC_HANDLE OpenSCManagerW(SimProcess& caller, LPCWSTR machineName, LPCWSTR databaseName,
                             DWORD desiredAccess);
    SC_HANDLE CreateServiceW(SimProcess& caller, SC_HANDLE manager, LPCWSTR serviceName,
                             LPCWSTR displayName, DWORD desiredAccess, DWORD serviceType,
                             DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                             LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                             LPCWSTR serviceStartName, LPCWSTR password);
    BOOL StartServiceW(SimProcess& caller, SC_HANDLE service, DWORD numArgs, LPCWSTR* args);
    SC_HANDLE OpenServiceW(SimProcess& caller, SC_HANDLE manager, LPCWSTR serviceName,
                           DWORD desiredAccess);
    BOOL ControlService(SimProcess& caller, SC_HANDLE service, DWORD control,
                        LPSERVICE_STATUS status);
    BOOL QueryServiceStatus(SimProcess& caller, SC_HANDLE service, LPSERVICE_STATUS status);
    BOOL DeleteService(SimProcess& caller, SC_HANDLE service);
    BOOL CloseServiceHandle(SimProcess& caller, SC_HANDLE handle);

    // Called by the machine, with the core's lock held, when a process has exited.
    void OnProcessExit(SimProcess& process);

    // --- driver side
    // Whether processes hold the rights to create, start, stop and delete services.
    void SetCallerPrivileged(bool privileged);
    // Starts the process of `service` from `imagePath`, registered or not, as the SCM does.
    // Returns the Win32 error code, 0 when the process was started.
    DWORD StartServiceProcess(const std::wstring& service, const std::wstring& imagePath);
    // Sends a control as the SCM does on behalf of a user or of the system, with Windows's
    // checks (running, control accepted). Returns 0 when the control was delivered, otherwise
    // the Win32 error code. `raw` skips the checks and hands any control to the handler, once
    // the service has made its first report (before it, Windows sends none but an interrogation).
    DWORD SendControl(const std::wstring& service, DWORD control, DWORD eventType = 0,
                      bool raw = false);
    // What the SCM holds for `service`: its registration, if it is registered, and its status
    // (all zero for a service the SCM has never heard of).
    std::optional<ServiceRegistration> Registration(const std::wstring& service) const;
    SERVICE_STATUS CurrentStatus(const std::wstring& service) const;
    // What the service's control handler returned for the last control delivered to it.
    std::optional<DWORD> LastHandlerResult(const std::wstring& service) const;
    // The process that hosts `service`, or null.
    SimProcess* HostProcess(const std::wstring& service) const;
    // Every access asked for, in order.
    std::vector<AccessRequest> AccessRequests() const;

private:
    struct Impl;
    SimMachine& m_machine;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
