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

    // Cancels the request that `thread` makes, as a stop does, until the thread has returned: a
    // cancel made before the request is pending finds nothing to cancel. Returns whether the
    // thread returned within ten seconds.
    static bool CancelUntilReturned(platform::Platform& p, HANDLE device, HANDLE thread) {
        for (int tries = 0; tries < 1000; ++tries) {
            p.CancelIoEx(device, nullptr);
            if (p.WaitForSingleObject(thread, 10) == doc::kWaitObject0) return true;
        }
        return false;
    }

    // Makes the request on this thread and returns how it ended.
    Request RequestOnThisThread(LPTHREAD_START_ROUTINE requester) {
        Request ended;
        env->Run([&](platform::Platform& p) {
            HANDLE device = OpenSwitch(p);
            ASSERT_NE(device, INVALID_HANDLE_VALUE);
            Request request{&p, device};
            requester(&request);
            ended = request;
            EXPECT_TRUE(p.CloseHandle(device));
        });
        return ended;
    }

    // Returns how the cancelled request ended.
    Request CancelFromThisThread(LPTHREAD_START_ROUTINE requester) {
        Request ended;
        env->Run([&](platform::Platform& p) {
            HANDLE device = OpenSwitch(p);
            ASSERT_NE(device, INVALID_HANDLE_VALUE);
            Request request{&p, device};
            HANDLE thread = p.CreateThread(nullptr, 0, requester, &request, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            EXPECT_TRUE(CancelUntilReturned(p, device, thread));
            EXPECT_EQ(request.result, FALSE);
            EXPECT_EQ(request.error, doc::kOperationAborted);
            ended = request;
            // The request is over: nothing is left to cancel (see CancelWithNothingPending).
            EXPECT_EQ(ErrorOf(p, p.CancelIoEx(device, nullptr)),
                      Documented<DWORD>(doc::kNotFound, 0, kWine8Only));
            EXPECT_TRUE(p.CloseHandle(thread));
            EXPECT_TRUE(p.CloseHandle(device));
        });
        return ended;
    }
};

// Wine 8.0 answers success when a CancelIoEx without an OVERLAPPED finds nothing to cancel
// (its server reported ERROR_NOT_FOUND only for a given OVERLAPPED); Wine 10.0 answers
// ERROR_NOT_FOUND as Windows does.
TEST_F(Device, CancelWithNothingPending) {
    env->Run([&](platform::Platform& p) {
        HANDLE device = OpenSwitch(p);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ErrorOf(p, p.CancelIoEx(device, nullptr)),
                  Documented<DWORD>(doc::kNotFound, 0, kWine8Only));
        EXPECT_TRUE(p.CloseHandle(device));
    });
}

TEST_F(Device, SynchronousReadCancelledFromAnotherThreadFailsAsAborted) {
    // ReadFile sets the count to zero before it does anything.
    EXPECT_EQ(CancelFromThisThread(Read).bytes, 0u);
}

TEST_F(Device, PendingStatusRequestCancelledFromAnotherThreadFailsAsAborted) {
    // DeviceIoControl's count is meaningless after a failure: not checked.
    env->HoldStatusRequests(true);
    CancelFromThisThread(AskBiosStatus);
    env->HoldStatusRequests(false);
    // Released, the driver answers again: four bytes of status.
    const Request answered = RequestOnThisThread(AskBiosStatus);
    EXPECT_EQ(answered.result, TRUE);
    EXPECT_EQ(answered.bytes, 4u);
}

// A driver that completes a read with success and no data: ReadFile succeeds and gives the
// number of bytes read, 0; the service must take no value from it.
TEST_F(Device, ReadCompletedWithoutDataSucceedsWithNoBytesRead) {
    env->SetShortReadFlood(true);
    const Request read = RequestOnThisThread(Read);
    env->SetShortReadFlood(false);
    EXPECT_EQ(read.result, TRUE);
    EXPECT_EQ(read.bytes, 0u);
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
