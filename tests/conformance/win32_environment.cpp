// The suite's environment on the real Win32 calls (under Wine in the windows preset): the
// platform is Win32Platform, the setup the seam cannot do is made with raw Win32 calls, and the
// test service is this executable, started by the SCM with "--service NAME".
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "radio/switch_device.h"
#include "tests/conformance/environment.h"
#include "tests/conformance/test_service.h"
#include "tests/wine/switch_driver/switch_interface.h"
#include "tests/wine/switch_driver/switch_test_ioctl.h"
#include "tests/wine/wlanapi/wlan_double_state.h"

namespace conformance {

namespace {

constexpr wchar_t kServiceSwitch[] = L"--service";

class Win32Environment final : public Environment {
public:
    void Run(const std::function<void(platform::Platform&)>& body) override { body(m_platform); }
    std::uint64_t NowMs() override { return GetTickCount64(); }
    int WineMajorVersion() const override {
        using WineGetVersion = const char*(CDECL*)();
        const auto get = reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
        return get == nullptr ? 0 : std::atoi(get());
    }

    void SetRegistryValue(const std::wstring& key, const std::wstring& name, DWORD type,
                          const std::vector<BYTE>& bytes) override {
        HKEY handle = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(handle, name.c_str(), 0, type, bytes.data(),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(handle);
    }
    void DeleteRegistryKey(const std::wstring& key) override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    }

    bool HasSwitchDevice() override { return !FindSwitchInterfacePath().empty(); }
    void HoldStatusRequests(bool held) override {
        SetDriverFlag(IOCTL_SWITCH_TEST_HOLD_BIOS_STATUS, held);
    }
    void SetShortReadFlood(bool on) override {
        SetDriverFlag(IOCTL_SWITCH_TEST_SHORT_READ_FLOOD, on);
    }

    // The double's state file exists once its tool or the double itself has run in the prefix.
    bool HasWlanInterfaces() override {
        return GetFileAttributesW(WLAN_DOUBLE_STATE_PATH) != INVALID_FILE_ATTRIBUTES;
    }
    void SetWlanInterfaces(const std::vector<std::vector<WlanPhy>>& interfaces) override {
        wlan_double_state& state = WlanState();
        ASSERT_LE(interfaces.size(), std::size_t{WLAN_DOUBLE_MAX_INTERFACES});
        for (const auto& phys : interfaces)
            ASSERT_LE(phys.size(), std::size_t{WLAN_DOUBLE_MAX_PHYS});
        wlan_double_lock(&state);
        state.interface_count = static_cast<DWORD>(interfaces.size());
        for (std::size_t index = 0; index < interfaces.size(); ++index) {
            wlan_double_interface& into = state.interfaces[index];
            into.phy_count = static_cast<DWORD>(interfaces[index].size());
            for (std::size_t phy = 0; phy < interfaces[index].size(); ++phy)
                into.phys[phy] = {interfaces[index][phy].software, interfaces[index][phy].hardware};
        }
        wlan_double_unlock(&state);
    }
    std::vector<WlanPhy> WlanPhys(std::size_t index) override {
        wlan_double_state& state = WlanState();
        std::vector<WlanPhy> phys;
        wlan_double_lock(&state);
        for (DWORD phy = 0;
             index < state.interface_count && phy < state.interfaces[index].phy_count; ++phy)
            phys.push_back({state.interfaces[index].phys[phy].software,
                            state.interfaces[index].phys[phy].hardware});
        wlan_double_unlock(&state);
        return phys;
    }
    void RefuseWlanCall(const std::string& operation, DWORD code) override {
        static const char* const calls[WLAN_DOUBLE_CALLS] = {"WlanOpenHandle", "WlanEnumInterfaces",
                                                             "WlanQueryInterface",
                                                             "WlanSetInterface", "WlanCloseHandle"};
        wlan_double_state& state = WlanState();
        for (int call = 0; call < WLAN_DOUBLE_CALLS; ++call) {
            if (operation != calls[call]) continue;
            wlan_double_lock(&state);
            state.refusals[call] = {code, 1};
            wlan_double_unlock(&state);
            return;
        }
        ADD_FAILURE() << "the double cannot refuse " << operation;
    }
    // The double counts over every process; the suite's is the only one using it meanwhile.
    WlanHoldings HeldOfWlan() override {
        wlan_double_state& state = WlanState();
        wlan_double_lock(&state);
        const WlanHoldings held{state.clients_open, state.allocations_live, state.bad_frees};
        wlan_double_unlock(&state);
        return held;
    }
    // Wine's loader reads DllOverrides at every load, and an empty entry disables the DLL; the
    // entry the prefix had (the double's "native") comes back with the environment's end.
    bool RemoveNativeWifiDll() override {
        if (WineMajorVersion() == 0) return false;
        HKEY overrides = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kDllOverrides, 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &overrides,
                            nullptr) != ERROR_SUCCESS)
            return false;
        wchar_t before[64] = {};
        DWORD size = sizeof(before) - sizeof(wchar_t);
        if (RegQueryValueExW(overrides, L"wlanapi", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(before), &size) == ERROR_SUCCESS)
            m_wlanOverride = before;
        const bool removed =
            RegSetValueExW(overrides, L"wlanapi", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                           sizeof(wchar_t)) == ERROR_SUCCESS;
        m_wlanOverrideSet = removed;
        RegCloseKey(overrides);
        return removed;
    }

