// The SCM's rules that the installer, the remover and the service frame rely on, with a real
// service process (test_service.h): controls refused in pending states and once stopped, a second
// start, a name taken or missing, a running service deleted, handles limited to the access asked
// for, the dispatcher from a console, and a report after SERVICE_STOPPED.
#include <string>

#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"
#include "tests/conformance/test_service.h"

namespace conformance {
namespace {

namespace doc = documented;

constexpr DWORD kServiceAllAccess = 0xF01FF;
constexpr DWORD kServiceDemandStart = 3;
// Bound of every wait for the SCM or the service.
constexpr DWORD kWaitMs = 30000;
constexpr DWORD kPollMs = 20;

class Scm : public Conformance {
protected:
    // A service of this test's own, so that no test waits for another's to leave the SCM.
    void Prepare(const std::wstring& name) {
        m_name = name;
        m_commandLine = env->TestServiceCommandLine(name);
    }

    SC_HANDLE Install(platform::Platform& p, SC_HANDLE manager) {
        return p.CreateServiceW(manager, m_name.c_str(), m_name.c_str(), kServiceAllAccess,
                                SERVICE_WIN32_OWN_PROCESS, kServiceDemandStart,
                                SERVICE_ERROR_IGNORE, m_commandLine.c_str(), nullptr, nullptr,
                                nullptr, nullptr, nullptr);
    }

    // Right after boot the SCM refuses starts while it starts the automatic services
    // (ERROR_SERVICE_DATABASE_LOCKED), as Wine's does in a fresh prefix: that passes.
    static bool Start(platform::Platform& p, SC_HANDLE service, const wchar_t* script) {
        LPCWSTR args[] = {script};
        for (DWORD waitedMs = 0;; waitedMs += kPollMs) {
            if (p.StartServiceW(service, 1, args)) return true;
            if (p.GetLastError() != doc::kServiceDatabaseLocked || waitedMs >= kWaitMs)
                return false;
            p.Sleep(kPollMs);
        }
    }

    // Polls until the service is in `state`; the last status read is left in `status`.
    static bool WaitForState(platform::Platform& p, SC_HANDLE service, DWORD state,
                             SERVICE_STATUS& status) {
        for (DWORD waitedMs = 0; waitedMs < kWaitMs; waitedMs += kPollMs) {
            if (!p.QueryServiceStatus(service, &status)) return false;
            if (status.dwCurrentState == state) return true;
            p.Sleep(kPollMs);
        }
        return false;
    }

    // Whether the SCM has forgotten the service, within the bound: a deleted service goes once
    // its process has ended and its last handle is closed.
    bool WaitUntilGone(platform::Platform& p, SC_HANDLE manager) {
        for (DWORD waitedMs = 0; waitedMs < kWaitMs; waitedMs += kPollMs) {
            SC_HANDLE service = p.OpenServiceW(manager, m_name.c_str(), SERVICE_QUERY_STATUS);
            if (service == nullptr) return p.GetLastError() == doc::kServiceDoesNotExist;
            p.CloseServiceHandle(service);
            p.Sleep(kPollMs);
        }
        return false;
    }

    // A service of the same name that an earlier, broken run left behind is stopped and deleted.
    void RemoveLeftover(platform::Platform& p, SC_HANDLE manager) {
        SC_HANDLE service = p.OpenServiceW(manager, m_name.c_str(), kServiceAllAccess);
        if (service == nullptr) return;
        SERVICE_STATUS status{};
        p.ControlService(service, SERVICE_CONTROL_STOP, &status);
        p.DeleteService(service);
        p.CloseServiceHandle(service);
        ASSERT_TRUE(WaitUntilGone(p, manager));
    }

    SC_HANDLE OpenManager(platform::Platform& p) {
        SC_HANDLE manager =
            p.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
        EXPECT_NE(manager, nullptr) << "OpenSCManagerW failed with " << p.GetLastError();
        if (manager != nullptr) RemoveLeftover(p, manager);
        return manager;
    }

