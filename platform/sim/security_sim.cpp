#include "platform/sim/security_sim.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <limits>
#include <utility>

#include "platform/sim/devices_sim.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/machine.h"
#include "platform/text.h"

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

// The self-relative descriptor with the parts asked for, as Windows lays it out: the header (20
// bytes), then the DACL (the ACL header, 8 bytes, and each entry: a 4-byte header, its mask and
// its SID), then the owner. A null `dacl` is a NULL DACL.
struct Descriptor {
    std::vector<BYTE> bytes;
    std::size_t daclAt = 0;
    std::size_t ownerAt = 0;
};
Descriptor SelfRelativeDescriptor(bool withDacl, const std::vector<SimAce>* dacl,
                                  const std::wstring* owner) {
    Descriptor descriptor;
    std::vector<BYTE>& bytes = descriptor.bytes;
    bytes.resize(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE | (withDacl ? SE_DACL_PRESENT : 0);
    if (withDacl && dacl) {
        header.Dacl = static_cast<DWORD>(bytes.size());
        descriptor.daclAt = bytes.size();
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
    if (owner != nullptr) {
        const std::vector<BYTE> sid = SidBytes(*owner);
        header.Owner = static_cast<DWORD>(bytes.size());
        descriptor.ownerAt = bytes.size();
        bytes.insert(bytes.end(), sid.begin(), sid.end());
    }
    Put(bytes, 0, header);
    return descriptor;
}

// The string form of the SID at `sid`, or nothing when it is not a SID of revision 1.
std::optional<std::wstring> SidText(const BYTE* sid) {
    constexpr BYTE kMaxSubAuthorities = 15;
    if (sid[0] != 1 || sid[1] > kMaxSubAuthorities) return std::nullopt;
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (BYTE i = 0; i < sid[1]; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, sid + 8 + 4 * i, sizeof sub);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

struct Account {
    const wchar_t* sid;
    const wchar_t* domain;
    const wchar_t* name;
    SID_NAME_USE use;
};
// Names as Windows gives them (Microsoft's "Well-known SIDs"), and the machine's own accounts.
constexpr Account kAccounts[] = {
    {L"S-1-1-0", L"", L"Everyone", SidTypeWellKnownGroup},
    {L"S-1-2-0", L"", L"LOCAL", SidTypeWellKnownGroup},
    {L"S-1-2-1", L"", L"CONSOLE LOGON", SidTypeWellKnownGroup},
    {L"S-1-3-0", L"", L"CREATOR OWNER", SidTypeWellKnownGroup},
    {L"S-1-3-1", L"", L"CREATOR GROUP", SidTypeWellKnownGroup},
    {L"S-1-3-4", L"", L"OWNER RIGHTS", SidTypeWellKnownGroup},
    {L"S-1-5-2", L"NT AUTHORITY", L"NETWORK", SidTypeWellKnownGroup},
    {L"S-1-5-3", L"NT AUTHORITY", L"BATCH", SidTypeWellKnownGroup},
    {L"S-1-5-4", L"NT AUTHORITY", L"INTERACTIVE", SidTypeWellKnownGroup},
    {L"S-1-5-6", L"NT AUTHORITY", L"SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-7", L"NT AUTHORITY", L"ANONYMOUS LOGON", SidTypeWellKnownGroup},
    {L"S-1-5-11", L"NT AUTHORITY", L"Authenticated Users", SidTypeWellKnownGroup},
    {L"S-1-5-14", L"NT AUTHORITY", L"REMOTE INTERACTIVE LOGON", SidTypeWellKnownGroup},
    {L"S-1-5-15", L"NT AUTHORITY", L"This Organization", SidTypeWellKnownGroup},
    {L"S-1-5-18", L"NT AUTHORITY", L"SYSTEM", SidTypeWellKnownGroup},
    {L"S-1-5-19", L"NT AUTHORITY", L"LOCAL SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-20", L"NT AUTHORITY", L"NETWORK SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-113", L"NT AUTHORITY", L"Local account", SidTypeWellKnownGroup},
    {L"S-1-5-32-544", L"BUILTIN", L"Administrators", SidTypeAlias},
    {L"S-1-5-32-545", L"BUILTIN", L"Users", SidTypeAlias},
    {L"S-1-5-32-546", L"BUILTIN", L"Guests", SidTypeAlias},
    {L"S-1-5-32-547", L"BUILTIN", L"Power Users", SidTypeAlias},
    {L"S-1-5-32-555", L"BUILTIN", L"Remote Desktop Users", SidTypeAlias},
    {kTrustedInstallerSid, L"NT SERVICE", L"TrustedInstaller", SidTypeWellKnownGroup},
    {L"S-1-15-2-1", L"APPLICATION PACKAGE AUTHORITY", L"ALL APPLICATION PACKAGES",
     SidTypeWellKnownGroup},
    {L"S-1-15-2-2", L"APPLICATION PACKAGE AUTHORITY", L"ALL RESTRICTED APPLICATION PACKAGES",
     SidTypeWellKnownGroup},
    {kConsoleUserSid, kMachineName, L"Administrator", SidTypeUser},
    {kStandardUserSid, kMachineName, L"alice", SidTypeUser},
    {L"S-1-5-21-1-2-3-513", kMachineName, L"None", SidTypeGroup},
};

// A failed call: its last error and its failure value.
template <typename T = BOOL>
T Failed(DWORD code, T result = FALSE) {
    SimKernel::SetLastError(code);
    return result;
}

// GetCurrentProcessToken(): the pseudo-handle of the current process's token.
const HANDLE kCurrentProcessToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));

// The drive letter of "X:\" or "X:" (`rootLength` 3 or 2), upper case, or nothing.
std::optional<wchar_t> DriveLetter(LPCWSTR path, std::size_t length) {
    if (path == nullptr) return std::nullopt;
    const std::wstring text(path);
    if (text.size() != length || text[1] != L':' || (length == 3 && text[2] != L'\\'))
        return std::nullopt;
    const wchar_t letter = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(text[0])));
    if (letter < L'A' || letter > L'Z') return std::nullopt;
    return letter;
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
    constexpr SECURITY_INFORMATION kKept = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (objectType != SE_FILE_OBJECT || securityInfo == 0 || (securityInfo & ~kKept) != 0 ||
        group != nullptr || sacl != nullptr)
        return ERROR_NOT_SUPPORTED;

    const std::wstring key = PathKey(objectName);
    const std::vector<SimAce> byDefault = IsVolumeRoot(key) ? VolumeRootDacl() : ProgramFilesDacl();
    const std::vector<SimAce>* kept = &byDefault;
    if (auto set = m_dacls.find(key); set != m_dacls.end())
        kept = set->second ? &*set->second : nullptr;
    std::wstring ownerSid = kTrustedInstallerSid;
    if (auto set = m_owners.find(key); set != m_owners.end()) ownerSid = set->second;

    const bool withDacl = (securityInfo & DACL_SECURITY_INFORMATION) != 0;
    const bool withOwner = (securityInfo & OWNER_SECURITY_INFORMATION) != 0;
    const Descriptor built =
        SelfRelativeDescriptor(withDacl, kept, withOwner ? &ownerSid : nullptr);
    auto* block = static_cast<BYTE*>(m_machine.Devices().AllocateLocalLocked(built.bytes.size()));
    std::memcpy(block, built.bytes.data(), built.bytes.size());
    *securityDescriptor = block;
    if (dacl != nullptr)
        *dacl =
            withDacl && kept != nullptr ? reinterpret_cast<PACL>(block + built.daclAt) : nullptr;
    if (owner != nullptr) *owner = withOwner ? block + built.ownerAt : nullptr;
    return ERROR_SUCCESS;
}

