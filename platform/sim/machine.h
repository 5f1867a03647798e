// Simulated machine only: one simulated Windows machine, its processes and its platform services.
//
// Threads: the driver (a test or the simulator) calls the machine's own methods from a host
// thread while the machine is idle; the simulated processes call their Platform from simulated
// threads, one at a time (see SimCore). Every subsystem locks the core's mutex itself.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_core.h"

namespace sim {

class SimMachine;
class SimEventLog;
class SimRegistry;
class SimWlan;
class SimDevices;
class SimScm;
class SimKernel;
class SimSecurity;
class SimMitigations;

// The entry point of a simulated executable: the platform of its process and its arguments,
// the program's path first.
using ProcessEntry = std::function<int(platform::Platform& platform, int argc, wchar_t** argv)>;

// One simulated process: its view of the machine is the Platform it implements.
class SimProcess final : public platform::Platform {
public:
    SimProcess(SimMachine& machine, int id, std::string name, std::wstring imagePath);

    int Id() const { return m_id; }
    const std::string& Name() const { return m_name; }
    const std::wstring& ImagePath() const { return m_imagePath; }
    // The service the SCM started this process for; empty for a console process.
    const std::wstring& ScmService() const { return m_scmService; }
    void SetScmService(std::wstring service) { m_scmService = std::move(service); }
    bool HasExited() const { return m_exited; }
    int ExitCode() const { return m_exitCode; }
    // Everything the process printed, in order (UTF-8).
    std::string Stdout() const;
    SimMachine& Machine() { return m_machine; }

    // Starts a simulated thread of this process (driver side or from a simulated thread).
    SimThread* Spawn(std::string name, std::function<void()> body);
    // Runs `body` on a new simulated thread of this process and lets the machine run until idle.
    IdleResult RunOnThread(std::string name, std::function<void()> body);

    // Called by the machine when the process's entry returns.
    void MarkExited(int code);
    int NextThreadNumber() { return ++m_threadCount; }

    // --- platform::Platform
    HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) override;
    BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                      WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) override;
    BOOL DeregisterEventSource(HANDLE eventLog) override;

    LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                          PHKEY result) override;
    LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) override;
    LSTATUS RegCloseKey(HKEY key) override;

    DWORD WlanOpenHandle(DWORD clientVersion, PVOID reserved, PDWORD negotiatedVersion,
                         HANDLE* clientHandle) override;
    DWORD WlanEnumInterfaces(HANDLE clientHandle, PVOID reserved,
                             PWLAN_INTERFACE_INFO_LIST* interfaceList) override;
    DWORD WlanQueryInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                             WLAN_INTF_OPCODE opCode, PVOID reserved, PDWORD dataSize, PVOID* data,
                             PWLAN_OPCODE_VALUE_TYPE valueType) override;
    DWORD WlanSetInterface(HANDLE clientHandle, const GUID* interfaceGuid, WLAN_INTF_OPCODE opCode,
                           DWORD dataSize, const PVOID data, PVOID reserved) override;
    void WlanFreeMemory(PVOID memory) override;
    DWORD WlanCloseHandle(HANDLE clientHandle, PVOID reserved) override;

    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     PSP_DEVICE_INTERFACE_DATA interfaceData) override;
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA deviceInfo) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                  LPOVERLAPPED overlapped) override;
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                         LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                         LPOVERLAPPED overlapped) override;
    BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) override;
    HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override;
    HLOCAL LocalFree(HLOCAL memory) override;

    BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) override;
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) override;
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status) override;
    SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                             DWORD desiredAccess) override;
    SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                             DWORD desiredAccess, DWORD serviceType, DWORD startType,
                             DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                             LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                             LPCWSTR password) override;
    BOOL StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) override;
    SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override;
    BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override;
    BOOL DeleteService(SC_HANDLE service) override;
    BOOL CloseServiceHandle(SC_HANDLE handle) override;

    HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                        LPCWSTR name) override;
    BOOL SetEvent(HANDLE event) override;
    BOOL ResetEvent(HANDLE event) override;
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE handle) override;
    void InitializeCriticalSection(LPCRITICAL_SECTION section) override;
    void EnterCriticalSection(LPCRITICAL_SECTION section) override;
    void LeaveCriticalSection(LPCRITICAL_SECTION section) override;
    void DeleteCriticalSection(LPCRITICAL_SECTION section) override;
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                        LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                        LPDWORD threadId) override;
    void Sleep(DWORD milliseconds) override;
    DWORD GetLastError() override;
    void SetLastError(DWORD error) override;
    DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) override;
    BOOL SetDefaultDllDirectories(DWORD directoryFlags) override;
    BOOL SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer,
                                    SIZE_T length) override;

    void PrintWide(LPCWSTR text) override;
    void PrintNarrow(const char* text) override;

    DWORD GetNamedSecurityInfoW(LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                PACL* dacl, PACL* sacl,
                                PSECURITY_DESCRIPTOR* securityDescriptor) override;
    BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID information,
                             DWORD length, PDWORD returnLength) override;
    BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                           LPWSTR domain, LPDWORD domainLength, PSID_NAME_USE use) override;
    UINT GetDriveTypeW(LPCWSTR rootPath) override;
    DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max) override;
    DWORD GetFileAttributesW(LPCWSTR fileName) override;