    // Stops a running service, deletes it and closes both handles.
    void StopAndDelete(platform::Platform& p, SC_HANDLE manager, SC_HANDLE service) {
        SERVICE_STATUS status{};
        p.ControlService(service, SERVICE_CONTROL_STOP, &status);
        EXPECT_TRUE(WaitForState(p, service, doc::kServiceStopped, status));
        EXPECT_TRUE(p.DeleteService(service));
        EXPECT_TRUE(p.CloseServiceHandle(service));
        EXPECT_TRUE(WaitUntilGone(p, manager));
        EXPECT_TRUE(p.CloseServiceHandle(manager));
    }

    std::wstring m_name;
    std::wstring m_commandLine;
};

TEST_F(Scm, ControlsAreRefusedWhileStartOrStopIsPendingAndOnceStopped) {
    Prepare(L"BrevRctlConfPending");
    env->Run([&](platform::Platform& p) {
        SC_HANDLE manager = OpenManager(p);
        ASSERT_NE(manager, nullptr);
        HANDLE proceed = p.CreateEventW(nullptr, FALSE, FALSE, ProceedEventName(m_name).c_str());
        ASSERT_NE(proceed, nullptr);
        SC_HANDLE service = Install(p, manager);
        ASSERT_NE(service, nullptr);
        ASSERT_TRUE(Start(p, service, kHoldPendingScript));

        SERVICE_STATUS status{};
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceStartPending, status));
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)),
                  doc::kServiceCannotAcceptCtrl);
        EXPECT_EQ(status.dwCurrentState, doc::kServiceStartPending);
        // Wine passes a stop in SERVICE_START_PENDING to a service that accepts it and answers
        // ERROR_INVALID_SERVICE_CONTROL, with the status left undefined, to one that does not.
        status = {};
        EXPECT_EQ(
            ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)),
            Documented(doc::kServiceCannotAcceptCtrl, doc::kInvalidServiceControl, kWine8And10));
        if (!WineDeviates(kWine8And10)) {
            EXPECT_EQ(status.dwCurrentState, doc::kServiceStartPending);
        }

        EXPECT_TRUE(p.SetEvent(proceed));
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceRunning, status));
        // The stop handler reports SERVICE_STOP_PENDING before it returns; the control answers
        // the status the handler left.
        status = {};
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)), 0u);
        EXPECT_EQ(status.dwCurrentState, doc::kServiceStopPending);
        status = {};
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)),
                  doc::kServiceCannotAcceptCtrl);
        EXPECT_EQ(status.dwCurrentState, doc::kServiceStopPending);

        EXPECT_TRUE(p.SetEvent(proceed));
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceStopped, status));
        status = {};
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)),
                  doc::kServiceNotActive);
        EXPECT_EQ(status.dwCurrentState, doc::kServiceStopped);

        StopAndDelete(p, manager, service);
        EXPECT_TRUE(p.CloseHandle(proceed));
    });
}

TEST_F(Scm, SecondStartAndAControlNotAcceptedAreRefused) {
    Prepare(L"BrevRctlConfRunning");
    env->Run([&](platform::Platform& p) {
        SC_HANDLE manager = OpenManager(p);
        ASSERT_NE(manager, nullptr);
        SC_HANDLE service = Install(p, manager);
        ASSERT_NE(service, nullptr);
        ASSERT_TRUE(Start(p, service, kRunScript));
        SERVICE_STATUS status{};
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceRunning, status));
        EXPECT_EQ(ErrorOf(p, Start(p, service, kRunScript)), doc::kServiceAlreadyRunning);
        // Windows fills the status for ERROR_INVALID_SERVICE_CONTROL too; Wine leaves it undefined.
        status = {};
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_PAUSE, &status)),
                  doc::kInvalidServiceControl);
        if (!WineDeviates(kWine8And10)) {
            EXPECT_EQ(status.dwCurrentState, doc::kServiceRunning);
        }
        status = {};
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)), 0u);
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceStopped, status));
        StopAndDelete(p, manager, service);
    });
}

