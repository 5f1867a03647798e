// The install's check of the path it registers. The service runs as LocalSystem whatever file its
// path names then, so a path that a standard user can change hands that user SYSTEM.
//
// The DACLs are read as Windows lays them out, byte by byte, rather than through the ACL API, so
// that the whole judgement is the same code on every platform.
#include "service/install_path_check.h"

#include <array>
#include <cstring>
#include <vector>

#include "radio/service_source.h"
#include "service/diagnostic_text.h"

namespace {

enum class Role { Executable, ItsFolder, FolderAbove };

// The rights that let their holder replace what the service runs: the file's content, the file
// itself, or, in its folder, a DLL beside it or a BrevRctlService.exe.local folder that
// redirects its DLLs. Above that folder, a subfolder can be renamed away and replaced, which
// needs deleting a child or the subfolder; creating a new folder replaces nothing.
DWORD ReplacingRights(Role role) {
    constexpr DWORD kOwnership = DELETE | WRITE_DAC | WRITE_OWNER;
    switch (role) {
        case Role::Executable:
            return FILE_WRITE_DATA | FILE_APPEND_DATA | kOwnership;
        case Role::ItsFolder:
            return FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | kOwnership;
        case Role::FolderAbove:
            return FILE_DELETE_CHILD | kOwnership;
    }
    return 0;
}

std::wstring RightNames(Role role, DWORD rights) {
    struct Named {
        DWORD right;
        const wchar_t* file;
        const wchar_t* folder;
    };
    static constexpr std::array<Named, 6> kNames = {{
        {FILE_WRITE_DATA, L"FILE_WRITE_DATA", L"FILE_ADD_FILE"},
        {FILE_APPEND_DATA, L"FILE_APPEND_DATA", L"FILE_ADD_SUBDIRECTORY"},
        {FILE_DELETE_CHILD, L"FILE_DELETE_CHILD", L"FILE_DELETE_CHILD"},
        {DELETE, L"DELETE", L"DELETE"},
        {WRITE_DAC, L"WRITE_DAC", L"WRITE_DAC"},
        {WRITE_OWNER, L"WRITE_OWNER", L"WRITE_OWNER"},
    }};
    std::wstring names;
    for (const Named& named : kNames) {
        if ((rights & named.right) == 0) continue;
        if (!names.empty()) names += L"|";
        names += role == Role::Executable ? named.file : named.folder;
    }
    return names;
}

// Generic rights as the file system maps them, for files and folders alike.
DWORD MapGenericRights(DWORD mask) {
    if (mask & GENERIC_READ) mask |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mask |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
    return mask;
}

// The principals whose SIDs every standard user's token carries, or those of users who are
// not even that (guests, anonymous logons): by identifier authority and sub-authorities.
struct Principal {
    const wchar_t* name;
    BYTE authority;
    std::vector<DWORD> subAuthorities;
};
const std::vector<Principal>& EveryUsersPrincipals() {
    static const std::vector<Principal> kPrincipals = {
        {L"Everyone", 1, {0}},
        {L"LOCAL", 2, {0}},
        {L"CONSOLE LOGON", 2, {1}},
        {L"INTERACTIVE", 5, {4}},
        {L"ANONYMOUS LOGON", 5, {7}},
        {L"Authenticated Users", 5, {11}},
        {L"REMOTE INTERACTIVE LOGON", 5, {14}},
        {L"This Organization", 5, {15}},
        {L"Local account", 5, {113}},
        {L"Users", 5, {32, 545}},
        {L"Guests", 5, {32, 546}},
    };
    return kPrincipals;
}

// The name of the principal of the SID at `sid` (`size` bytes at most), if it is one of every
// user's; Domain Users and Domain Guests of any domain (S-1-5-21-x-y-z-513 and -514) count too.
// `readable` turns false when the SID runs past `size`.
std::optional<std::wstring> EveryUsersPrincipal(const BYTE* sid, std::size_t size, bool& readable) {
    constexpr std::size_t kFixedPart = 8;  // revision, count, 6-byte authority
    if (size < kFixedPart || size < kFixedPart + 4u * sid[1]) {
        readable = false;
        return std::nullopt;
    }
    const BYTE* authority = sid + 2;
    for (int i = 0; i < 5; ++i)
        if (authority[i] != 0) return std::nullopt;
    std::vector<DWORD> subAuthorities(sid[1]);
    for (std::size_t i = 0; i < subAuthorities.size(); ++i)
        std::memcpy(&subAuthorities[i], sid + kFixedPart + 4 * i, sizeof(DWORD));

    for (const Principal& principal : EveryUsersPrincipals())
        if (authority[5] == principal.authority && subAuthorities == principal.subAuthorities)
            return principal.name;
    constexpr DWORD kDomainUsers = 513;
    constexpr DWORD kDomainGuests = 514;
    if (authority[5] == 5 && subAuthorities.size() == 5 && subAuthorities[0] == 21) {
        if (subAuthorities[4] == kDomainUsers) return L"Domain Users";
        if (subAuthorities[4] == kDomainGuests) return L"Domain Guests";
    }
    return std::nullopt;
}

template <typename T>
T ReadAt(const BYTE* bytes, std::size_t at) {
    T value;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
}

// What in `dacl` lets standard users replace what the service runs, as "<principal> holds
// <rights>", or nothing. Deny entries are not counted: a deny entry protects only the tokens
// that carry its SID, and which tokens those are cannot be known here, so an allow entry of such
// rights refuses the install wherever it stands. `readable` turns false on an ACL whose sizes
// do not hold together.
std::optional<std::wstring> WhoCanReplace(const ACL* dacl, Role role, bool& readable) {
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    const auto header = ReadAt<ACL>(bytes, 0);
    std::size_t at = sizeof(ACL);
    for (WORD index = 0; index < header.AceCount; ++index) {
        if (header.AclSize < sizeof(ACL) || at + sizeof(ACE_HEADER) > header.AclSize) {
            readable = false;
            return std::nullopt;
        }
        const auto ace = ReadAt<ACE_HEADER>(bytes, at);
        if (ace.AceSize < sizeof(ACE_HEADER) || at + ace.AceSize > header.AclSize) {
            readable = false;
            return std::nullopt;
        }
        const BYTE* entry = bytes + at;
        at += ace.AceSize;
        // An inherit-only entry is only passed on to what is created inside a folder.
        if (ace.AceFlags & INHERIT_ONLY_ACE) continue;

        // Where the SID starts: after the header and the mask, and in an object entry after its
        // flags and the object type GUIDs that they say are present.
        std::size_t sidAt = sizeof(ACE_HEADER) + sizeof(DWORD);
        switch (ace.AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
                break;
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
                constexpr std::size_t kGuidBytes = 16;
                if (ace.AceSize < sidAt + sizeof(DWORD)) {
                    readable = false;
                    return std::nullopt;
                }
                const auto objectFlags = ReadAt<DWORD>(entry, sidAt);
                sidAt += sizeof(DWORD);
                if (objectFlags & ACE_OBJECT_TYPE_PRESENT) sidAt += kGuidBytes;
                if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sidAt += kGuidBytes;
                break;
            }
            default:
                continue;  // deny, audit and alarm entries grant nothing
        }
        if (ace.AceSize < sidAt) {
            readable = false;
            return std::nullopt;
        }
        const auto mask = ReadAt<DWORD>(entry, sizeof(ACE_HEADER));
        const DWORD granted = MapGenericRights(mask) & ReplacingRights(role);
        auto principal = EveryUsersPrincipal(entry + sidAt, ace.AceSize - sidAt, readable);
        if (!readable) return std::nullopt;
        if (principal && granted != 0) return *principal + L" holds " + RightNames(role, granted);
    }
    return std::nullopt;
}

