#include "platform/sim/devices_sim.h"
#include "platform/sim/event_log_sim.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/mitigations_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/security_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"

namespace sim {

SimProcess::SimProcess(SimMachine& machine, int id, std::string name, std::wstring imagePath)
    : m_machine(machine), m_id(id), m_name(std::move(name)), m_imagePath(std::move(imagePath)) {}

std::string SimProcess::Stdout() const {
    std::string text;
    for (auto& output : m_machine.Log().Of<ConsoleOutput>())
        if (output.process == m_name) text += output.text;
    return text;
}

SimThread* SimProcess::Spawn(std::string name, std::function<void()> body) {
    CallLock lock = m_machine.Core().LockMachine();
    return m_machine.Core().StartThread(lock, this, m_name + "/" + name, std::move(body));
}

IdleResult SimProcess::RunOnThread(std::string name, std::function<void()> body) {
    Spawn(std::move(name), std::move(body));
    return m_machine.RunUntilIdle();
}

void SimProcess::MarkExited(int code) {
    m_exited = true;
    m_exitCode = code;
}

// --- event log
HANDLE SimProcess::RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
    return m_machine.EventLog().RegisterEventSourceW(*this, serverName, sourceName);
}
BOOL SimProcess::ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                              PSID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                              LPVOID rawData) {
    return m_machine.EventLog().ReportEventW(*this, eventLog, type, category, eventId, userSid,
                                             numStrings, dataSize, strings, rawData);
}
BOOL SimProcess::DeregisterEventSource(HANDLE eventLog) {
    return m_machine.EventLog().DeregisterEventSource(*this, eventLog);
}

// --- registry
LSTATUS SimProcess::RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                                  PHKEY result) {
    return m_machine.Registry().RegOpenKeyExW(*this, root, subKey, options, access, result);
}
LSTATUS SimProcess::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                     LPBYTE data, LPDWORD dataSize) {
    return m_machine.Registry().RegQueryValueExW(*this, key, valueName, reserved, type, data,
                                                 dataSize);
}
LSTATUS SimProcess::RegCloseKey(HKEY key) {
    return m_machine.Registry().RegCloseKey(*this, key);
}

// --- Native Wifi
DWORD SimProcess::WlanOpenHandle(DWORD clientVersion, PVOID reserved, PDWORD negotiatedVersion,
                                 HANDLE* clientHandle) {
    return m_machine.Wlan().WlanOpenHandle(*this, clientVersion, reserved, negotiatedVersion,
                                           clientHandle);
}
DWORD SimProcess::WlanEnumInterfaces(HANDLE clientHandle, PVOID reserved,
                                     PWLAN_INTERFACE_INFO_LIST* interfaceList) {
    return m_machine.Wlan().WlanEnumInterfaces(*this, clientHandle, reserved, interfaceList);
}
DWORD SimProcess::WlanQueryInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                     WLAN_INTF_OPCODE opCode, PVOID reserved, PDWORD dataSize,
                                     PVOID* data, PWLAN_OPCODE_VALUE_TYPE valueType) {
    return m_machine.Wlan().WlanQueryInterface(*this, clientHandle, interfaceGuid, opCode, reserved,
                                               dataSize, data, valueType);
}
DWORD SimProcess::WlanSetInterface(HANDLE clientHandle, const GUID* interfaceGuid,
                                   WLAN_INTF_OPCODE opCode, DWORD dataSize, const PVOID data,
                                   PVOID reserved) {
    return m_machine.Wlan().WlanSetInterface(*this, clientHandle, interfaceGuid, opCode, dataSize,
                                             data, reserved);
}
void SimProcess::WlanFreeMemory(PVOID memory) {
    m_machine.Wlan().WlanFreeMemory(*this, memory);
}
DWORD SimProcess::WlanCloseHandle(HANDLE clientHandle, PVOID reserved) {
    return m_machine.Wlan().WlanCloseHandle(*this, clientHandle, reserved);
}

