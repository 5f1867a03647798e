// Reading a folder's DACL as the installer does: GetNamedSecurityInfoW of the DACL alone, one
// self-relative block freed with LocalFree, the DACL inside it, and each entry's type, flags,
// mask and SID where Windows puts them; with the owner too; and the other questions the install
// asks of its path: the installing account, account names, the drive and the file attributes.
#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/conformance/documented.h"
#include "tests/conformance/environment.h"

namespace conformance {
namespace {

namespace doc = documented;

struct EveryoneEntry {
    bool found = false;
    BYTE type = 0xFF;
    BYTE flags = 0;
    DWORD mask = 0;
};

// Reads the descriptor of `path` and the entry for Everyone in its DACL.
EveryoneEntry ReadEveryoneEntry(platform::Platform& p, const std::wstring& path) {
    EveryoneEntry entry;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(p.GetNamedSecurityInfoW(path.c_str(), static_cast<SE_OBJECT_TYPE>(doc::kSeFileObject),
                                      doc::kDaclSecurityInformation, nullptr, nullptr, &dacl,
                                      nullptr, &descriptor),
              0u);
    if (descriptor == nullptr || dacl == nullptr) {
        ADD_FAILURE() << "no descriptor or no DACL";
        return entry;
    }
    const auto* block = static_cast<const BYTE*>(descriptor);
    WORD control = 0;
    DWORD daclOffset = 0;
    std::memcpy(&control, block + 2, sizeof control);
    std::memcpy(&daclOffset, block + 16, sizeof daclOffset);
    EXPECT_EQ(block[0], 1);  // SECURITY_DESCRIPTOR_REVISION
    EXPECT_EQ(control & (doc::kSeSelfRelative | doc::kSeDaclPresent),
              doc::kSeSelfRelative | doc::kSeDaclPresent);
    // Only the DACL was asked for: it follows the header, and the pointer points at it.
    EXPECT_EQ(daclOffset, doc::kRelativeDescriptorBytes);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(dacl), block + daclOffset);