BOOL SimSecurity::GetTokenInformation(SimProcess& caller, HANDLE token,
                                      TOKEN_INFORMATION_CLASS infoClass, LPVOID information,
                                      DWORD length, PDWORD returnLength) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "GetTokenInformation")) return Failed(*code);
    if (token != kCurrentProcessToken) return Failed(ERROR_INVALID_HANDLE);
    if (infoClass != TokenUser) return Failed(ERROR_NOT_SUPPORTED);
    if (returnLength == nullptr) return Failed(ERROR_INVALID_PARAMETER);
    const std::vector<BYTE> sid =
        SidBytes(caller.ScmService().empty() ? kConsoleUserSid : kLocalSystemSid);
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
    *returnLength = needed;
    if (information == nullptr || length < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
    auto* bytes = static_cast<BYTE*>(information);
    std::memcpy(bytes + sizeof(TOKEN_USER), sid.data(), sid.size());
    const TOKEN_USER user{{bytes + sizeof(TOKEN_USER), 0}};
    std::memcpy(bytes, &user, sizeof user);
    SimKernel::SetLastError(NO_ERROR);
    return TRUE;
}

BOOL SimSecurity::LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                                    LPWSTR domain, LPDWORD domainLength, PSID_NAME_USE use) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "LookupAccountSidW")) return Failed(*code);
    if (systemName != nullptr) return Failed(ERROR_NOT_SUPPORTED);
    if (sid == nullptr || nameLength == nullptr || domainLength == nullptr || use == nullptr)
        return Failed(ERROR_INVALID_PARAMETER);
    const std::optional<std::wstring> text = SidText(static_cast<const BYTE*>(sid));
    if (!text) return Failed(ERROR_INVALID_PARAMETER);
    for (const Account& account : kAccounts) {
        if (*text != account.sid) continue;
        const std::size_t nameSize = std::wcslen(account.name);
        const std::size_t domainSize = std::wcslen(account.domain);
        if (name == nullptr || domain == nullptr || *nameLength <= nameSize ||
            *domainLength <= domainSize) {
            *nameLength = static_cast<DWORD>(nameSize + 1);
            *domainLength = static_cast<DWORD>(domainSize + 1);
            return Failed(ERROR_INSUFFICIENT_BUFFER);
        }
        std::wmemcpy(name, account.name, nameSize + 1);
        std::wmemcpy(domain, account.domain, domainSize + 1);
        *nameLength = static_cast<DWORD>(nameSize);
        *domainLength = static_cast<DWORD>(domainSize);
        *use = account.use;
        SimKernel::SetLastError(NO_ERROR);
        return TRUE;
    }
    return Failed(ERROR_NONE_MAPPED);
}

