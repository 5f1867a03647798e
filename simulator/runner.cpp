#include "simulator/runner.h"

#include <utility>

#include "platform/sim/devices_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/security_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"
#include "radio/service_source.h"
#include "service/process_entry.h"
#include "simulator/overloaded.h"

namespace simulator {

namespace {

// The BIOS wifi status the machine starts with: radio on.
constexpr DWORD kInitialBiosStatus = 3;

// A Win32 error code with its name where the SCM gives it, for refusals in the output.
std::string Win32ErrorText(DWORD code) {
    const char* name = nullptr;
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            name = "ERROR_FILE_NOT_FOUND";
            break;
        case ERROR_ACCESS_DENIED:
            name = "ERROR_ACCESS_DENIED";
            break;
        case ERROR_INVALID_SERVICE_CONTROL:
            name = "ERROR_INVALID_SERVICE_CONTROL";
            break;
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            name = "ERROR_SERVICE_REQUEST_TIMEOUT";
            break;
        case ERROR_SERVICE_ALREADY_RUNNING:
            name = "ERROR_SERVICE_ALREADY_RUNNING";
            break;
        case ERROR_SERVICE_DOES_NOT_EXIST:
            name = "ERROR_SERVICE_DOES_NOT_EXIST";
            break;
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
            name = "ERROR_SERVICE_CANNOT_ACCEPT_CTRL";
            break;
        case ERROR_SERVICE_NOT_ACTIVE:
            name = "ERROR_SERVICE_NOT_ACTIVE";
            break;
        default:
            break;
    }
    return std::to_string(code) + (name != nullptr ? " (" + std::string(name) + ")" : "");
}

StepResult StepOf(const sim::IdleResult& idle) {
    return {idle.idle, idle.busyThreads};
}

}  // namespace

Runner::Runner(Output& output) : m_output(output) {
    m_machine.Log().SetListener([this](const sim::Observation& observation) {
        if (std::holds_alternative<sim::Violation>(observation.body)) ++m_violations;
        m_output.Observation(observation);
    });
    m_machine.Devices().SetSwitchPresent(true);
    m_machine.Devices().SetBiosStatus(kInitialBiosStatus);
    m_machine.Registry().SetDword(sim::kSystemRadioStateKey, L"", 0);
    m_machine.InstallImage(kImagePath, ProcessEntry);
}

StepResult Runner::Execute(const Command& command) {
    if (!command.IsExpect()) {
        m_recordsFrom = m_machine.Log().Size();
        m_recordsFromLine = command.line;
        m_output.Command(m_machine.NowMs(), command.line, command.text, command.notes);
    }
    auto& devices = m_machine.Devices();
    auto& registry = m_machine.Registry();
    bool ran = false;
    StepResult result;
    std::visit(
        Overloaded{
            [&](const AddWlan& wlan) {
                if (m_machine.Wlan().Find(wlan.name) != nullptr) {
                    Error(command.line, "an interface named \"" + wlan.name + "\" exists already");
                    return;
                }
                m_machine.Wlan().AddInterface(
                    wlan.name, std::vector<sim::SimPhy>(wlan.phys, {wlan.software, wlan.hardware}));
            },
            [&](const RemoveWlan& remove) {
                if (!m_machine.Wlan().RemoveInterface(remove.name))
                    Error(command.line, "no interface named \"" + remove.name + "\"");
            },
            [&](const SwitchDevice& device) { devices.SetSwitchPresent(device.present); },
            [&](const Bios& bios) {
                if (bios.status)
                    devices.SetBiosStatus(*bios.status);
                else
                    devices.SetBiosFailure(ERROR_GEN_FAILURE);
            },
            [&](const BiosHold& hold) { devices.HoldStatusRequests(hold.held); },
            [&](const Airplane& airplane) {
                switch (airplane.kind) {
                    case Airplane::Kind::Dword:
                        registry.SetDword(sim::kSystemRadioStateKey, L"", airplane.value);
                        break;
                    case Airplane::Kind::Bytes:
                        registry.SetValue(sim::kSystemRadioStateKey, L"", REG_BINARY,
                                          airplane.bytes);
                        break;
                    case Airplane::Kind::NoKey:
                        registry.DeleteKey(sim::kSystemRadioStateKey);
                        break;
                    case Airplane::Kind::NoValue:
                        registry.CreateKey(sim::kSystemRadioStateKey);
                        registry.DeleteValue(sim::kSystemRadioStateKey, L"");
                        break;
                }
            },
            [&](const DriverRead& read) { devices.Complete(read.completion); },
            [&](const ShortReadFlood& flood) { devices.SetShortReadFlood(flood.on); },
            [&](const Fail& fail) { m_machine.Faults().Add(fail.rule); },
            [&](const Slow& slow) { m_machine.Faults().AddDelay(slow.rule); },
            [&](const Start&) {
                const DWORD refusal =
                    m_machine.Scm().StartServiceProcess(CServiceSource::kServiceName, m_imagePath);
                if (refusal != NO_ERROR)
                    Error(command.line,
                          "the SCM refused to start the service with " + Win32ErrorText(refusal));
            },
            [&](const Run& run) {
                result = RunProcess(command, run);
                ran = true;
            },
            [&](const Control& control) { SendControl(command, control); },
            [&](const Wait& wait) {
                result = StepOf(m_machine.AdvanceBy(wait.milliseconds));
                ran = true;
            },
            [&](const ExpectWlan& expect) { Check(command, expect); },
            [&](const ExpectStatus& expect) { Check(command, expect); },
            [&](const ExpectRecord& expect) { Check(command, expect); },
            [&](const Acl& acl) {
                if (acl.descriptor.owner)
                    m_machine.Security().SetOwner(acl.path, *acl.descriptor.owner);
                if (acl.descriptor.dacl)
                    m_machine.Security().SetDacl(acl.path, *acl.descriptor.dacl);
            },
            [&](const Image& image) {
                m_machine.InstallImage(image.path, ProcessEntry);
                m_imagePath = image.path;
            },
            [&](const Volume& volume) {
                m_machine.Security().SetDriveType(volume.letter, volume.type);
            },
            [&](const Reparse& reparse) { m_machine.Security().SetReparsePoint(reparse.path); },
        },
        command.action);
    if (ran && !result.idle) return result;
    return StepOf(m_machine.RunUntilIdle());
}