private:
    SimMachine& m_machine;
    int m_id;
    std::string m_name;
    std::wstring m_imagePath;
    std::wstring m_scmService;
    bool m_exited = false;
    int m_exitCode = 0;
    int m_threadCount = 0;
};

// Resources still held, by kind; what the simulator's summary calls "open".
using ResourceCounts = std::map<std::string, int>;

class SimMachine {
public:
    SimMachine();
    ~SimMachine();
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    SimCore& Core() { return *m_core; }
    SimEventLog& EventLog() { return *m_eventLog; }
    SimRegistry& Registry() { return *m_registry; }
    SimWlan& Wlan() { return *m_wlan; }
    SimDevices& Devices() { return *m_devices; }
    SimScm& Scm() { return *m_scm; }
    SimKernel& Kernel() { return *m_kernel; }
    SimSecurity& Security() { return *m_security; }
    SimMitigations& Mitigations() { return *m_mitigations; }

    FaultPlan& Faults() { return m_core->Faults(); }
    Observations& Log() { return m_core->Log(); }
    std::uint64_t NowMs() const { return m_core->NowMs(); }

    // --- processes (driver side, or from a simulated thread for the SCM's launches)
    // Makes `entry` the program that runs when `path` is started.
    void InstallImage(std::wstring path, ProcessEntry entry);
    // A process with no program, for tests that call the logic on threads of their own.
    SimProcess& CreateProcess(std::string name, std::wstring imagePath = L"C:\\test.exe");
    // Starts the program at `path` with `args` (the program's path is added first). A process
    // the SCM starts for `scmService` is connected to the service control dispatcher. Returns
    // null when no program is installed at `path`. The caller holds the core's lock.
    SimProcess* LaunchLocked(std::unique_lock<std::mutex>& lock, const std::wstring& path,
                             std::vector<std::wstring> args, std::wstring scmService);
    SimProcess* Launch(const std::wstring& path, std::vector<std::wstring> args,
                       std::wstring scmService = L"");
    const std::vector<std::unique_ptr<SimProcess>>& Processes() const { return m_processes; }
    // Whether a program is installed at `path`: a file, where every other path is a folder. The
    // caller holds the core's lock.
    bool HasImageLocked(const std::wstring& path) const;

    // --- time (driver side)
    IdleResult RunUntilIdle();
    IdleResult AdvanceBy(std::uint64_t milliseconds);
    // Runs, advancing virtual time from timer to timer, until `process` has exited or
    // `limitMs` of virtual time have passed.
    IdleResult RunUntilExited(SimProcess& process, std::uint64_t limitMs);

    // --- accounting (driver side)
    // What the processes still hold: handles, allocations, live threads, by kind.
    ResourceCounts OpenResources();

private:
    friend class SimProcess;
    void OnProcessExit(std::unique_lock<std::mutex>& lock, SimProcess& process, int code);

    // Shared so that a thread that never ended can outlive the machine without touching freed
    // memory (see SimCore's destructor).
    std::shared_ptr<SimCore> m_core;
    std::unique_ptr<SimEventLog> m_eventLog;
    std::unique_ptr<SimRegistry> m_registry;
    std::unique_ptr<SimWlan> m_wlan;
    std::unique_ptr<SimDevices> m_devices;
    std::unique_ptr<SimScm> m_scm;
    std::unique_ptr<SimKernel> m_kernel;
    std::unique_ptr<SimSecurity> m_security;
    std::unique_ptr<SimMitigations> m_mitigations;
    std::vector<std::unique_ptr<SimProcess>> m_processes;
    std::map<std::wstring, ProcessEntry> m_images;
};

}  // namespace sim
