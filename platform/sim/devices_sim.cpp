#include "platform/sim/devices_sim.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sim/kernel_sim.h"
#include "platform/sim/machine.h"
#include "platform/text.h"

namespace sim {

struct SimDevices::OpenDevice {
    std::wstring path;
    bool readable = false;    // opened with read access
    bool overlapped = false;  // opened for overlapped I/O: every request needs an OVERLAPPED
    bool readPending = false;
    bool readCancelled = false;
    bool statusPending = false;
    bool statusCancelled = false;
};

namespace {

constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileFlagOverlapped = 0x40000000;

constexpr wchar_t kDefaultSwitchPath[] =
    L"\\\\?\\ROOT#SYSTEM#0000#{248801f3-19f5-472c-a8ae-36085db2c0a5}";

}  // namespace

SimDevices::SimDevices(SimMachine& machine) : m_machine(machine), m_paths{kDefaultSwitchPath} {}

HDEVINFO SimDevices::SetupDiGetClassDevsW(SimProcess& caller, const GUID* classGuid, LPCWSTR, HWND,
                                          DWORD flags) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "SetupDiGetClassDevsW")) {
        SimKernel::SetLastError(*code);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    const bool wantsSwitch = classGuid != nullptr && *classGuid == kSwitchInterfaceClass &&
                             (flags & DIGCF_DEVICEINTERFACE) != 0;
    if (wantsSwitch && (m_present || (flags & DIGCF_PRESENT) == 0)) set->paths = m_paths;
    return m_machine.Core().AddHandle(HandleKind::DeviceInfoSet, &caller, set);
}

