// The executable from the command line: which arguments install, remove, do nothing or run the
// service, and every console line of the installer and the remover.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "platform/sim/mitigations_sim.h"
#include "platform/sim/security_sim.h"
#include "platform/text.h"
#include "tests/service_harness.h"

namespace {

using ::testing::ElementsAre;
using testing_support::kImagePath;
using testing_support::ServiceHarness;

class ProcessEntryTest : public ::testing::Test {
protected:
    // Runs the executable from a console with `args` until it exits; returns its print calls.
    std::vector<std::string> Run(std::vector<std::wstring> args,
                                 const std::wstring& image = kImagePath) {
        sim::SimProcess* process = harness.machine.Launch(image, std::move(args));
        EXPECT_NE(process, nullptr);
        if (process == nullptr) return {};
        EXPECT_TRUE(harness.machine.RunUntilExited(*process, 60'000).idle);
        EXPECT_TRUE(process->HasExited());
        EXPECT_EQ(process->ExitCode(), 0);
        std::vector<std::string> prints;
        for (auto& output : harness.machine.Log().Of<sim::ConsoleOutput>())
            if (output.process == process->Name()) prints.push_back(output.text);
        return prints;
    }

    std::size_t Registrations() {
        return harness.machine.Log().Of<sim::ServiceRegistration>().size();
    }

    ServiceHarness harness;
};

TEST_F(ProcessEntryTest, InstallOrRemoveInAnyCaseWithDashOrSlashOnlyAsTheFirstArgument) {
    for (const wchar_t* install : {L"-install", L"-INSTALL", L"/Install"}) {
        SCOPED_TRACE(platform::Utf8FromWide(install));
        ServiceHarness fresh;
        sim::SimProcess* process = fresh.machine.Launch(kImagePath, {install, L"-remove"});
        ASSERT_TRUE(fresh.machine.RunUntilExited(*process, 60'000).idle);
        EXPECT_EQ(process->Stdout(), "BrevRctlService is installed.\n");
        EXPECT_TRUE(fresh.machine.Scm().Registration(CServiceSource::kServiceName).has_value());
    }
    for (const wchar_t* nothing : {L"--install", L"-", L"/?", L"-installx", L"/removed"}) {
        SCOPED_TRACE(platform::Utf8FromWide(nothing));
        EXPECT_TRUE(Run({nothing}).empty());
    }
    EXPECT_EQ(Registrations(), 0u);
}

// Every run narrows the process first, whatever its arguments: DLLs from System32 only
// (LOAD_LIBRARY_SEARCH_SYSTEM32, 0x800), extension points disabled (policy 6, flag 0x1), no
// remote or low-label images and System32 preferred (policy 10, flags 0x1 | 0x2 | 0x4).
TEST_F(ProcessEntryTest, EveryRunTakesTheMitigationsAndARefusalIsOneRecordEach) {
    for (const std::vector<std::wstring>& args :
         std::vector<std::vector<std::wstring>>{{}, {L"-install"}, {L"/?"}}) {
        ServiceHarness fresh;
        sim::SimProcess* process = fresh.machine.Launch(kImagePath, args);
        ASSERT_TRUE(fresh.machine.RunUntilExited(*process, 60'000).idle);
        const auto requests = fresh.machine.Mitigations().Requests(process->Name());
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0].operation, "SetDefaultDllDirectories");
        EXPECT_EQ(requests[0].flags, 0x800u);
        EXPECT_EQ(requests[1].operation, "SetProcessMitigationPolicy");
        EXPECT_EQ(requests[1].policy, std::optional(static_cast<PROCESS_MITIGATION_POLICY>(6)));
        EXPECT_EQ(requests[1].flags, 0x1u);
        EXPECT_EQ(requests[2].policy, std::optional(static_cast<PROCESS_MITIGATION_POLICY>(10)));
        EXPECT_EQ(requests[2].flags, 0x7u);
        for (const auto& request : requests) EXPECT_EQ(request.error, 0u);
        for (const auto& record : fresh.machine.Log().Of<sim::EventRecord>())
            EXPECT_NE(record.type, EVENTLOG_ERROR_TYPE) << platform::Utf8FromWide(record.Message());
    }

    // Refused (as Windows 8 refuses the image-load policy it does not know): one error record
    // each, and the run goes on as before.
    harness.machine.Faults().Add({"SetDefaultDllDirectories", ERROR_ACCESS_DENIED, 0, 1});
    harness.machine.Faults().Add({"SetProcessMitigationPolicy", ERROR_INVALID_PARAMETER, 0, 2});
    EXPECT_EQ(Run({}).back(), "Service failed to run w/err 0x00000427\n");
    std::vector<std::wstring> messages;
    for (const auto& record : harness.machine.Log().Of<sim::EventRecord>()) {
        EXPECT_EQ(record.type, 1);
        messages.push_back(record.Message());
    }
    EXPECT_THAT(messages,
                ElementsAre(L"SetDefaultDllDirectories failed w/err 0x00000005",
                            L"SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy) "
                            L"failed w/err 0x00000057",
                            L"SetProcessMitigationPolicy(ProcessImageLoadPolicy) failed w/err "
                            L"0x00000057"));
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(ProcessEntryTest, AnyOtherArgumentRunsAsTheServiceAndAConsoleCannotConnect) {
    const std::vector<std::string> expected = {
        "Parameters:\n", " -install  to install the service.\n",
        " -remove   to remove the service.\n", "Service failed to run w/err 0x00000427\n"};
    EXPECT_EQ(Run({}), expected);
    EXPECT_EQ(Run({L"install"}), expected);
    EXPECT_EQ(Run({L""}), expected);
    EXPECT_EQ(Registrations(), 0u);
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(ProcessEntryTest, AConsoleRunBesideTheRunningServiceLeavesTheServiceAlone) {
    harness.StartService();
    EXPECT_EQ(Run({}).back(), "Service failed to run w/err 0x00000427\n");
    harness.Mark();
    harness.Stop();
    EXPECT_TRUE(harness.ServiceProcessExited());
    ASSERT_FALSE(harness.Statuses().empty());
    // The service's own counter goes on: start pending took 1, so stop pending takes 2.
    EXPECT_EQ(harness.Statuses()[0].dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(harness.Statuses()[0].dwCheckPoint, 2u);
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(ProcessEntryTest, InstallRegistersTheQuotedPathAndStartsTheService) {
    EXPECT_THAT(Run({L"-install"}), ElementsAre("BrevRctlService is installed.\n"));
    auto registration = harness.machine.Scm().Registration(CServiceSource::kServiceName);
    ASSERT_TRUE(registration.has_value());
    EXPECT_EQ(registration->displayName, L"BrevRctlService");
    EXPECT_EQ(registration->serviceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(registration->startType, SERVICE_AUTO_START);
    EXPECT_EQ(registration->errorControl, SERVICE_ERROR_IGNORE);
    EXPECT_EQ(registration->binaryPath, L"\"" + std::wstring(kImagePath) + L"\"");
    EXPECT_THAT(registration->dependencies, ElementsAre(L"WlanSvc"));
    EXPECT_EQ(registration->account, L"LocalSystem");
    EXPECT_FALSE(registration->hasPassword);
    // The SCM started the service from the quoted path: it is running on the switch device.
    EXPECT_EQ(harness.machine.Scm().CurrentStatus(CServiceSource::kServiceName).dwCurrentState,
              SERVICE_RUNNING);
}

TEST_F(ProcessEntryTest, InstallFailuresPrintTheirLineAndRegisterNothingMore) {
    Run({L"-install"});
    EXPECT_THAT(Run({L"-install"}), ElementsAre("CreateService failed w/err 0x00000431\n"));
    EXPECT_EQ(Registrations(), 1u);

    ServiceHarness unprivileged;
    unprivileged.machine.Scm().SetCallerPrivileged(false);
    sim::SimProcess* process = unprivileged.machine.Launch(kImagePath, {L"-install"});
    ASSERT_TRUE(unprivileged.machine.RunUntilExited(*process, 60'000).idle);
    EXPECT_EQ(process->Stdout(), "OpenSCManager failed w/err 0x00000005\n");

    ServiceHarness notStarting;
    notStarting.machine.Faults().Add({"StartServiceW", ERROR_SERVICE_DISABLED, 0, 1});
    process = notStarting.machine.Launch(kImagePath, {L"-install"});
    ASSERT_TRUE(notStarting.machine.RunUntilExited(*process, 60'000).idle);
    EXPECT_EQ(process->Stdout(), "StartSerive failed w/err 0x00000422\n");
    EXPECT_TRUE(notStarting.machine.Scm().Registration(CServiceSource::kServiceName).has_value());
    EXPECT_TRUE(notStarting.machine.OpenResources().empty());
}

TEST_F(ProcessEntryTest, ModulePathCutOffAtTheBufferRegistersNothing) {
    const std::wstring longPath = L"C:\\" + std::wstring(280, L'd') + L"\\BrevRctlService.exe";
    harness.machine.InstallImage(longPath, ProcessEntry);
    EXPECT_THAT(Run({L"-install"}, longPath),
                ElementsAre("GetModuleFileName failed w/err 0x0000007a\n"));
    harness.machine.Faults().Add({"GetModuleFileNameW", ERROR_ACCESS_DENIED, 0, 1});
    EXPECT_THAT(Run({L"-install"}), ElementsAre("GetModuleFileName failed w/err 0x00000005\n"));
    EXPECT_EQ(Registrations(), 0u);
}

// Access rights, entry types, flags, drive types and SIDs as Windows documents them (winnt.h,
// fileapi.h, "Well-known SIDs"): what the installer must recognise, written out rather than taken
// from the seam.
constexpr BYTE kAllowed = 0x0;
constexpr BYTE kDenied = 0x1;
constexpr BYTE kAllowedCallback = 0x9;
constexpr BYTE kAllowedCompound = 0x4;
constexpr BYTE kObjectAndContainerInherit = 0x3;
constexpr BYTE kInheritOnly = 0x8;
constexpr BYTE kInherited = 0x10;
constexpr DWORD kModify = 0x1301FF;  // what Wine gives Everyone on a 0777 folder
constexpr DWORD kWindowsModify = 0x1301BF;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kFullControl = 0x1F01FF;
constexpr DWORD kAddFile = 0x2;
constexpr DWORD kReadExecute = 0x1200A9;
constexpr UINT kDriveRemovable = 2;
constexpr UINT kDriveRemote = 4;
constexpr const wchar_t* kSystem = L"S-1-5-18";
constexpr const wchar_t* kAdministrators = L"S-1-5-32-544";
constexpr const wchar_t* kUsers = L"S-1-5-32-545";
constexpr const wchar_t* kOwnerRights = L"S-1-3-4";
constexpr const wchar_t* kCreatorOwner = L"S-1-3-0";
constexpr const wchar_t* kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const wchar_t* kFolder = L"C:\\Program Files\\BrevRctl";
constexpr const wchar_t* kDownloads = L"C:\\Users\\alice\\Downloads";

// A folder's DACL that only SYSTEM and administrators may change, users reading.
std::vector<sim::SimAce> AdministratorsOnly() {
    return {{kAllowed, kObjectAndContainerInherit, kFullControl, kSystem},
            {kAllowed, kObjectAndContainerInherit, kFullControl, kAdministrators},
            {kAllowed, kObjectAndContainerInherit, kReadExecute, kUsers}};
}

TEST_F(ProcessEntryTest, InstallFromAPathAnyoneButAdministratorsCanChangeRegistersNothing) {
    struct Case {
        const char* title;
        std::wstring image;
        std::function<void(sim::SimMachine&)> setUp;
        std::string line;
    };
    const auto dacl = [](std::wstring path, sim::SimDacl entries) {
        return [path, entries](sim::SimMachine& machine) {
            machine.Security().SetDacl(path, entries);
        };
    };
    const std::string refused = "BrevRctlService is not installed: ";
    const std::wstring inDownloads = std::wstring(kDownloads) + L"\\BrevRctlService.exe";
    const std::vector<Case> cases = {
        {"its folder writable by everyone", kImagePath,
         dacl(kFolder, std::vector<sim::SimAce>{
                           {kAllowed, kObjectAndContainerInherit, kModify, L"S-1-1-0"}}),
         refused + "Everyone holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_DELETE_CHILD|DELETE "
                   "on C:\\Program Files\\BrevRctl\n"},
        // A deny entry protects only the tokens that carry its SID; full control of a folder
        // above, as a generic right, lets users rename the service's folder away.
        {"a folder above that users control", kImagePath,
         dacl(L"C:\\Program Files",
              std::vector<sim::SimAce>{{kDenied, 0, kModify, L"S-1-1-0"},
                                       {kAllowed, 0, kGenericAll, kUsers}}),
         refused + "BUILTIN\\Users holds FILE_DELETE_CHILD|DELETE|WRITE_DAC|WRITE_OWNER on "
                   "C:\\Program Files\n"},
        {"the executable writable by authenticated users", kImagePath,
         dacl(kImagePath, std::vector<sim::SimAce>{{kAllowed, kInherited, kModify, L"S-1-5-11"}}),
         refused + "NT AUTHORITY\\Authenticated Users holds FILE_WRITE_DATA|FILE_APPEND_DATA|"
                   "DELETE on C:\\Program Files\\BrevRctl\\BrevRctlService.exe\n"},
        // Accounts of a domain the machine cannot look up are named by their SIDs.
        {"a conditional entry for a domain's users", kImagePath,
         dacl(kFolder, std::vector<sim::SimAce>{{kAllowedCallback, 0, kAddFile,
                                                 L"S-1-5-21-7-8-9-513"}}),
         refused + "S-1-5-21-7-8-9-513 holds FILE_ADD_FILE on C:\\Program Files\\BrevRctl\n"},
        {"a domain group with modify", kImagePath,
         dacl(kFolder, std::vector<sim::SimAce>{{kAllowed, kObjectAndContainerInherit,
                                                 kWindowsModify, L"S-1-5-21-7-8-9-1104"}}),
         refused + "S-1-5-21-7-8-9-1104 holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|DELETE on "
                   "C:\\Program Files\\BrevRctl\n"},
        {"one domain account with modify", kImagePath,
         dacl(kFolder,
              std::vector<sim::SimAce>{{kAllowed, 0, kWindowsModify, L"S-1-5-21-7-8-9-1001"}}),
         refused + "S-1-5-21-7-8-9-1001 holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|DELETE on "
                   "C:\\Program Files\\BrevRctl\n"},
        {"Remote Desktop Users with write", kImagePath,
         dacl(kFolder, std::vector<sim::SimAce>{{kAllowed, 0, kAddFile, L"S-1-5-32-555"}}),
         refused + "BUILTIN\\Remote Desktop Users holds FILE_ADD_FILE on C:\\Program "
                   "Files\\BrevRctl\n"},
        {"a NULL DACL on the volume's root", kImagePath, dacl(L"C:\\", std::nullopt),
         refused + "C:\\ has no DACL\n"},
        // An entry of a type no DACL should hold grants what cannot be judged.
        {"a compound entry", kImagePath,
         dacl(kFolder, std::vector<sim::SimAce>{{kAllowedCompound, 0, kAddFile, kAdministrators}}),
         refused + "C:\\Program Files\\BrevRctl has a DACL that cannot be read\n"},
        // Windows's default profile folder: SYSTEM, administrators and alice full control, alice
        // the owner.
        {"alice's Downloads", inDownloads,
         [](sim::SimMachine& machine) {
             machine.Security().SetDacl(
                 kDownloads,
                 std::vector<sim::SimAce>{
                     {kAllowed, kObjectAndContainerInherit, kFullControl, kSystem},
                     {kAllowed, kObjectAndContainerInherit, kFullControl, kAdministrators},
                     {kAllowed, kObjectAndContainerInherit, kFullControl,
                      sim::kStandardUserSid}});
             machine.Security().SetOwner(kDownloads, sim::kStandardUserSid);
         },
         refused + "WORKSTATION\\alice holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|"
                   "FILE_DELETE_CHILD|DELETE|WRITE_DAC|WRITE_OWNER on C:\\Users\\alice\\Downloads\n"},
        // The owner may rewrite the DACL without any entry.
        {"an administrators-only folder a standard user owns", kImagePath,
         [](sim::SimMachine& machine) {
             machine.Security().SetDacl(kFolder, AdministratorsOnly());
             machine.Security().SetOwner(kFolder, sim::kStandardUserSid);
         },
         refused + "C:\\Program Files\\BrevRctl is owned by WORKSTATION\\alice\n"},
        {"an executable a standard user owns", kImagePath,
         [](sim::SimMachine& machine) {
             machine.Security().SetOwner(kImagePath, sim::kStandardUserSid);
         },
         refused + "C:\\Program Files\\BrevRctl\\BrevRctlService.exe is owned by "
                   "WORKSTATION\\alice\n"},
        {"an OWNER RIGHTS entry that grants the owner write", kImagePath,
         [](sim::SimMachine& machine) {
             std::vector<sim::SimAce> entries = AdministratorsOnly();
             entries.push_back({kAllowed, 0, kWindowsModify, kOwnerRights});
             machine.Security().SetDacl(kFolder, entries);
             machine.Security().SetOwner(kFolder, sim::kStandardUserSid);
         },
         refused + "OWNER RIGHTS gives the owner WORKSTATION\\alice FILE_ADD_FILE|"
                   "FILE_ADD_SUBDIRECTORY|DELETE on C:\\Program Files\\BrevRctl\n"},
        {"a share", L"\\\\fileserver\\tools\\BrevRctlService.exe", nullptr,
         refused + "\\\\fileserver\\tools\\BrevRctlService.exe is on a network share\n"},
        {"a share in the long form", L"\\\\?\\UNC\\fileserver\\tools\\BrevRctlService.exe",
         nullptr,
         refused + "\\\\?\\UNC\\fileserver\\tools\\BrevRctlService.exe is on a network share\n"},
        {"a removable volume", L"E:\\BrevRctlService.exe",
         [](sim::SimMachine& machine) { machine.Security().SetDriveType(L'E', kDriveRemovable); },
         refused + "E:\\ is a removable drive\n"},
        {"a mapped drive", L"Z:\\tools\\BrevRctlService.exe",
         [](sim::SimMachine& machine) { machine.Security().SetDriveType(L'Z', kDriveRemote); },
         refused + "Z:\\ is a network drive\n"},
        // A SUBST drive is as fixed as the volume it stands on; only its device says what it is.
        {"a SUBST drive", L"S:\\BrevRctlService.exe",
         [](sim::SimMachine& machine) { machine.Security().SetSubst(L'S', L"C:\\Tools"); },
         refused + "S: stands for \\??\\C:\\Tools, not for a volume\n"},
        // A letter defined into a volume's folder would hide the folders above it.
        {"a letter for a folder of a volume", L"X:\\BrevRctlService.exe",
         [](sim::SimMachine& machine) {
             machine.Security().SetRawDosDevice(L'X', L"\\Device\\HarddiskVolume3\\Users\\alice");
         },
         refused + "X: stands for \\Device\\HarddiskVolume3\\Users\\alice, not for a volume\n"},
        {"a device path", L"\\\\.\\C:\\Program Files\\BrevRctl\\BrevRctlService.exe", nullptr,
         refused + "\\\\.\\C:\\Program Files\\BrevRctl\\BrevRctlService.exe is not on a drive "
                   "letter\n"},
        {"a junction on the path", kImagePath,
         [](sim::SimMachine& machine) { machine.Security().SetReparsePoint(kFolder); },
         refused + "C:\\Program Files\\BrevRctl is a junction or a link\n"},
        {"the executable a link", kImagePath,
         [](sim::SimMachine& machine) { machine.Security().SetReparsePoint(kImagePath); },
         refused + "C:\\Program Files\\BrevRctl\\BrevRctlService.exe is a junction or a link\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ServiceHarness fresh;
        fresh.machine.InstallImage(c.image, ProcessEntry);
        if (c.setUp) c.setUp(fresh.machine);
        sim::SimProcess* process = fresh.machine.Launch(c.image, {L"-install"});
        ASSERT_TRUE(fresh.machine.RunUntilExited(*process, 60'000).idle);
        EXPECT_EQ(process->Stdout(), c.line);
        EXPECT_EQ(process->ExitCode(), 0);
        EXPECT_EQ(fresh.machine.Faults().CallCount("OpenSCManagerW"), 0u);
        EXPECT_TRUE(fresh.machine.OpenResources().empty());
    }
}

// What cannot be read cannot be judged: each failed query refuses the install with its line, the
// second descriptor (the folder's) too; a name that cannot be looked up is written as its SID.
TEST_F(ProcessEntryTest, WhatTheInstallCannotReadRefusesIt) {
    struct Case {
        sim::FaultRule fault;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"GetNamedSecurityInfoW", ERROR_ACCESS_DENIED, 1, 1},
         "GetNamedSecurityInfo failed w/err 0x00000005\n"},
        {{"GetTokenInformation", ERROR_ACCESS_DENIED, 0, 1},
         "GetTokenInformation failed w/err 0x00000005\n"},
        {{"GetFileAttributesW", ERROR_ACCESS_DENIED, 2, 1},
         "GetFileAttributes failed w/err 0x00000005\n"},
        {{"QueryDosDeviceW", ERROR_ACCESS_DENIED, 0, 1},
         "QueryDosDevice failed w/err 0x00000005\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.operation);
        ServiceHarness fresh;
        fresh.machine.Faults().Add(c.fault);
        sim::SimProcess* process = fresh.machine.Launch(kImagePath, {L"-install"});
        ASSERT_TRUE(fresh.machine.RunUntilExited(*process, 60'000).idle);
        EXPECT_EQ(process->Stdout(), c.line);
        EXPECT_EQ(fresh.machine.Faults().CallCount("OpenSCManagerW"), 0u);
        EXPECT_TRUE(fresh.machine.OpenResources().empty());
    }

    harness.machine.Security().SetDacl(kFolder,
                                       std::vector<sim::SimAce>{{kAllowed, 0, kAddFile, kUsers}});
    harness.machine.Faults().Add({"LookupAccountSidW", ERROR_NONE_MAPPED, 0, 1});
    EXPECT_THAT(Run({L"-install"}),
                ElementsAre("BrevRctlService is not installed: S-1-5-32-545 holds FILE_ADD_FILE "
                            "on C:\\Program Files\\BrevRctl\n"));
    EXPECT_EQ(Registrations(), 0u);
}

// Rights that reach nobody but the machine's controllers: an inherit-only entry, a deny entry, an
// effective CREATOR OWNER entry (no token carries that SID), the installing account's own modify,
// an OWNER RIGHTS entry that leaves a standard owner reading only; and Windows's own root
// (inherit-only modify and FILE_ADD_SUBDIRECTORY for authenticated users) and Program Files,
// owned by TrustedInstaller, which the machine answers when a test says nothing.
TEST_F(ProcessEntryTest, InstallFromAFolderOnlyAdministratorsCanChangeIsNotRefused) {
    harness.machine.Security().SetDacl(
        kFolder, std::vector<sim::SimAce>{
                     {kAllowed, kObjectAndContainerInherit | kInheritOnly, kGenericAll, L"S-1-1-0"},
                     {kAllowed, 0, kWindowsModify, sim::kConsoleUserSid},
                     {kAllowed, 0, kFullControl, kCreatorOwner},
                     {kDenied, 0, kModify, kUsers},
                     {kAllowed, kObjectAndContainerInherit, kReadExecute, kUsers}});
    harness.machine.Security().SetOwner(kFolder, kAdministrators);
    std::vector<sim::SimAce> executable = AdministratorsOnly();
    executable.push_back({kAllowed, 0, kReadExecute, kOwnerRights});
    harness.machine.Security().SetDacl(kImagePath, executable);
    harness.machine.Security().SetOwner(kImagePath, sim::kStandardUserSid);
    harness.machine.Security().SetOwner(L"C:\\Program Files", kTrustedInstaller);
    EXPECT_THAT(Run({L"-install"}), ElementsAre("BrevRctlService is installed.\n"));
    EXPECT_EQ(Registrations(), 1u);
}

TEST_F(ProcessEntryTest, RemoveStopsARunningServiceWaitsAndDeletesIt) {
    harness.machine.Wlan().AddInterface("wlan0", {{}});
    Run({L"-install"});
    harness.Switch(0);
    EXPECT_EQ(harness.Software("wlan0"), dot11_radio_state_off);
    const auto prints = Run({L"-remove"});
    ASSERT_GE(prints.size(), 3u);
    EXPECT_EQ(prints.front(), "Stopping BrevRctlService.");
    EXPECT_LE(prints.size(), 4u);  // at most one dot
    if (prints.size() == 4) {
        EXPECT_EQ(prints[1], ".");
    }
    EXPECT_EQ(prints[prints.size() - 2], "\nBrevRctlService is stopped.\n");
    EXPECT_EQ(prints.back(), "BrevRctlService is removed.\n");
    EXPECT_FALSE(harness.machine.Scm().Registration(CServiceSource::kServiceName).has_value());
    EXPECT_TRUE(harness.ServiceProcessExited());
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

TEST_F(ProcessEntryTest, RemoveOfAStoppedOrAbsentServiceAndFailedDeletion) {
    harness.machine.Devices().SetSwitchPresent(false);  // the service stops by itself
    Run({L"-install"});
    EXPECT_THAT(Run({L"-remove"}), ElementsAre("BrevRctlService is removed.\n"));
    EXPECT_THAT(Run({L"-remove"}), ElementsAre("OpenService failed w/err 0x00000424\n"));

    Run({L"-install"});
    harness.machine.Faults().Add({"DeleteService", ERROR_ACCESS_DENIED, 0, 1});
    EXPECT_THAT(Run({L"/REMOVE"}), ElementsAre("DeleteService failed w/err 0x00000005\n"));
    EXPECT_TRUE(harness.machine.Scm().Registration(CServiceSource::kServiceName).has_value());
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

}  // namespace
