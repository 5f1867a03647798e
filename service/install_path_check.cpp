// The install's check of the path it registers. The service runs as LocalSystem whatever file its
// path names then, so a path that anyone but the machine's administrators can change hands them
// SYSTEM. Trust is by allow-list: the principals that already control the machine, and nobody
// else, may hold a right that replaces what the service runs.
//
// The descriptors are read as Windows lays them out, byte by byte, rather than through the ACL
// API, so that the whole judgement is the same code on every platform.
#include "service/install_path_check.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <cwctype>
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

template <typename T>
T ReadAt(const BYTE* bytes, std::size_t at) {
    T value;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
}

// A SID's bytes: revision, count, the 6-byte authority, then the sub-authorities.
using Sid = std::vector<BYTE>;
constexpr std::size_t kSidFixedBytes = 8;
constexpr BYTE kSidMaxSubAuthorities = 15;
constexpr std::size_t kSidMaxBytes = kSidFixedBytes + 4 * kSidMaxSubAuthorities;

// The SID at `bytes`, if it fits in `size` bytes.
std::optional<Sid> SidAt(const BYTE* bytes, std::size_t size) {
    if (size < kSidFixedBytes || bytes[1] > kSidMaxSubAuthorities) return std::nullopt;
    const std::size_t length = kSidFixedBytes + 4u * bytes[1];
    if (size < length) return std::nullopt;
    return Sid(bytes, bytes + length);
}

Sid MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    Sid sid = {1, static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0, authority};
    for (DWORD sub : subAuthorities)
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(sub >> shift));
    return sid;
}

std::wstring SidString(const Sid& sid) {
    unsigned long long authority = 0;
    for (std::size_t i = 2; i < kSidFixedBytes; ++i) authority = authority << 8 | sid[i];
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (std::size_t at = kSidFixedBytes; at < sid.size(); at += 4)
        text += L"-" + std::to_wstring(ReadAt<DWORD>(sid.data(), at));
    return text;
}

// Those who already control the machine: LocalSystem, Administrators and TrustedInstaller
// (NT SERVICE\TrustedInstaller, the SHA-1 of its name in five sub-authorities).
const std::vector<Sid>& MachineControllers() {
    static const std::vector<Sid> kSids = {
        MakeSid(5, {18}),
        MakeSid(5, {32, 544}),
        MakeSid(5, {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u}),
    };
    return kSids;
}

// Placeholders that stand for the owner: CREATOR OWNER and CREATOR GROUP mean something only in
// the inherit-only entries that pass rights on; OWNER RIGHTS stands for whoever owns the object.
const Sid kCreatorOwner = MakeSid(3, {0});
const Sid kCreatorGroup = MakeSid(3, {1});
const Sid kOwnerRights = MakeSid(3, {4});

// GetCurrentProcessToken(): the pseudo-handle of the running process's token.
const HANDLE kCurrentProcessToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));

std::wstring NotInstalledLine(const std::wstring& whatIsWrong) {
    return std::wstring(CServiceSource::kServiceName) + L" is not installed: " + whatIsWrong +
           L"\n";
}

std::wstring FailedLine(const wchar_t* call, DWORD error) {
    return std::wstring(call) + L" failed w/err 0x" + diagnostic::Hex8(error) + L"\n";
}

// The account that runs the install, from its token's user.
std::optional<Sid> InstallingAccount(platform::Platform& platform, std::wstring& failure) {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + kSidMaxBytes];
    DWORD length = 0;
    if (!platform.GetTokenInformation(kCurrentProcessToken, TokenUser, buffer, sizeof buffer,
                                      &length)) {
        failure = FailedLine(L"GetTokenInformation", platform.GetLastError());
        return std::nullopt;
    }
    const auto user = ReadAt<TOKEN_USER>(buffer, 0);
    // The SID follows the structure in the same buffer.
    const auto start = reinterpret_cast<std::uintptr_t>(buffer);
    const auto at = reinterpret_cast<std::uintptr_t>(user.User.Sid);
    std::optional<Sid> sid;
    if (at >= start && at < start + sizeof buffer)
        sid = SidAt(buffer + (at - start), sizeof buffer - (at - start));
    if (!sid) failure = FailedLine(L"GetTokenInformation", ERROR_INVALID_PARAMETER);
    return sid;
}

class PathJudge {
public:
    PathJudge(platform::Platform& platform, Sid installingAccount)
        : m_platform(platform), m_installingAccount(std::move(installingAccount)) {}

    // The installing account is trusted with the machine's controllers: only an administrator
    // can create the service, and that account's unelevated processes, which carry the same SID,
    // are that administrator already, since UAC is no security boundary.
    bool Trusted(const Sid& sid) const {
        if (sid == m_installingAccount) return true;
        for (const Sid& controller : MachineControllers())
            if (sid == controller) return true;
        return false;
    }

