// The executable from the command line: which arguments install, remove, do nothing or run the
// service, and every console line of the installer and the remover.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// Access rights, entry types and flags as Windows documents them (winnt.h): what the installer
// must recognise, written out rather than taken from the seam.
constexpr BYTE kAllowed = 0x0;
constexpr BYTE kDenied = 0x1;
constexpr BYTE kAllowedCallback = 0x9;
constexpr BYTE kObjectAndContainerInherit = 0x3;
constexpr BYTE kInheritOnly = 0x8;
constexpr BYTE kInherited = 0x10;
constexpr DWORD kModify = 0x1301FF;  // what Wine gives Everyone on a 0777 folder
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kAddFile = 0x2;
constexpr DWORD kReadExecute = 0x1200A9;
constexpr const wchar_t* kFolder = L"C:\\Program Files\\BrevRctl";

TEST_F(ProcessEntryTest, InstallFromAPathStandardUsersCanChangeRegistersNothing) {
    struct Case {
        const char* title;
        std::wstring path;
        sim::SimDacl dacl;
        std::string line;
    };
    const std::string refused = "BrevRctlService is not installed: ";
    const std::vector<Case> cases = {
        {"its folder writable by everyone", kFolder,
         std::vector<sim::SimAce>{{kAllowed, kObjectAndContainerInherit, kModify, L"S-1-1-0"}},
         refused + "Everyone holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_DELETE_CHILD|DELETE "
                   "on C:\\Program Files\\BrevRctl\n"},
        // A deny entry protects only the tokens that carry its SID; full control of a folder
        // above, as a generic right, lets users rename the service's folder away.
        {"a folder above that users control", L"C:\\Program Files",
         std::vector<sim::SimAce>{{kDenied, 0, kModify, L"S-1-1-0"},
                                  {kAllowed, 0, kGenericAll, L"S-1-5-32-545"}},
         refused + "Users holds FILE_DELETE_CHILD|DELETE|WRITE_DAC|WRITE_OWNER on C:\\Program "
                   "Files\n"},
        {"the executable writable by authenticated users",
         std::wstring(kFolder) + L"\\BrevRctlService.exe",
         std::vector<sim::SimAce>{{kAllowed, kInherited, kModify, L"S-1-5-11"}},
         refused + "Authenticated Users holds FILE_WRITE_DATA|FILE_APPEND_DATA|DELETE on "
                   "C:\\Program Files\\BrevRctl\\BrevRctlService.exe\n"},
        {"a conditional entry for a domain's users", kFolder,
         std::vector<sim::SimAce>{{kAllowedCallback, 0, kAddFile, L"S-1-5-21-7-8-9-513"}},
         refused + "Domain Users holds FILE_ADD_FILE on C:\\Program Files\\BrevRctl\n"},
        {"a NULL DACL on the volume's root", L"C:\\", std::nullopt, refused + "C:\\ has no DACL\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ServiceHarness fresh;
        fresh.machine.Security().SetDacl(c.path, c.dacl);
        sim::SimProcess* process = fresh.machine.Launch(kImagePath, {L"-install"});
        ASSERT_TRUE(fresh.machine.RunUntilExited(*process, 60'000).idle);
        EXPECT_EQ(process->Stdout(), c.line);
        EXPECT_EQ(process->ExitCode(), 0);
        EXPECT_EQ(fresh.machine.Faults().CallCount("OpenSCManagerW"), 0u);
        EXPECT_TRUE(fresh.machine.OpenResources().empty());
    }

    // What cannot be read cannot be judged: the second descriptor, the folder's, is refused.
    harness.machine.Faults().Add({"GetNamedSecurityInfoW", ERROR_ACCESS_DENIED, 1, 1});
    EXPECT_THAT(Run({L"-install"}), ElementsAre("GetNamedSecurityInfo failed w/err 0x00000005\n"));
    EXPECT_EQ(Registrations(), 0u);
    EXPECT_TRUE(harness.machine.OpenResources().empty());
}

// Rights that reach no standard user: an inherit-only entry, one of a single domain account, a
// deny entry; and Windows's own C:\ (inherit-only modify and FILE_ADD_SUBDIRECTORY for
// authenticated users), which the machine answers when a test says nothing.
TEST_F(ProcessEntryTest, InstallFromAFolderOnlyAdministratorsCanChangeIsNotRefused) {
    harness.machine.Security().SetDacl(
        kFolder, std::vector<sim::SimAce>{
                     {kAllowed, kObjectAndContainerInherit | kInheritOnly, kGenericAll, L"S-1-1-0"},
                     {kAllowed, 0, kModify, L"S-1-5-21-7-8-9-1001"},
                     {kDenied, 0, kModify, L"S-1-5-32-545"},
                     {kAllowed, kObjectAndContainerInherit, kReadExecute, L"S-1-5-32-545"}});
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
