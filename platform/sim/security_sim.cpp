#include "platform/sim/security_sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "platform/sim/devices_sim.h"
#include "platform/sim/machine.h"

namespace sim {

namespace {

// The lookup key of a path: lower case, without a trailing backslash unless it is a volume root.
std::wstring PathKey(std::wstring path) {
    for (auto& c : path) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    if (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

bool IsVolumeRoot(const std::wstring& key) {
    return key.size() == 3 && key[1] == L':' && key[2] == L'\\';
}

// A SID in its binary form: revision 1, the count of sub-authorities, the identifier authority
// as 6 big-endian bytes, and each sub-authority as a little-endian 32-bit value.
std::vector<BYTE> SidBytes(const std::wstring& text) {
    std::vector<unsigned long long> parts;
    std::size_t at = 2;  // after "S-"
    while (at <= text.size()) {
        const std::size_t dash = text.find(L'-', at);
        parts.push_back(std::wcstoull(text.substr(at, dash - at).c_str(), nullptr, 10));
        if (dash == std::wstring::npos) break;
        at = dash + 1;
    }
    if (text.rfind(L"S-", 0) != 0 || parts.size() < 3 || parts[0] != 1) {
        std::fprintf(stderr, "simulated machine: not a SID: %ls\n", text.c_str());
        std::abort();
    }
    std::vector<BYTE> bytes = {1, static_cast<BYTE>(parts.size() - 2)};
    for (int shift = 40; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<BYTE>(parts[1] >> shift));
    for (std::size_t i = 2; i < parts.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<BYTE>(parts[i] >> shift));
    return bytes;
}

template <typename T>
void Put(std::vector<BYTE>& bytes, std::size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// The self-relative descriptor with only its DACL: the header, then the ACL, as Windows lays it
// out (header 20 bytes, ACL header 8, each entry a 4-byte header, its mask and its SID).
// A null `dacl` is a NULL DACL.
std::vector<BYTE> SelfRelativeDescriptor(const std::vector<SimAce>* dacl) {
    std::vector<BYTE> bytes(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    if (dacl) {
        header.Dacl = static_cast<DWORD>(bytes.size());
        const std::size_t aclStart = bytes.size();
        bytes.resize(bytes.size() + sizeof(ACL), 0);
        for (const SimAce& ace : *dacl) {
            const std::vector<BYTE> sid = SidBytes(ace.sid);
            const std::size_t at = bytes.size();
            bytes.resize(at + sizeof(ACE_HEADER) + sizeof(DWORD) + sid.size(), 0);
            const ACE_HEADER aceHeader{ace.type, ace.flags, static_cast<WORD>(bytes.size() - at)};
            Put(bytes, at, aceHeader);
            Put(bytes, at + sizeof(ACE_HEADER), ace.mask);
            std::memcpy(bytes.data() + at + sizeof(ACE_HEADER) + sizeof(DWORD), sid.data(),
                        sid.size());
        }
        const ACL acl{ACL_REVISION, 0, static_cast<WORD>(bytes.size() - aclStart),
                      static_cast<WORD>(dacl->size()), 0};
        Put(bytes, aclStart, acl);
    }
    Put(bytes, 0, header);
    return bytes;
}

}  // namespace

DWORD SimSecurity::GetNamedSecurityInfoW(SimProcess&, LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                         SECURITY_INFORMATION securityInfo, PSID* owner,
                                         PSID* group, PACL* dacl, PACL* sacl,
                                         PSECURITY_DESCRIPTOR* securityDescriptor) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "GetNamedSecurityInfoW")) return *code;
    // The parts asked for point into the descriptor: without it they could never be freed.
    if (objectName == nullptr || securityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
    if (objectType != SE_FILE_OBJECT || securityInfo != DACL_SECURITY_INFORMATION ||
        owner != nullptr || group != nullptr || sacl != nullptr)
        return ERROR_NOT_SUPPORTED;

    const std::wstring key = PathKey(objectName);
    const auto set = m_dacls.find(key);
    const std::vector<SimAce> byDefault = IsVolumeRoot(key) ? VolumeRootDacl() : ProgramFilesDacl();
    const std::vector<SimAce>* kept = &byDefault;
    if (set != m_dacls.end()) kept = set->second ? &*set->second : nullptr;
    const std::vector<BYTE> bytes = SelfRelativeDescriptor(kept);
    auto* block = static_cast<BYTE*>(m_machine.Devices().AllocateLocalLocked(bytes.size()));
    std::memcpy(block, bytes.data(), bytes.size());
    *securityDescriptor = block;
    if (dacl != nullptr)
        *dacl = kept != nullptr
                    ? reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR_RELATIVE))
                    : nullptr;
    return ERROR_SUCCESS;
}

void SimSecurity::SetDacl(const std::wstring& path, SimDacl dacl) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_dacls[PathKey(path)] = std::move(dacl);
}

// C:\ of Windows 10 and 11: administrators and SYSTEM full control, users read and execute;
// authenticated users may create folders in it (FILE_ADD_SUBDIRECTORY) and modify what is created
// below it, through an inherit-only entry of generic rights.
std::vector<SimAce> SimSecurity::VolumeRootDacl() {
    constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    return {
        {ACCESS_ALLOWED_ACE_TYPE, kInherit, FILE_ALL_ACCESS, kAdministratorsSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInherit, FILE_ALL_ACCESS, kLocalSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInherit, 0x001200A9, kUsersSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInherit | INHERIT_ONLY_ACE,
         DELETE | GENERIC_EXECUTE | GENERIC_WRITE | GENERIC_READ, kAuthenticatedUsersSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ADD_SUBDIRECTORY, kAuthenticatedUsersSid},
    };
}

// C:\Program Files of Windows 10 and 11: TrustedInstaller full control, SYSTEM and administrators
// modify (and full control of what is created below), users and app containers read and
// execute, each with its inherit-only entry of generic rights.
std::vector<SimAce> SimSecurity::ProgramFilesDacl() {
    constexpr BYTE kInheritOnly = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
    constexpr DWORD kModify = 0x001301BF;
    constexpr DWORD kReadExecute = 0x001200A9;
    const wchar_t* creatorOwner = L"S-1-3-0";
    const wchar_t* allAppPackages = L"S-1-15-2-1";
    const wchar_t* allRestrictedAppPackages = L"S-1-15-2-2";
    return {
        {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, kTrustedInstallerSid},
        {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_ALL,
         kTrustedInstallerSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kModify, kLocalSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInheritOnly, GENERIC_ALL, kLocalSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kModify, kAdministratorsSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInheritOnly, GENERIC_ALL, kAdministratorsSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kReadExecute, kUsersSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInheritOnly, GENERIC_EXECUTE | GENERIC_READ, kUsersSid},
        {ACCESS_ALLOWED_ACE_TYPE, kInheritOnly, GENERIC_ALL, creatorOwner},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kReadExecute, allAppPackages},
        {ACCESS_ALLOWED_ACE_TYPE, kInheritOnly, GENERIC_EXECUTE | GENERIC_READ, allAppPackages},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kReadExecute, allRestrictedAppPackages},
        {ACCESS_ALLOWED_ACE_TYPE, kInheritOnly, GENERIC_EXECUTE | GENERIC_READ,
         allRestrictedAppPackages},
    };
}

}  // namespace sim