    // "DOMAIN\name" as LookupAccountSidW gives it, the name alone for a domain that is empty
    // (Everyone), or the SID's string form when the lookup fails.
    std::wstring NameOf(const Sid& sid) {
        constexpr DWORD kNameChars = 256;
        WCHAR name[kNameChars];
        WCHAR domain[kNameChars];
        DWORD nameLength = kNameChars;
        DWORD domainLength = kNameChars;
        SID_NAME_USE use{};
        Sid copy = sid;
        if (!m_platform.LookupAccountSidW(nullptr, copy.data(), name, &nameLength, domain,
                                          &domainLength, &use) ||
            nameLength >= kNameChars || domainLength >= kNameChars)
            return SidString(sid);
        const std::wstring account(name, nameLength);
        return domainLength == 0 ? account : std::wstring(domain, domainLength) + L"\\" + account;
    }

    // What the descriptor of `path` says about who can replace what the service runs, as the
    // line that refuses the install, or nothing.
    std::optional<std::wstring> Judge(const std::wstring& path, Role role, const BYTE* owner,
                                      const ACL* dacl) {
        constexpr std::size_t kOwnerBytesMax = kSidMaxBytes;
        const std::optional<Sid> ownerSid =
            owner != nullptr ? SidAt(owner, kOwnerBytesMax) : std::nullopt;
        if (!ownerSid) return NotInstalledLine(path + L" has no owner that can be read");
        if (dacl == nullptr) return NotInstalledLine(path + L" has no DACL");

        bool readable = true;
        bool ownerRightsPresent = false;
        auto line = WhoCanReplace(path, role, *ownerSid, dacl, readable, ownerRightsPresent);
        if (!readable) return NotInstalledLine(path + L" has a DACL that cannot be read");
        if (line) return line;
        // The owner may always read and rewrite the DACL (READ_CONTROL and WRITE_DAC), unless an
        // OWNER RIGHTS entry stands in for those implicit rights; what that entry grants was
        // judged above as the owner's.
        if (!ownerRightsPresent && !Trusted(*ownerSid))
            return NotInstalledLine(path + L" is owned by " + NameOf(*ownerSid));
        return std::nullopt;
    }

private:
    // Deny entries are not counted: a deny entry protects only the tokens that carry its SID,
    // and which tokens those are cannot be known here, so an allow entry of such rights refuses
    // the install wherever it stands. `readable` turns false on an ACL whose sizes do not hold
    // together.
    std::optional<std::wstring> WhoCanReplace(const std::wstring& path, Role role, const Sid& owner,
                                              const ACL* dacl, bool& readable,
                                              bool& ownerRightsPresent) {
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

            // Where the SID starts: after the header and the mask, and in an object entry after
            // its flags and the object type GUIDs that they say are present.
            std::size_t sidAt = sizeof(ACE_HEADER) + sizeof(DWORD);
            bool allows = false;
            bool objectEntry = false;
            switch (ace.AceType) {
                case ACCESS_ALLOWED_ACE_TYPE:
                case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
                    allows = true;
                    break;
                case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
                case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                    allows = objectEntry = true;
                    break;
                // Deny entries grant nothing; they are read for their SID only.
                case ACCESS_DENIED_ACE_TYPE:
                case ACCESS_DENIED_CALLBACK_ACE_TYPE:
                    break;
                case ACCESS_DENIED_OBJECT_ACE_TYPE:
                case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
                    objectEntry = true;
                    break;
                default:
                    // No other type belongs in a DACL (audit, alarm and label entries are the
                    // SACL's; a compound entry is the server's): what it grants cannot be judged.
                    readable = false;
                    return std::nullopt;
            }
            if (objectEntry) {
                constexpr std::size_t kGuidBytes = 16;
                if (ace.AceSize < sidAt + sizeof(DWORD)) {
                    readable = false;
                    return std::nullopt;
                }
                const auto objectFlags = ReadAt<DWORD>(entry, sidAt);
                sidAt += sizeof(DWORD);
                if (objectFlags & ACE_OBJECT_TYPE_PRESENT) sidAt += kGuidBytes;
                if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sidAt += kGuidBytes;
            }
            if (ace.AceSize < sidAt) {
                readable = false;
                return std::nullopt;
            }
            const std::optional<Sid> sid = SidAt(entry + sidAt, ace.AceSize - sidAt);
            if (!sid) {
                readable = false;
                return std::nullopt;
            }
            // Any OWNER RIGHTS entry on the object, a deny entry too, takes the owner's implicit
            // rights away.
            if (*sid == kOwnerRights) ownerRightsPresent = true;
            if (!allows || *sid == kCreatorOwner || *sid == kCreatorGroup) continue;

            const auto mask = ReadAt<DWORD>(entry, sizeof(ACE_HEADER));
            const DWORD granted = MapGenericRights(mask) & ReplacingRights(role);
            const Sid& holder = *sid == kOwnerRights ? owner : *sid;
            if (granted == 0 || Trusted(holder)) continue;
            const std::wstring rights = RightNames(role, granted) + L" on " + path;
            if (*sid == kOwnerRights)
                return NotInstalledLine(L"OWNER RIGHTS gives the owner " + NameOf(owner) + L" " +
                                        rights);
            return NotInstalledLine(NameOf(holder) + L" holds " + rights);
        }
        return std::nullopt;
    }

    platform::Platform& m_platform;
    Sid m_installingAccount;
};

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// What GetDriveTypeW's answer other than DRIVE_FIXED means.
std::wstring DriveTypeText(UINT type) {
    switch (type) {
        case DRIVE_REMOVABLE:
            return L"a removable drive";
        case DRIVE_REMOTE:
            return L"a network drive";
        case DRIVE_CDROM:
            return L"a CD-ROM drive";
        case DRIVE_RAMDISK:
            return L"a RAM disk";
        case DRIVE_NO_ROOT_DIR:
            return L"no volume";
        default:
            return L"a drive of unknown type " + std::to_wstring(type);
    }
}