UINT SimSecurity::GetDriveTypeW(LPCWSTR rootPath) {
    auto lock = m_machine.Core().EnterCall();
    // Windows wants the root with its backslash; anything else names no root.
    const std::optional<wchar_t> letter = DriveLetter(rootPath, 3);
    if (!letter) return DRIVE_NO_ROOT_DIR;
    // A SUBST drive answers for the volume it stands on.
    wchar_t volume = *letter;
    if (auto subst = m_substs.find(volume); subst != m_substs.end())
        volume = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(subst->second[0])));
    const auto set = m_driveTypes.find(volume);
    return set == m_driveTypes.end() ? DRIVE_FIXED : set->second;
}

DWORD SimSecurity::QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "QueryDosDeviceW"))
        return Failed<DWORD>(*code, 0);
    const std::optional<wchar_t> letter = DriveLetter(deviceName, 2);
    if (!letter) return Failed<DWORD>(ERROR_FILE_NOT_FOUND, 0);
    // As Windows names them: a SUBST drive is a link in the object namespace to a path, a mapped
    // drive one to the redirector, every other letter a volume's device.
    std::wstring target;
    const auto set = m_driveTypes.find(*letter);
    if (auto raw = m_rawDosDevices.find(*letter); raw != m_rawDosDevices.end()) {
        target = raw->second;
    } else if (auto subst = m_substs.find(*letter); subst != m_substs.end()) {
        target = L"\\??\\" + subst->second;
    } else if (set != m_driveTypes.end() && set->second == DRIVE_REMOTE) {
        target = std::wstring(L"\\Device\\LanmanRedirector\\;") + *letter +
                 L":0000000000000000\\server\\share";
    } else {
        target = L"\\Device\\HarddiskVolume" + std::to_wstring(*letter - L'A' + 1);
    }
    // A list of names: each terminated, and the list once more.
    const DWORD written = static_cast<DWORD>(target.size() + 2);
    if (targetPath == nullptr || max < written) return Failed<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
    std::wmemcpy(targetPath, target.c_str(), target.size() + 1);
    targetPath[target.size() + 1] = L'\0';
    SimKernel::SetLastError(NO_ERROR);
    return written;
}