BOOL SimDevices::SetupDiEnumDeviceInterfaces(SimProcess& caller, HDEVINFO set, PSP_DEVINFO_DATA,
                                             const GUID* interfaceClassGuid, DWORD memberIndex,
                                             PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "SetupDiEnumDeviceInterfaces"))
        return Failure(*code);
    auto* entry = m_machine.Core().UseHandle(set, &caller, {HandleKind::DeviceInfoSet},
                                             "SetupDiEnumDeviceInterfaces");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Failure(ERROR_INVALID_USER_BUFFER);
    auto& paths = std::static_pointer_cast<DeviceInfoSet>(entry->object)->paths;
    if (interfaceClassGuid == nullptr || !(*interfaceClassGuid == kSwitchInterfaceClass) ||
        memberIndex >= paths.size())
        return Failure(ERROR_NO_MORE_ITEMS);
    interfaceData->InterfaceClassGuid = *interfaceClassGuid;
    interfaceData->Flags = 1;  // SPINT_ACTIVE
    interfaceData->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL SimDevices::SetupDiGetDeviceInterfaceDetailW(SimProcess& caller, HDEVINFO set,
                                                  PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                  DWORD detailSize, PDWORD requiredSize,
                                                  PSP_DEVINFO_DATA) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "SetupDiGetDeviceInterfaceDetailW"))
        return Failure(*code);
    auto* entry = m_machine.Core().UseHandle(set, &caller, {HandleKind::DeviceInfoSet},
                                             "SetupDiGetDeviceInterfaceDetailW");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    auto& paths = std::static_pointer_cast<DeviceInfoSet>(entry->object)->paths;
    if (interfaceData == nullptr || interfaceData->Reserved == 0 ||
        interfaceData->Reserved > paths.size())
        return Failure(ERROR_INVALID_PARAMETER);
    const std::wstring& path = paths[interfaceData->Reserved - 1];
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (path.size() + 1) * sizeof(WCHAR));
    if (requiredSize != nullptr) *requiredSize = required;
    if (detail == nullptr)
        return Failure(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return Failure(ERROR_INVALID_USER_BUFFER);
    if (detailSize < required) return Failure(ERROR_INSUFFICIENT_BUFFER);
    auto block = m_localBlocks.find(detail);
    if (block != m_localBlocks.end() && block->second < detailSize) {
        std::fprintf(stderr, "simulated machine: detail size larger than its LocalAlloc block\n");
        std::abort();
    }
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL SimDevices::SetupDiDestroyDeviceInfoList(SimProcess& caller, HDEVINFO set) {
    auto lock = m_machine.Core().EnterCall();
    if (m_machine.Core().UseHandle(set, &caller, {HandleKind::DeviceInfoSet},
                                   "SetupDiDestroyDeviceInfoList") == nullptr)
        return Failure(ERROR_INVALID_HANDLE);
    m_machine.Core().RemoveHandle(set);
    return TRUE;
}

HANDLE SimDevices::CreateFileW(SimProcess& caller, const DeviceOpen& open) {
    auto lock = m_machine.Core().EnterCall();
    m_opens.push_back(open);
    if (auto code = m_machine.Core().TakeFault(lock, "CreateFileW")) {
        SimKernel::SetLastError(*code);
        return INVALID_HANDLE_VALUE;
    }
    // A device exists or not: no disposition but OPEN_EXISTING finds it, as with the real one.
    if (m_present && open.creationDisposition == OPEN_EXISTING) {
        for (auto& path : m_paths) {
            if (!platform::EqualsIgnoringAsciiCase(path, open.path)) continue;
            auto device = std::make_shared<OpenDevice>();
            device->path = path;
            device->readable = (open.desiredAccess & (GENERIC_READ | kFileReadData)) != 0;
            device->overlapped = (open.flagsAndAttributes & kFileFlagOverlapped) != 0;
            m_open.push_back(device);
            return m_machine.Core().AddHandle(HandleKind::Device, &caller, device);
        }
    }
    SimKernel::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL SimDevices::ReadFile(SimProcess& caller, HANDLE file, LPVOID buffer, DWORD bytesToRead,
                          LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    auto lock = m_machine.Core().EnterCall();
    if (bytesRead != nullptr) *bytesRead = 0;
    if (auto code = m_machine.Core().TakeFault(lock, "ReadFile")) return Failure(*code);
    auto* entry = m_machine.Core().UseHandle(file, &caller, {HandleKind::Device}, "ReadFile");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    auto device = std::static_pointer_cast<OpenDevice>(entry->object);
    if (!device->readable) return Failure(ERROR_ACCESS_DENIED);
    if (device->overlapped && overlapped == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    if (m_completions.empty() && m_shortReadFlood && m_present) return TRUE;
    device->readPending = true;
    device->readCancelled = false;
    m_machine.Core().BlockUntil(lock, [this, device] {
        return !m_completions.empty() || m_shortReadFlood || device->readCancelled || !m_present;
    });
    device->readPending = false;
    if (device->readCancelled) return Failure(ERROR_OPERATION_ABORTED);
    if (!m_present) return Failure(ERROR_DEVICE_NOT_CONNECTED);
    if (m_completions.empty()) return TRUE;

    ReadCompletion completion = std::move(m_completions.front());
    m_completions.pop_front();
    switch (completion.kind) {
        case ReadCompletion::Kind::Error:
            return Failure(completion.error);
        case ReadCompletion::Kind::Value:
            completion.bytes.resize(sizeof(DWORD));
            std::memcpy(completion.bytes.data(), &completion.value, sizeof(DWORD));
            break;
        case ReadCompletion::Kind::Bytes:
            break;
    }
    const DWORD count = std::min<DWORD>(bytesToRead, static_cast<DWORD>(completion.bytes.size()));
    std::memcpy(buffer, completion.bytes.data(), count);
    if (bytesRead != nullptr) *bytesRead = count;
    return TRUE;
}

BOOL SimDevices::DeviceIoControl(SimProcess& caller, HANDLE device, DWORD ioControlCode,
                                 LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                                 DWORD outBufferSize, LPDWORD bytesReturned,
                                 LPOVERLAPPED overlapped) {
    auto lock = m_machine.Core().EnterCall();
    m_statusRequests.push_back(
        {ioControlCode, inBuffer != nullptr, inBufferSize, outBufferSize, overlapped != nullptr});
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (auto code = m_machine.Core().TakeFault(lock, "DeviceIoControl")) return Failure(*code);
    auto* entry =
        m_machine.Core().UseHandle(device, &caller, {HandleKind::Device}, "DeviceIoControl");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    if (ioControlCode != kBiosStatusRequest) return Failure(ERROR_INVALID_FUNCTION);
    // The request's code asks for read access (FILE_READ_ACCESS), which the I/O manager checks.
    auto opened = std::static_pointer_cast<OpenDevice>(entry->object);
    if (!opened->readable) return Failure(ERROR_ACCESS_DENIED);
    if (opened->overlapped && overlapped == nullptr) return Failure(ERROR_INVALID_PARAMETER);
    if (!m_present) return Failure(ERROR_DEVICE_NOT_CONNECTED);
    if (m_biosHeld) {
        auto open = std::static_pointer_cast<OpenDevice>(entry->object);
        open->statusPending = true;
        open->statusCancelled = false;
        m_machine.Core().BlockUntil(
            lock, [this, open] { return !m_biosHeld || open->statusCancelled || !m_present; });
        open->statusPending = false;
        if (open->statusCancelled) return Failure(ERROR_OPERATION_ABORTED);
        if (!m_present) return Failure(ERROR_DEVICE_NOT_CONNECTED);
    }
    switch (m_biosMode) {
        case BiosMode::Failure:
            return Failure(m_biosError);
        case BiosMode::NoData:
            return TRUE;
        case BiosMode::Status:
            break;
    }
    if (outBuffer == nullptr || outBufferSize < sizeof(DWORD))
        return Failure(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(outBuffer, &m_biosStatus, sizeof(DWORD));
    if (bytesReturned != nullptr) *bytesReturned = sizeof(DWORD);
    return TRUE;
}

BOOL SimDevices::CancelIoEx(SimProcess& caller, HANDLE file, LPOVERLAPPED) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "CancelIoEx")) return Failure(*code);
    auto* entry = m_machine.Core().UseHandle(file, &caller, {HandleKind::Device}, "CancelIoEx");
    if (entry == nullptr) return Failure(ERROR_INVALID_HANDLE);
    // Every request of any thread pending on the handle is cancelled; none pending is an error.
    auto device = std::static_pointer_cast<OpenDevice>(entry->object);
    bool cancelled = false;
    if (device->readPending && !device->readCancelled) cancelled = device->readCancelled = true;
    if (device->statusPending && !device->statusCancelled)
        cancelled = device->statusCancelled = true;
    if (!cancelled) return Failure(ERROR_NOT_FOUND);
    return TRUE;
}

HLOCAL SimDevices::LocalAlloc(SimProcess&, UINT flags, SIZE_T bytes) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "LocalAlloc")) {
        SimKernel::SetLastError(*code);
        return nullptr;
    }
    if (flags != LMEM_FIXED) {
        SimKernel::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    m_localBlocks[block] = bytes;
    return block;
}

