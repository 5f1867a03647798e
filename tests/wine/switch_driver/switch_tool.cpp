// The test switch driver's tool: installs and removes the root-enumerated test device, and plays
// the switch and the BIOS through the driver's test requests. Test code only.
//
// Usage: switch_tool install INF | remove | switch VALUE | not-ready | bios VALUE | bios-fail
//                    | wait-read | state | short-read-flood on|off | cancel refuse|honour
//                    | empty-reads | flood COUNT
// Prints one line on success and exits 0; prints the failed call with its error code on standard
// error and exits 1 otherwise.
// windows.h and SetupAPI first, through the contract's header; the driver kit's headers after.
#include "radio/switch_device.h"
// clang-format off
#include <cfgmgr32.h>
#include <newdev.h>
#include <winioctl.h>
// clang-format on

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "../tool_arguments.h"
#include "switch_interface.h"
#include "switch_test_ioctl.h"

namespace {

// The hardware ID of the INF's model, as a list of one name (the literal's own NUL ends the list).
constexpr wchar_t kHardwareIds[] = L"Root\\BrevRctlTestSwitch\0";
// A fixed instance ID, so that a later run of this tool finds the device to remove.
constexpr wchar_t kInstanceId[] = L"ROOT\\BREVRCTL_TEST_SWITCH\\0000";

// Bound of every wait: the device's start and removal, and the service's next read.
constexpr DWORD kWaitMs = 30000;
constexpr DWORD kPollMs = 20;

int Failed(const char* call, DWORD error) {
    std::fprintf(stderr, "%s failed w/err 0x%08lx\n", call, static_cast<unsigned long>(error));
    return 1;
}

// Device start and removal finish asynchronously in the PnP manager.
bool WaitForInterface(bool present) {
    for (DWORD waitedMs = 0; waitedMs < kWaitMs; waitedMs += kPollMs) {
        if (FindSwitchInterfacePath().empty() != present) return true;
        Sleep(kPollMs);
    }
    return false;
}

// One request to the driver on a handle of its own. The handle asks for no access, so it never
// collides with the share mode of the service's handle.
bool Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    const std::wstring path = FindSwitchInterfacePath();
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    HANDLE device = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL succeeded = DeviceIoControl(device, code, const_cast<void*>(in), inSize, out,
                                           outSize, &returned, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(device);
    SetLastError(error);
    return succeeded != FALSE;
}

// A request that ends the service's pending read: the service may be between two reads, which
// the driver answers with ERROR_NOT_FOUND.
bool RequestOnPendingRead(DWORD code, const void* in, DWORD inSize) {
    for (DWORD waitedMs = 0; waitedMs < kWaitMs; waitedMs += kPollMs) {
        if (Request(code, in, inSize, nullptr, 0)) return true;
        if (GetLastError() != ERROR_NOT_FOUND) return false;
        Sleep(kPollMs);
    }
    SetLastError(ERROR_TIMEOUT);
    return false;
}

bool GetState(SWITCH_TEST_STATE& state) {
    return Request(IOCTL_SWITCH_TEST_GET_STATE, nullptr, 0, &state, sizeof(state));
}

int Install(const wchar_t* inf) {
    wchar_t infPath[MAX_PATH];
    if (GetFullPathNameW(inf, MAX_PATH, infPath, nullptr) == 0)
        return Failed("GetFullPathNameW", GetLastError());
    GUID classGuid{};
    wchar_t className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassW(infPath, &classGuid, className, MAX_CLASS_NAME_LEN, nullptr))
        return Failed("SetupDiGetINFClassW", GetLastError());
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Failed("SetupDiCreateDeviceInfoList", GetLastError());

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    const char* failedCall = nullptr;
    if (!SetupDiCreateDeviceInfoW(set, kInstanceId, &classGuid, nullptr, nullptr, 0, &device)) {
        failedCall = "SetupDiCreateDeviceInfoW";
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(kHardwareIds),
                                                  sizeof(kHardwareIds))) {
        failedCall = "SetupDiSetDeviceRegistryPropertyW";
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        failedCall = "SetupDiCallClassInstaller(DIF_REGISTERDEVICE)";
    } else {
        BOOL rebootRequired = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareIds, infPath, INSTALLFLAG_FORCE,
                                                &rebootRequired)) {
            failedCall = "UpdateDriverForPlugAndPlayDevicesW";
        } else if (!WaitForInterface(true)) {
            failedCall = "the switch interface";
            SetLastError(ERROR_TIMEOUT);
        }
        // Leave no registered device without its driver behind.
        if (failedCall != nullptr) {
            const DWORD error = GetLastError();
            SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
            SetLastError(error);
        }
    }
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (failedCall != nullptr) return Failed(failedCall, error);
    std::printf("Switch device installed.\n");
    return 0;
}

int Remove() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Failed("SetupDiCreateDeviceInfoList", GetLastError());
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    const char* failedCall = nullptr;
    if (!SetupDiOpenDeviceInfoW(set, kInstanceId, nullptr, 0, &device))
        failedCall = "SetupDiOpenDeviceInfoW";
    else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
        failedCall = "SetupDiCallClassInstaller(DIF_REMOVE)";
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (failedCall != nullptr) return Failed(failedCall, error);
    if (!WaitForInterface(false)) return Failed("the switch interface's removal", ERROR_TIMEOUT);
    std::printf("Switch device removed.\n");
    return 0;
}