StepResult Runner::RunProcess(const Command& command, const Run& run) {
    std::vector<std::wstring> args;
    for (const auto& arg : run.args) args.push_back(platform::WideFromUtf8(arg));
    const std::uint64_t startMs = m_machine.NowMs();
    sim::SimProcess* process = m_machine.Launch(m_imagePath, std::move(args));
    const sim::IdleResult idle = m_machine.RunUntilExited(*process, kRunLimitMs);
    if (!idle.idle) return StepOf(idle);
    if (process->HasExited()) return {};
    if (m_machine.NowMs() - startMs < kRunLimitMs)
        Error(command.line, process->Name() +
                                " has not exited: it waits for something that no "
                                "timer brings");
    else
        Error(command.line, process->Name() + " has not exited after " +
                                std::to_string(kRunLimitMs / 60'000) + " minutes of virtual time");
    return {};
}

void Runner::SendControl(const Command& command, const Control& control) {
    const DWORD refusal = m_machine.Scm().SendControl(CServiceSource::kServiceName, control.control,
                                                      control.eventType);
    if (refusal == NO_ERROR) return;
    std::string sent = ControlName(control.control);
    if (control.control == SERVICE_CONTROL_POWEREVENT)
        sent += " (event type " + std::to_string(control.eventType) + ")";
    Error(command.line, "the SCM refused " + sent + " with " + Win32ErrorText(refusal));
}

void Runner::Check(const Command& command, const ExpectWlan& expect) {
    const sim::SimWlanInterface* interface = m_machine.Wlan().Find(expect.name);
    if (interface == nullptr) return ExpectFailed(command, "no interface of that name");
    const sim::SimPhy& first = interface->phys.front();
    std::string why;
    if (expect.software && *expect.software != first.software)
        why +=
            std::string("the first PHY's software state is ") + sim::RadioStateName(first.software);
    if (expect.hardware && *expect.hardware != first.hardware)
        why += std::string(why.empty() ? "" : ", ") + "the first PHY's hardware state is " +
               sim::RadioStateName(first.hardware);
    if (!why.empty()) ExpectFailed(command, why);
}

void Runner::Check(const Command& command, const ExpectStatus& expect) {
    const DWORD state = m_machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState;
    if (state == expect.state) return;
    ExpectFailed(command, state == 0 ? "the SCM has never heard of the service"
                                     : "the status is " + sim::ServiceStateName(state));
}

void Runner::Check(const Command& command, const ExpectRecord& expect) {
    const std::wstring wanted = platform::WideFromUtf8(expect.message);
    const auto records = m_machine.Log().Of<sim::EventRecord>(m_recordsFrom);
    for (const auto& record : records)
        if (record.Message() == wanted) return;
    ExpectFailed(command, "no record with this message among the " +
                              std::to_string(records.size()) + " written since line " +
                              std::to_string(m_recordsFromLine));
}

void Runner::ExpectFailed(const Command& command, const std::string& why) {
    ++m_failedExpects;
    m_output.ExpectFailed(m_machine.NowMs(), command.line, command.text + ": " + why);
}

void Runner::Error(int line, const std::string& text) {
    m_output.Error(m_machine.NowMs(), line, text);
}

StepResult Runner::Finish() {
    m_output.Command(m_machine.NowMs(), 0, "end of the scenario", {});
    auto& scm = m_machine.Scm();
    const DWORD state = scm.CurrentStatus(CServiceSource::kServiceName).dwCurrentState;
    if (scm.HostProcess(CServiceSource::kServiceName) != nullptr && state != SERVICE_STOPPED) {
        const DWORD refusal = scm.SendControl(CServiceSource::kServiceName, SERVICE_CONTROL_STOP);
        if (refusal != NO_ERROR)
            Error(0, "stopping the service: the SCM refused SERVICE_CONTROL_STOP with " +
                         Win32ErrorText(refusal));
    }
    // The processes end as they would: a stop may wait for a slow call, so virtual time runs on,
    // from timer to timer, for as long as a run may last.
    const std::uint64_t deadline = m_machine.NowMs() + kRunLimitMs;
    for (std::size_t i = 0; i < m_machine.Processes().size(); ++i) {
        sim::SimProcess& process = *m_machine.Processes()[i];
        if (process.HasExited()) continue;
        const StepResult ended =
            StepOf(m_machine.RunUntilExited(process, deadline - m_machine.NowMs()));
        if (!ended.idle) return ended;
        if (!process.HasExited()) Error(0, process.Name() + " has not ended");
    }

    RunSummary summary;
    for (const auto& interface : m_machine.Wlan().Interfaces()) {
        InterfaceState state{interface.name, {}};
        for (const auto& phy : interface.phys) state.phys.emplace_back(phy.software, phy.hardware);
        summary.wlan.push_back(std::move(state));
    }
    summary.open = m_machine.OpenResources();
    m_output.Summary(m_machine.NowMs(), summary);
    return {};
}

}  // namespace simulator
