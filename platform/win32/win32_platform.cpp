// Real Win32 calls only: each operation forwards to the Windows API and adds no behaviour, but
// for how Native Wifi is reached (from System32, at its first use).
#include "platform/win32/win32_platform.h"

#include <aclapi.h>

#include <cstdio>
#include <string>

namespace platform::win32 {

// --- event log
HANDLE Win32Platform::RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
    return ::RegisterEventSourceW(serverName, sourceName);
}
BOOL Win32Platform::ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                                 PSID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                                 LPVOID rawData) {
    return ::ReportEventW(eventLog, type, category, eventId, userSid, numStrings, dataSize, strings,
                          rawData);
}
BOOL Win32Platform::DeregisterEventSource(HANDLE eventLog) {
    return ::DeregisterEventSource(eventLog);
}

// --- registry
LSTATUS Win32Platform::RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                                     PHKEY result) {
    return ::RegOpenKeyExW(root, subKey, options, access, result);
}
// ERROR_MORE_DATA leaves `data` undefined; the caller queries into a temporary.
LSTATUS Win32Platform::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize) {
    return ::RegQueryValueExW(key, valueName, reserved, type, data, dataSize);
}
LSTATUS Win32Platform::RegCloseKey(HKEY key) {
    return ::RegCloseKey(key);
}

// --- Native Wifi
namespace {

// GetProcAddress's FARPROC goes through void (*)(), the one function type GCC lets every other
// be cast from and to.
template <typename Function>
Function* Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Function*>(
        reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

}  // namespace

Win32Platform::~Win32Platform() {
    if (m_nativeWifi.module != nullptr) ::FreeLibrary(m_nativeWifi.module);
}

// Only System32 is searched, for the DLL and for its dependencies. Once only, whichever thread
// comes first; the others wait for it in InitOnceExecuteOnce.
BOOL CALLBACK Win32Platform::LoadNativeWifi(PINIT_ONCE, PVOID self, PVOID*) {
    NativeWifiDll& dll = static_cast<Win32Platform*>(self)->m_nativeWifi;
    dll.module = ::LoadLibraryExW(L"wlanapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll.module == nullptr) {
        dll.loadError = ::GetLastError();
        return TRUE;
    }
    dll.open = Entry<decltype(::WlanOpenHandle)>(dll.module, "WlanOpenHandle");
    dll.enumInterfaces = Entry<decltype(::WlanEnumInterfaces)>(dll.module, "WlanEnumInterfaces");
    dll.queryInterface = Entry<decltype(::WlanQueryInterface)>(dll.module, "WlanQueryInterface");
    dll.setInterface = Entry<decltype(::WlanSetInterface)>(dll.module, "WlanSetInterface");
    dll.freeMemory = Entry<decltype(::WlanFreeMemory)>(dll.module, "WlanFreeMemory");
    dll.close = Entry<decltype(::WlanCloseHandle)>(dll.module, "WlanCloseHandle");
    return TRUE;
}

const Win32Platform::NativeWifiDll& Win32Platform::NativeWifi() {
    ::InitOnceExecuteOnce(&m_nativeWifiOnce, &LoadNativeWifi, this, nullptr);
    return m_nativeWifi;
}

DWORD Win32Platform::WlanOpenHandle(DWORD clientVersion, PVOID reserved, PDWORD negotiatedVersion,
                                    HANDLE* clientHandle) {
    const NativeWifiDll& dll = NativeWifi();
    if (dll.open == nullptr) return dll.Unavailable();
    return dll.open(clientVersion, reserved, negotiatedVersion, clientHandle);
}
DWORD Win32Platform::WlanEnumInterfaces(HANDLE clientHandle, PVOID reserved,
                                        PWLAN_INTERFACE_INFO_LIST* interfaceList) {
    const NativeWifiDll& dll = NativeWifi();
    if (dll.enumInterfaces == nullptr) return dll.Unavailable();
    return dll.enumInterfaces(clientHandle, reserved, interfaceList);
}
DWORD Win32Platform::WlanQueryInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                        WLAN_INTF_OPCODE opCode, PVOID reserved, PDWORD dataSize,
                                        PVOID* data, PWLAN_OPCODE_VALUE_TYPE valueType) {
    const NativeWifiDll& dll = NativeWifi();
    if (dll.queryInterface == nullptr) return dll.Unavailable();
    return dll.queryInterface(clientHandle, interfaceGuid, opCode, reserved, dataSize, data,
                              valueType);
}
DWORD Win32Platform::WlanSetInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                      WLAN_INTF_OPCODE opCode, DWORD dataSize, const PVOID data,
                                      PVOID reserved) {
    const NativeWifiDll& dll = NativeWifi();
    if (dll.setInterface == nullptr) return dll.Unavailable();
    return dll.setInterface(clientHandle, interfaceGuid, opCode, dataSize, data, reserved);
}
// Memory to free came from a call that succeeded, so the DLL is there.
void Win32Platform::WlanFreeMemory(PVOID memory) {
    const NativeWifiDll& dll = NativeWifi();
    if (dll.freeMemory != nullptr) dll.freeMemory(memory);
}
DWORD Win32Platform::WlanCloseHandle(HANDLE clientHandle, PVOID reserved) {
    const NativeWifiDll& dll = NativeWifi();
    if (dll.close == nullptr) return dll.Unavailable();
    return dll.close(clientHandle, reserved);
}

