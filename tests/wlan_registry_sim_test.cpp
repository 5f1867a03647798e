// The simulated registry and Native Wifi behave as Windows does where the service relies on it,
// and make visible what Windows leaves undefined.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/wlan_sim.h"

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\Test";

TEST(SimRegistry, QueriesAsWindowsDoesAndScribblesATooSmallBuffer) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    auto& other = machine.CreateProcess("other");
    machine.Registry().SetValue(kKey, L"", REG_BINARY, {1, 2, 3, 4, 5});
    HKEY key = nullptr;
    ASSERT_EQ(
        process.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\TEST", 0, KEY_QUERY_VALUE, &key),
        ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(process.RegQueryValueExW(key, L"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, REG_BINARY);

    BYTE buffer[4] = {0, 0, 0, 0};
    size = sizeof(buffer);
    EXPECT_EQ(process.RegQueryValueExW(key, nullptr, nullptr, nullptr, buffer, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_NE(std::memcmp(buffer, "\1\2\3\4", 4), 0) << "the buffer must not look filled";
    EXPECT_NE(std::memcmp(buffer, "\0\0\0\0", 4), 0) << "the buffer must not look untouched";

    EXPECT_EQ(process.RegQueryValueExW(key, L"absent", nullptr, nullptr, buffer, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(machine.OpenResources()["registry keys"], 1);
    EXPECT_EQ(process.RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(process.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(process.RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(process.RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(
        process.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Absent", 0, KEY_QUERY_VALUE, &key),
        ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(machine.OpenResources().count("registry keys"), 0u);
}

TEST(SimWlan, ReportsInterfacesAndSetsOnlyTheSoftwareStateOfTheNamedPhy) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    machine.Wlan().AddInterface("first", {{}});
    machine.Wlan().AddInterface("second", {{dot11_radio_state_off, dot11_radio_state_off},
                                           {dot11_radio_state_off, dot11_radio_state_on}});
    HANDLE client = nullptr;
    DWORD version = 0;
    ASSERT_EQ(process.WlanOpenHandle(2, nullptr, &version, &client), ERROR_SUCCESS);
    EXPECT_EQ(version, 2u);

    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    ASSERT_EQ(process.WlanEnumInterfaces(client, nullptr, &list), ERROR_SUCCESS);
    ASSERT_EQ(list->dwNumberOfItems, 2u);
    const WLAN_INTERFACE_INFO& second = list->InterfaceInfo[1];
    EXPECT_EQ(second.InterfaceGuid, machine.Wlan().Find("second")->guid);
    EXPECT_FALSE(second.InterfaceGuid == list->InterfaceInfo[0].InterfaceGuid);
    EXPECT_EQ(std::wstring(second.strInterfaceDescription), L"second");

    DWORD size = 0;
    PVOID data = nullptr;
    ASSERT_EQ(
        process.WlanQueryInterface(client, &second.InterfaceGuid, wlan_intf_opcode_radio_state,
                                   nullptr, &size, &data, nullptr),
        ERROR_SUCCESS);
    auto* state = static_cast<PWLAN_RADIO_STATE>(data);
    EXPECT_EQ(state->dwNumberOfPhys, 2u);
    EXPECT_EQ(state->PhyRadioState[1].dwPhyIndex, 1u);
    EXPECT_EQ(state->PhyRadioState[1].dot11HardwareRadioState, dot11_radio_state_on);

    WLAN_PHY_RADIO_STATE phy = state->PhyRadioState[0];
    phy.dot11SoftwareRadioState = dot11_radio_state_on;
    EXPECT_EQ(process.WlanSetInterface(client, &second.InterfaceGuid, wlan_intf_opcode_radio_state,
                                       sizeof(phy), &phy, nullptr),
              ERROR_SUCCESS);
    machine.Faults().Add({"WlanSetInterface", ERROR_ACCESS_DENIED});
    EXPECT_EQ(process.WlanSetInterface(client, &second.InterfaceGuid, wlan_intf_opcode_radio_state,
                                       sizeof(phy), &phy, nullptr),
              ERROR_ACCESS_DENIED);
    const auto sets = machine.Log().Of<sim::WlanSet>();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].interfaceName, "second");
    EXPECT_EQ(sets[1].result, ERROR_ACCESS_DENIED);
    const auto& phys = machine.Wlan().Find("second")->phys;
    EXPECT_EQ(phys[0].software, dot11_radio_state_on);
    EXPECT_EQ(phys[0].hardware, dot11_radio_state_off);
    EXPECT_EQ(phys[1].software, dot11_radio_state_off);

    const GUID unknown{};
    EXPECT_EQ(process.WlanQueryInterface(client, &unknown, wlan_intf_opcode_radio_state, nullptr,
                                         &size, &data, nullptr),
              ERROR_NOT_FOUND);
    EXPECT_EQ(
        process.WlanQueryInterface(client, &second.InterfaceGuid, static_cast<WLAN_INTF_OPCODE>(7),
                                   nullptr, &size, &data, nullptr),
        ERROR_NOT_SUPPORTED);
    EXPECT_EQ(machine.Wlan().LiveAllocations(), 2);
    process.WlanFreeMemory(state);
    process.WlanFreeMemory(state);
    process.WlanFreeMemory(list);
    EXPECT_EQ(machine.Wlan().BadFrees(), 1);
    EXPECT_EQ(machine.Wlan().LiveAllocations(), 0);

    EXPECT_EQ(process.WlanCloseHandle(client, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(process.WlanEnumInterfaces(client, nullptr, &list), ERROR_INVALID_HANDLE);
    EXPECT_EQ(process.WlanCloseHandle(client, nullptr), ERROR_INVALID_HANDLE);
}

}  // namespace
