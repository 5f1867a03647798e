// A simulated machine with the service's executable installed, as the SCM would run it, and the
// observations a test of the whole service reads.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "radio/service_source.h"
#include "service/process_entry.h"

namespace testing_support {

inline constexpr const wchar_t* kImagePath = L"C:\\Program Files\\BrevRctl\\BrevRctlService.exe";

class ServiceHarness {
public:
    ServiceHarness() {
        machine.InstallImage(kImagePath, ProcessEntry);
        machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
    }

    // The SCM starts the service's process; the machine runs until every thread waits.
    void StartService() {
        ASSERT_EQ(machine.Scm().StartServiceProcess(CServiceSource::kServiceName, kImagePath), 0u);
        RunUntilIdle();
    }
    void SendControl(DWORD control, DWORD eventType = 0, bool raw = false) {
        ASSERT_EQ(machine.Scm().SendControl(CServiceSource::kServiceName, control, eventType, raw),
                  0u);
        RunUntilIdle();
    }
    void Stop() { SendControl(SERVICE_CONTROL_STOP); }
    void Switch(DWORD value) {
        machine.Devices().Complete(sim::ReadCompletion::Switch(value));
        RunUntilIdle();
    }
    void RunUntilIdle() { ASSERT_TRUE(machine.RunUntilIdle().idle); }
    void AdvanceBy(std::uint64_t ms) { ASSERT_TRUE(machine.AdvanceBy(ms).idle); }

    // Marks the start of the observations that Messages and Statuses return.
    void Mark() { m_mark = machine.Log().Size(); }
    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> messages;
        for (auto& record : machine.Log().Of<sim::EventRecord>(m_mark))
            messages.push_back(record.Message());
        return messages;
    }
    std::vector<SERVICE_STATUS> Statuses() const {
        std::vector<SERVICE_STATUS> statuses;
        for (auto& report : machine.Log().Of<sim::StatusReport>(m_mark))
            statuses.push_back(report.status);
        return statuses;
    }
    std::vector<DWORD> States() const {
        std::vector<DWORD> states;
        for (auto& status : Statuses()) states.push_back(status.dwCurrentState);
        return states;
    }
    // The requests the worker took, in order, from the "ProcessHotkeyPressed, state: " records.
    std::vector<std::wstring> AppliedRequests() const {
        static const std::wstring prefix = L"ProcessHotkeyPressed, state: ";
        std::vector<std::wstring> requests;
        for (auto& message : Messages())
            if (message.rfind(prefix, 0) == 0) requests.push_back(message.substr(prefix.size()));
        return requests;
    }
    bool ServiceProcessExited() const {
        for (auto& process : machine.Processes())
            if (process->ScmService() == CServiceSource::kServiceName && !process->HasExited())
                return false;
        return true;
    }
    DOT11_RADIO_STATE Software(const std::string& interfaceName) const {
        return machine.Wlan().Find(interfaceName)->phys.at(0).software;
    }

    mutable sim::SimMachine machine;

private:
    std::size_t m_mark = 0;
};

}  // namespace testing_support
