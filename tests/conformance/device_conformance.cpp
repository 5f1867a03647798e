// The switch device as the device channel uses it: found through SetupAPI by its interface class,
// opened for synchronous I/O, its blocking read and its BIOS status request cancelled from
// another thread by CancelIoEx, which cancels nothing when nothing is pending. Under Wine these
// need the test switch driver (tests/wine/switch_e2e.sh runs them once it is installed).
#include <cstddef>
#include <string>

#include "radio/switch_device.h"
#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"

namespace conformance {
namespace {

namespace doc = documented;

// A request on another thread: a read of a switch value or a BIOS status request.
struct Request {
    platform::Platform* platform = nullptr;
    HANDLE device = nullptr;
    BOOL result = -1;
    DWORD error = 0;
    DWORD bytes = 0xDEAD;
    DWORD value = 0;
};

DWORD WINAPI Read(LPVOID parameter) {
    auto& request = *static_cast<Request*>(parameter);
    request.result = request.platform->ReadFile(request.device, &request.value, sizeof(DWORD),
                                                &request.bytes, nullptr);
    request.error = request.platform->GetLastError();
    return 0;
}

DWORD WINAPI AskBiosStatus(LPVOID parameter) {
    auto& request = *static_cast<Request*>(parameter);
    request.result = request.platform->DeviceIoControl(
        request.device, radio::IOCTL_READ_BIOS_WIFI_STATUS, nullptr, 0, &request.value,
        sizeof(DWORD), &request.bytes, nullptr);
    request.error = request.platform->GetLastError();
    return 0;
}

class Device : public Conformance {
protected:
    void SetUp() override {
        if (!env->HasSwitchDevice()) GTEST_SKIP() << "no switch device to test";
    }

    // The path of interface 0 of the present switch devices, as SetupAPI gives it.
    static std::wstring FindSwitch(platform::Platform& p) {
        HDEVINFO set = p.SetupDiGetClassDevsW(&radio::GUID_RADIO_SWITCH_INTERFACE, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        if (set == INVALID_HANDLE_VALUE) return {};
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        std::wstring path;
        EXPECT_TRUE(p.SetupDiEnumDeviceInterfaces(set, nullptr, &radio::GUID_RADIO_SWITCH_INTERFACE,
                                                  0, &data));
        // The size query fails, and says so with ERROR_INSUFFICIENT_BUFFER and the size.
        DWORD size = 0;
        EXPECT_FALSE(p.SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr));
        EXPECT_EQ(p.GetLastError(), doc::kInsufficientBuffer);
        EXPECT_GT(size, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR));
        auto* detail =
            static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(p.LocalAlloc(LMEM_FIXED, size));
        EXPECT_NE(detail, nullptr);
        if (detail != nullptr) {
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            EXPECT_TRUE(
                p.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr));
            path = detail->DevicePath;
            EXPECT_EQ(p.LocalFree(detail), nullptr);
        }
        // One switch: the next index has none.
        SP_DEVICE_INTERFACE_DATA next{};
        next.cbSize = sizeof(next);
        EXPECT_FALSE(p.SetupDiEnumDeviceInterfaces(set, nullptr,
                                                   &radio::GUID_RADIO_SWITCH_INTERFACE, 1, &next));
        EXPECT_EQ(p.GetLastError(), doc::kNoMoreItems);
        EXPECT_TRUE(p.SetupDiDestroyDeviceInfoList(set));
        return path;
    }

    static HANDLE OpenSwitch(platform::Platform& p) {
        const std::wstring path = FindSwitch(p);
        if (path.empty()) return INVALID_HANDLE_VALUE;
        return p.CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    }

    // Cancels what `request` has pending on another thread, as a stop does: CancelIoEx finds
    // nothing (ERROR_NOT_FOUND) until the thread has made its request. Returns the tries made.
    static int CancelOnceMade(platform::Platform& p, HANDLE device) {
        for (int tries = 1; tries <= 1000; ++tries) {
            if (p.CancelIoEx(device, nullptr)) return tries;
            EXPECT_EQ(p.GetLastError(), doc::kNotFound);
            p.Sleep(10);
        }
        ADD_FAILURE() << "nothing to cancel within ten seconds";
        return 0;
    }

    void CancelFromThisThread(LPTHREAD_START_ROUTINE requester) {
        env->Run([&](platform::Platform& p) {
            HANDLE device = OpenSwitch(p);
            ASSERT_NE(device, INVALID_HANDLE_VALUE);
            Request request{&p, device};
            HANDLE thread = p.CreateThread(nullptr, 0, requester, &request, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            EXPECT_GE(CancelOnceMade(p, device), 1);
            EXPECT_EQ(p.WaitForSingleObject(thread, 10000), doc::kWaitObject0);
            EXPECT_EQ(request.result, FALSE);
            EXPECT_EQ(request.error, doc::kOperationAborted);
            EXPECT_EQ(request.bytes, 0u);
            // The request is over: nothing is left to cancel.
            EXPECT_FALSE(p.CancelIoEx(device, nullptr));
            EXPECT_EQ(p.GetLastError(), doc::kNotFound);
            EXPECT_TRUE(p.CloseHandle(thread));
            EXPECT_TRUE(p.CloseHandle(device));
        });
    }
};

TEST_F(Device, CancelWithNothingPendingFindsNothing) {
    env->Run([&](platform::Platform& p) {
        HANDLE device = OpenSwitch(p);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        p.SetLastError(0);
        EXPECT_FALSE(p.CancelIoEx(device, nullptr));
        EXPECT_EQ(p.GetLastError(), doc::kNotFound);
        EXPECT_TRUE(p.CloseHandle(device));
    });
}

TEST_F(Device, SynchronousReadCancelledFromAnotherThreadFailsAsAborted) {
    CancelFromThisThread(Read);
}

TEST_F(Device, PendingStatusRequestCancelledFromAnotherThreadFailsAsAborted) {
    env->HoldStatusRequests(true);
    CancelFromThisThread(AskBiosStatus);
    env->HoldStatusRequests(false);
    // Released, the driver answers again: four bytes of status.
    env->Run([&](platform::Platform& p) {
        HANDLE device = OpenSwitch(p);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        Request request{&p, device};
        AskBiosStatus(&request);
        EXPECT_EQ(request.result, TRUE);
        EXPECT_EQ(request.bytes, 4u);
        EXPECT_TRUE(p.CloseHandle(device));
    });
}

TEST_F(Device, AbsentPathIsFileNotFound) {
    env->Run([&](platform::Platform& p) {
        HANDLE device =
            p.CreateFileW(L"\\\\?\\ROOT#SYSTEM#9999#{248801f3-19f5-472c-a8ae-36085db2c0a5}",
                          GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(p.GetLastError(), doc::kFileNotFound);
    });
}

}  // namespace
}  // namespace conformance
