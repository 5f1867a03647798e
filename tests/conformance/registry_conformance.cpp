// Reading a value as the airplane-mode check does: a key opened for querying, the size query, a
// buffer too small, a missing value and a missing key. Results are status codes, not last errors.
#include <cstring>

#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"

namespace conformance {
namespace {

namespace doc = documented;

constexpr const wchar_t* kKey = L"SOFTWARE\\BrevRctlConformance\\Registry";

class Registry : public Conformance {
protected:
    void SetUp() override {
        env->DeleteRegistryKey(kKey);
        env->SetRegistryValue(kKey, L"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
        env->SetRegistryValue(kKey, L"Binary", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    }
    void TearDown() override { env->DeleteRegistryKey(kKey); }
};

TEST_F(Registry, ValueIsReadWholeAfterItsSizeIsAsked) {
    env->Run([&](platform::Platform& p) {
        HKEY key = nullptr;
        ASSERT_EQ(p.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), 0);
        DWORD type = 0, size = 0;
        EXPECT_EQ(p.RegQueryValueExW(key, L"Dword", nullptr, &type, nullptr, &size), 0);
        EXPECT_EQ(type, 4u);  // REG_DWORD
        EXPECT_EQ(size, 4u);

        DWORD value = 0;
        size = sizeof(value);
        type = 0;
        EXPECT_EQ(p.RegQueryValueExW(key, L"Dword", nullptr, &type,
                                     reinterpret_cast<LPBYTE>(&value), &size),
                  0);
        EXPECT_EQ(value, 0x12345678u);
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(type, 4u);

        // A larger buffer is fine; the size says how much was written.
        BYTE bytes[16] = {};
        size = sizeof(bytes);
        EXPECT_EQ(p.RegQueryValueExW(key, L"Binary", nullptr, &type, bytes, &size), 0);
        EXPECT_EQ(size, 9u);
        EXPECT_EQ(type, 3u);  // REG_BINARY
        const BYTE expected[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        EXPECT_EQ(std::memcmp(bytes, expected, sizeof(expected)), 0);
        EXPECT_EQ(p.RegCloseKey(key), 0);
    });
}

// ERROR_MORE_DATA gives the size needed and the type; the buffer's content is undefined.
TEST_F(Registry, TooSmallBufferGivesMoreDataAndTheSizeNeeded) {
    env->Run([&](platform::Platform& p) {
        HKEY key = nullptr;
        ASSERT_EQ(p.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), 0);
        BYTE small[2] = {};
        DWORD type = 0, size = sizeof(small);
        EXPECT_EQ(p.RegQueryValueExW(key, L"Dword", nullptr, &type, small, &size),
                  static_cast<LSTATUS>(doc::kMoreData));
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(type, 4u);

        BYTE eight[8] = {};
        size = sizeof(eight);
        EXPECT_EQ(p.RegQueryValueExW(key, L"Binary", nullptr, nullptr, eight, &size),
                  static_cast<LSTATUS>(doc::kMoreData));
        EXPECT_EQ(size, 9u);
        EXPECT_EQ(p.RegCloseKey(key), 0);
    });
}

TEST_F(Registry, MissingValueAndMissingKeyAreFileNotFound) {
    env->Run([&](platform::Platform& p) {
        HKEY key = nullptr;
        ASSERT_EQ(p.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), 0);
        DWORD value = 0, type = 0, size = sizeof(value);
        EXPECT_EQ(p.RegQueryValueExW(key, L"Missing", nullptr, &type,
                                     reinterpret_cast<LPBYTE>(&value), &size),
                  static_cast<LSTATUS>(doc::kFileNotFound));
        size = 0;
        EXPECT_EQ(p.RegQueryValueExW(key, L"Missing", nullptr, nullptr, nullptr, &size),
                  static_cast<LSTATUS>(doc::kFileNotFound));
        EXPECT_EQ(p.RegCloseKey(key), 0);

        HKEY missing = nullptr;
        EXPECT_EQ(p.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\BrevRctlConformance\\Missing", 0,
                                  KEY_QUERY_VALUE, &missing),
                  static_cast<LSTATUS>(doc::kFileNotFound));
    });
}

// A key never opened (NULL) is refused, and a predefined key is left open, by the registry
// functions themselves, as plain answers: the airplane-mode check queries and closes its key
// whether or not the open succeeded. A key after its close is a stale kernel handle, which
// Application Verifier stops the process for; the simulated machine reports it.
TEST_F(Registry, NoKeyOrAClosedOneIsAnInvalidHandleAndAPredefinedOneClosesAsANoOp) {
    env->ExpectRuleBroken({"RegQueryValueExW", "RegCloseKey"});
    env->Run([&](platform::Platform& p) {
        DWORD value = 0, size = sizeof(value);
        EXPECT_EQ(p.RegQueryValueExW(nullptr, L"Dword", nullptr, nullptr,
                                     reinterpret_cast<LPBYTE>(&value), &size),
                  static_cast<LSTATUS>(doc::kInvalidHandle));
        EXPECT_EQ(p.RegCloseKey(nullptr), static_cast<LSTATUS>(doc::kInvalidHandle));
        EXPECT_EQ(p.RegCloseKey(HKEY_LOCAL_MACHINE), 0);

        HKEY key = nullptr;
        ASSERT_EQ(p.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key), 0);
        EXPECT_EQ(p.RegCloseKey(key), 0);
        size = sizeof(value);
        EXPECT_EQ(p.RegQueryValueExW(key, L"Dword", nullptr, nullptr,
                                     reinterpret_cast<LPBYTE>(&value), &size),
                  static_cast<LSTATUS>(doc::kInvalidHandle));
        EXPECT_EQ(p.RegCloseKey(key), static_cast<LSTATUS>(doc::kInvalidHandle));
    });
}

}  // namespace
}  // namespace conformance