// --- SetupAPI and device I/O
HDEVINFO SimProcess::SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent,
                                          DWORD flags) {
    return m_machine.Devices().SetupDiGetClassDevsW(*this, classGuid, enumerator, parent, flags);
}
BOOL SimProcess::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                             const GUID* interfaceClassGuid, DWORD memberIndex,
                                             PSP_DEVICE_INTERFACE_DATA interfaceData) {
    return m_machine.Devices().SetupDiEnumDeviceInterfaces(
        *this, set, deviceInfo, interfaceClassGuid, memberIndex, interfaceData);
}
BOOL SimProcess::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                  PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                  DWORD detailSize, PDWORD requiredSize,
                                                  PSP_DEVINFO_DATA deviceInfo) {
    return m_machine.Devices().SetupDiGetDeviceInterfaceDetailW(
        *this, set, interfaceData, detail, detailSize, requiredSize, deviceInfo);
}
BOOL SimProcess::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    return m_machine.Devices().SetupDiDestroyDeviceInfoList(*this, set);
}
HANDLE SimProcess::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                               LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                               DWORD flagsAndAttributes, HANDLE templateFile) {
    return m_machine.Devices().CreateFileW(
        *this, {fileName != nullptr ? fileName : L"", desiredAccess, shareMode, security != nullptr,
                creationDisposition, flagsAndAttributes, templateFile != nullptr});
}
BOOL SimProcess::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                          LPOVERLAPPED overlapped) {
    return m_machine.Devices().ReadFile(*this, file, buffer, bytesToRead, bytesRead, overlapped);
}
BOOL SimProcess::DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                 DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                 LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    return m_machine.Devices().DeviceIoControl(*this, device, ioControlCode, inBuffer, inBufferSize,
                                               outBuffer, outBufferSize, bytesReturned, overlapped);
}
BOOL SimProcess::CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    return m_machine.Devices().CancelIoEx(*this, file, overlapped);
}
HLOCAL SimProcess::LocalAlloc(UINT flags, SIZE_T bytes) {
    return m_machine.Devices().LocalAlloc(*this, flags, bytes);
}
HLOCAL SimProcess::LocalFree(HLOCAL memory) {
    return m_machine.Devices().LocalFree(*this, memory);
}

// --- Service Control Manager
BOOL SimProcess::StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
    return m_machine.Scm().StartServiceCtrlDispatcherW(*this, serviceTable);
}
SERVICE_STATUS_HANDLE SimProcess::RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                                LPHANDLER_FUNCTION_EX handler,
                                                                LPVOID context) {
    return m_machine.Scm().RegisterServiceCtrlHandlerExW(*this, serviceName, handler, context);
}
BOOL SimProcess::SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status) {
    return m_machine.Scm().SetServiceStatus(*this, statusHandle, status);
}
SC_HANDLE SimProcess::OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                     DWORD desiredAccess) {
    return m_machine.Scm().OpenSCManagerW(*this, machineName, databaseName, desiredAccess);
}
SC_HANDLE SimProcess::CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                     DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                     DWORD errorControl, LPCWSTR binaryPathName,
                                     LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                     LPCWSTR serviceStartName, LPCWSTR password) {
    return m_machine.Scm().CreateServiceW(*this, manager, serviceName, displayName, desiredAccess,
                                          serviceType, startType, errorControl, binaryPathName,
                                          loadOrderGroup, tagId, dependencies, serviceStartName,
                                          password);
}
BOOL SimProcess::StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) {
    return m_machine.Scm().StartServiceW(*this, service, numArgs, args);
}
SC_HANDLE SimProcess::OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    return m_machine.Scm().OpenServiceW(*this, manager, serviceName, desiredAccess);
}
BOOL SimProcess::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    return m_machine.Scm().ControlService(*this, service, control, status);
}
BOOL SimProcess::QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    return m_machine.Scm().QueryServiceStatus(*this, service, status);
}
BOOL SimProcess::DeleteService(SC_HANDLE service) {
    return m_machine.Scm().DeleteService(*this, service);
}
BOOL SimProcess::CloseServiceHandle(SC_HANDLE handle) {
    return m_machine.Scm().CloseServiceHandle(*this, handle);
}

