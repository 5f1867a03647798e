// Events, waits, threads, the last error and the module path, as the service uses them: manual
// reset events set and reset across threads, timed and infinite waits, and the errors of the
// calls it checks.
#include <string>

#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"

namespace conformance {
namespace {

namespace doc = documented;

class Kernel : public Conformance {};

struct Waiter {
    platform::Platform* platform = nullptr;
    HANDLE event = nullptr;
    DWORD result = 0;
    DWORD lastError = 0;
};

DWORD WINAPI WaitForever(LPVOID parameter) {
    auto& waiter = *static_cast<Waiter*>(parameter);
    waiter.result = waiter.platform->WaitForSingleObject(waiter.event, INFINITE);
    return 0;
}

DWORD WINAPI SetOwnLastError(LPVOID parameter) {
    auto& waiter = *static_cast<Waiter*>(parameter);
    waiter.platform->SetLastError(4321);
    waiter.lastError = waiter.platform->GetLastError();
    return 0;
}

TEST_F(Kernel, ManualResetEventStaysSignalledUntilResetAndTimedWaitsLastTheirTime) {
    env->Run([&](platform::Platform& p) {
        HANDLE event = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(p.WaitForSingleObject(event, 0), doc::kWaitTimeout);
        const std::uint64_t before = env->NowMs();
        EXPECT_EQ(p.WaitForSingleObject(event, 200), doc::kWaitTimeout);
        // Windows's timer may end a wait up to one tick (16 ms) early.
        EXPECT_GE(env->NowMs() - before, 180u);

        EXPECT_TRUE(p.SetEvent(event));
        EXPECT_EQ(p.WaitForSingleObject(event, 0), doc::kWaitObject0);
        EXPECT_EQ(p.WaitForSingleObject(event, INFINITE), doc::kWaitObject0);
        EXPECT_EQ(p.WaitForSingleObject(event, 100), doc::kWaitObject0);
        EXPECT_TRUE(p.SetEvent(event));
        EXPECT_TRUE(p.ResetEvent(event));
        EXPECT_EQ(p.WaitForSingleObject(event, 0), doc::kWaitTimeout);
        EXPECT_TRUE(p.ResetEvent(event));
        EXPECT_TRUE(p.CloseHandle(event));

        HANDLE signalled = p.CreateEventW(nullptr, TRUE, TRUE, nullptr);
        ASSERT_NE(signalled, nullptr);
        EXPECT_EQ(p.WaitForSingleObject(signalled, 0), doc::kWaitObject0);
        EXPECT_TRUE(p.CloseHandle(signalled));
    });
}

TEST_F(Kernel, AutoResetEventReleasesOneWait) {
    env->Run([&](platform::Platform& p) {
        HANDLE event = p.CreateEventW(nullptr, FALSE, TRUE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(p.WaitForSingleObject(event, 0), doc::kWaitObject0);
        EXPECT_EQ(p.WaitForSingleObject(event, 0), doc::kWaitTimeout);
        EXPECT_TRUE(p.CloseHandle(event));
    });
}

TEST_F(Kernel, SetEventReleasesAnInfiniteWaitOfAnotherThreadWhoseHandleThenSignals) {
    env->Run([&](platform::Platform& p) {
        Waiter waiter{&p, p.CreateEventW(nullptr, TRUE, FALSE, nullptr), 0xDEAD, 0};
        ASSERT_NE(waiter.event, nullptr);
        HANDLE thread = p.CreateThread(nullptr, 0, WaitForever, &waiter, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        // The thread is still waiting: its handle is not signalled.
        EXPECT_EQ(p.WaitForSingleObject(thread, 100), doc::kWaitTimeout);
        EXPECT_TRUE(p.SetEvent(waiter.event));
        EXPECT_EQ(p.WaitForSingleObject(thread, 10000), doc::kWaitObject0);
        EXPECT_EQ(waiter.result, doc::kWaitObject0);
        EXPECT_TRUE(p.CloseHandle(thread));
        EXPECT_TRUE(p.CloseHandle(waiter.event));
    });
}

// NULL, or a handle after its close, is answered ERROR_INVALID_HANDLE, a second close included,
// until the value is handed out again and the stale handle names whatever got it. Application
// Verifier's Handles check, or the strict handle check policy, stops the process at each of these
// calls instead; the simulated machine reports each one.
TEST_F(Kernel, NoHandleOrAClosedOneIsAnInvalidHandle) {
    env->ExpectRuleBroken(
        {"WaitForSingleObject", "SetEvent", "WaitForSingleObject", "CloseHandle"});
    env->Run([&](platform::Platform& p) {
        p.SetLastError(0);
        EXPECT_EQ(p.WaitForSingleObject(nullptr, 0), doc::kWaitFailed);
        EXPECT_EQ(p.GetLastError(), doc::kInvalidHandle);

        HANDLE event = p.CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_TRUE(p.CloseHandle(event));
        EXPECT_EQ(ErrorOf(p, p.SetEvent(event)), doc::kInvalidHandle);
        p.SetLastError(0);
        EXPECT_EQ(p.WaitForSingleObject(event, 0), doc::kWaitFailed);
        EXPECT_EQ(p.GetLastError(), doc::kInvalidHandle);
        EXPECT_EQ(ErrorOf(p, p.CloseHandle(event)), doc::kInvalidHandle);
    });
}

TEST_F(Kernel, EachThreadHasItsOwnLastError) {
    env->Run([&](platform::Platform& p) {
        Waiter other{&p, nullptr, 0, 0};
        p.SetLastError(1234);
        HANDLE thread = p.CreateThread(nullptr, 0, SetOwnLastError, &other, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(p.WaitForSingleObject(thread, 10000), doc::kWaitObject0);
        EXPECT_TRUE(p.CloseHandle(thread));
        EXPECT_EQ(other.lastError, 4321u);
        // CloseHandle and the wait succeeded; a success may leave the last error as it was or
        // clear it, but never takes the other thread's.
        EXPECT_NE(p.GetLastError(), 4321u);
    });
}

// A second CreateEventW of a name opens the first one's event and says so.
TEST_F(Kernel, NamedEventIsSharedByName) {
    env->Run([&](platform::Platform& p) {
        const wchar_t* name = L"Global\\BrevRctlConformance.kernel.named";
        HANDLE first = p.CreateEventW(nullptr, TRUE, FALSE, name);
        ASSERT_NE(first, nullptr);
        EXPECT_NE(p.GetLastError(), doc::kAlreadyExists);
        HANDLE second = p.CreateEventW(nullptr, TRUE, FALSE, name);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(p.GetLastError(), doc::kAlreadyExists);
        EXPECT_NE(second, first);
        EXPECT_TRUE(p.SetEvent(second));
        EXPECT_EQ(p.WaitForSingleObject(first, 0), doc::kWaitObject0);
        EXPECT_TRUE(p.CloseHandle(first));
        EXPECT_TRUE(p.ResetEvent(second));
        EXPECT_EQ(p.WaitForSingleObject(second, 0), doc::kWaitTimeout);
        EXPECT_TRUE(p.CloseHandle(second));
    });
}

// Since Windows Vista a path longer than the buffer is cut to size - 1 characters and
// terminated; the result is the buffer's size and the last error ERROR_INSUFFICIENT_BUFFER.
// Wine cuts it to size characters, unterminated, as Windows XP did.
TEST_F(Kernel, ModulePathIsWholeOrCutAndTerminated) {
    env->Run([&](platform::Platform& p) {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = p.GetModuleFileNameW(nullptr, path, MAX_PATH);
        ASSERT_GT(length, 4u);
        ASSERT_LT(length, MAX_PATH);
        EXPECT_EQ(std::wstring(path).size(), length);

        wchar_t cut[5] = {L'x', L'x', L'x', L'x', L'x'};
        p.SetLastError(0);
        EXPECT_EQ(p.GetModuleFileNameW(nullptr, cut, 4), 4u);
        EXPECT_EQ(p.GetLastError(), doc::kInsufficientBuffer);
        EXPECT_EQ(std::wstring(cut, 4),
                  Documented(std::wstring(path, 3) + L'\0', std::wstring(path, 4), kWine8And10));
        EXPECT_EQ(cut[4], L'x');
    });
}

}  // namespace
}  // namespace conformance
