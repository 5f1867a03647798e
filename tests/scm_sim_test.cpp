// The simulated SCM as a client process sees it: the service database, access rights, the
// checks before a control, and what becomes of a service whose process ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "tests/frame_test_service.h"

namespace {

using frame_testing::kServiceName;
using frame_testing::Rig;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DWORD kServiceAllAccess = 0xF01FF;

struct Client {
    explicit Client(Rig& rig) : process(rig.machine.CreateProcess("client")) {}
    // Runs `body` on a new thread of the client; the machine runs until every thread waits.
    void Run(std::function<void(platform::Platform&)> body) {
        ASSERT_TRUE(process.RunOnThread("client", [this, body] { body(process); }).idle);
    }
    sim::SimProcess& process;
};

// The error a call left, or 0 when it succeeded.
DWORD ErrorOf(platform::Platform& p, bool succeeded) {
    return succeeded ? NO_ERROR : p.GetLastError();
}

SC_HANDLE Register(platform::Platform& p, SC_HANDLE scm, LPCWSTR path = L"\"C:\\svc.exe\"") {
    return p.CreateServiceW(scm, kServiceName, kServiceName, kServiceAllAccess,
                            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                            path, nullptr, nullptr, L"WlanSvc\0Tcpip\0", nullptr, nullptr);
}

SC_HANDLE OpenManager(platform::Platform& p, DWORD access = 0x3) {
    return p.OpenSCManagerW(nullptr, nullptr, access);
}

TEST(SimScm, CreateKeepsTheRegistrationWholeAndRefusesTheSameNameOrAnAbsentOne) {
    Rig rig;
    Client client(rig);
    std::vector<DWORD> errors;
    client.Run([&](platform::Platform& p) {
        SC_HANDLE scm = OpenManager(p);
        SC_HANDLE service = Register(p, scm);
        errors.push_back(ErrorOf(p, service != nullptr));
        errors.push_back(ErrorOf(p, Register(p, scm, L"C:\\other.exe") != nullptr));
        errors.push_back(ErrorOf(p, p.OpenServiceW(scm, L"NoSuchService", 0x4) != nullptr));
        p.CloseServiceHandle(service);
        p.CloseServiceHandle(scm);
    });
    EXPECT_THAT(errors, ElementsAre(0u, ERROR_SERVICE_EXISTS, ERROR_SERVICE_DOES_NOT_EXIST));
    const auto registration = rig.machine.Scm().Registration(L"brevrctlservice");
    ASSERT_TRUE(registration);
    EXPECT_EQ(registration->binaryPath, L"\"C:\\svc.exe\"");
    EXPECT_EQ(registration->startType, SERVICE_AUTO_START);
    EXPECT_THAT(registration->dependencies, ElementsAre(L"WlanSvc", L"Tcpip"));
    EXPECT_EQ(registration->account, L"LocalSystem");
    ASSERT_EQ(rig.machine.Log().Of<sim::ServiceRegistration>().size(), 1u);
    EXPECT_EQ(rig.machine.Log().Of<sim::ServiceRegistration>()[0].binaryPath,
              registration->binaryPath);
    EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
}

TEST(SimScm, StartLaunchesTheUnquotedImageAndControlsAreCheckedThenDelivered) {
    Rig rig;
    Client client(rig);
    SC_HANDLE scm = nullptr, service = nullptr;
    SERVICE_STATUS status{};
    std::vector<DWORD> errors;
    std::vector<DWORD> states;
    auto check = [&](platform::Platform& p, bool succeeded) {
        errors.push_back(ErrorOf(p, succeeded));
        states.push_back(status.dwCurrentState);
    };
    client.Run([&](platform::Platform& p) {
        scm = OpenManager(p);
        service = Register(p, scm);
        check(p, p.StartServiceW(service, 0, nullptr));
        check(p, p.QueryServiceStatus(service, &status));
    });
    client.Run([&](platform::Platform& p) {
        check(p, p.StartServiceW(service, 0, nullptr));
        check(p, p.ControlService(service, SERVICE_CONTROL_PAUSE, &status));
        check(p, p.ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
        check(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status));
    });
    client.Run([&](platform::Platform& p) {
        check(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status));
        p.CloseServiceHandle(service);
        p.CloseServiceHandle(scm);
    });
    EXPECT_THAT(errors,
                ElementsAre(0u, 0u, ERROR_SERVICE_ALREADY_RUNNING, ERROR_INVALID_SERVICE_CONTROL,
                            0u, 0u, ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_THAT(states,
                ElementsAre(0u, SERVICE_START_PENDING, SERVICE_START_PENDING, SERVICE_RUNNING,
                            SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED));
    const auto starts = rig.machine.Log().Of<sim::ProcessStart>();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_THAT(starts[0].args, ElementsAre(L"C:\\svc.exe"));
    EXPECT_TRUE(starts[0].scm);
    EXPECT_TRUE(rig.ServiceExited());
}

TEST(SimScm, ControlWaitsForTheHandlerAndIsRefusedWhileStartIsPending) {
    Rig rig;
    Client client(rig);
    rig.script.start = frame_testing::Outcome::Block;
    SC_HANDLE scm = nullptr, service = nullptr;
    HANDLE release = nullptr;
    SERVICE_STATUS status{};
    DWORD refusal = 0;
    client.Run([&](platform::Platform& p) {
        release = p.CreateEventW(nullptr, TRUE, FALSE, frame_testing::kReleaseEventName);
        scm = OpenManager(p);
        service = Register(p, scm);
        p.StartServiceW(service, 0, nullptr);
    });
    client.Run([&](platform::Platform& p) {
        refusal = ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status));
        p.SetEvent(release);
    });
    EXPECT_EQ(refusal, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);