// --- kernel
HANDLE SimProcess::CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                                LPCWSTR name) {
    return m_machine.Kernel().CreateEventW(*this, manualReset, initialState, name);
}
BOOL SimProcess::SetEvent(HANDLE event) {
    return m_machine.Kernel().SetEvent(*this, event);
}
BOOL SimProcess::ResetEvent(HANDLE event) {
    return m_machine.Kernel().ResetEvent(*this, event);
}
DWORD SimProcess::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return m_machine.Kernel().WaitForSingleObject(*this, handle, milliseconds);
}
BOOL SimProcess::CloseHandle(HANDLE handle) {
    return m_machine.Kernel().CloseHandle(*this, handle);
}
void SimProcess::InitializeCriticalSection(LPCRITICAL_SECTION section) {
    m_machine.Kernel().InitializeCriticalSection(*this, section);
}
void SimProcess::EnterCriticalSection(LPCRITICAL_SECTION section) {
    m_machine.Kernel().EnterCriticalSection(*this, section);
}
void SimProcess::LeaveCriticalSection(LPCRITICAL_SECTION section) {
    m_machine.Kernel().LeaveCriticalSection(*this, section);
}
void SimProcess::DeleteCriticalSection(LPCRITICAL_SECTION section) {
    m_machine.Kernel().DeleteCriticalSection(*this, section);
}
HANDLE SimProcess::CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE startAddress,
                                LPVOID parameter, DWORD, LPDWORD threadId) {
    return m_machine.Kernel().CreateThread(*this, startAddress, parameter, threadId);
}
void SimProcess::Sleep(DWORD milliseconds) {
    m_machine.Kernel().Sleep(*this, milliseconds);
}
DWORD SimProcess::GetLastError() {
    return SimKernel::LastError();
}
void SimProcess::SetLastError(DWORD error) {
    SimKernel::SetLastError(error);
}
DWORD SimProcess::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    return m_machine.Kernel().GetModuleFileNameW(*this, module, fileName, size);
}
BOOL SimProcess::SetDefaultDllDirectories(DWORD directoryFlags) {
    return m_machine.Mitigations().SetDefaultDllDirectories(*this, directoryFlags);
}
BOOL SimProcess::SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer,
                                            SIZE_T length) {
    return m_machine.Mitigations().SetProcessMitigationPolicy(*this, policy, buffer, length);
}

// --- console
void SimProcess::PrintWide(LPCWSTR text) {
    PrintNarrow(platform::Utf8FromWide(text).c_str());
}
void SimProcess::PrintNarrow(const char* text) {
    auto lock = m_machine.Core().EnterCall();
    m_machine.Core().Observe({0, ConsoleOutput{m_name, text}});
}

// --- security
DWORD SimProcess::GetNamedSecurityInfoW(LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                        SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                        PACL* dacl, PACL* sacl,
                                        PSECURITY_DESCRIPTOR* securityDescriptor) {
    return m_machine.Security().GetNamedSecurityInfoW(*this, objectName, objectType, securityInfo,
                                                      owner, group, dacl, sacl, securityDescriptor);
}

BOOL SimProcess::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                     LPVOID information, DWORD length, PDWORD returnLength) {
    return m_machine.Security().GetTokenInformation(*this, token, infoClass, information, length,
                                                    returnLength);
}
BOOL SimProcess::LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                                   LPWSTR domain, LPDWORD domainLength, PSID_NAME_USE use) {
    return m_machine.Security().LookupAccountSidW(systemName, sid, name, nameLength, domain,
                                                  domainLength, use);
}
UINT SimProcess::GetDriveTypeW(LPCWSTR rootPath) {
    return m_machine.Security().GetDriveTypeW(rootPath);
}
DWORD SimProcess::QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max) {
    return m_machine.Security().QueryDosDeviceW(deviceName, targetPath, max);
}
DWORD SimProcess::GetFileAttributesW(LPCWSTR fileName) {
    return m_machine.Security().GetFileAttributesW(fileName);
}

}  // namespace sim
