// The process's own mitigations, as the process entry takes them: the DLL search limited to
// System32, and the mitigation policies that are set once and stay set. Wine 8.0 keeps the DLL
// directories as Windows does but answers every mitigation policy with success and enforces none.
#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"

namespace conformance {
namespace {

namespace doc = documented;

class Mitigation : public Conformance {};

PROCESS_MITIGATION_POLICY Policy(int value) {
    return static_cast<PROCESS_MITIGATION_POLICY>(value);
}

TEST_F(Mitigation, DefaultDllDirectoriesTakeOnlyTheDirectoriesOfTheDefaultSearch) {
    env->Run([&](platform::Platform& p) {
        EXPECT_EQ(ErrorOf(p, p.SetDefaultDllDirectories(0)), doc::kInvalidParameter);
        // The DLL's own folder means something only to LoadLibraryEx.
        EXPECT_EQ(ErrorOf(p, p.SetDefaultDllDirectories(doc::kLoadLibrarySearchDllLoadDir)),
                  doc::kInvalidParameter);
        EXPECT_EQ(ErrorOf(p, p.SetDefaultDllDirectories(doc::kLoadLibrarySearchSystem32)), 0u);
    });
}

TEST_F(Mitigation, PoliciesAreSetOnceAndUnknownOnesAreRefused) {
    env->Run([&](platform::Platform& p) {
        DWORD flags = doc::kDisableExtensionPoints;
        const auto set = [&](int policy) {
            return ErrorOf(p, p.SetProcessMitigationPolicy(Policy(policy), &flags, sizeof(flags)));
        };
        EXPECT_EQ(set(doc::kProcessExtensionPointDisablePolicy), 0u);
        // Once enabled, a mitigation stays enabled for the life of the process.
        flags = 0;
        EXPECT_EQ(set(doc::kProcessExtensionPointDisablePolicy),
                  Documented(doc::kInvalidParameter, DWORD{0}, kWine8And10));
        flags = doc::kNoRemoteImages | doc::kNoLowMandatoryLabelImages | doc::kPreferSystem32Images;
        EXPECT_EQ(set(doc::kProcessImageLoadPolicy), 0u);
        // The options mask is only ever queried; a value past the last policy names none.
        EXPECT_EQ(set(doc::kProcessMitigationOptionsMask),
                  Documented(doc::kInvalidParameter, DWORD{0}, kWine8And10));
        EXPECT_EQ(set(31), Documented(doc::kInvalidParameter, DWORD{0}, kWine8And10));
    });
}

}  // namespace
}  // namespace conformance