TEST_F(Scm, CreateOfAnExistingServiceAndOpenOfAMissingOneAreRefused) {
    Prepare(L"BrevRctlConfNames");
    env->Run([&](platform::Platform& p) {
        SC_HANDLE manager = OpenManager(p);
        ASSERT_NE(manager, nullptr);
        SC_HANDLE service = Install(p, manager);
        ASSERT_NE(service, nullptr);
        EXPECT_EQ(ErrorOf(p, Install(p, manager) != nullptr), doc::kServiceExists);
        EXPECT_EQ(ErrorOf(p, p.OpenServiceW(manager, L"BrevRctlConfNoSuchService",
                                            SERVICE_QUERY_STATUS) != nullptr),
                  doc::kServiceDoesNotExist);
        EXPECT_TRUE(p.DeleteService(service));
        EXPECT_TRUE(p.CloseServiceHandle(service));
        EXPECT_TRUE(WaitUntilGone(p, manager));
        EXPECT_TRUE(p.CloseServiceHandle(manager));
    });
}

TEST_F(Scm, RunningServiceDeletedStaysUntilItHasStoppedAndItsHandleIsClosed) {
    Prepare(L"BrevRctlConfDelete");
    env->Run([&](platform::Platform& p) {
        SC_HANDLE manager = OpenManager(p);
        ASSERT_NE(manager, nullptr);
        SC_HANDLE service = Install(p, manager);
        ASSERT_NE(service, nullptr);
        ASSERT_TRUE(Start(p, service, kRunScript));
        SERVICE_STATUS status{};
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceRunning, status));

        EXPECT_EQ(ErrorOf(p, p.DeleteService(service)), 0u);
        EXPECT_EQ(ErrorOf(p, p.DeleteService(service)), doc::kServiceMarkedForDelete);
        EXPECT_EQ(ErrorOf(p, Install(p, manager) != nullptr), doc::kServiceMarkedForDelete);
        EXPECT_TRUE(p.QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, doc::kServiceRunning);

        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)), 0u);
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceStopped, status));
        EXPECT_TRUE(p.CloseServiceHandle(service));
        EXPECT_TRUE(WaitUntilGone(p, manager));
        EXPECT_TRUE(p.CloseServiceHandle(manager));
    });
}

TEST_F(Scm, HandlesAllowOnlyTheAccessAskedFor) {
    Prepare(L"BrevRctlConfAccess");
    env->Run([&](platform::Platform& p) {
        SC_HANDLE manager = OpenManager(p);
        ASSERT_NE(manager, nullptr);
        SC_HANDLE full = Install(p, manager);
        ASSERT_NE(full, nullptr);

        SC_HANDLE connectOnly = p.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        ASSERT_NE(connectOnly, nullptr);
        EXPECT_EQ(ErrorOf(p, p.CreateServiceW(connectOnly, L"BrevRctlConfDenied",
                                              L"BrevRctlConfDenied", kServiceAllAccess,
                                              SERVICE_WIN32_OWN_PROCESS, kServiceDemandStart,
                                              SERVICE_ERROR_IGNORE, m_commandLine.c_str(), nullptr,
                                              nullptr, nullptr, nullptr, nullptr) != nullptr),
                  doc::kAccessDenied);
        EXPECT_TRUE(p.CloseServiceHandle(connectOnly));

        SC_HANDLE queryOnly = p.OpenServiceW(manager, m_name.c_str(), SERVICE_QUERY_STATUS);
        ASSERT_NE(queryOnly, nullptr);
        SERVICE_STATUS status{};
        EXPECT_EQ(ErrorOf(p, p.QueryServiceStatus(queryOnly, &status)), 0u);
        EXPECT_EQ(status.dwCurrentState, doc::kServiceStopped);
        EXPECT_EQ(ErrorOf(p, Start(p, queryOnly, kRunScript)), doc::kAccessDenied);
        EXPECT_EQ(ErrorOf(p, p.ControlService(queryOnly, SERVICE_CONTROL_STOP, &status)),
                  doc::kAccessDenied);
        EXPECT_EQ(ErrorOf(p, p.DeleteService(queryOnly)), doc::kAccessDenied);
        EXPECT_TRUE(p.CloseServiceHandle(queryOnly));

        SC_HANDLE stopOnly = p.OpenServiceW(manager, m_name.c_str(), SERVICE_STOP);
        ASSERT_NE(stopOnly, nullptr);
        EXPECT_EQ(ErrorOf(p, p.QueryServiceStatus(stopOnly, &status)), doc::kAccessDenied);
        EXPECT_TRUE(p.CloseServiceHandle(stopOnly));

        EXPECT_TRUE(p.DeleteService(full));
        EXPECT_TRUE(p.CloseServiceHandle(full));
        EXPECT_TRUE(WaitUntilGone(p, manager));
        EXPECT_TRUE(p.CloseServiceHandle(manager));
    });
}