DWORD SimSecurity::GetFileAttributesW(LPCWSTR fileName) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "GetFileAttributesW"))
        return Failed(*code, INVALID_FILE_ATTRIBUTES);
    if (fileName == nullptr) return Failed(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    DWORD attributes =
        m_machine.HasImageLocked(fileName) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_DIRECTORY;
    if (m_reparsePoints.contains(PathKey(fileName))) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    SimKernel::SetLastError(NO_ERROR);
    return attributes;
}

void SimSecurity::SetDacl(const std::wstring& path, SimDacl dacl) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_dacls[PathKey(path)] = std::move(dacl);
}

void SimSecurity::SetOwner(const std::wstring& path, std::wstring sid) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_owners[PathKey(path)] = std::move(sid);
}

void SimSecurity::SetReparsePoint(const std::wstring& path) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_reparsePoints.insert(PathKey(path));
}

void SimSecurity::SetDriveType(wchar_t letter, UINT type) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_driveTypes[static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter)))] = type;
}

void SimSecurity::SetSubst(wchar_t letter, std::wstring target) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_substs[static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter)))] = std::move(target);
}

void SimSecurity::SetRawDosDevice(wchar_t letter, std::wstring target) {
    std::lock_guard lock(m_machine.Core().Mutex());
    m_rawDosDevices[static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter)))] =
        std::move(target);
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

