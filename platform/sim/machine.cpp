#include "platform/sim/machine.h"

#include "platform/sim/devices_sim.h"
#include "platform/sim/event_log_sim.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/mitigations_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/security_sim.h"
#include "platform/sim/wlan_sim.h"
#include "platform/text.h"

namespace sim {

SimMachine::SimMachine()
    : m_core(std::make_shared<SimCore>()),
      m_eventLog(std::make_unique<SimEventLog>(*this)),
      m_registry(std::make_unique<SimRegistry>(*this)),
      m_wlan(std::make_unique<SimWlan>(*this)),
      m_devices(std::make_unique<SimDevices>(*this)),
      m_scm(std::make_unique<SimScm>(*this)),
      m_kernel(std::make_unique<SimKernel>(*this)),
      m_security(std::make_unique<SimSecurity>(*this)),
      m_mitigations(std::make_unique<SimMitigations>(*this)) {}

SimMachine::~SimMachine() {
    bool stuck;
    {
        std::lock_guard lock(m_core->Mutex());
        stuck = m_core->LiveThreadCount() > 0;
    }
    if (stuck) {
        // Threads that never ended still wait on the core: it must outlive them, so it is kept
        // for the rest of the host process. Only a faulty run gets here.
        static auto* const abandoned = new std::vector<std::shared_ptr<SimCore>>();
        abandoned->push_back(m_core);
    }
}

void SimMachine::InstallImage(std::wstring path, ProcessEntry entry) {
    std::lock_guard lock(m_core->Mutex());
    m_images[platform::AsciiLower(path)] = std::move(entry);
}

bool SimMachine::HasImageLocked(const std::wstring& path) const {
    return m_images.contains(platform::AsciiLower(path));
}

SimProcess& SimMachine::CreateProcess(std::string name, std::wstring imagePath) {
    std::lock_guard lock(m_core->Mutex());
    const int id = static_cast<int>(m_processes.size()) + 1;
    m_processes.push_back(
        std::make_unique<SimProcess>(*this, id, std::move(name), std::move(imagePath)));
    return *m_processes.back();
}

SimProcess* SimMachine::LaunchLocked(std::unique_lock<std::mutex>& lock, const std::wstring& path,
                                     std::vector<std::wstring> args, std::wstring scmService) {
    auto image = m_images.find(platform::AsciiLower(path));
    if (image == m_images.end()) return nullptr;
    const int id = static_cast<int>(m_processes.size()) + 1;
    std::string baseName = platform::Utf8FromWide(path.substr(path.find_last_of(L"\\/") + 1));
    auto process =
        std::make_unique<SimProcess>(*this, id, baseName + "#" + std::to_string(id), path);
    process->SetScmService(scmService);
    SimProcess* raw = process.get();
    m_processes.push_back(std::move(process));

    args.insert(args.begin(), path);
    m_core->Observe({0, ProcessStart{raw->Name(), args, !scmService.empty()}});
    ProcessEntry entry = image->second;
    m_core->StartThread(lock, raw, raw->Name() + "/main", [this, raw, entry, args]() mutable {
        std::vector<wchar_t*> argv;
        {
            MachineAllocations machineWork;
            for (auto& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
        }
        const int code = entry(*raw, static_cast<int>(args.size()), argv.data());
        CallLock exitLock = m_core->LockMachine();
        OnProcessExit(exitLock, *raw, code);
    });
    return raw;
}

SimProcess* SimMachine::Launch(const std::wstring& path, std::vector<std::wstring> args,
                               std::wstring scmService) {
    std::unique_lock lock(m_core->Mutex());
    return LaunchLocked(lock, path, std::move(args), std::move(scmService));
}

void SimMachine::OnProcessExit(std::unique_lock<std::mutex>&, SimProcess& process, int code) {
    process.MarkExited(code);
    m_core->AbandonThreadsOf(&process, SimCore::CurrentThread());
    m_scm->OnProcessExit(process);
    m_core->Observe({0, ProcessExit{process.Name(), code}});
}

IdleResult SimMachine::RunUntilIdle() {
    IdleResult result = m_core->RunUntilIdle();
    m_core->ReapEndedThreads();
    return result;
}

IdleResult SimMachine::AdvanceBy(std::uint64_t milliseconds) {
    IdleResult result = m_core->AdvanceTo(m_core->NowMs() + milliseconds);
    m_core->ReapEndedThreads();
    return result;
}

IdleResult SimMachine::RunUntilExited(SimProcess& process, std::uint64_t limitMs) {
    const std::uint64_t limit = m_core->NowMs() + limitMs;
    for (;;) {
        IdleResult result = m_core->RunUntilIdle();
        if (!result.idle) return result;
        std::optional<std::uint64_t> next;
        {
            std::lock_guard lock(m_core->Mutex());
            if (process.HasExited()) break;
            next = m_core->NextDeadline();
        }
        if (!next || *next > limit) break;
        result = m_core->AdvanceTo(*next);
        if (!result.idle) return result;
    }
    m_core->ReapEndedThreads();
    return {};
}

ResourceCounts SimMachine::OpenResources() {
    std::lock_guard lock(m_core->Mutex());
    ResourceCounts counts = m_core->OpenHandleCounts();
    auto addIfAny = [&counts](const char* kind, int count) {
        if (count > 0) counts[kind] += count;
    };
    addIfAny("WLAN memory", m_wlan->LiveAllocations());
    addIfAny("local memory", m_devices->LiveLocalAllocations());
    addIfAny("critical sections", m_kernel->LiveCriticalSections());
    addIfAny("threads", m_core->LiveThreadCount());
    return counts;
}

}  // namespace sim
