// The seam: every operating-system operation that the service logic calls, grouped by the
// platform service that provides it. Names, arguments and results are those of Win32: status
// codes, last-error codes, out-parameters and who frees what mean exactly what they mean there.
//
// Two implementations exist: platform/win32 forwards each call to Windows, platform/sim runs a
// simulated machine. The logic receives a Platform by reference and never reaches the operating
// system any other way; anything that blocks goes through here, so the simulated machine always
// knows whether a thread is running or waiting.
#pragma once

#include "platform/win_types.h"

namespace platform {

// Event log (advapi32). Any thread. An event source handle is closed with DeregisterEventSource.
class EventLog {
public:
    virtual ~EventLog() = default;
    virtual HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) = 0;
    virtual BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                              PSID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                              LPVOID rawData) = 0;
    virtual BOOL DeregisterEventSource(HANDLE eventLog) = 0;
};

// Registry (advapi32). Any thread. Results are LSTATUS codes, not last-error codes. On failure
// RegQueryValueExW may leave the data buffer undefined (ERROR_MORE_DATA does); callers that must
// keep their value query into a temporary.
class Registry {
public:
    virtual ~Registry() = default;
    virtual LSTATUS RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                                  PHKEY result) = 0;
    virtual LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                     LPBYTE data, LPDWORD dataSize) = 0;
    virtual LSTATUS RegCloseKey(HKEY key) = 0;
};

// Native Wifi (wlanapi). Any thread. Results are status codes. Lists and query results that
// the platform returns belong to the caller, who frees them with WlanFreeMemory; a client
// handle is closed with WlanCloseHandle.
class NativeWifi {
public:
    virtual ~NativeWifi() = default;
    virtual DWORD WlanOpenHandle(DWORD clientVersion, PVOID reserved, PDWORD negotiatedVersion,
                                 HANDLE* clientHandle) = 0;
    virtual DWORD WlanEnumInterfaces(HANDLE clientHandle, PVOID reserved,
                                     PWLAN_INTERFACE_INFO_LIST* interfaceList) = 0;
    virtual DWORD WlanQueryInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                     WLAN_INTF_OPCODE opCode, PVOID reserved, PDWORD dataSize,
                                     PVOID* data, PWLAN_OPCODE_VALUE_TYPE valueType) = 0;
    virtual DWORD WlanSetInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                   WLAN_INTF_OPCODE opCode, DWORD dataSize, const PVOID data,
                                   PVOID reserved) = 0;
    virtual void WlanFreeMemory(PVOID memory) = 0;
    virtual DWORD WlanCloseHandle(HANDLE clientHandle, PVOID reserved) = 0;
};

// SetupAPI device lookup and synchronous device I/O (setupapi, kernel32). Failures set the
// calling thread's last error. ReadFile and DeviceIoControl block until the driver completes
// the request; CancelIoEx, from any thread, makes a pending request fail with
// ERROR_OPERATION_ABORTED, and cancels nothing (ERROR_NOT_FOUND) when none is pending.
// A device information set is freed with SetupDiDestroyDeviceInfoList, a device handle with
// CloseHandle, and a LocalAlloc block with LocalFree.
class Devices {
public:
    virtual ~Devices() = default;
    virtual HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent,
                                          DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                             const GUID* interfaceClassGuid, DWORD memberIndex,
                                             PSP_DEVICE_INTERFACE_DATA interfaceData) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                  PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                  DWORD detailSize, PDWORD requiredSize,
                                                  PSP_DEVINFO_DATA deviceInfo) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
    virtual HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                               LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                               DWORD flagsAndAttributes, HANDLE templateFile) = 0;
    virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                          LPOVERLAPPED overlapped) = 0;
    virtual BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                 DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                 LPDWORD bytesReturned, LPOVERLAPPED overlapped) = 0;
    virtual BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) = 0;
    virtual HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) = 0;
    virtual HLOCAL LocalFree(HLOCAL memory) = 0;
};

