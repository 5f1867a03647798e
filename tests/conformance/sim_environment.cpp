// The suite's environment on the simulated machine: a fresh machine per test, the test's own
// process on it, and the test service installed as a program of the machine.
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/security_sim.h"
#include "platform/sim/wlan_sim.h"
#include "tests/conformance/environment.h"
#include "tests/conformance/test_service.h"

namespace conformance {

namespace {

// Virtual time a test may take before it is judged stuck.
constexpr std::uint64_t kLimitMs = 10 * 60 * 1000;

class SimEnvironment final : public Environment {
public:
    SimEnvironment() : m_process(m_machine.CreateProcess("conformance")) {}
    // Destroyed with the test's fixture, while the test is still the one running.
    ~SimEnvironment() override { CheckBrokenRules(); }

    void Run(const std::function<void(platform::Platform&)>& body) override {
        std::atomic<bool> done = false;
        m_process.Spawn("test", [&] {
            body(m_process);
            done = true;
        });
        const std::uint64_t limit = m_machine.NowMs() + kLimitMs;
        for (;;) {
            const sim::IdleResult result = m_machine.RunUntilIdle();
            ASSERT_TRUE(result.idle) << "the simulated machine never became idle";
            if (done) return;
            std::optional<std::uint64_t> next;
            {
                std::lock_guard lock(m_machine.Core().Mutex());
                next = m_machine.Core().NextDeadline();
            }
            ASSERT_TRUE(next && *next <= limit) << "the test's thread waits for ever";
            m_machine.AdvanceBy(*next - m_machine.NowMs());
        }
    }

    std::uint64_t NowMs() override { return m_machine.NowMs(); }
    int WineMajorVersion() const override { return 0; }

    void SetRegistryValue(const std::wstring& key, const std::wstring& name, DWORD type,
                          const std::vector<BYTE>& bytes) override {
        m_machine.Registry().SetValue(key, name, type, bytes);
    }
    void DeleteRegistryKey(const std::wstring& key) override {
        m_machine.Registry().DeleteKey(key);
    }

    bool HasSwitchDevice() override { return true; }
    void HoldStatusRequests(bool held) override { m_machine.Devices().HoldStatusRequests(held); }
    void SetShortReadFlood(bool on) override { m_machine.Devices().SetShortReadFlood(on); }

    bool HasWlanInterfaces() override { return true; }
    void SetWlanInterfaces(const std::vector<std::vector<WlanPhy>>& interfaces) override {
        sim::SimWlan& wlan = m_machine.Wlan();
        while (!wlan.Interfaces().empty()) wlan.RemoveInterface(wlan.Interfaces().front().name);
        for (const auto& phys : interfaces) {
            std::vector<sim::SimPhy> simPhys;
            for (const WlanPhy& phy : phys)
                simPhys.push_back({static_cast<DOT11_RADIO_STATE>(phy.software),
                                   static_cast<DOT11_RADIO_STATE>(phy.hardware)});
            wlan.AddInterface("wlan" + std::to_string(++m_wlanInterfacesAdded), simPhys);
        }
    }
    std::vector<WlanPhy> WlanPhys(std::size_t index) override {
        std::vector<WlanPhy> phys;
        for (const sim::SimPhy& phy : m_machine.Wlan().Interfaces().at(index).phys)
            phys.push_back({static_cast<DWORD>(phy.software), static_cast<DWORD>(phy.hardware)});
        return phys;
    }
    void RefuseWlanCall(const std::string& operation, DWORD code) override {
        m_machine.Faults().Add({operation, code});
    }
    WlanHoldings HeldOfWlan() override {
        const sim::ResourceCounts held = m_machine.OpenResources();
        auto count = [&held](const char* kind) {
            const auto found = held.find(kind);
            return found == held.end() ? 0L : static_cast<long>(found->second);
        };
        return {count("WLAN handles"), count("WLAN memory"), m_machine.Wlan().BadFrees()};
    }
    bool RemoveNativeWifiDll() override {
        m_machine.Wlan().SetDllInstalled(false);
        return true;
    }

    std::wstring MakeFolder(const std::wstring& name, DWORD everyoneRights) override {
        const std::wstring path = L"C:\\conformance\\" + name;
        constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        m_machine.Security().SetDacl(
            path,
            std::vector<sim::SimAce>{
                {ACCESS_ALLOWED_ACE_TYPE, kInherit, everyoneRights, sim::kEveryoneSid},
                {ACCESS_ALLOWED_ACE_TYPE, kInherit, FILE_ALL_ACCESS, sim::kAdministratorsSid}});
        // Made by the test's own account, which owns it as Windows makes the creator the owner.
        m_machine.Security().SetOwner(path, sim::kConsoleUserSid);
        return path;
    }

    std::wstring TestServiceCommandLine(const std::wstring& name) override {
        const std::wstring image = L"C:\\conformance\\" + name + L".exe";
        m_machine.InstallImage(image, [name](platform::Platform& p, int, wchar_t**) {
            return RunTestService(p, name);
        });
        return L"\"" + image + L"\"";
    }
    void ExpectRuleBroken(std::vector<std::string> calls) override {
        m_machine.Core().ExpectViolations(true);
        m_expectedBreaks = std::move(calls);
    }

private:
    void CheckBrokenRules() {
        std::vector<std::string> reported;
        for (const auto& violation : m_machine.Log().Of<sim::Violation>())
            reported.push_back(violation.what);
        ASSERT_EQ(reported.size(), m_expectedBreaks.size())
            << "the rules of Windows broken: " << testing::PrintToString(reported);
        for (std::size_t i = 0; i < reported.size(); ++i)
            EXPECT_NE(reported[i].find(m_expectedBreaks[i]), std::string::npos)
                << reported[i] << " does not name " << m_expectedBreaks[i];
    }

    sim::SimMachine m_machine;
    sim::SimProcess& m_process;
    int m_wlanInterfacesAdded = 0;
    std::vector<std::string> m_expectedBreaks;
};

}  // namespace

std::unique_ptr<Environment> MakeEnvironment() {
    return std::make_unique<SimEnvironment>();
}

}  // namespace conformance