    const BYTE* acl = block + daclOffset;
    WORD aclSize = 0, aceCount = 0;
    std::memcpy(&aclSize, acl + 2, sizeof aclSize);
    std::memcpy(&aceCount, acl + 4, sizeof aceCount);
    EXPECT_EQ(acl[0], doc::kAclRevision);
    DWORD at = doc::kAclHeaderBytes;
    for (WORD index = 0; index < aceCount && at + 4 <= aclSize; ++index) {
        WORD aceSize = 0;
        std::memcpy(&aceSize, acl + at + 2, sizeof aceSize);
        const BYTE* sid = acl + at + 8;
        if (aceSize >= 8 + sizeof doc::kEveryoneSid &&
            std::memcmp(sid, doc::kEveryoneSid, sizeof doc::kEveryoneSid) == 0) {
            entry.found = true;
            entry.type = acl[at];
            entry.flags = acl[at + 1];
            std::memcpy(&entry.mask, acl + at + 4, sizeof entry.mask);
        }
        at += aceSize;
    }
    EXPECT_EQ(at, aclSize) << "the entries fill the ACL";
    EXPECT_EQ(p.LocalFree(descriptor), nullptr);
    return entry;
}

class Security : public Conformance {};

TEST_F(Security, DaclOfAFolderWritableByEveryoneAndOfOneThatIsNot) {
    const std::wstring writable = env->MakeFolder(L"writable", doc::kEveryoneModify);
    const std::wstring readable = env->MakeFolder(L"readable", doc::kEveryoneReadExecute);
    env->Run([&](platform::Platform& p) {
        const EveryoneEntry open = ReadEveryoneEntry(p, writable);
        EXPECT_TRUE(open.found);
        EXPECT_EQ(open.type, doc::kAccessAllowedAceType);
        EXPECT_EQ(open.flags, doc::kObjectAndContainerInherit);
        EXPECT_EQ(open.mask, doc::kEveryoneModify);

        const EveryoneEntry closed = ReadEveryoneEntry(p, readable);
        EXPECT_TRUE(closed.found);
        EXPECT_EQ(closed.type, doc::kAccessAllowedAceType);
        EXPECT_EQ(closed.flags, doc::kObjectAndContainerInherit);
        EXPECT_EQ(closed.mask, doc::kEveryoneReadExecute);
    });
}

// A SID's length from its count of sub-authorities.
std::size_t SidLength(const BYTE* sid) {
    return 8 + 4u * sid[1];
}

// The current process's user: too small a buffer answers ERROR_INSUFFICIENT_BUFFER with the size
// needed; the SID follows TOKEN_USER in the caller's buffer.
std::vector<BYTE> TokenUserSid(platform::Platform& p) {
    const HANDLE token = reinterpret_cast<HANDLE>(doc::kCurrentProcessToken);
    const auto infoClass = static_cast<TOKEN_INFORMATION_CLASS>(doc::kTokenUser);
    alignas(8) BYTE buffer[128] = {};
    DWORD needed = 0;
    EXPECT_FALSE(p.GetTokenInformation(token, infoClass, buffer, 4, &needed));
    EXPECT_EQ(p.GetLastError(), doc::kInsufficientBuffer);
    EXPECT_GT(needed, doc::kTokenUserBytes);
    DWORD length = 0;
    EXPECT_TRUE(p.GetTokenInformation(token, infoClass, buffer, sizeof buffer, &length));
    EXPECT_EQ(length, needed);
    PSID sidPointer = nullptr;
    std::memcpy(&sidPointer, buffer, sizeof sidPointer);
    const auto* sid = static_cast<const BYTE*>(sidPointer);
    EXPECT_EQ(sid, buffer + doc::kTokenUserBytes);
    if (sid != buffer + doc::kTokenUserBytes) return {};
    EXPECT_EQ(sid[0], 1);  // SID_REVISION
    EXPECT_EQ(doc::kTokenUserBytes + SidLength(sid), needed);
    return std::vector<BYTE>(sid, sid + SidLength(sid));
}

TEST_F(Security, OwnerOfAFolderTheTestMadeAfterItsDacl) {
    const std::wstring folder = env->MakeFolder(L"owned", doc::kEveryoneReadExecute);
    env->Run([&](platform::Platform& p) {
        const std::vector<BYTE> user = TokenUserSid(p);
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(
            p.GetNamedSecurityInfoW(folder.c_str(), static_cast<SE_OBJECT_TYPE>(doc::kSeFileObject),
                                    doc::kOwnerSecurityInformation | doc::kDaclSecurityInformation,
                                    &owner, nullptr, &dacl, nullptr, &descriptor),
            0u);
        ASSERT_NE(descriptor, nullptr);
        const auto* block = static_cast<const BYTE*>(descriptor);
        DWORD ownerOffset = 0, daclOffset = 0;
        std::memcpy(&ownerOffset, block + 4, sizeof ownerOffset);
        std::memcpy(&daclOffset, block + 16, sizeof daclOffset);
        EXPECT_GE(ownerOffset, doc::kRelativeDescriptorBytes);
        EXPECT_EQ(static_cast<const BYTE*>(owner), block + ownerOffset);
        EXPECT_EQ(reinterpret_cast<const BYTE*>(dacl), block + daclOffset);
        // Windows makes the creator the owner, or Administrators for an elevated administrator.
        const auto* ownerSid = static_cast<const BYTE*>(owner);
        const std::vector<BYTE> ownerBytes(ownerSid, ownerSid + SidLength(ownerSid));
        const std::vector<BYTE> administrators(std::begin(doc::kAdministratorsSid),
                                               std::end(doc::kAdministratorsSid));
        EXPECT_TRUE(ownerBytes == user || ownerBytes == administrators);
        EXPECT_EQ(p.LocalFree(descriptor), nullptr);

        const DWORD attributes = p.GetFileAttributesW(folder.c_str());
        EXPECT_NE(attributes, doc::kInvalidFileAttributes);
        EXPECT_EQ(attributes & (doc::kFileAttributeDirectory | doc::kFileAttributeReparsePoint),
                  doc::kFileAttributeDirectory);
    });
}

TEST_F(Security, AccountNamesWithTheirDomainOrNone) {
    env->Run([&](platform::Platform& p) {
        std::vector<BYTE> administrators(std::begin(doc::kAdministratorsSid),
                                         std::end(doc::kAdministratorsSid));
        WCHAR name[64] = {};
        WCHAR domain[64] = {};
        DWORD nameLength = 2, domainLength = 2;
        SID_NAME_USE use{};
        EXPECT_FALSE(p.LookupAccountSidW(nullptr, administrators.data(), name, &nameLength, domain,
                                         &domainLength, &use));
        EXPECT_EQ(p.GetLastError(), doc::kInsufficientBuffer);
        // The sizes needed, the terminator included; Wine leaves it out.
        EXPECT_EQ(nameLength, Documented<DWORD>(15, 14, kWine8And10));
        EXPECT_EQ(domainLength, Documented<DWORD>(8, 7, kWine8And10));
        nameLength = domainLength = 64;
        ASSERT_TRUE(p.LookupAccountSidW(nullptr, administrators.data(), name, &nameLength, domain,
                                        &domainLength, &use));
        EXPECT_EQ(std::wstring(name, nameLength), L"Administrators");
        EXPECT_EQ(std::wstring(domain, domainLength), L"BUILTIN");
        EXPECT_EQ(use, doc::kSidTypeAlias);

        std::vector<BYTE> everyone(std::begin(doc::kEveryoneSid), std::end(doc::kEveryoneSid));
        nameLength = domainLength = 64;
        ASSERT_TRUE(p.LookupAccountSidW(nullptr, everyone.data(), name, &nameLength, domain,
                                        &domainLength, &use));
        EXPECT_EQ(std::wstring(name, nameLength), L"Everyone");
        EXPECT_EQ(domainLength, 0u);
        EXPECT_EQ(use, doc::kSidTypeWellKnownGroup);

        std::vector<BYTE> unknown(std::begin(doc::kUnknownDomainAccountSid),
                                  std::end(doc::kUnknownDomainAccountSid));
        nameLength = domainLength = 64;
        EXPECT_FALSE(p.LookupAccountSidW(nullptr, unknown.data(), name, &nameLength, domain,
                                         &domainLength, &use));
        EXPECT_EQ(p.GetLastError(), doc::kNoneMapped);
    });
}

// The system drive is a fixed volume, and its letter names the volume's device.
TEST_F(Security, TheSystemDriveIsFixedAndItsLetterNamesADevice) {
    env->Run([&](platform::Platform& p) {
        EXPECT_EQ(p.GetDriveTypeW(L"C:\\"), doc::kDriveFixed);
        WCHAR target[260] = {};
        const DWORD written = p.QueryDosDeviceW(L"C:", target, 260);
        ASSERT_GT(written, 2u);
        const std::wstring device(target);
        EXPECT_EQ(device.rfind(L"\\Device\\", 0), 0u) << platform::Utf8FromWide(device);
        // A list: the name, its terminator, and the list's.
        EXPECT_EQ(written, device.size() + 2);
        EXPECT_EQ(target[device.size() + 1], L'\0');
        EXPECT_EQ(p.QueryDosDeviceW(L"C:", target, 4), 0u);
        EXPECT_EQ(p.GetLastError(), doc::kInsufficientBuffer);
    });
}

}  // namespace
}  // namespace conformance
