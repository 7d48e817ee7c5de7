// Who may change the programs, read from security descriptors written as
// SDDL: the order of the DACL decides, entries for children only do not
// count, the owner may always change the rights unless an OWNER RIGHTS entry
// says otherwise, and no DACL at all lets everyone do everything.

#include "tools/tallyport-check/ProgramRights.h"

#include "platform/UniqueResource.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <string>

namespace {

constexpr char kAccountSid[] = "S-1-5-21-1-2-3-1001";  // the host's account in these descriptors

SidBytes Sid(const char* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidA(text, &sid)) << text;
    const tly::UniqueLocalMemory owned(sid);
    const auto* bytes = static_cast<const BYTE*>(sid);
    return sid ? SidBytes(bytes, bytes + ::GetLengthSid(sid)) : SidBytes{};
}

// The account as a token of an ordinary user gives it: itself, Users,
// Authenticated Users and Everyone; Administrators only for denying.
Trustees HostAccount() {
    return {{Sid(kAccountSid), Sid("S-1-5-32-545"), Sid("S-1-5-11"), Sid("S-1-1-0")}, {Sid("S-1-5-32-544")}};
}

ACCESS_MASK Changing(const std::string& sddl, const Trustees& trustees) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                       nullptr))
        << sddl << ": " << ::GetLastError();
    const tly::UniqueLocalMemory owned(descriptor);
    return descriptor ? GrantedRights(descriptor, trustees) & kChangingRights : ~ACCESS_MASK{0};
}

struct Case {
    const char* name;
    std::string sddl;
    ACCESS_MASK users;    // what ordinary users may change
    ACCESS_MASK account;  // what the host's account may change
};

const std::string kAccount = kAccountSid;
const Case kCases[] = {
    {"as under Program Files", "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 0, 0},
    {"users may modify", "O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)",
     FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE, FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE},
    // ProgramData's own rule: Users may create files and folders in it.
    {"users may create files", "O:BAD:(A;OICI;FA;;;BA)(A;CI;0x6;;;BU)", FILE_WRITE_DATA | FILE_APPEND_DATA,
     FILE_WRITE_DATA | FILE_APPEND_DATA},
    {"generic write for authenticated users", "O:BAD:(A;;GW;;;AU)", FILE_WRITE_DATA | FILE_APPEND_DATA,
     FILE_WRITE_DATA | FILE_APPEND_DATA},
    {"everyone full", "O:BAD:(A;;FA;;;WD)", kChangingRights, kChangingRights},
    {"for children only", "O:BAD:P(A;OICIIO;FA;;;BU)(A;OICIIO;FA;;;CO)(A;;0x1200a9;;;BU)", 0, 0},
    {"a denial first wins", "O:BAD:(D;;0x2;;;WD)(A;;FA;;;WD)", kChangingRights & ~FILE_WRITE_DATA,
     kChangingRights & ~FILE_WRITE_DATA},
    {"a grant first wins", "O:BAD:(A;;FA;;;WD)(D;;FA;;;WD)", kChangingRights, kChangingRights},
    {"the account itself may modify", "O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;" + kAccount + ")", 0,
     FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE},
    {"the account owns it", "O:" + kAccount + "D:P(A;;FA;;;BA)(A;;0x1200a9;;;BU)", 0, WRITE_DAC},
    {"owner rights replace the owner's", "O:" + kAccount + "D:P(A;;FA;;;BA)(A;;0x1200a9;;;S-1-3-4)", 0, 0},
    {"administrators own it", "O:BAD:P(A;;FA;;;BA)(A;;0x1200a9;;;BU)", 0, 0},
    {"administrators denied, account allowed", "O:BAD:(D;;FA;;;BA)(A;;FA;;;" + kAccount + ")", 0, 0},
    {"only administrators and the system", "O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)", 0, 0},
};

TEST(ProgramRightsTest, ReadsWhoMayChangeAProgramFromItsDescriptor) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Changing(c.sddl, OrdinaryUsers()), c.users) << c.sddl;
        EXPECT_EQ(Changing(c.sddl, HostAccount()), c.account) << c.sddl;
    }
}

// Made by hand: Wine reads "D:NO_ACCESS_CONTROL" as an empty DACL, which
// grants nothing, where Windows makes it a null one.
TEST(ProgramRightsTest, NoDaclLetsEveryoneChangeEverything) {
    SECURITY_DESCRIPTOR descriptor{};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    EXPECT_EQ(GrantedRights(&descriptor, OrdinaryUsers()) & kChangingRights, kChangingRights);
    EXPECT_EQ(GrantedRights(&descriptor, HostAccount()) & kChangingRights, kChangingRights);
}

// The account this test runs as is read from its token, administrators' groups left out.
TEST(ProgramRightsTest, TheRunningAccountLeavesTheAdministrativeGroupsOut) {
    Trustees account;
    bool administrator = false;
    DWORD error = 0;
    ASSERT_TRUE(RunningAccount(account, administrator, error)) << error;
    ASSERT_FALSE(account.sids.empty());
    for (const char* administrative : {"S-1-5-32-544", "S-1-5-18"}) {
        const SidBytes sid = Sid(administrative);
        for (SidBytes& held : account.sids) EXPECT_NE(held, sid) << administrative;
    }
}

}  // namespace
