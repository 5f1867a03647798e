// Reading a folder's DACL as the installer does: GetNamedSecurityInfoW of the DACL alone, one
// self-relative block freed with LocalFree, the DACL inside it, and each entry's type, flags,
// mask and SID where Windows puts them.
#include <cstring>

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

}  // namespace
}  // namespace conformance