namespace {

// SDDL's two-letter SID aliases that stand for one SID on every machine (Microsoft's "SID
// Strings"); the domain-relative ones (DA, DU, LA, ...) need a domain the machine does not have.
constexpr std::pair<std::string_view, const wchar_t*> kSidAliases[] = {
    {"AC", L"S-1-15-2-1"},   {"AN", L"S-1-5-7"},      {"AO", L"S-1-5-32-548"},
    {"AU", L"S-1-5-11"},     {"BA", L"S-1-5-32-544"}, {"BG", L"S-1-5-32-546"},
    {"BO", L"S-1-5-32-551"}, {"BU", L"S-1-5-32-545"}, {"CG", L"S-1-3-1"},
    {"CO", L"S-1-3-0"},      {"IU", L"S-1-5-4"},      {"LS", L"S-1-5-19"},
    {"NS", L"S-1-5-20"},     {"NU", L"S-1-5-2"},      {"OW", L"S-1-3-4"},
    {"PO", L"S-1-5-32-550"}, {"PU", L"S-1-5-32-547"}, {"RC", L"S-1-5-12"},
    {"RD", L"S-1-5-32-555"}, {"SO", L"S-1-5-32-549"}, {"SU", L"S-1-5-6"},
    {"SY", L"S-1-5-18"},     {"WD", L"S-1-1-0"},      {"WR", L"S-1-5-33"},
};

// SDDL's access right codes, with the masks winnt.h gives them.
constexpr std::pair<std::string_view, DWORD> kRightCodes[] = {
    {"GA", GENERIC_ALL},
    {"GR", GENERIC_READ},
    {"GW", GENERIC_WRITE},
    {"GX", GENERIC_EXECUTE},
    {"RC", 0x00020000},
    {"SD", DELETE},
    {"WD", WRITE_DAC},
    {"WO", WRITE_OWNER},
    {"RP", 0x0010},
    {"WP", 0x0020},
    {"CC", 0x0001},
    {"DC", 0x0002},
    {"LC", 0x0004},
    {"SW", 0x0008},
    {"LO", 0x0080},
    {"DT", 0x0040},
    {"CR", 0x0100},
    {"FA", FILE_ALL_ACCESS},
    {"FR", FILE_GENERIC_READ},
    {"FW", FILE_GENERIC_WRITE},
    {"FX", FILE_GENERIC_EXECUTE},
    {"KA", 0x000F003F},
    {"KR", 0x00020019},
    {"KW", 0x00020006},
    {"KX", 0x00020019},
};

constexpr std::pair<std::string_view, BYTE> kAceFlags[] = {
    {"OI", OBJECT_INHERIT_ACE},
    {"CI", CONTAINER_INHERIT_ACE},
    {"NP", 0x04},
    {"IO", INHERIT_ONLY_ACE},
    {"ID", INHERITED_ACE},
    {"SA", 0x40},
    {"FA", 0x80},
};

struct SddlProblem {
    std::string text;
};

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// "S-1-" an identifier authority below 2^48, then 1 to 15 sub-authorities below 2^32, in
// decimal; or an alias.
std::wstring SddlSid(std::string_view text) {
    if (text.size() == 2) {
        for (const auto& [alias, sid] : kSidAliases)
            if (alias == text) return sid;
        throw SddlProblem{Quoted(text) + " is not a SID alias the machine knows"};
    }
    const auto bad = [&] { return SddlProblem{Quoted(text) + " is not a SID"}; };
    if (text.rfind("S-1-", 0) != 0) throw bad();
    std::vector<unsigned long long> parts;
    std::string_view rest = text.substr(4);
    for (;;) {
        const std::size_t dash = rest.find('-');
        const std::string_view part = rest.substr(0, dash);
        unsigned long long value = 0;
        auto [next, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || error != std::errc() || next != part.data() + part.size()) throw bad();
        const unsigned long long limit = parts.empty() ? (1ull << 48) : (1ull << 32);
        if (value >= limit) throw bad();
        parts.push_back(value);
        if (dash == std::string_view::npos) break;
        rest.remove_prefix(dash + 1);
    }
    constexpr std::size_t kMaxSubAuthorities = 15;
    if (parts.size() < 2 || parts.size() > kMaxSubAuthorities + 1) throw bad();
    return platform::WideFromUtf8(std::string(text));
}

// Two-letter codes one after the other, each from `codes`, or'd together.
template <typename Bits, std::size_t N>
Bits SddlCodes(std::string_view text, const std::pair<std::string_view, Bits> (&codes)[N],
               const char* what) {
    Bits bits = 0;
    for (std::size_t at = 0; at < text.size(); at += 2) {
        const std::string_view code = text.substr(at, 2);
        const auto known = std::find_if(std::begin(codes), std::end(codes),
                                        [&](const auto& entry) { return entry.first == code; });
        if (known == std::end(codes)) throw SddlProblem{Quoted(code) + " is not " + what};
        bits = static_cast<Bits>(bits | known->second);
    }
    return bits;
}

DWORD SddlRights(std::string_view text) {
    if (text.empty()) throw SddlProblem{"an entry without rights"};
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ||
        (text[0] >= '0' && text[0] <= '9')) {
        const bool hex = text.size() > 1 && (text[1] == 'x' || text[1] == 'X');
        const std::string_view digits = hex ? text.substr(2) : text;
        DWORD value = 0;
        auto [next, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
        if (digits.empty() || error != std::errc() || next != digits.data() + digits.size())
            throw SddlProblem{Quoted(text) + " is not an access mask"};
        return value;
    }
    return SddlCodes(text, kRightCodes, "an access right code");
}

BYTE SddlAceFlags(std::string_view text) {
    return SddlCodes(text, kAceFlags, "an entry flag");
}

// One entry, the text between its parentheses.
SimAce SddlAce(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    int depth = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '(') ++depth;
        if (i < text.size() && text[i] == ')') --depth;
        if (i == text.size() || (text[i] == ';' && depth == 0)) {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    SimAce ace;
    const std::string_view type = fields[0];
    bool conditional = false;
    if (type == "A") {
        ace.type = ACCESS_ALLOWED_ACE_TYPE;
    } else if (type == "D") {
        ace.type = ACCESS_DENIED_ACE_TYPE;
    } else if (type == "XA") {
        ace.type = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        conditional = true;
    } else if (type == "XD") {
        ace.type = ACCESS_DENIED_CALLBACK_ACE_TYPE;
        conditional = true;
    } else if (type == "OA" || type == "OD" || type == "ZA") {
        throw SddlProblem{"object entries (" + std::string(type) +
                          ") are for directory objects, not files"};
    } else {
        throw SddlProblem{Quoted(type) + " is not an entry type of a DACL (A, D, XA or XD)"};
    }
    const std::size_t wanted = conditional ? 7 : 6;
    if (fields.size() != 6 && fields.size() != wanted)
        throw SddlProblem{"(" + std::string(text) + ") has " + std::to_string(fields.size()) +
                          " fields, not " + std::to_string(wanted)};
    if (!fields[3].empty() || !fields[4].empty())
        throw SddlProblem{"(" + std::string(text) + ") has object types, which files do not have"};
    if (fields.size() == 7 &&
        (fields[6].size() < 2 || fields[6].front() != '(' || fields[6].back() != ')'))
        throw SddlProblem{"the condition of (" + std::string(text) + ") is not in parentheses"};
    ace.flags = SddlAceFlags(fields[1]);
    ace.mask = SddlRights(fields[2]);
    ace.sid = SddlSid(fields[5]);
    return ace;
}

std::optional<SimDacl> SddlDacl(std::string_view text) {
    std::size_t at = 0;
    bool nullDacl = false;
    while (at < text.size() && text[at] != '(') {
        const std::string_view rest = text.substr(at);
        if (rest.rfind("NO_ACCESS_CONTROL", 0) == 0) {
            nullDacl = true;
            at += 17;
        } else if (rest.rfind("AI", 0) == 0 || rest.rfind("AR", 0) == 0) {
            at += 2;
        } else if (rest[0] == 'P') {
            at += 1;
        } else {
            throw SddlProblem{Quoted(rest) +
                              " is not a DACL: flags P, AI, AR or "
                              "NO_ACCESS_CONTROL, then entries in parentheses"};
        }
    }
    std::vector<SimAce> aces;
    constexpr std::size_t kMaxAces = 256;
    while (at < text.size()) {
        if (text[at] != '(') throw SddlProblem{Quoted(text.substr(at)) + " is not an entry"};
        int depth = 0;
        std::size_t end = at;
        for (; end < text.size(); ++end) {
            if (text[end] == '(') ++depth;
            if (text[end] == ')' && --depth == 0) break;
        }
        if (end == text.size()) throw SddlProblem{"an entry without its closing parenthesis"};
        if (aces.size() == kMaxAces)
            throw SddlProblem{"more than " + std::to_string(kMaxAces) + " entries"};
        aces.push_back(SddlAce(text.substr(at + 1, end - at - 1)));
        at = end + 1;
    }
    if (nullDacl && !aces.empty())
        throw SddlProblem{"a NULL DACL (NO_ACCESS_CONTROL) has no entries"};
    if (nullDacl) return SimDacl{};
    return SimDacl{std::move(aces)};
}

}  // namespace

