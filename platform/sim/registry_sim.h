// Simulated machine only: the registry under HKEY_LOCAL_MACHINE, with raw-byte values and an
// account of open keys.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

// Where Windows keeps airplane mode: the default value of this key under HKEY_LOCAL_MACHINE, 1
// meaning on. Written from Windows's side, not taken from the service, so that a wrong path in
// the service reads nothing here.
inline constexpr const wchar_t* kSystemRadioStateKey =
    L"SYSTEM\\CurrentControlSet\\Control\\RadioManagement\\SystemRadioState";
inline constexpr DWORD kAirplaneModeOn = 1;

class SimRegistry {
public:
    explicit SimRegistry(SimMachine& machine) : m_machine(machine) {}

    LSTATUS RegOpenKeyExW(SimProcess& caller, HKEY root, LPCWSTR subKey, DWORD options,
                          REGSAM access, PHKEY result);
    LSTATUS RegQueryValueExW(SimProcess& caller, HKEY key, LPCWSTR valueName, LPDWORD reserved,
                             LPDWORD type, LPBYTE data, LPDWORD dataSize);
    LSTATUS RegCloseKey(SimProcess& caller, HKEY key);

    // --- driver side. Key paths are relative to HKEY_LOCAL_MACHINE, compared without case.
    void CreateKey(const std::wstring& path);
    void DeleteKey(const std::wstring& path);
    // An empty value name is the key's default value. Creates the key when needed.
    void SetValue(const std::wstring& path, const std::wstring& valueName, DWORD type,
                  std::vector<BYTE> bytes);
    void SetDword(const std::wstring& path, const std::wstring& valueName, DWORD value);
    void DeleteValue(const std::wstring& path, const std::wstring& valueName);
    bool KeyExists(const std::wstring& path) const;

private:
    struct Value {
        DWORD type = REG_NONE;
        std::vector<BYTE> bytes;
    };
    struct Key {
        std::map<std::wstring, Value> values;  // by lower-case name
    };
    SimMachine& m_machine;
    std::map<std::wstring, Key> m_keys;  // by lower-case path
};

}  // namespace sim