void WINAPI NeverRuns(DWORD, LPWSTR*) {
    ADD_FAILURE() << "a ServiceMain ran in a console process";
}

TEST_F(Scm, DispatcherOfAConsoleProcessFailsToConnect) {
    env->Run([&](platform::Platform& p) {
        wchar_t name[] = L"BrevRctlConfConsole";
        SERVICE_TABLE_ENTRYW table[] = {{name, NeverRuns}, {nullptr, nullptr}};
        p.SetLastError(0);
        EXPECT_EQ(ErrorOf(p, p.StartServiceCtrlDispatcherW(table)),
                  doc::kFailedServiceControllerConnect);
    });
}

// On Windows the status handle is spent at SERVICE_STOPPED and a later report may crash the
// process; the simulated machine refuses it as a violation. Wine accepts it, and its SCM shows the
// service running again with no process behind it.
TEST_F(Scm, ReportAfterStoppedIsRefusedOnWindowsAndRevivesTheServiceUnderWine) {
    Prepare(L"BrevRctlConfLate");
    env->ExpectRuleBroken({"SetServiceStatus"});
    env->Run([&](platform::Platform& p) {
        SC_HANDLE manager = OpenManager(p);
        ASSERT_NE(manager, nullptr);
        HANDLE late = p.CreateEventW(nullptr, TRUE, FALSE, LateReportEventName(m_name).c_str());
        HANDLE accepted =
            p.CreateEventW(nullptr, TRUE, FALSE, LateReportAcceptedEventName(m_name).c_str());
        SC_HANDLE service = Install(p, manager);
        ASSERT_NE(service, nullptr);
        ASSERT_TRUE(Start(p, service, kReportAfterStoppedScript));
        SERVICE_STATUS status{};
        ASSERT_TRUE(WaitForState(p, service, doc::kServiceRunning, status));
        EXPECT_EQ(ErrorOf(p, p.ControlService(service, SERVICE_CONTROL_STOP, &status)), 0u);
        EXPECT_EQ(p.WaitForSingleObject(late, kWaitMs), doc::kWaitObject0);
        const bool wasAccepted = p.WaitForSingleObject(accepted, 0) == doc::kWaitObject0;
        EXPECT_EQ(wasAccepted, Documented(false, true, kWine8And10));
        EXPECT_TRUE(p.QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState,
                  Documented(doc::kServiceStopped, doc::kServiceRunning, kWine8And10));
        EXPECT_TRUE(p.DeleteService(service));
        EXPECT_TRUE(p.CloseServiceHandle(service));
        EXPECT_TRUE(WaitUntilGone(p, manager));
        EXPECT_TRUE(p.CloseServiceHandle(manager));
        p.CloseHandle(late);
        p.CloseHandle(accepted);
    });
}

}  // namespace
}  // namespace conformance