// Whether `executablePath` names a file on a fixed local volume by its drive letter. A share is
// changed by whoever administers the machine that serves it; a removable volume carries the
// owners and DACLs its author gave it and is edited elsewhere; a SUBST drive is absent for
// SYSTEM at boot and may then name another folder.
std::optional<std::wstring> VolumeLine(platform::Platform& platform,
                                       const std::wstring& executablePath) {
    std::wstring local = executablePath;
    if (StartsWith(local, L"\\\\?\\")) local = local.substr(4);
    // "\\.\" names a device, a volume or GLOBALROOT's objects, never a share.
    if (StartsWith(local, L"\\\\.\\"))
        return NotInstalledLine(executablePath + L" is not on a drive letter");
    if (StartsWith(local, L"UNC\\") || StartsWith(local, L"\\\\"))
        return NotInstalledLine(executablePath + L" is on a network share");
    if (local.size() < 3 || local[1] != L':' || local[2] != L'\\' ||
        !std::iswalpha(static_cast<wint_t>(local[0])))
        return NotInstalledLine(executablePath + L" is not on a drive letter");

    const std::wstring root = local.substr(0, 3);
    const UINT type = platform.GetDriveTypeW(root.c_str());
    if (type != DRIVE_FIXED) return NotInstalledLine(root + L" is " + DriveTypeText(type));

    const std::wstring device = local.substr(0, 2);
    WCHAR target[MAX_PATH];
    const DWORD written = platform.QueryDosDeviceW(device.c_str(), target, MAX_PATH);
    if (written == 0) return FailedLine(L"QueryDosDevice", platform.GetLastError());
    // A volume's letter names its device ("\Device\HarddiskVolume3"); a SUBST drive's names a
    // path ("\??\C:\Tools").
    const std::wstring stands(target, std::wcslen(target));
    // DefineDosDevice with a raw target can also point a letter into a folder of a volume
    // ("\Device\HarddiskVolume3\Users\alice"), past the folders above it: a device's name
    // alone has no backslash after its first two.
    if (!StartsWith(stands, L"\\Device\\") || stands.find(L'\\', 8) != std::wstring::npos)
        return NotInstalledLine(device + L" stands for " + stands + L", not for a volume");
    return std::nullopt;
}

// The length of the volume's root at the start of `path`: "C:\" or "\\?\C:\".
std::size_t RootLength(const std::wstring& path) {
    return (StartsWith(path, L"\\\\?\\") ? 4 : 0) + 3;
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

}  // namespace

std::optional<std::wstring> ReplaceablePathLine(platform::Platform& platform,
                                                const std::wstring& executablePath) {
    if (auto line = VolumeLine(platform, executablePath)) return line;
    std::wstring failure;
    std::optional<Sid> installingAccount = InstallingAccount(platform, failure);
    if (!installingAccount) return failure;
    PathJudge judge(platform, std::move(*installingAccount));

    const std::vector<std::wstring> paths = PathsUpToRoot(executablePath);
    for (std::size_t index = 0; index < paths.size(); ++index) {
        const std::wstring& path = paths[index];
        const Role role = index == 0   ? Role::Executable
                          : index == 1 ? Role::ItsFolder
                                       : Role::FolderAbove;
        // A junction or a link is refused, not followed: what it points at can change after the
        // install, and GetNamedSecurityInfoW would judge its target's DACL, never its own.
        const DWORD attributes = platform.GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return FailedLine(L"GetFileAttributes", platform.GetLastError());
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return NotInstalledLine(path + L" is a junction or a link");

        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD error = platform.GetNamedSecurityInfoW(
            path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &owner, nullptr, &dacl, nullptr, &descriptor);
        // What cannot be read cannot be judged safe.
        if (error != ERROR_SUCCESS) return FailedLine(L"GetNamedSecurityInfo", error);
        std::optional<std::wstring> line =
            judge.Judge(path, role, static_cast<const BYTE*>(owner), dacl);
        platform.LocalFree(descriptor);
        if (line) return line;
    }
    return std::nullopt;
}