// Service Control Manager (advapi32). Failures set the calling thread's last error.
// StartServiceCtrlDispatcherW blocks the calling thread: it runs each service's main function on
// a new thread, calls the registered handler on the calling thread one control at a time, and
// returns once the service has reported SERVICE_STOPPED, without waiting for the main
// function's thread. Service and manager handles are closed with CloseServiceHandle; a status
// handle is never closed.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    virtual BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                                LPHANDLER_FUNCTION_EX handler,
                                                                LPVOID context) = 0;
    virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status) = 0;
    virtual SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                     DWORD desiredAccess) = 0;
    virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                     DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                     DWORD errorControl, LPCWSTR binaryPathName,
                                     LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                     LPCWSTR serviceStartName, LPCWSTR password) = 0;
    virtual BOOL StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) = 0;
    virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) = 0;
    virtual BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) = 0;
    virtual BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
};

// Kernel objects, threads, time and memory (kernel32). Failures set the calling thread's last
// error. WaitForSingleObject blocks up to the timeout in milliseconds (INFINITE for none) and
// returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED; a thread handle becomes signalled when the
// thread has ended. Event and thread handles are closed with CloseHandle. Sleep(0) gives the
// processor to another ready thread.
class Kernel {
public:
    virtual ~Kernel() = default;
    virtual HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                                LPCWSTR name) = 0;
    virtual BOOL SetEvent(HANDLE event) = 0;
    virtual BOOL ResetEvent(HANDLE event) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual void InitializeCriticalSection(LPCRITICAL_SECTION section) = 0;
    virtual void EnterCriticalSection(LPCRITICAL_SECTION section) = 0;
    virtual void LeaveCriticalSection(LPCRITICAL_SECTION section) = 0;
    virtual void DeleteCriticalSection(LPCRITICAL_SECTION section) = 0;
    virtual HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                                DWORD creationFlags, LPDWORD threadId) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD error) = 0;
    virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) = 0;
    // The process's own mitigations: where the loader looks for DLLs from now on, and one
    // mitigation policy (`buffer` is the policy's structure, `length` its size). A policy once
    // set stays set for the life of the process.
    virtual BOOL SetDefaultDllDirectories(DWORD directoryFlags) = 0;
    virtual BOOL SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer,
                                            SIZE_T length) = 0;
};

// What a file's path is and who controls it (advapi32, kernel32). Any thread; nothing blocks.
// GetNamedSecurityInfoW's result is a Win32 error code, not the last error: the descriptor is
// returned in one block, self-relative, that the caller frees with LocalFree; the owner and DACL
// pointers point into it, and the DACL pointer is null when the object has a NULL DACL, which
// grants everyone every right. The other calls set the last error on failure: GetTokenInformation
// and LookupAccountSidW answer ERROR_INSUFFICIENT_BUFFER with the sizes needed (the lookup's
// counts include the terminator then, and exclude it on success; ERROR_NONE_MAPPED when the SID
// names no account); QueryDosDeviceW returns the characters written, the list's two terminators
// included, or 0; GetFileAttributesW returns INVALID_FILE_ATTRIBUTES. GetDriveTypeW never fails.
class Security {
public:
    virtual ~Security() = default;
    virtual DWORD GetNamedSecurityInfoW(LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                        SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                        PACL* dacl, PACL* sacl,
                                        PSECURITY_DESCRIPTOR* securityDescriptor) = 0;
    // `token` is the current process's pseudo-handle (GetCurrentProcessToken()).
    virtual BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                     LPVOID information, DWORD length, PDWORD returnLength) = 0;
    virtual BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                                   LPWSTR domain, LPDWORD domainLength, PSID_NAME_USE use) = 0;
    virtual UINT GetDriveTypeW(LPCWSTR rootPath) = 0;
    virtual DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max) = 0;
    virtual DWORD GetFileAttributesW(LPCWSTR fileName) = 0;
};

// Console output of the process. Any thread; never fails visibly. The text is already formatted;
// both forms reach the one standard output in the order of the calls, wide text as UTF-8.
class Console {
public:
    virtual ~Console() = default;
    virtual void PrintWide(LPCWSTR text) = 0;
    virtual void PrintNarrow(const char* text) = 0;
};

// One process's view of the operating system.
class Platform : public EventLog,
                 public Registry,
                 public NativeWifi,
                 public Devices,
                 public ServiceControl,
                 public Kernel,
                 public Console,
                 public Security {};

}  // namespace platform