// --- SetupAPI and device I/O
HDEVINFO Win32Platform::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent,
                                             DWORD flags) {
    return ::SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
}
BOOL Win32Platform::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                                const GUID* interfaceClassGuid, DWORD memberIndex,
                                                PSP_DEVICE_INTERFACE_DATA interfaceData) {
    return ::SetupDiEnumDeviceInterfaces(set, deviceInfo, interfaceClassGuid, memberIndex,
                                         interfaceData);
}
// The size query (null detail) fails with ERROR_INSUFFICIENT_BUFFER even when it succeeds in
// reporting the size; callers judge it by `requiredSize`.
BOOL Win32Platform::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                     PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                     DWORD detailSize, PDWORD requiredSize,
                                                     PSP_DEVINFO_DATA deviceInfo) {
    return ::SetupDiGetDeviceInterfaceDetailW(set, interfaceData, detail, detailSize, requiredSize,
                                              deviceInfo);
}
BOOL Win32Platform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    return ::SetupDiDestroyDeviceInfoList(set);
}
HANDLE Win32Platform::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                  LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                                  DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(fileName, desiredAccess, shareMode, security, creationDisposition,
                         flagsAndAttributes, templateFile);
}
BOOL Win32Platform::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                             LPOVERLAPPED overlapped) {
    return ::ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}
BOOL Win32Platform::DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                    DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                    LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                             outBufferSize, bytesReturned, overlapped);
}
// On a handle opened without FILE_FLAG_OVERLAPPED this cancels the synchronous read that another
// thread is blocked in; with nothing pending it fails with ERROR_NOT_FOUND.
BOOL Win32Platform::CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    return ::CancelIoEx(file, overlapped);
}
HLOCAL Win32Platform::LocalAlloc(UINT flags, SIZE_T bytes) {
    return ::LocalAlloc(flags, bytes);
}
HLOCAL Win32Platform::LocalFree(HLOCAL memory) {
    return ::LocalFree(memory);
}

// --- Service Control Manager
// Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was started from a console
// rather than by the SCM.
BOOL Win32Platform::StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
    return ::StartServiceCtrlDispatcherW(serviceTable);
}
SERVICE_STATUS_HANDLE Win32Platform::RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                                   LPHANDLER_FUNCTION_EX handler,
                                                                   LPVOID context) {
    return ::RegisterServiceCtrlHandlerExW(serviceName, handler, context);
}
BOOL Win32Platform::SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status) {
    return ::SetServiceStatus(statusHandle, status);
}
SC_HANDLE Win32Platform::OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                        DWORD desiredAccess) {
    return ::OpenSCManagerW(machineName, databaseName, desiredAccess);
}
SC_HANDLE Win32Platform::CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                        DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                        DWORD errorControl, LPCWSTR binaryPathName,
                                        LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                        LPCWSTR serviceStartName, LPCWSTR password) {
    return ::CreateServiceW(manager, serviceName, displayName, desiredAccess, serviceType,
                            startType, errorControl, binaryPathName, loadOrderGroup, tagId,
                            dependencies, serviceStartName, password);
}
BOOL Win32Platform::StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) {
    return ::StartServiceW(service, numArgs, args);
}
SC_HANDLE Win32Platform::OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    return ::OpenServiceW(manager, serviceName, desiredAccess);
}
BOOL Win32Platform::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    return ::ControlService(service, control, status);
}
BOOL Win32Platform::QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    return ::QueryServiceStatus(service, status);
}
BOOL Win32Platform::DeleteService(SC_HANDLE service) {
    return ::DeleteService(service);
}
BOOL Win32Platform::CloseServiceHandle(SC_HANDLE handle) {
    return ::CloseServiceHandle(handle);
}

