// The conformance suite: tests of the platform behaviour the service relies on, written once
// against platform::Platform and run on both implementations. An Environment gives a test its
// platform and does the setup the seam cannot do (a registry value, the switch driver's state, a
// program the SCM can start as a service). sim_environment.cpp makes one on a simulated machine,
// win32_environment.cpp on the real Win32 calls (under Wine in the windows preset).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace conformance {

// One PHY's radio states, DOT11_RADIO_STATE values.
struct WlanPhy {
    DWORD software = 0;
    DWORD hardware = 0;
    bool operator==(const WlanPhy&) const = default;
};

struct WlanHoldings {
    long clientHandles = 0;
    long allocations = 0;
    long badFrees = 0;
    bool operator==(const WlanHoldings&) const = default;
};

class Environment {
public:
    virtual ~Environment() = default;

    // Runs `body` on a thread of the test's own process and returns once it has returned. On the
    // simulated machine, virtual time runs meanwhile, from timer to timer.
    virtual void Run(const std::function<void(platform::Platform&)>& body) = 0;
    // A clock in milliseconds for the test's own checks of time: virtual on the simulated
    // machine. Callable from `body`.
    virtual std::uint64_t NowMs() = 0;
    // The major version of the Wine the platform is (wine_get_version), or 0 off Wine.
    virtual int WineMajorVersion() const = 0;

    // --- registry, under HKEY_LOCAL_MACHINE; not from `body`
    virtual void SetRegistryValue(const std::wstring& key, const std::wstring& name, DWORD type,
                                  const std::vector<BYTE>& bytes) = 0;
    virtual void DeleteRegistryKey(const std::wstring& key) = 0;

    // --- the switch driver; not from `body`
    // Whether a switch device is there to test: always on the simulated machine; under Wine only
    // once the test switch driver has been installed.
    virtual bool HasSwitchDevice() = 0;
    // While held, the driver keeps BIOS status requests pending until released or cancelled.
    virtual void HoldStatusRequests(bool held) = 0;
    // While on, the driver completes every read at once with success and no data.
    virtual void SetShortReadFlood(bool on) = 0;

    // --- Native Wifi; not from `body`
    // Whether the test can give the platform WLAN interfaces: always on the simulated machine;
    // under Wine only where the Native Wifi double (tests/wine/wlanapi) stands in for Wine's own.
    virtual bool HasWlanInterfaces() = 0;
    // Replaces the WLAN interfaces: one list of PHYs each, listed in this order.
    virtual void SetWlanInterfaces(const std::vector<std::vector<WlanPhy>>& interfaces) = 0;
    // The PHYs of the interface listed at `index`, as the platform keeps them now.
    virtual std::vector<WlanPhy> WlanPhys(std::size_t index) = 0;
    // The next call of `operation` (its Win32 name) answers `code` and does nothing else.
    virtual void RefuseWlanCall(const std::string& operation, DWORD code) = 0;
    // What the test's process holds of Native Wifi, and the frees of memory it was not given.
    virtual WlanHoldings HeldOfWlan() = 0;
    // Takes wlanapi.dll out of System32's reach for the rest of the test, before the platform's
    // first Native Wifi call: the simulated machine's, or under Wine a DllOverrides entry that
    // disables it. False where the test cannot (on Windows, whose System32 is not the test's).
    virtual bool RemoveNativeWifiDll() = 0;

    // --- files; not from `body`
    // A new folder of the test's own, named `name`, whose DACL grants Everyone `everyoneRights`
    // on it and on what it will contain (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), and
    // administrators full control. Returns its full path; it is removed with the environment.
    virtual std::wstring MakeFolder(const std::wstring& name, DWORD everyoneRights) = 0;

    // --- services; not from `body`
    // The command line to register for a service named `name` that runs RunTestService (see
    // test_service.h) with that name.
    virtual std::wstring TestServiceCommandLine(const std::wstring& name) = 0;
    // The simulated machine reports what Windows stops a process for (under Application Verifier,
    // or for good) as a violation that fails the test. A test that breaks such a rule on purpose
    // names first the calls that break it, in order; the simulated machine then checks, once the
    // test has run, that it reported those and no other. Nothing to do elsewhere.
    virtual void ExpectRuleBroken(std::vector<std::string> calls) = 0;
};

// The Wine releases, by major version, first to last inclusive, in which a deviation from what
// Windows documents was seen. Any other release, and any release not yet seen, is expected to
// answer as Windows does, so that a Wine that changes shows up as a failing test.
struct WineReleases {
    int first;
    int last;
};
// Seen in Wine 8.0 (Debian 12) and Wine 10.0 (Debian 13).
inline constexpr WineReleases kWine8And10{8, 10};
// Seen in Wine 8.0; Wine 10.0 answers as Windows documents.
inline constexpr WineReleases kWine8Only{8, 8};

// The environment of this test program, one per test.
std::unique_ptr<Environment> MakeEnvironment();

// Every test of the suite gets a fresh environment.
class Conformance : public ::testing::Test {
protected:
    std::unique_ptr<Environment> env = MakeEnvironment();

    // Whether the platform is a Wine release that shows the deviation.
    bool WineDeviates(WineReleases releases) const {
        const int major = env->WineMajorVersion();
        return major != 0 && releases.first <= major && major <= releases.last;
    }

    // What a call should answer: `windows` as Windows documents it, which the simulated machine
    // follows, or `wine` on the Wine releases that answer otherwise.
    template <typename T>
    T Documented(T windows, T wine, WineReleases releases) const {
        return WineDeviates(releases) ? wine : windows;
    }
};

// The error a call left, or 0 when it succeeded.
inline DWORD ErrorOf(platform::Platform& p, bool succeeded) {
    return succeeded ? 0 : p.GetLastError();
}

}  // namespace conformance
