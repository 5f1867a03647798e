#include "platform/sim/wlan_sim.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "platform/sim/machine.h"
#include "platform/text.h"

namespace sim {

const char* RadioStateName(DOT11_RADIO_STATE state) {
    switch (state) {
        case dot11_radio_state_on:
            return "on";
        case dot11_radio_state_off:
            return "off";
        default:
            return "unknown";
    }
}

namespace {

// Native Wifi's current API version; a client asking for version 1 gets 1.
constexpr DWORD kNativeWifiVersion = 2;

struct WlanClient {};

GUID InterfaceGuid(int creationIndex) {
    const auto n = static_cast<std::uint32_t>(creationIndex);
    return GUID{0x5e1f0000u + n, 0x0001, 0x4000, {0x80, 0x00, 0, 0, 0, 0, 0, static_cast<BYTE>(n)}};
}

}  // namespace

bool SimWlan::IsClientOf(SimProcess& caller, HANDLE clientHandle, const char* call) {
    return m_machine.Core().UseHandle(clientHandle, &caller, {HandleKind::WlanClient}, call) !=
           nullptr;
}

SimWlanInterface* SimWlan::FindByGuid(const GUID& guid) {
    auto found = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                              [&guid](const SimWlanInterface& item) { return item.guid == guid; });
    return found == m_interfaces.end() ? nullptr : &*found;
}

void* SimWlan::Allocate(std::size_t bytes) {
    // Zeroed heap blocks of exactly the size asked, so that a read past the end shows under the
    // address sanitizer.
    void* memory = std::calloc(1, bytes);
    m_allocations.insert(memory);
    return memory;
}

