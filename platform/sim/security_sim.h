// Simulated machine only: the security descriptors of files and folders, as GetNamedSecurityInfoW
// returns them.
#pragma once

#include <map>
#include <optional>
#include <string>
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
};
// A DACL; none is a NULL DACL, which grants everyone every right.
using SimDacl = std::optional<std::vector<SimAce>>;

// Well-known SIDs, as Windows's documentation writes them.
inline constexpr const wchar_t* kEveryoneSid = L"S-1-1-0";
inline constexpr const wchar_t* kAuthenticatedUsersSid = L"S-1-5-11";
inline constexpr const wchar_t* kUsersSid = L"S-1-5-32-545";
inline constexpr const wchar_t* kAdministratorsSid = L"S-1-5-32-544";
inline constexpr const wchar_t* kLocalSystemSid = L"S-1-5-18";
inline constexpr const wchar_t* kTrustedInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

class SimSecurity {
public:
    explicit SimSecurity(SimMachine& machine) : m_machine(machine) {}

    // Answers SE_FILE_OBJECT with DACL_SECURITY_INFORMATION, the one question the machine keeps
    // answers for; any other part of the descriptor is ERROR_NOT_SUPPORTED, a limit of the
    // machine rather than Windows's answer.
    DWORD GetNamedSecurityInfoW(SimProcess& caller, LPCWSTR objectName, SE_OBJECT_TYPE objectType,
                                SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* securityDescriptor);

    // --- driver side. Paths are compared without case, a trailing backslash ignored but a
    // volume root's.
    void SetDacl(const std::wstring& path, SimDacl dacl);
    // What a path has when no test has set it: a volume root ("C:\") has Windows's default
    // for the system drive's root, every other path Windows's default for C:\Program Files.
    static std::vector<SimAce> VolumeRootDacl();
    static std::vector<SimAce> ProgramFilesDacl();

private:
    SimMachine& m_machine;
    std::map<std::wstring, SimDacl> m_dacls;
};

}  // namespace sim
