// Native Wifi as WLAN control uses it: a client handle opened and closed, the interface list, one
// interface's radio state queried and its first PHY's software state set, every list and result
// freed. The codes are those of Microsoft's Native Wifi documentation and, where it names none
// (an unsupported client version, a NULL handle), of Wine's API tests that pass on Windows.
// Under Wine these need the Native Wifi double (tests/wine/switch_e2e.sh runs them with it).
#include <cstddef>
#include <vector>

#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"

namespace conformance {
namespace {

namespace doc = documented;

constexpr WlanPhy kOnOn{doc::kRadioOn, doc::kRadioOn};
constexpr WlanPhy kOffOn{doc::kRadioOff, doc::kRadioOn};
constexpr WlanPhy kOnOff{doc::kRadioOn, doc::kRadioOff};

const auto kRadioState = static_cast<WLAN_INTF_OPCODE>(doc::kWlanIntfOpcodeRadioState);

class Wlan : public Conformance {
protected:
    void SetUp() override {
        if (!env->HasWlanInterfaces()) GTEST_SKIP() << "no Native Wifi that lists interfaces";
        heldBefore = env->HeldOfWlan();
    }
    // Every test leaves Native Wifi holding what it held before.
    void TearDown() override {
        if (env->HasWlanInterfaces()) {
            EXPECT_EQ(env->HeldOfWlan(), heldBefore);
        }
    }

    static HANDLE Open(platform::Platform& p) {
        DWORD negotiated = 0;
        HANDLE client = nullptr;
        EXPECT_EQ(p.WlanOpenHandle(2, nullptr, &negotiated, &client), 0u);
        return client;
    }

    // The first entry of the list, whose GUID the test names in its queries and sets.
    static GUID FirstInterface(platform::Platform& p, HANDLE client) {
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        EXPECT_EQ(p.WlanEnumInterfaces(client, nullptr, &list), 0u);
        if (list == nullptr) return {};
        const GUID guid = list->InterfaceInfo[0].InterfaceGuid;
        p.WlanFreeMemory(list);
        return guid;
    }