DWORD SimWlan::WlanOpenHandle(SimProcess& caller, DWORD clientVersion, PVOID reserved,
                              PDWORD negotiatedVersion, HANDLE* clientHandle) {
    auto lock = m_machine.Core().EnterCall();
    if (!m_dllInstalled) return ERROR_MOD_NOT_FOUND;
    if (auto code = m_machine.Core().TakeFault(lock, "WlanOpenHandle")) return *code;
    if (reserved != nullptr || negotiatedVersion == nullptr || clientHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (clientVersion < 1 || clientVersion > kNativeWifiVersion) return ERROR_NOT_SUPPORTED;
    *negotiatedVersion = clientVersion;
    *clientHandle =
        m_machine.Core().AddHandle(HandleKind::WlanClient, &caller, std::make_shared<WlanClient>());
    return ERROR_SUCCESS;
}

DWORD SimWlan::WlanEnumInterfaces(SimProcess& caller, HANDLE clientHandle, PVOID reserved,
                                  PWLAN_INTERFACE_INFO_LIST* interfaceList) {
    auto lock = m_machine.Core().EnterCall();
    if (!m_dllInstalled) return ERROR_MOD_NOT_FOUND;
    if (auto code = m_machine.Core().TakeFault(lock, "WlanEnumInterfaces")) return *code;
    // Windows answers a NULL handle as a bad argument, any other unknown one as a bad handle.
    if (clientHandle == nullptr || reserved != nullptr || interfaceList == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!IsClientOf(caller, clientHandle, "WlanEnumInterfaces")) return ERROR_INVALID_HANDLE;

    // Sized for the entries only: an empty list has no room for even one.
    const std::size_t bytes = offsetof(WLAN_INTERFACE_INFO_LIST, InterfaceInfo) +
                              m_interfaces.size() * sizeof(WLAN_INTERFACE_INFO);
    auto* list = static_cast<PWLAN_INTERFACE_INFO_LIST>(Allocate(bytes));
    list->dwNumberOfItems = static_cast<DWORD>(m_interfaces.size());
    list->dwIndex = 0;
    WLAN_INTERFACE_INFO* entries = list->InterfaceInfo;
    for (std::size_t i = 0; i < m_interfaces.size(); ++i) {
        entries[i].InterfaceGuid = m_interfaces[i].guid;
        const std::wstring description = platform::WideFromUtf8(m_interfaces[i].name);
        const std::size_t length =
            std::min(description.size(), std::size(entries[i].strInterfaceDescription) - 1);
        // UTF-16 as on Windows; the simulator's interface names are ASCII.
        std::copy_n(description.begin(), length, entries[i].strInterfaceDescription);
        entries[i].isState = wlan_interface_state_connected;
    }
    *interfaceList = list;
    return ERROR_SUCCESS;
}

DWORD SimWlan::WlanQueryInterface(SimProcess& caller, HANDLE clientHandle,
                                  const GUID* interfaceGuid, WLAN_INTF_OPCODE opCode,
                                  PVOID reserved, PDWORD dataSize, PVOID* data,
                                  PWLAN_OPCODE_VALUE_TYPE valueType) {
    auto lock = m_machine.Core().EnterCall();
    if (!m_dllInstalled) return ERROR_MOD_NOT_FOUND;
    if (auto code = m_machine.Core().TakeFault(lock, "WlanQueryInterface")) return *code;
    if (clientHandle == nullptr || interfaceGuid == nullptr || reserved != nullptr ||
        dataSize == nullptr || data == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!IsClientOf(caller, clientHandle, "WlanQueryInterface")) return ERROR_INVALID_HANDLE;
    if (opCode != wlan_intf_opcode_radio_state) return ERROR_NOT_SUPPORTED;
    const SimWlanInterface* found = FindByGuid(*interfaceGuid);
    if (found == nullptr) return ERROR_NOT_FOUND;

    auto* state = static_cast<PWLAN_RADIO_STATE>(Allocate(sizeof(WLAN_RADIO_STATE)));
    const std::size_t phys = std::min<std::size_t>(found->phys.size(), WLAN_MAX_PHY_INDEX);
    state->dwNumberOfPhys = static_cast<DWORD>(phys);
    for (std::size_t i = 0; i < phys; ++i) {
        state->PhyRadioState[i].dwPhyIndex = static_cast<DWORD>(i);
        state->PhyRadioState[i].dot11SoftwareRadioState = found->phys[i].software;
        state->PhyRadioState[i].dot11HardwareRadioState = found->phys[i].hardware;
    }
    *dataSize = sizeof(WLAN_RADIO_STATE);
    *data = state;
    if (valueType != nullptr) *valueType = wlan_opcode_value_type_set_by_user;
    return ERROR_SUCCESS;
}

DWORD SimWlan::WlanSetInterface(SimProcess& caller, HANDLE clientHandle, const GUID* interfaceGuid,
                                WLAN_INTF_OPCODE opCode, DWORD dataSize, const PVOID data,
                                PVOID reserved) {
    auto lock = m_machine.Core().EnterCall();
    // Taken first: a slow call lets others run, and the interface may go meanwhile.
    if (!m_dllInstalled) return ERROR_MOD_NOT_FOUND;
    const auto fault = m_machine.Core().TakeFault(lock, "WlanSetInterface");
    WlanSet set;
    WLAN_PHY_RADIO_STATE sent{};
    if (data != nullptr && dataSize >= sizeof(sent)) std::memcpy(&sent, data, sizeof(sent));
    set.phyIndex = sent.dwPhyIndex;
    set.software = sent.dot11SoftwareRadioState;
    set.hardware = sent.dot11HardwareRadioState;
    SimWlanInterface* target = interfaceGuid != nullptr ? FindByGuid(*interfaceGuid) : nullptr;
    if (target != nullptr) set.interfaceName = target->name;

    auto outcome = [&]() -> DWORD {
        if (fault) return *fault;
        if (clientHandle == nullptr || interfaceGuid == nullptr || data == nullptr ||
            reserved != nullptr)
            return ERROR_INVALID_PARAMETER;
        if (!IsClientOf(caller, clientHandle, "WlanSetInterface")) return ERROR_INVALID_HANDLE;
        if (opCode != wlan_intf_opcode_radio_state) return ERROR_NOT_SUPPORTED;
        if (dataSize != sizeof(WLAN_PHY_RADIO_STATE)) return ERROR_INVALID_PARAMETER;
        if (target == nullptr) return ERROR_NOT_FOUND;
        if (sent.dwPhyIndex >= target->phys.size()) return ERROR_INVALID_PARAMETER;
        if (sent.dot11SoftwareRadioState != dot11_radio_state_on &&
            sent.dot11SoftwareRadioState != dot11_radio_state_off)
            return ERROR_INVALID_PARAMETER;
        // Only the software state can be set; it is accepted whatever the hardware state.
        target->phys[sent.dwPhyIndex].software = sent.dot11SoftwareRadioState;
        return ERROR_SUCCESS;
    };
    set.result = outcome();
    m_machine.Core().Observe({0, set});
    return set.result;
}

void SimWlan::WlanFreeMemory(SimProcess&, PVOID memory) {
    auto lock = m_machine.Core().EnterCall();
    // WlanFreeMemory cannot report a failure: the call is only counted.
    if (!m_dllInstalled) return;
    m_machine.Core().TakeFault(lock, "WlanFreeMemory");
    // Freeing NULL does nothing, as on Windows.
    if (memory == nullptr) return;
    if (m_allocations.erase(memory) == 0) {
        // Windows documents an access violation or a corrupt heap: a stop under the verifier.
        ++m_badFrees;
        m_machine.Core().Violate(
            "WlanFreeMemory of a block freed already or never allocated by Native Wifi, by " +
            SimCore::CurrentThreadName());
        return;
    }
    std::free(memory);
}

DWORD SimWlan::WlanCloseHandle(SimProcess& caller, HANDLE clientHandle, PVOID reserved) {
    auto lock = m_machine.Core().EnterCall();
    if (!m_dllInstalled) return ERROR_MOD_NOT_FOUND;
    if (auto code = m_machine.Core().TakeFault(lock, "WlanCloseHandle")) return *code;
    if (clientHandle == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (!IsClientOf(caller, clientHandle, "WlanCloseHandle")) return ERROR_INVALID_HANDLE;
    m_machine.Core().RemoveHandle(clientHandle);
    return ERROR_SUCCESS;
}

void SimWlan::AddInterface(const std::string& name, std::vector<SimPhy> phys) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_interfaces.push_back(SimWlanInterface{name, InterfaceGuid(++m_created), std::move(phys)});
}

bool SimWlan::RemoveInterface(const std::string& name) {
    std::lock_guard lock(m_machine.Core().Mutex());
    return std::erase_if(m_interfaces,
                         [&name](const SimWlanInterface& item) { return item.name == name; }) > 0;
}

const SimWlanInterface* SimWlan::Find(const std::string& name) const {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto found = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                              [&name](const SimWlanInterface& item) { return item.name == name; });
    return found == m_interfaces.end() ? nullptr : &*found;
}

SimWlan::~SimWlan() {
    for (void* memory : m_allocations) std::free(memory);
}

}  // namespace sim
