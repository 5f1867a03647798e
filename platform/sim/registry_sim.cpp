#include "platform/sim/registry_sim.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/sim/machine.h"
#include "platform/text.h"

namespace sim {

namespace {

// ERROR_KEY_DELETED: the key behind an open handle has been deleted since it was opened.
constexpr LSTATUS kKeyDeleted = 1018;

struct OpenKey {
    std::wstring path;  // lower case
    REGSAM access = 0;
};

// HKEY_CLASSES_ROOT (0x80000000) to HKEY_CURRENT_USER_LOCAL_SETTINGS (0x80000007), sign-extended
// on 64-bit Windows as the SDK's casts of LONG values make them.
bool IsPredefinedKey(HKEY key) {
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    return value >= 0x80000000u && value <= 0x80000007u;
}

std::wstring KeyName(const std::wstring& path) {
    return platform::AsciiLower(path);
}

// Windows leaves the buffer of a call that fails with ERROR_MORE_DATA undefined; the simulated
// machine fills it with bytes no value of the test has, so that a caller who uses them shows.
void Scribble(LPBYTE data, DWORD size) {
    for (DWORD i = 0; i < size; ++i) data[i] = static_cast<BYTE>(0xA5 + i);
}

}  // namespace

LSTATUS SimRegistry::RegOpenKeyExW(SimProcess& caller, HKEY root, LPCWSTR subKey, DWORD options,
                                   REGSAM access, PHKEY result) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "RegOpenKeyExW"))
        return static_cast<LSTATUS>(*code);
    if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (result == nullptr || options != 0) return ERROR_INVALID_PARAMETER;
    const std::wstring path = KeyName(subKey != nullptr ? subKey : L"");
    if (!path.empty() && !m_keys.contains(path)) return ERROR_FILE_NOT_FOUND;
    auto key = std::make_shared<OpenKey>(OpenKey{path, access});
    *result = static_cast<HKEY>(m_machine.Core().AddHandle(HandleKind::RegistryKey, &caller, key));
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegQueryValueExW(SimProcess& caller, HKEY key, LPCWSTR valueName,
                                      LPDWORD reserved, LPDWORD type, LPBYTE data,
                                      LPDWORD dataSize) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "RegQueryValueExW"))
        return static_cast<LSTATUS>(*code);
    // A NULL key is answered by the registry functions themselves, before any handle is
    // looked up: a plain failure, which a caller whose open failed relies on.
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    auto* entry =
        m_machine.Core().UseHandle(key, &caller, {HandleKind::RegistryKey}, "RegQueryValueExW");
    if (entry == nullptr) return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    const auto& open = *std::static_pointer_cast<OpenKey>(entry->object);
    if ((open.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    auto found = m_keys.find(open.path);
    if (found == m_keys.end()) return open.path.empty() ? ERROR_FILE_NOT_FOUND : kKeyDeleted;
    auto value = found->second.values.find(KeyName(valueName != nullptr ? valueName : L""));
    if (value == found->second.values.end()) return ERROR_FILE_NOT_FOUND;

    const auto needed = static_cast<DWORD>(value->second.bytes.size());
    if (type != nullptr) *type = value->second.type;
    if (data != nullptr && *dataSize < needed) {
        Scribble(data, *dataSize);
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) std::memcpy(data, value->second.bytes.data(), needed);
    if (dataSize != nullptr) *dataSize = needed;
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegCloseKey(SimProcess& caller, HKEY key) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "RegCloseKey"))
        return static_cast<LSTATUS>(*code);
    // NULL is refused and a predefined key left open by the registry functions themselves,
    // before any handle is closed: neither is a misuse of a handle.
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if (IsPredefinedKey(key)) return ERROR_SUCCESS;
    if (m_machine.Core().UseHandle(key, &caller, {HandleKind::RegistryKey}, "RegCloseKey") ==
        nullptr)
        return ERROR_INVALID_HANDLE;
    m_machine.Core().RemoveHandle(key);
    return ERROR_SUCCESS;
}

void SimRegistry::CreateKey(const std::wstring& path) {
    std::lock_guard lock(m_machine.Core().Mutex());
    // Like RegCreateKeyExW, every missing key on the way is created too.
    const std::wstring name = KeyName(path);
    for (std::size_t end = name.find(L'\\'); end != std::wstring::npos;
         end = name.find(L'\\', end + 1))
        m_keys.try_emplace(name.substr(0, end));
    m_keys.try_emplace(name);
}

void SimRegistry::DeleteKey(const std::wstring& path) {
    std::lock_guard lock(m_machine.Core().Mutex());
    const std::wstring name = KeyName(path);
    std::erase_if(m_keys, [&name](const auto& key) {
        return key.first == name || key.first.starts_with(name + L"\\");
    });
}

void SimRegistry::SetValue(const std::wstring& path, const std::wstring& valueName, DWORD type,
                           std::vector<BYTE> bytes) {
    CreateKey(path);
    std::lock_guard lock(m_machine.Core().Mutex());
    m_keys[KeyName(path)].values[KeyName(valueName)] = Value{type, std::move(bytes)};
}

void SimRegistry::SetDword(const std::wstring& path, const std::wstring& valueName, DWORD value) {
    std::vector<BYTE> bytes(sizeof(value));
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(value >> (8 * i));
    SetValue(path, valueName, REG_DWORD, std::move(bytes));
}

void SimRegistry::DeleteValue(const std::wstring& path, const std::wstring& valueName) {
    std::lock_guard lock(m_machine.Core().Mutex());
    auto key = m_keys.find(KeyName(path));
    if (key != m_keys.end()) key->second.values.erase(KeyName(valueName));
}

bool SimRegistry::KeyExists(const std::wstring& path) const {
    std::lock_guard lock(m_machine.Core().Mutex());
    return m_keys.contains(KeyName(path));
}

}  // namespace sim