    WlanHoldings heldBefore;
};

TEST_F(Wlan, OpenAndCloseCheckTheirArguments) {
    // A second close answers ERROR_INVALID_HANDLE; the simulated machine reports it too.
    env->ExpectRuleBroken({"WlanCloseHandle", "WlanCloseHandle"});
    env->Run([&](platform::Platform& p) {
        DWORD negotiated = 0xDEAD;
        HANDLE client = nullptr;
        void* reserved = &negotiated;
        for (DWORD unsupported : {0u, 3u}) {
            EXPECT_EQ(p.WlanOpenHandle(unsupported, nullptr, &negotiated, &client),
                      doc::kNotSupported);
        }
        EXPECT_EQ(p.WlanOpenHandle(2, reserved, &negotiated, &client), doc::kInvalidParameter);
        EXPECT_EQ(p.WlanOpenHandle(2, nullptr, nullptr, &client), doc::kInvalidParameter);
        EXPECT_EQ(p.WlanOpenHandle(2, nullptr, &negotiated, nullptr), doc::kInvalidParameter);
        EXPECT_EQ(negotiated, 0xDEADu);
        EXPECT_EQ(client, nullptr);

        for (DWORD version : {1u, 2u}) {
            ASSERT_EQ(p.WlanOpenHandle(version, nullptr, &negotiated, &client), 0u);
            EXPECT_EQ(negotiated, version);
            EXPECT_NE(client, nullptr);
            EXPECT_EQ(p.WlanCloseHandle(nullptr, nullptr), doc::kInvalidParameter);
            EXPECT_EQ(p.WlanCloseHandle(client, reserved), doc::kInvalidParameter);
            EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
            EXPECT_EQ(p.WlanCloseHandle(client, nullptr), doc::kInvalidHandle);
        }
    });
}

TEST_F(Wlan, EnumListsEveryInterfaceInOrderAndChecksItsArguments) {
    // A closed handle answers ERROR_INVALID_HANDLE; the simulated machine reports it too.
    env->ExpectRuleBroken({"WlanEnumInterfaces"});
    env->SetWlanInterfaces({{kOnOn}, {kOffOn, kOnOff}});
    env->Run([&](platform::Platform& p) {
        HANDLE client = Open(p);
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        DWORD reserved = 0;
        EXPECT_EQ(p.WlanEnumInterfaces(nullptr, nullptr, &list), doc::kInvalidParameter);
        EXPECT_EQ(p.WlanEnumInterfaces(client, &reserved, &list), doc::kInvalidParameter);
        EXPECT_EQ(p.WlanEnumInterfaces(client, nullptr, nullptr), doc::kInvalidParameter);
        EXPECT_EQ(list, nullptr);

        ASSERT_EQ(p.WlanEnumInterfaces(client, nullptr, &list), 0u);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(sizeof(list->InterfaceInfo[0]), doc::kInterfaceInfoBytes);
        ASSERT_EQ(list->dwNumberOfItems, 2u);
        EXPECT_FALSE(list->InterfaceInfo[0].InterfaceGuid == list->InterfaceInfo[1].InterfaceGuid);
        EXPECT_FALSE(list->InterfaceInfo[0].InterfaceGuid == GUID{});
        // The list is in the order the interfaces were given: the second has two PHYs.
        PVOID data = nullptr;
        DWORD size = 0;
        ASSERT_EQ(p.WlanQueryInterface(client, &list->InterfaceInfo[1].InterfaceGuid, kRadioState,
                                       nullptr, &size, &data, nullptr),
                  0u);
        EXPECT_EQ(static_cast<PWLAN_RADIO_STATE>(data)->dwNumberOfPhys, 2u);
        p.WlanFreeMemory(data);
        p.WlanFreeMemory(list);
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
        EXPECT_EQ(p.WlanEnumInterfaces(client, nullptr, &list), doc::kInvalidHandle);
    });
    // No interface: an empty list, still the caller's to free.
    env->SetWlanInterfaces({});
    env->Run([&](platform::Platform& p) {
        HANDLE client = Open(p);
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        ASSERT_EQ(p.WlanEnumInterfaces(client, nullptr, &list), 0u);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->dwNumberOfItems, 0u);
        EXPECT_EQ(env->HeldOfWlan().allocations, heldBefore.allocations + 1);
        p.WlanFreeMemory(list);
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
    });
}

TEST_F(Wlan, QueryGivesEveryPhyAndChecksItsArguments) {
    env->SetWlanInterfaces({{kOffOn, kOnOff}});
    env->Run([&](platform::Platform& p) {
        HANDLE client = Open(p);
        const GUID guid = FirstInterface(p, client);
        PVOID data = nullptr;
        DWORD size = 0;
        DWORD reserved = 0;
        EXPECT_EQ(p.WlanQueryInterface(nullptr, &guid, kRadioState, nullptr, &size, &data, nullptr),
                  doc::kInvalidParameter);
        EXPECT_EQ(
            p.WlanQueryInterface(client, nullptr, kRadioState, nullptr, &size, &data, nullptr),
            doc::kInvalidParameter);
        EXPECT_EQ(
            p.WlanQueryInterface(client, &guid, kRadioState, &reserved, &size, &data, nullptr),
            doc::kInvalidParameter);
        EXPECT_EQ(
            p.WlanQueryInterface(client, &guid, kRadioState, nullptr, nullptr, &data, nullptr),
            doc::kInvalidParameter);
        EXPECT_EQ(
            p.WlanQueryInterface(client, &guid, kRadioState, nullptr, &size, nullptr, nullptr),
            doc::kInvalidParameter);
        // Windows documents no code for an interface it does not list; only the failure counts.
        const GUID absent{0x0bad0bad, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        EXPECT_NE(
            p.WlanQueryInterface(client, &absent, kRadioState, nullptr, &size, &data, nullptr), 0u);
        EXPECT_EQ(data, nullptr);

        WLAN_OPCODE_VALUE_TYPE valueType = wlan_opcode_value_type_invalid;
        ASSERT_EQ(
            p.WlanQueryInterface(client, &guid, kRadioState, nullptr, &size, &data, &valueType),
            0u);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(size, doc::kRadioStateBytes);
        const auto* radio = static_cast<PWLAN_RADIO_STATE>(data);
        ASSERT_EQ(radio->dwNumberOfPhys, 2u);
        for (DWORD phy = 0; phy < 2; ++phy) {
            EXPECT_EQ(radio->PhyRadioState[phy].dwPhyIndex, phy);
            const WlanPhy got{
                static_cast<DWORD>(radio->PhyRadioState[phy].dot11SoftwareRadioState),
                static_cast<DWORD>(radio->PhyRadioState[phy].dot11HardwareRadioState)};
            EXPECT_EQ(got, (phy == 0 ? kOffOn : kOnOff));
        }
        p.WlanFreeMemory(data);
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
    });
}

TEST_F(Wlan, SetChangesOnlyTheSoftwareStateOfThePhyItNames) {
    env->SetWlanInterfaces({{kOnOn, kOnOff}});
    env->Run([&](platform::Platform& p) {
        HANDLE client = Open(p);
        const GUID guid = FirstInterface(p, client);
        // PHY 0 off, carrying a hardware state other than its own: the hardware state cannot be
        // set, and PHY 1 is left alone.
        WLAN_PHY_RADIO_STATE phy{0, static_cast<DOT11_RADIO_STATE>(doc::kRadioOff),
                                 static_cast<DOT11_RADIO_STATE>(doc::kRadioOff)};
        EXPECT_EQ(sizeof(phy), doc::kPhyRadioStateBytes);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, sizeof(phy), &phy, nullptr), 0u);
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
    });
    EXPECT_EQ(env->WlanPhys(0), (std::vector<WlanPhy>{kOffOn, kOnOff}));
}