    rig.script.stop = frame_testing::Outcome::Block;
    BOOL stopped = -1;
    client.Run([&](platform::Platform& p) {
        p.ResetEvent(release);
        stopped = p.ControlService(service, SERVICE_CONTROL_STOP, &status);
    });
    EXPECT_EQ(stopped, -1);
    EXPECT_EQ(rig.machine.Scm().CurrentStatus(kServiceName).dwCurrentState, SERVICE_STOP_PENDING);
    client.Run([&](platform::Platform& p) {
        p.SetEvent(release);
        p.CloseServiceHandle(service);
        p.CloseServiceHandle(scm);
        p.CloseHandle(release);
    });
    // The stop control returns the status the handler left; the service-main thread reports
    // SERVICE_STOPPED afterwards.
    EXPECT_EQ(stopped, TRUE);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(rig.machine.Scm().CurrentStatus(kServiceName).dwCurrentState, SERVICE_STOPPED);
    EXPECT_TRUE(rig.ServiceExited());
}

TEST(SimScm, UnprivilegedCallersMayConnectAndQueryButChangeNothing) {
    Rig rig;
    Client client(rig);
    client.Run([&](platform::Platform& p) {
        SC_HANDLE scm = OpenManager(p);
        p.CloseServiceHandle(Register(p, scm));
        p.CloseServiceHandle(scm);
    });
    rig.machine.Scm().SetCallerPrivileged(false);
    std::vector<DWORD> errors;
    client.Run([&](platform::Platform& p) {
        errors.push_back(ErrorOf(p, OpenManager(p) != nullptr));
        SC_HANDLE scm = OpenManager(p, SC_MANAGER_CONNECT);
        const DWORD changes[] = {SERVICE_START, SERVICE_STOP, DELETE};
        for (DWORD access : changes)
            errors.push_back(ErrorOf(p, p.OpenServiceW(scm, kServiceName, access) != nullptr));
        SC_HANDLE service = p.OpenServiceW(scm, kServiceName, SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        errors.push_back(ErrorOf(p, p.QueryServiceStatus(service, &status)));
        errors.push_back(ErrorOf(p, p.StartServiceW(service, 0, nullptr)));
        errors.push_back(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)));
        errors.push_back(ErrorOf(p, p.DeleteService(service)));
        errors.push_back(ErrorOf(p, Register(p, scm) != nullptr));
        p.CloseServiceHandle(service);
        p.CloseServiceHandle(scm);
    });
    const DWORD denied = ERROR_ACCESS_DENIED;
    EXPECT_THAT(errors,
                ElementsAre(denied, denied, denied, denied, 0u, denied, denied, denied, denied));
    EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
}

TEST(SimScm, DeletedServiceGoesOnceItsLastHandleIsClosedAndItNoLongerRuns) {
    Rig rig;
    Client client(rig);
    std::vector<DWORD> errors;
    SC_HANDLE scm = nullptr, first = nullptr, second = nullptr;
    client.Run([&](platform::Platform& p) {
        scm = OpenManager(p);
        first = Register(p, scm);
        second = p.OpenServiceW(scm, kServiceName, kServiceAllAccess);
        errors.push_back(ErrorOf(p, p.DeleteService(first)));
        errors.push_back(ErrorOf(p, p.DeleteService(second)));
        errors.push_back(ErrorOf(p, Register(p, scm) != nullptr));
        errors.push_back(ErrorOf(p, p.StartServiceW(second, 0, nullptr)));
        p.CloseServiceHandle(first);
    });
    EXPECT_THAT(errors,
                ElementsAre(0u, ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_MARKED_FOR_DELETE,
                            ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_TRUE(rig.machine.Scm().Registration(kServiceName));
    client.Run([&](platform::Platform& p) { p.CloseServiceHandle(second); });
    EXPECT_FALSE(rig.machine.Scm().Registration(kServiceName));

    // A running service stays until its process has ended.
    client.Run([&](platform::Platform& p) {
        SC_HANDLE service = Register(p, scm);
        p.StartServiceW(service, 0, nullptr);
        p.DeleteService(service);
        p.CloseServiceHandle(service);
    });
    EXPECT_TRUE(rig.machine.Scm().Registration(kServiceName));
    rig.Control(SERVICE_CONTROL_STOP);
    EXPECT_FALSE(rig.machine.Scm().Registration(kServiceName));
    client.Run([&](platform::Platform& p) {
        errors.push_back(ErrorOf(p, p.OpenServiceW(scm, kServiceName, 0x4) != nullptr));
        p.CloseServiceHandle(scm);
    });
    EXPECT_EQ(errors.back(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_THAT(rig.machine.OpenResources(), IsEmpty());
}

TEST(SimScm, ProcessEndingWithoutReportingStoppedLeavesTheServiceAborted) {
    Rig rig;
    rig.machine.InstallImage(L"C:\\quits.exe",
                             [](platform::Platform&, int, wchar_t**) { return 0; });
    auto& scm = rig.machine.Scm();
    EXPECT_EQ(scm.StartServiceProcess(L"Quitter", L"C:\\missing.exe"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(scm.StartServiceProcess(L"Quitter", L"C:\\quits.exe"), 0u);
    EXPECT_EQ(scm.StartServiceProcess(L"Quitter", L"C:\\quits.exe"), ERROR_SERVICE_ALREADY_RUNNING);
    rig.RunUntilIdle();
    EXPECT_EQ(scm.CurrentStatus(L"Quitter").dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(scm.CurrentStatus(L"Quitter").dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(scm.HostProcess(L"Quitter"), nullptr);
    EXPECT_EQ(scm.SendControl(L"Quitter", SERVICE_CONTROL_STOP), ERROR_SERVICE_NOT_ACTIVE);
}

}  // namespace
