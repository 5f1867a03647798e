// Simulated machine only: who owns and may change each file and folder, what each drive letter
// stands for, the links on paths, and the accounts: what GetNamedSecurityInfoW,
// GetTokenInformation, LookupAccountSidW, GetDriveTypeW, QueryDosDeviceW and GetFileAttributesW
// answer.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

// One access control entry: its type, its inheritance flags, its access mask and the SID it is
// for, written as a string ("S-1-1-0").
struct SimAce {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    DWORD mask = 0;
    std::wstring sid;
    bool operator==(const SimAce&) const = default;
};
// A DACL; none is a NULL DACL, which grants everyone every right.
using SimDacl = std::optional<std::vector<SimAce>>;

// Well-known SIDs, as Windows's documentation writes them.
inline constexpr const wchar_t* kEveryoneSid = L"S-1-1-0";
inline constexpr const wchar_t* kCreatorOwnerSid = L"S-1-3-0";
inline constexpr const wchar_t* kOwnerRightsSid = L"S-1-3-4";
inline constexpr const wchar_t* kAuthenticatedUsersSid = L"S-1-5-11";
inline constexpr const wchar_t* kUsersSid = L"S-1-5-32-545";
inline constexpr const wchar_t* kAdministratorsSid = L"S-1-5-32-544";
inline constexpr const wchar_t* kLocalSystemSid = L"S-1-5-18";
inline constexpr const wchar_t* kTrustedInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// The machine's own accounts (its domain is S-1-5-21-1-2-3): the administrator who runs every
// process started from a console, and a standard user.
inline constexpr const wchar_t* kMachineName = L"WORKSTATION";
inline constexpr const wchar_t* kConsoleUserSid = L"S-1-5-21-1-2-3-500";
inline constexpr const wchar_t* kStandardUserSid = L"S-1-5-21-1-2-3-1001";

// What an `acl` gives a path: the owner and the DACL, each only when the SDDL has it.
struct SimSecurityDescriptor {
    std::optional<std::wstring> owner;
    std::optional<SimDacl> dacl;
};
// A security descriptor in SDDL, as `icacls /save` or `(Get-Acl PATH).Sddl` write it: "O:" an
// owner, "G:" a group (read and dropped), "D:" the DACL flags (P, AI, AR, or NO_ACCESS_CONTROL
// for a NULL DACL) and its entries "(type;flags;rights;;;SID)" of the types A, D, XA and XD (a
// condition after the SID is read and dropped). SIDs are "S-1-..." or the two-letter aliases;
// rights a number or the two-letter codes. Either the descriptor or what is wrong with it.
std::variant<SimSecurityDescriptor, std::string> ParseSddl(std::string_view sddl);

class SimSecurity {
public:
    explicit SimSecurity(SimMachine& machine) : m_machine(machine) {}

    // Answers SE_FILE_OBJECT with OWNER_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION or both,
    // the DACL first and the owner after it in the block; any other part of the descriptor is
    // ERROR_NOT_SUPPORTED, a limit of the machine rather than Windows's answer.
    DWORD GetNamedSecurityInfoW(SimProcess& caller, LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* securityDescriptor);
    // TokenUser of the current process's token: LocalSystem for a process the SCM started,
    // kConsoleUserSid for every other. Other classes and handles are ERROR_NOT_SUPPORTED and
    // ERROR_INVALID_HANDLE.
    BOOL GetTokenInformation(SimProcess& caller, HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                             LPVOID information, DWORD length, PDWORD returnLength);
    // The well-known SIDs and the machine's own accounts; on the local machine only.
    BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameLength,
                           LPWSTR domain, LPDWORD domainLength, PSID_NAME_USE use);
    UINT GetDriveTypeW(LPCWSTR rootPath);
    DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max);
    // Every path exists: an installed program is a file, every other path a folder.
    DWORD GetFileAttributesW(LPCWSTR fileName);

    // --- driver side. Paths are compared without case, a trailing backslash ignored but a
    // volume root's.
    void SetDacl(const std::wstring& path, SimDacl dacl);
    void SetOwner(const std::wstring& path, std::wstring sid);
    // The path becomes a junction: a reparse point.
    void SetReparsePoint(const std::wstring& path);
    // DRIVE_FIXED, DRIVE_REMOVABLE or DRIVE_REMOTE for the letter; every letter is fixed until
    // set.
    void SetDriveType(wchar_t letter, UINT type);
    // The letter becomes a SUBST drive of `target` ("C:\Tools"): its type is the target's.
    void SetSubst(wchar_t letter, std::wstring target);
    // The letter is defined with a raw target in the object namespace, as DefineDosDeviceW with
    // DDD_RAW_TARGET_PATH makes it ("\Device\HarddiskVolume3\Users\alice"); it is fixed.
    void SetRawDosDevice(wchar_t letter, std::wstring target);
    // What a path has when no test has set it: a volume root ("C:\") has Windows's default
    // for the system drive's root, every other path Windows's default for C:\Program Files; both
    // are owned by TrustedInstaller.
    static std::vector<SimAce> VolumeRootDacl();
    static std::vector<SimAce> ProgramFilesDacl();

private:
    SimMachine& m_machine;
    std::map<std::wstring, SimDacl> m_dacls;
    std::map<std::wstring, std::wstring> m_owners;
    std::set<std::wstring> m_reparsePoints;
    std::map<wchar_t, UINT> m_driveTypes;
    std::map<wchar_t, std::wstring> m_substs;
    std::map<wchar_t, std::wstring> m_rawDosDevices;
};

}  // namespace sim