int CompleteRead(DWORD value) {
    if (!RequestOnPendingRead(IOCTL_SWITCH_TEST_COMPLETE_READ, &value, sizeof(value)))
        return Failed("IOCTL_SWITCH_TEST_COMPLETE_READ", GetLastError());
    std::printf("Read completed with %lu.\n", static_cast<unsigned long>(value));
    return 0;
}

int FailRead() {
    if (!RequestOnPendingRead(IOCTL_SWITCH_TEST_FAIL_READ, nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_FAIL_READ", GetLastError());
    std::printf("Read failed as not ready.\n");
    return 0;
}

int SetBiosStatus(DWORD status) {
    if (!Request(IOCTL_SWITCH_TEST_SET_BIOS_STATUS, &status, sizeof(status), nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_SET_BIOS_STATUS", GetLastError());
    std::printf("BIOS wifi status set to %lu.\n", static_cast<unsigned long>(status));
    return 0;
}

int FailBiosStatus() {
    if (!Request(IOCTL_SWITCH_TEST_FAIL_BIOS_STATUS, nullptr, 0, nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_FAIL_BIOS_STATUS", GetLastError());
    std::printf("BIOS wifi status requests fail.\n");
    return 0;
}

int WaitForRead() {
    for (DWORD waitedMs = 0; waitedMs < kWaitMs; waitedMs += kPollMs) {
        SWITCH_TEST_STATE state{};
        if (!GetState(state)) return Failed("IOCTL_SWITCH_TEST_GET_STATE", GetLastError());
        if (state.readsPending != 0) {
            std::printf("A read is pending.\n");
            return 0;
        }
        Sleep(kPollMs);
    }
    return Failed("the wait for a read", ERROR_TIMEOUT);
}

int PrintState() {
    SWITCH_TEST_STATE state{};
    if (!GetState(state)) return Failed("IOCTL_SWITCH_TEST_GET_STATE", GetLastError());
    std::printf("reads pending: %lu, reads cancelled: %lu, status requests: %lu\n",
                state.readsPending, state.readsCancelled, state.statusRequests);
    return 0;
}

// `on` or `off`, `refuse` or `honour`: the flag of a driver setting.
bool ParseFlag(const std::wstring& text, const wchar_t* set, const wchar_t* clear, DWORD& flag) {
    if (text != set && text != clear) return false;
    flag = text == set ? 1 : 0;
    return true;
}

int SetShortReadFlood(DWORD on) {
    if (!Request(IOCTL_SWITCH_TEST_SHORT_READ_FLOOD, &on, sizeof(on), nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_SHORT_READ_FLOOD", GetLastError());
    std::printf(on != 0 ? "Reads complete at once without data.\n" : "Reads wait for a value.\n");
    return 0;
}

int RefuseCancel(DWORD refused) {
    if (!Request(IOCTL_SWITCH_TEST_REFUSE_CANCEL, &refused, sizeof(refused), nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_REFUSE_CANCEL", GetLastError());
    std::printf(refused != 0 ? "Reads refuse cancellation.\n" : "Reads honour cancellation.\n");
    return 0;
}

// COUNT values, 1 and 0 in turn, read as fast as the service reads; returns once it has read
// them all.
int Flood(DWORD count) {
    if (count == 0 || count > SWITCH_TEST_QUEUE_MAX) {
        std::fprintf(stderr, "flood: 1 to %d values\n", SWITCH_TEST_QUEUE_MAX);
        return 1;
    }
    std::vector<DWORD> values(count);
    for (DWORD i = 0; i < count; ++i) values[i] = i % 2 == 0 ? 1 : 0;
    if (!Request(IOCTL_SWITCH_TEST_QUEUE_VALUES, values.data(),
                 static_cast<DWORD>(values.size() * sizeof(DWORD)), nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_QUEUE_VALUES", GetLastError());
    if (!Request(IOCTL_SWITCH_TEST_WAIT_READ, nullptr, 0, nullptr, 0))
        return Failed("IOCTL_SWITCH_TEST_WAIT_READ", GetLastError());
    std::printf("%lu values read.\n", static_cast<unsigned long>(count));
    return 0;
}

int PrintEmptyReads() {
    SWITCH_TEST_STATE state{};
    if (!GetState(state)) return Failed("IOCTL_SWITCH_TEST_GET_STATE", GetLastError());
    std::printf("reads without data: %lu\n", state.emptyReads);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: switch_tool install INF | remove | switch VALUE | not-ready | bios VALUE"
                 " | bios-fail | wait-read | state | short-read-flood on|off"
                 " | cancel refuse|honour | empty-reads | flood COUNT\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    DWORD value = 0;
    if (argc == 3 && command == L"install") return Install(argv[2]);
    if (argc == 3 && command == L"switch" && ParseDword(argv[2], value)) return CompleteRead(value);
    if (argc == 3 && command == L"bios" && ParseDword(argv[2], value)) return SetBiosStatus(value);
    if (argc == 3 && command == L"flood" && ParseDword(argv[2], value)) return Flood(value);
    if (argc == 3 && command == L"short-read-flood" && ParseFlag(argv[2], L"on", L"off", value))
        return SetShortReadFlood(value);
    if (argc == 3 && command == L"cancel" && ParseFlag(argv[2], L"refuse", L"honour", value))
        return RefuseCancel(value);
    if (argc != 2) return Usage();
    if (command == L"remove") return Remove();
    if (command == L"not-ready") return FailRead();
    if (command == L"bios-fail") return FailBiosStatus();
    if (command == L"wait-read") return WaitForRead();
    if (command == L"state") return PrintState();
    if (command == L"empty-reads") return PrintEmptyReads();
    return Usage();
}
