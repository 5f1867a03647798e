// A service for the tests of the frame and the simulated SCM: each handler does what the test's
// script says (return, throw an error code, throw something else, or wait to be released), and
// the machine's reports and records read back as one timeline.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/scm_sim.h"
#include "platform/text.h"
#include "service/service_base.h"

namespace frame_testing {

inline constexpr const wchar_t* kServiceName = L"BrevRctlService";
inline constexpr const wchar_t* kImagePath = L"C:\\svc.exe";
// The release event by name, so that another process opens a handle of its own to it.
inline constexpr const wchar_t* kReleaseEventName = L"frame-test-release";

enum class Outcome { Return, ThrowCode, ThrowOther, Block };

// Read by the handlers when they run; the test changes it only while the machine is idle.
struct Script {
    Outcome start = Outcome::Return, stop = Outcome::Return, pause = Outcome::Return,
            resume = Outcome::Return, shutdown = Outcome::Return;
    DWORD code = ERROR_ACCESS_DENIED;
    int startBurst = 0;  // START_PENDING/RUNNING pairs OnStart reports before it settles
    int suspends = 0, resumes = 0;
    HANDLE release =
        nullptr;  // the service's handle of the event that lets a blocked handler return
    BOOL runResult = FALSE;
    DWORD runError = 0;
};

// OnStart reports RUNNING and waits until OnStop has run, then returns for the frame to report
// STOPPED, as a service whose main thread outlives the stop control does.
class TestService : public CServiceBase {
public:
    TestService(platform::Platform& platform, Script& script)
        : CServiceBase(platform, kServiceName), m_script(script) {
        m_stopped = platform.CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_script.release = platform.CreateEventW(nullptr, TRUE, FALSE, kReleaseEventName);
    }
    ~TestService() override {
        Platform().CloseHandle(m_stopped);
        Platform().CloseHandle(m_script.release);
    }

protected:
    void OnStart(DWORD, LPWSTR*) override {
        Act(m_script.start);
        for (int i = 0; i < m_script.startBurst; ++i) {
            ReportServiceStatus(SERVICE_START_PENDING);
            ReportServiceStatus(SERVICE_RUNNING);
        }
        ReportServiceStatus(SERVICE_RUNNING);
        Platform().WaitForSingleObject(m_stopped, INFINITE);
    }
    void OnStop() override {
        Act(m_script.stop);
        Platform().SetEvent(m_stopped);
    }
    void OnPause() override {
        Act(m_script.pause);
        CServiceBase::OnPause();
    }
    void OnContinue() override {
        Act(m_script.resume);
        CServiceBase::OnContinue();
    }
    void OnShutdown() override {
        Act(m_script.shutdown);
        WriteEventLogEntry(L"test: OnShutdown", EVENTLOG_INFORMATION_TYPE);
        OnStop();
    }
    void OnSystemSuspend() override { ++m_script.suspends; }
    void OnSystemResume() override { ++m_script.resumes; }

private:
    void Act(Outcome outcome) {
        if (outcome == Outcome::ThrowCode) throw m_script.code;
        if (outcome == Outcome::ThrowOther) throw std::runtime_error("not an error code");
        if (outcome == Outcome::Block) Platform().WaitForSingleObject(m_script.release, INFINITE);
    }

    Script& m_script;
    HANDLE m_stopped;
};

inline sim::ProcessEntry TestServiceImage(Script& script) {
    return [&script](platform::Platform& platform, int, wchar_t**) {
        TestService service(platform, script);
        script.runResult = CServiceBase::Run(service);
        script.runError = platform.GetLastError();
        return 0;
    };
}

// Status reports as "<state> <check point>[ exit <code>]" (with " !fields" when a field the
// frame never changes differs), records as "info: <message>" or "error: <message>".
inline std::vector<std::string> Timeline(sim::SimMachine& machine, std::size_t from = 0) {
    static const char* const kStates[] = {
        "?",       "STOPPED",          "START_PENDING", "STOP_PENDING",
        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    std::vector<std::string> lines;
    const auto& all = machine.Log().All();
    for (std::size_t i = from; i < all.size(); ++i) {
        if (auto* report = std::get_if<sim::StatusReport>(&all[i].body)) {
            const SERVICE_STATUS& s = report->status;
            std::string line = std::string(kStates[s.dwCurrentState <= 7 ? s.dwCurrentState : 0]) +
                               " " + std::to_string(s.dwCheckPoint);
            if (s.dwWin32ExitCode != 0) line += " exit " + std::to_string(s.dwWin32ExitCode);
            if (s.dwServiceType != SERVICE_WIN32_OWN_PROCESS || s.dwControlsAccepted != 0x45 ||
                s.dwServiceSpecificExitCode != 0 || s.dwWaitHint != 0)
                line += " !fields";
            lines.push_back(line);
        } else if (auto* record = std::get_if<sim::EventRecord>(&all[i].body)) {
            const bool wellFormed = record->source == kServiceName && record->category == 0 &&
                                    record->eventId == 0 && !record->hasSid &&
                                    record->data.empty() && record->strings.size() == 2 &&
                                    record->strings[0] == kServiceName;
            lines.push_back((record->type == EVENTLOG_ERROR_TYPE ? "error: " : "info: ") +
                            platform::Utf8FromWide(record->Message()) +
                            (wellFormed ? "" : " !fields"));
        }
    }
    return lines;
}

// A machine with the test service installed at kImagePath.
struct Rig {
    Rig() { machine.InstallImage(kImagePath, TestServiceImage(script)); }

    void StartService() {
        ASSERT_EQ(machine.Scm().StartServiceProcess(kServiceName, kImagePath), 0u);
        RunUntilIdle();
    }
    // Delivered whether the service accepts it or not, as the frame must cope with any control.
    void Control(DWORD control, DWORD eventType = 0) {
        ASSERT_EQ(machine.Scm().SendControl(kServiceName, control, eventType, true), 0u);
        RunUntilIdle();
    }
    void RunUntilIdle() { ASSERT_TRUE(machine.RunUntilIdle().idle); }
    void Mark() { mark = machine.Log().Size(); }
    std::vector<std::string> SinceMark() { return Timeline(machine, mark); }
    bool ServiceExited() {
        for (auto& process : machine.Processes())
            if (process->ScmService() == kServiceName && !process->HasExited()) return false;
        return true;
    }

    Script script;  // outlives the machine, whose threads read it
    sim::SimMachine machine;
    std::size_t mark = 0;
};

}  // namespace frame_testing