TEST_F(Wlan, SetChecksItsArgumentsAndChangesNothingWhenItFails) {
    // A closed handle answers ERROR_INVALID_HANDLE; the simulated machine reports it too.
    env->ExpectRuleBroken({"WlanSetInterface"});
    env->SetWlanInterfaces({{kOnOn}});
    env->Run([&](platform::Platform& p) {
        HANDLE client = Open(p);
        const GUID guid = FirstInterface(p, client);
        const GUID absent{0x0bad0bad, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        WLAN_PHY_RADIO_STATE phys[2]{};
        phys[0] = {0, static_cast<DOT11_RADIO_STATE>(doc::kRadioOff),
                   static_cast<DOT11_RADIO_STATE>(doc::kRadioOn)};
        WLAN_PHY_RADIO_STATE& off = phys[0];
        DWORD reserved = 0;
        const DWORD size = doc::kPhyRadioStateBytes;
        EXPECT_EQ(p.WlanSetInterface(nullptr, &guid, kRadioState, size, &off, nullptr),
                  doc::kInvalidParameter);
        EXPECT_EQ(p.WlanSetInterface(client, nullptr, kRadioState, size, &off, nullptr),
                  doc::kInvalidParameter);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size, nullptr, nullptr),
                  doc::kInvalidParameter);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size, &off, &reserved),
                  doc::kInvalidParameter);
        // A radio-state set carries one WLAN_PHY_RADIO_STATE, neither less nor more.
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size - 1, &off, nullptr),
                  doc::kInvalidParameter);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, 2 * size, phys, nullptr),
                  doc::kInvalidParameter);
        WLAN_PHY_RADIO_STATE beyond = off;
        beyond.dwPhyIndex = 1;
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size, &beyond, nullptr),
                  doc::kInvalidParameter);
        WLAN_PHY_RADIO_STATE unknown = off;
        unknown.dot11SoftwareRadioState = static_cast<DOT11_RADIO_STATE>(doc::kRadioUnknown);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size, &unknown, nullptr),
                  doc::kInvalidParameter);
        EXPECT_NE(p.WlanSetInterface(client, &absent, kRadioState, size, &off, nullptr), 0u);
        // Refused with a code: nothing changes, and the next set is made.
        env->RefuseWlanCall("WlanSetInterface", doc::kAccessDenied);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size, &off, nullptr),
                  doc::kAccessDenied);
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
        EXPECT_EQ(p.WlanSetInterface(client, &guid, kRadioState, size, &off, nullptr),
                  doc::kInvalidHandle);
    });
    EXPECT_EQ(env->WlanPhys(0), (std::vector<WlanPhy>{kOnOn}));
}

