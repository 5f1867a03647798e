// Real Win32 calls only: each operation forwards to the Windows API and adds no behaviour, but
// for how Native Wifi is reached (from System32, at its first use).
#pragma once

#include "platform/platform.h"

namespace platform::win32 {

// The process's view of the real Windows machine. One object serves every thread: its only
// state is Native Wifi's DLL, loaded once and kept until the object is destroyed.
class Win32Platform final : public platform::Platform {
public:
    Win32Platform() = default;
    ~Win32Platform() override;
    Win32Platform(const Win32Platform&) = delete;
    Win32Platform& operator=(const Win32Platform&) = delete;

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
    // wlanapi.dll is no KnownDLL: imported, the loader would look for it in the executable's
    // folder first, at process start. It is loaded from System32 instead, at the first Native
    // Wifi call, and each entry is taken from it by name; a call whose DLL or entry is missing
    // fails with the loader's error (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND).
    struct NativeWifiDll {
        HMODULE module = nullptr;
        DWORD loadError = ERROR_SUCCESS;
        decltype(::WlanOpenHandle)* open = nullptr;
        decltype(::WlanEnumInterfaces)* enumInterfaces = nullptr;
        decltype(::WlanQueryInterface)* queryInterface = nullptr;
        decltype(::WlanSetInterface)* setInterface = nullptr;
        decltype(::WlanFreeMemory)* freeMemory = nullptr;
        decltype(::WlanCloseHandle)* close = nullptr;
        // What a call answers whose entry is null.
        DWORD Unavailable() const { return module == nullptr ? loadError : ERROR_PROC_NOT_FOUND; }
    };
    static BOOL CALLBACK LoadNativeWifi(PINIT_ONCE once, PVOID self, PVOID* context);
    const NativeWifiDll& NativeWifi();

    INIT_ONCE m_nativeWifiOnce = INIT_ONCE_STATIC_INIT;
    NativeWifiDll m_nativeWifi;
};

}  // namespace platform::win32
