// Simulated machine only: SetupAPI's view of device interfaces, the radio switch driver behind
// them (blocking reads, cancellation, the BIOS wifi status request) and LocalAlloc accounting.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

// The radio switch driver's side of the contract, written from its documentation rather than
// taken from the service, so that a wrong value in the service finds or asks nothing here.
// {248801F3-19F5-472C-A8AE-36085DB2C0A5}
inline constexpr GUID kSwitchInterfaceClass = {
    0x248801F3, 0x19F5, 0x472C, {0xA8, 0xAE, 0x36, 0x08, 0x5D, 0xB2, 0xC0, 0xA5}};
// CTL_CODE(FILE_DEVICE_KEYBOARD 0x0B, function 1, METHOD_BUFFERED 0, FILE_READ_ACCESS 1)
inline constexpr DWORD kBiosStatusRequest = (0x0Bu << 16) | (1u << 14) | (1u << 2) | 0u;

// The arguments of a CreateFileW and of a status request, as the machine received them.
struct DeviceOpen {
    std::wstring path;
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    bool security = false;
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;
    bool templateFile = false;
};
struct StatusRequest {
    DWORD ioControlCode = 0;
    bool inBuffer = false;
    DWORD inBufferSize = 0;
    DWORD outBufferSize = 0;
    bool overlapped = false;
};

// How the driver completes a read.
struct ReadCompletion {
    enum class Kind { Value, Error, Bytes } kind = Kind::Value;
    DWORD value = 0;          // Kind::Value: the 4-byte switch value
    DWORD error = 0;          // Kind::Error: the read fails with this code
    std::vector<BYTE> bytes;  // Kind::Bytes: the read succeeds with exactly these bytes

    static ReadCompletion Switch(DWORD value) { return {Kind::Value, value, 0, {}}; }
    static ReadCompletion Failure(DWORD error) { return {Kind::Error, 0, error, {}}; }
    static ReadCompletion Raw(std::vector<BYTE> bytes) {
        return {Kind::Bytes, 0, 0, std::move(bytes)};
    }
};

class SimDevices {
public:
    explicit SimDevices(SimMachine& machine);

    HDEVINFO SetupDiGetClassDevsW(SimProcess& caller, const GUID* classGuid, LPCWSTR enumerator,
                                  HWND parent, DWORD flags);
    BOOL SetupDiEnumDeviceInterfaces(SimProcess& caller, HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     PSP_DEVICE_INTERFACE_DATA interfaceData);
    BOOL SetupDiGetDeviceInterfaceDetailW(SimProcess& caller, HDEVINFO set,
                                          PSP_DEVICE_INTERFACE_DATA interfaceData,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA deviceInfo);
    BOOL SetupDiDestroyDeviceInfoList(SimProcess& caller, HDEVINFO set);
    HANDLE CreateFileW(SimProcess& caller, const DeviceOpen& open);
    BOOL ReadFile(SimProcess& caller, HANDLE file, LPVOID buffer, DWORD bytesToRead,
                  LPDWORD bytesRead, LPOVERLAPPED overlapped);
    BOOL DeviceIoControl(SimProcess& caller, HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                         DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                         LPDWORD bytesReturned, LPOVERLAPPED overlapped);
    BOOL CancelIoEx(SimProcess& caller, HANDLE file, LPOVERLAPPED overlapped);
    HLOCAL LocalAlloc(SimProcess& caller, UINT flags, SIZE_T bytes);
    HLOCAL LocalFree(SimProcess& caller, HLOCAL memory);
    // A block that another call of the machine hands out as LocalAlloc memory, for its caller to
    // free with LocalFree. The caller holds the core's lock; no fault applies.
    void* AllocateLocalLocked(SIZE_T bytes);
    // Called by the kernel's CloseHandle for a device handle.
    void CloseDevice(HANDLE device);

    // --- driver side
    // The switch devices, in SetupAPI's enumeration order. The machine starts with one.
    void SetSwitchDevicePaths(std::vector<std::wstring> paths);
    const std::vector<std::wstring>& SwitchDevicePaths() const { return m_paths; }
    // Whether the switch devices are present; an absent device fails its pending reads.
    void SetSwitchPresent(bool present);
    bool SwitchPresent() const { return m_present; }
    // Completes the pending read, or the next read when none is pending.
    void Complete(ReadCompletion completion);
    // While on, a read that finds no completion queued succeeds at once with no data, as a
    // driver breaking its contract may; queued completions still come first.
    void SetShortReadFlood(bool on);
    void SetBiosStatus(DWORD status);
    void SetBiosFailure(DWORD error);  // the status request fails with this code
    void SetBiosNoData();              // the status request succeeds with no data
    // While held, status requests stay pending (cancellable) until released, then are answered
    // as the BIOS settings then say.
    void HoldStatusRequests(bool held);
    bool StatusRequestPending() const;
    bool ReadPending() const;
    // Every CreateFileW and every DeviceIoControl, in order.
    const std::vector<DeviceOpen>& Opens() const { return m_opens; }
    const std::vector<StatusRequest>& StatusRequests() const { return m_statusRequests; }
    std::size_t QueuedCompletions() const { return m_completions.size(); }
    int LiveLocalAllocations() const { return static_cast<int>(m_localBlocks.size()); }
    int BadLocalFrees() const { return m_badLocalFrees; }

private:
    struct OpenDevice;
    struct DeviceInfoSet {
        std::vector<std::wstring> paths;
    };
    SimMachine& m_machine;
    std::vector<std::wstring> m_paths;
    bool m_present = true;
    std::deque<ReadCompletion> m_completions;
    bool m_shortReadFlood = false;
    enum class BiosMode { Status, Failure, NoData } m_biosMode = BiosMode::Status;
    DWORD m_biosStatus = 3;
    DWORD m_biosError = ERROR_GEN_FAILURE;
    bool m_biosHeld = false;
    std::vector<DeviceOpen> m_opens;
    std::vector<StatusRequest> m_statusRequests;
    std::vector<std::shared_ptr<OpenDevice>> m_open;
    std::map<void*, SIZE_T> m_localBlocks;
    int m_badLocalFrees = 0;
};

}  // namespace sim
