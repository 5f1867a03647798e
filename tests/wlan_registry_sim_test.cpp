// Where the simulated registry and Native Wifi must go beyond what the service's own tests see:
// what Windows leaves undefined is made visible, and misuse is counted rather than forgiven.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/wlan_sim.h"

namespace {

TEST(SimRegistry, ATooSmallBufferIsScribbledAndTheNeededSizeReported) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    auto& other = machine.CreateProcess("other");
    machine.Registry().SetValue(L"SOFTWARE\\Test", L"", REG_BINARY, {1, 2, 3, 4, 5});
    HKEY key = nullptr;
    ASSERT_EQ(
        process.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\TEST", 0, KEY_QUERY_VALUE, &key),
        ERROR_SUCCESS);

    BYTE buffer[4] = {0, 0, 0, 0};
    DWORD size = sizeof(buffer);
    EXPECT_EQ(process.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_NE(std::memcmp(buffer, "\1\2\3\4", 4), 0);
    EXPECT_NE(std::memcmp(buffer, "\0\0\0\0", 4), 0);

    EXPECT_EQ(other.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(process.RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(process.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(machine.OpenResources().count("registry keys"), 0u);
}

TEST(SimWlan, SetsTheSoftwareStateWhateverTheHardwareAndCountsBadFrees) {
    sim::SimMachine machine;
    auto& process = machine.CreateProcess("test");
    machine.Wlan().AddInterface("wifi", {{dot11_radio_state_off, dot11_radio_state_off}, {}});
    const GUID guid = machine.Wlan().Find("wifi")->guid;
    HANDLE client = nullptr;
    DWORD version = 0, size = 0;
    PVOID data = nullptr;
    ASSERT_EQ(process.WlanOpenHandle(2, nullptr, &version, &client), DWORD{ERROR_SUCCESS});
    ASSERT_EQ(process.WlanQueryInterface(client, &guid, wlan_intf_opcode_radio_state, nullptr,
                                         &size, &data, nullptr),
              DWORD{ERROR_SUCCESS});
    auto* state = static_cast<PWLAN_RADIO_STATE>(data);
    EXPECT_EQ(state->dwNumberOfPhys, 2u);

    WLAN_PHY_RADIO_STATE phy = state->PhyRadioState[0];
    phy.dot11SoftwareRadioState = dot11_radio_state_on;
    EXPECT_EQ(process.WlanSetInterface(client, &guid, wlan_intf_opcode_radio_state, sizeof(phy),
                                       &phy, nullptr),
              DWORD{ERROR_SUCCESS});
    const sim::SimPhy& first = machine.Wlan().Find("wifi")->phys[0];
    EXPECT_EQ(first.software, dot11_radio_state_on);
    EXPECT_EQ(first.hardware, dot11_radio_state_off);

    const GUID unknown{};
    EXPECT_EQ(process.WlanQueryInterface(client, &unknown, wlan_intf_opcode_radio_state, nullptr,
                                         &size, &data, nullptr),
              DWORD{ERROR_NOT_FOUND});
    process.WlanFreeMemory(state);
    process.WlanFreeMemory(state);
    EXPECT_EQ(machine.Wlan().BadFrees(), 1);
    EXPECT_EQ(machine.Wlan().LiveAllocations(), 0);
    EXPECT_EQ(process.WlanCloseHandle(client, nullptr), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(process.WlanCloseHandle(client, nullptr), DWORD{ERROR_INVALID_HANDLE});
}

}  // namespace