std::variant<SimSecurityDescriptor, std::string> ParseSddl(std::string_view sddl) {
    try {
        SimSecurityDescriptor descriptor;
        bool group = false;
        std::size_t at = 0;
        while (at < sddl.size()) {
            if (at + 1 >= sddl.size() || sddl[at + 1] != ':')
                throw SddlProblem{Quoted(sddl.substr(at)) + " is not O:, G: or D:"};
            const char part = sddl[at];
            // The part runs to the next "X:" outside parentheses.
            std::size_t end = at + 2;
            int depth = 0;
            for (; end < sddl.size(); ++end) {
                if (sddl[end] == '(') ++depth;
                if (sddl[end] == ')') --depth;
                if (depth == 0 && end + 1 < sddl.size() && sddl[end + 1] == ':' &&
                    (sddl[end] == 'O' || sddl[end] == 'G' || sddl[end] == 'D' || sddl[end] == 'S'))
                    break;
            }
            const std::string_view value = sddl.substr(at + 2, end - at - 2);
            if (part == 'O') {
                if (descriptor.owner) throw SddlProblem{"two owners"};
                descriptor.owner = SddlSid(value);
            } else if (part == 'G') {
                if (group) throw SddlProblem{"two groups"};
                SddlSid(value);
                group = true;
            } else if (part == 'D') {
                if (descriptor.dacl) throw SddlProblem{"two DACLs"};
                descriptor.dacl = SddlDacl(value);
            } else if (part == 'S') {
                throw SddlProblem{"a SACL (S:) is not kept by the simulated machine"};
            } else {
                throw SddlProblem{Quoted(sddl.substr(at, 2)) + " is not O:, G: or D:"};
            }
            at = end;
        }
        if (!descriptor.owner && !descriptor.dacl) throw SddlProblem{"neither an owner nor a DACL"};
        return descriptor;
    } catch (const SddlProblem& problem) {
        return problem.text;
    }
}

}  // namespace sim