void* SimDevices::AllocateLocalLocked(SIZE_T bytes) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    m_localBlocks[block] = bytes;
    return block;
}

HLOCAL SimDevices::LocalFree(SimProcess&, HLOCAL memory) {
    auto lock = m_machine.Core().EnterCall();
    if (memory == nullptr) return nullptr;
    auto block = m_localBlocks.find(memory);
    // Application Verifier's Heaps checks stop the process on both frees below.
    if (block == m_localBlocks.end()) {
        ++m_badLocalFrees;
        m_machine.Core().Violate("LocalFree of a block freed already or never allocated, by " +
                                 SimCore::CurrentThreadName());
        SimKernel::SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    if (auto section = m_machine.Kernel().LiveSectionWithin(memory, block->second))
        m_machine.Core().Violate("LocalFree of a block that holds " + *section +
                                 ", still initialised, by " + SimCore::CurrentThreadName());
    std::free(memory);
    m_localBlocks.erase(block);
    return nullptr;
}

void SimDevices::CloseDevice(HANDLE device) {
    auto* entry = m_machine.Core().FindHandle(device, HandleKind::Device);
    if (entry == nullptr) return;
    auto open = std::static_pointer_cast<OpenDevice>(entry->object);
    if (open->readPending) open->readCancelled = true;
    if (open->statusPending) open->statusCancelled = true;
    std::erase(m_open, open);
}

void SimDevices::SetSwitchDevicePaths(std::vector<std::wstring> paths) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_paths = std::move(paths);
}

void SimDevices::SetSwitchPresent(bool present) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_present = present;
}

void SimDevices::Complete(ReadCompletion completion) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_completions.push_back(std::move(completion));
}

void SimDevices::SetShortReadFlood(bool on) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_shortReadFlood = on;
}

void SimDevices::HoldStatusRequests(bool held) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_biosHeld = held;
}

bool SimDevices::StatusRequestPending() const {
    std::lock_guard lock(m_machine.Core().Mutex());
    for (auto& device : m_open)
        if (device->statusPending) return true;
    return false;
}

void SimDevices::SetBiosStatus(DWORD status) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_biosMode = BiosMode::Status;
    m_biosStatus = status;
}

void SimDevices::SetBiosFailure(DWORD error) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_biosMode = BiosMode::Failure;
    m_biosError = error;
}

void SimDevices::SetBiosNoData() {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_biosMode = BiosMode::NoData;
}

bool SimDevices::ReadPending() const {
    std::lock_guard lock(m_machine.Core().Mutex());
    for (auto& device : m_open)
        if (device->readPending && !device->readCancelled) return true;
    return false;
}

}  // namespace sim