TEST_F(Wlan, FreeingNullDoesNothingAndASecondFreeIsCaught) {
    env->ExpectRuleBroken({"WlanFreeMemory"});
    env->Run([&](platform::Platform& p) {
        HANDLE client = Open(p);
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        ASSERT_EQ(p.WlanEnumInterfaces(client, nullptr, &list), 0u);
        p.WlanFreeMemory(nullptr);
        p.WlanFreeMemory(list);
        EXPECT_EQ(env->HeldOfWlan().allocations, heldBefore.allocations);
        EXPECT_EQ(env->HeldOfWlan().badFrees, heldBefore.badFrees);
        // On Windows a second free corrupts the heap; both doubles count it instead, and the
        // simulated machine reports it as the verifier would.
        p.WlanFreeMemory(list);
        EXPECT_EQ(env->HeldOfWlan().badFrees, heldBefore.badFrees + 1);
        heldBefore.badFrees += 1;
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), 0u);
    });
}

// Without wlanapi.dll in System32 every call fails as a call whose DLL cannot be loaded does,
// with ERROR_MOD_NOT_FOUND, and writes nothing to its out-parameters. Needs no double: nothing is
// loaded.
class NativeWifiDll : public Conformance {};

TEST_F(NativeWifiDll, WithoutItEveryCallFailsWithTheLoadersError) {
    if (!env->RemoveNativeWifiDll()) GTEST_SKIP() << "System32's wlanapi.dll stays here";
    env->Run([&](platform::Platform& p) {
        DWORD negotiated = 0xDEAD;
        HANDLE client = nullptr;
        EXPECT_EQ(p.WlanOpenHandle(2, nullptr, &negotiated, &client), doc::kModNotFound);
        EXPECT_EQ(negotiated, 0xDEADu);
        EXPECT_EQ(client, nullptr);
        PWLAN_INTERFACE_INFO_LIST list = nullptr;
        EXPECT_EQ(p.WlanEnumInterfaces(client, nullptr, &list), doc::kModNotFound);
        EXPECT_EQ(list, nullptr);
        const GUID guid{};
        DWORD size = doc::kRadioStateBytes;
        PVOID data = nullptr;
        WLAN_OPCODE_VALUE_TYPE type = wlan_opcode_value_type_invalid;
        EXPECT_EQ(p.WlanQueryInterface(client, &guid, kRadioState, nullptr, &size, &data, &type),
                  doc::kModNotFound);
        EXPECT_EQ(data, nullptr);
        WLAN_PHY_RADIO_STATE off{};
        EXPECT_EQ(
            p.WlanSetInterface(client, &guid, kRadioState, doc::kPhyRadioStateBytes, &off, nullptr),
            doc::kModNotFound);
        p.WlanFreeMemory(nullptr);
        EXPECT_EQ(p.WlanCloseHandle(client, nullptr), doc::kModNotFound);
    });
}

}  // namespace
}  // namespace conformance
