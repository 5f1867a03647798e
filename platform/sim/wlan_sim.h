// Simulated machine only: Native Wifi. Interfaces with PHYs whose software and hardware radio
// states can be read and set; client handles and every allocation handed to a caller are
// accounted, so that a leak or a bad free shows.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

// "on", "off" or "unknown", as the simulator and its tools write a radio state.
const char* RadioStateName(DOT11_RADIO_STATE state);

struct SimPhy {
    DOT11_RADIO_STATE software = dot11_radio_state_on;
    DOT11_RADIO_STATE hardware = dot11_radio_state_on;
};

struct SimWlanInterface {
    std::string name;
    GUID guid{};
    std::vector<SimPhy> phys;
};

class SimWlan {
public:
    explicit SimWlan(SimMachine& machine) : m_machine(machine) {}
    ~SimWlan();
    SimWlan(const SimWlan&) = delete;
    SimWlan& operator=(const SimWlan&) = delete;

    DWORD WlanOpenHandle(SimProcess& caller, DWORD clientVersion, PVOID reserved,
                         PDWORD negotiatedVersion, HANDLE* clientHandle);
    DWORD WlanEnumInterfaces(SimProcess& caller, HANDLE clientHandle, PVOID reserved,
                             PWLAN_INTERFACE_INFO_LIST* interfaceList);
    DWORD WlanQueryInterface(SimProcess& caller, HANDLE clientHandle, const GUID* interfaceGuid,
                             WLAN_INTF_OPCODE opCode, PVOID reserved, PDWORD dataSize, PVOID* data,
                             PWLAN_OPCODE_VALUE_TYPE valueType);
    DWORD WlanSetInterface(SimProcess& caller, HANDLE clientHandle, const GUID* interfaceGuid,
                           WLAN_INTF_OPCODE opCode, DWORD dataSize, const PVOID data,
                           PVOID reserved);
    void WlanFreeMemory(SimProcess& caller, PVOID memory);
    DWORD WlanCloseHandle(SimProcess& caller, HANDLE clientHandle, PVOID reserved);

    // --- the machine's own side
    // Whether System32 holds wlanapi.dll (Windows Server has it only with its Wireless LAN
    // feature). Without it every call answers ERROR_MOD_NOT_FOUND, the loader's error, as the
    // Win32 implementation's calls do; WlanFreeMemory, which has nothing to free, does nothing.
    // Set before the first call: Windows keeps a DLL that a process has loaded.
    void SetDllInstalled(bool installed) { m_dllInstalled = installed; }

    // --- driver side
    // Adds an interface (listed after the existing ones) with the given PHYs; its GUID is
    // derived from its position of creation, so runs are reproducible.
    void AddInterface(const std::string& name, std::vector<SimPhy> phys);
    bool RemoveInterface(const std::string& name);
    const SimWlanInterface* Find(const std::string& name) const;
    const std::vector<SimWlanInterface>& Interfaces() const { return m_interfaces; }
    // Platform allocations not yet freed, and frees of memory the platform never handed out.
    int LiveAllocations() const { return static_cast<int>(m_allocations.size()); }
    int BadFrees() const { return m_badFrees; }

private:
    bool IsClientOf(SimProcess& caller, HANDLE clientHandle, const char* call);
    SimWlanInterface* FindByGuid(const GUID& guid);
    // A platform allocation handed to a caller, who must free it with WlanFreeMemory.
    void* Allocate(std::size_t bytes);

    SimMachine& m_machine;
    std::vector<SimWlanInterface> m_interfaces;
    std::set<void*> m_allocations;
    int m_badFrees = 0;
    int m_created = 0;
    bool m_dllInstalled = true;
};

}  // namespace sim