// --- kernel
HANDLE Win32Platform::CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                   BOOL initialState, LPCWSTR name) {
    return ::CreateEventW(security, manualReset, initialState, name);
}
BOOL Win32Platform::SetEvent(HANDLE event) {
    return ::SetEvent(event);
}
BOOL Win32Platform::ResetEvent(HANDLE event) {
    return ::ResetEvent(event);
}
DWORD Win32Platform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}
BOOL Win32Platform::CloseHandle(HANDLE handle) {
    return ::CloseHandle(handle);
}
void Win32Platform::InitializeCriticalSection(LPCRITICAL_SECTION section) {
    ::InitializeCriticalSection(section);
}
void Win32Platform::EnterCriticalSection(LPCRITICAL_SECTION section) {
    ::EnterCriticalSection(section);
}
void Win32Platform::LeaveCriticalSection(LPCRITICAL_SECTION section) {
    ::LeaveCriticalSection(section);
}
void Win32Platform::DeleteCriticalSection(LPCRITICAL_SECTION section) {
    ::DeleteCriticalSection(section);
}
// MinGW's C runtime is msvcrt.dll, which sets up and frees its per-thread data on thread attach
// and detach, so threads made by CreateThread (not _beginthreadex) may use it.
HANDLE Win32Platform::CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                   LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                                   DWORD creationFlags, LPDWORD threadId) {
    return ::CreateThread(security, stackSize, startAddress, parameter, creationFlags, threadId);
}
void Win32Platform::Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}
DWORD Win32Platform::GetLastError() {
    return ::GetLastError();
}
void Win32Platform::SetLastError(DWORD error) {
    ::SetLastError(error);
}
// A path longer than `size` is cut, and the call returns `size` with ERROR_INSUFFICIENT_BUFFER
// instead of failing.
DWORD Win32Platform::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    return ::GetModuleFileNameW(module, fileName, size);
}
// Both since Windows 8. Wine 8.0 keeps the DLL directories (its loader searches them) but
// answers every mitigation policy with success and enforces none.
BOOL Win32Platform::SetDefaultDllDirectories(DWORD directoryFlags) {
    return ::SetDefaultDllDirectories(directoryFlags);
}
BOOL Win32Platform::SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer,
                                               SIZE_T length) {
    return ::SetProcessMitigationPolicy(policy, buffer, length);
}

// --- console
// Both forms go through the C runtime's one narrow stdout, so wide and narrow text keep their
// order and the bytes are UTF-8 as on every other platform. The stream is in text mode: "\n"
// leaves the process as CR LF. A service has no console; the writes then fail unseen.
void Win32Platform::PrintWide(LPCWSTR text) {
    // The length includes the terminating NUL because the input length is -1.
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return;
    std::string utf8(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    PrintNarrow(utf8.c_str());
}
void Win32Platform::PrintNarrow(const char* text) {
    std::fwrite(text, 1, std::char_traits<char>::length(text), stdout);
    std::fflush(stdout);
}

// --- security
DWORD Win32Platform::GetNamedSecurityInfoW(LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                           SECURITY_INFORMATION securityInfo, PSID* owner,
                                           PSID* group, PACL* dacl, PACL* sacl,
                                           PSECURITY_DESCRIPTOR* securityDescriptor) {
    return ::GetNamedSecurityInfoW(objectName, objectType, securityInfo, owner, group, dacl, sacl,
                                   securityDescriptor);
}
BOOL Win32Platform::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                        LPVOID information, DWORD length, PDWORD returnLength) {
    return ::GetTokenInformation(token, infoClass, information, length, returnLength);
}
BOOL Win32Platform::LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                                      LPWSTR domain, LPDWORD domainLength, PSID_NAME_USE use) {
    return ::LookupAccountSidW(systemName, sid, name, nameLength, domain, domainLength, use);
}
UINT Win32Platform::GetDriveTypeW(LPCWSTR rootPath) {
    return ::GetDriveTypeW(rootPath);
}
DWORD Win32Platform::QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max) {
    return ::QueryDosDeviceW(deviceName, targetPath, max);
}
DWORD Win32Platform::GetFileAttributesW(LPCWSTR fileName) {
    return ::GetFileAttributesW(fileName);
}

}  // namespace platform::win32