    // Under Wine the DACL set becomes the folder's Unix mode, from which Wine makes the DACL it
    // answers: Everyone's entry as set, the administrators' replaced by the owner's and SYSTEM's.
    std::wstring MakeFolder(const std::wstring& name, DWORD everyoneRights) override {
        wchar_t temp[MAX_PATH];
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        EXPECT_TRUE(length > 0 && length < MAX_PATH);
        const std::wstring path = std::wstring(temp, length) + L"brevrctl-conformance-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" + name;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
        m_folders.push_back(path);

        wchar_t sddl[96];
        std::swprintf(sddl, 96, L"D:P(A;OICI;0x%lx;;;WD)(A;OICI;FA;;;BA)",
                      static_cast<unsigned long>(everyoneRights));
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        EXPECT_EQ(
            SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
        LocalFree(descriptor);
        return path;
    }
    ~Win32Environment() override {
        for (const std::wstring& folder : m_folders) RemoveDirectoryW(folder.c_str());
        if (m_wlanOverrideSet) RestoreWlanOverride();
    }

    std::wstring TestServiceCommandLine(const std::wstring& name) override {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        EXPECT_TRUE(length > 0 && length < MAX_PATH);
        return L"\"" + std::wstring(path, length) + L"\" " + kServiceSwitch + L" " + name;
    }
    void ExpectRuleBroken(std::vector<std::string>) override {}

private:
    static constexpr wchar_t kDllOverrides[] = L"Software\\Wine\\DllOverrides";

    void RestoreWlanOverride() {
        HKEY overrides = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kDllOverrides, 0, KEY_SET_VALUE, &overrides) !=
            ERROR_SUCCESS)
            return;
        if (m_wlanOverride) {
            RegSetValueExW(overrides, L"wlanapi", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(m_wlanOverride->c_str()),
                           static_cast<DWORD>((m_wlanOverride->size() + 1) * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(overrides, L"wlanapi");
        }
        RegCloseKey(overrides);
    }

    // One of the test driver's flag requests (switch_test_ioctl.h).
    static void SetDriverFlag(DWORD code, bool set) {
        const std::wstring path = FindSwitchInterfacePath();
        ASSERT_FALSE(path.empty());
        // No access asked for, as the switch tool does, so that the share mode of any other
        // handle is no obstacle.
        HANDLE device = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        ULONG flag = set ? 1 : 0;
        DWORD returned = 0;
        EXPECT_TRUE(
            DeviceIoControl(device, code, &flag, sizeof(flag), nullptr, 0, &returned, nullptr))
            << "the test driver's request 0x" << std::hex << code << " failed with " << std::dec
            << GetLastError();
        CloseHandle(device);
    }

    // Mapped once, for the life of the process.
    static wlan_double_state& WlanState() {
        static wlan_double_state* const state = wlan_double_map_state();
        return *state;
    }

    platform::win32::Win32Platform m_platform;
    std::vector<std::wstring> m_folders;
    // The prefix's own entry for wlanapi, when it had one.
    std::optional<std::wstring> m_wlanOverride;
    bool m_wlanOverrideSet = false;
};

}  // namespace

std::unique_ptr<Environment> MakeEnvironment() {
    return std::make_unique<Win32Environment>();
}

}  // namespace conformance

// Run by the SCM with "--service NAME", the executable is the test service; otherwise it runs the
// suite.
int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wcscmp(argv[1], conformance::kServiceSwitch) == 0) {
        platform::win32::Win32Platform platform;
        return conformance::RunTestService(platform, argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
