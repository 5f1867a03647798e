// Where the simulated registry must go beyond what the service's own tests see: what Windows
// leaves undefined is made visible. Native Wifi's rules, and its count of misuse, are held
// against the Native Wifi double in the conformance suite's Wlan tests.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/registry_sim.h"

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

    // Another process's handle and a closed one are misuses the machine reports.
    machine.Core().ExpectViolations(true);
    EXPECT_EQ(other.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(process.RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(process.RegQueryValueExW(key, L"", nullptr, nullptr, buffer, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(machine.Log().Of<sim::Violation>().size(), 2u);
    EXPECT_EQ(machine.OpenResources().count("registry keys"), 0u);
}

}  // namespace