// The length of the volume's root at the start of `path`: "C:\", "\\server\share\", and their
// "\\?\" forms.
std::size_t RootLength(const std::wstring& path) {
    std::size_t start = 0;
    bool unc = false;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        start = 8;
        unc = true;
    } else if (path.rfind(L"\\\\?\\", 0) == 0) {
        start = 4;
    } else if (path.rfind(L"\\\\", 0) == 0) {
        start = 2;
        unc = true;
    }
    if (!unc) return start + 3;
    const std::size_t server = path.find(L'\\', start);
    if (server == std::wstring::npos) return path.size();
    const std::size_t share = path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

// The executable, its folder, and every folder above up to the root, the root included.
std::vector<std::wstring> PathsUpToRoot(const std::wstring& executablePath) {
    const std::size_t rootLength = RootLength(executablePath);
    std::vector<std::wstring> paths = {executablePath};
    std::wstring current = executablePath;
    while (current.size() > rootLength) {
        const std::size_t cut = current.rfind(L'\\');
        if (cut == std::wstring::npos) break;
        current = current.substr(0, cut < rootLength ? rootLength : cut);
        paths.push_back(current);
    }
    return paths;
}

std::wstring NotInstalledLine(const std::wstring& whatIsWrong) {
    return std::wstring(CServiceSource::kServiceName) + L" is not installed: " + whatIsWrong +
           L"\n";
}

}  // namespace

std::optional<std::wstring> ReplaceablePathLine(platform::Platform& platform,
                                                const std::wstring& executablePath) {
    const std::vector<std::wstring> paths = PathsUpToRoot(executablePath);
    for (std::size_t index = 0; index < paths.size(); ++index) {
        const std::wstring& path = paths[index];
        const Role role = index == 0   ? Role::Executable
                          : index == 1 ? Role::ItsFolder
                                       : Role::FolderAbove;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD error =
            platform.GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, &dacl, nullptr, &descriptor);
        // What cannot be read cannot be judged safe.
        if (error != ERROR_SUCCESS)
            return L"GetNamedSecurityInfo failed w/err 0x" + diagnostic::Hex8(error) + L"\n";

        std::optional<std::wstring> line;
        bool readable = true;
        if (dacl == nullptr) {
            line = NotInstalledLine(path + L" has no DACL");
        } else if (auto holder = WhoCanReplace(dacl, role, readable)) {
            line = NotInstalledLine(*holder + L" on " + path);
        } else if (!readable) {
            line = NotInstalledLine(path + L" has a DACL that cannot be read");
        }
        platform.LocalFree(descriptor);
        if (line) return line;
    }
    return std::nullopt;
}
