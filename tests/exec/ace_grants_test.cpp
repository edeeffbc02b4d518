// The window-station and desktop grants over ACL bytes.
#include <gtest/gtest.h>

#include "procman/w32/exec/ace_grants.h"

namespace pm::exec {
namespace {

// S-1-5-21-1-2-3-1001: revision 1, 5 sub-authorities, authority 5 (NT).
const std::string kUser = std::string("\x01\x05\0\0\0\0\0\x05", 8) + std::string("\x15\0\0\0", 4) +
                          std::string("\x01\0\0\0", 4) + std::string("\x02\0\0\0", 4) +
                          std::string("\x03\0\0\0", 4) + std::string("\xE9\x03\0\0", 4);
// S-1-5-18 (the system account).
const std::string kSystem = std::string("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);

uint16_t U16(const std::vector<uint8_t>& a, size_t at) {
    return uint16_t(a[at] | a[at + 1] << 8);
}
uint32_t U32(const std::vector<uint8_t>& a, size_t at) {
    return uint32_t(a[at]) | uint32_t(a[at + 1]) << 8 | uint32_t(a[at + 2]) << 16 |
           uint32_t(a[at + 3]) << 24;
}

// The ACE at `at`: type, flags, size, mask and SID.
void ExpectAce(const std::vector<uint8_t>& acl, size_t at, uint8_t flags, uint32_t mask,
               const std::string& sid) {
    ASSERT_LE(at + 8 + sid.size(), acl.size());
    EXPECT_EQ(acl[at], 0) << at;         // ACCESS_ALLOWED
    EXPECT_EQ(acl[at + 1], flags) << at; // inheritance flags
    EXPECT_EQ(U16(acl, at + 2), 8 + sid.size()) << at;
    EXPECT_EQ(U32(acl, at + 4), mask) << at;
    EXPECT_EQ(std::string(acl.begin() + long(at) + 8, acl.begin() + long(at + 8 + sid.size())),
              sid);
}

// The new ACL: revision 2, its size in the header, the old ACEs first, then the user's.
TEST(AceGrants, WindowStationGetsTheMissingAcesAfterTheOldOnes) {
    struct Case {
        const char* name;
        bool own, inherit, other_mask;
        int added;
    } cases[] = {
        {"both present: no write", true, true, false, 0}, {"own missing", false, true, false, 1},
        {"inheritable missing", true, false, false, 1},   {"none", false, false, false, 2},
        {"same SID, other mask", false, false, true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> old = EmptyAcl();
        AppendAllowedAce(old, 0, 0x000F037F, kSystem);
        if (c.inherit) AppendAllowedAce(old, 0x0B, 0xF0000000, kUser);
        if (c.own) AppendAllowedAce(old, 0x04, 0x000F037F, kUser);
        if (c.other_mask) AppendAllowedAce(old, 0x04, 0x1, kUser);
        AclGrant g = GrantWindowStation(old.data(), old.size(), kUser);
        if (c.added == 0) {
            EXPECT_EQ(g.outcome, AclGrant::Outcome::kUnchanged);
            continue;
        }
        ASSERT_EQ(g.outcome, AclGrant::Outcome::kNewAcl);
        // Room for both ACEs whatever was added.
        ASSERT_EQ(g.acl.size(), old.size() + 2 * kUser.size() + 16);
        EXPECT_EQ(g.acl[0], 2);
        EXPECT_EQ(U16(g.acl, 2), g.acl.size());
        EXPECT_EQ(U16(g.acl, 4), U16(old, 4) + c.added);
        ExpectAce(g.acl, 8, 0, 0x000F037F, kSystem);
        EXPECT_TRUE(std::equal(old.begin() + 8, old.end(), g.acl.begin() + 8));
        size_t at = old.size();
        if (!c.inherit) {
            ExpectAce(g.acl, at, 0x0B, 0xF0000000, kUser);
            at += 8 + kUser.size();
        }
        if (!c.own) ExpectAce(g.acl, at, 0x04, 0x000F037F, kUser);
    }
}

TEST(AceGrants, NoDaclCountsAsEmpty) {
    AclGrant w = GrantWindowStation(nullptr, 0, kUser);
    ASSERT_EQ(w.outcome, AclGrant::Outcome::kNewAcl);
    EXPECT_EQ(w.acl.size(), 8 + 2 * kUser.size() + 16);
    EXPECT_EQ(U16(w.acl, 4), 2);
    AclGrant d = GrantDesktop(nullptr, 0, kUser);
    ASSERT_EQ(d.outcome, AclGrant::Outcome::kNewAcl);
    ASSERT_EQ(d.acl.size(), 8 + kUser.size() + 8);
    ExpectAce(d.acl, 8, 0, 0x000F01FF, kUser);
}

// Any allowed ACE for the user, whatever its mask and flags, is enough on the desktop.
TEST(AceGrants, DesktopGetsOneAceUnlessTheUserHasAnAllowedOne) {
    struct Case {
        const char* name;
        uint8_t type, flags;
        bool unchanged;
    } cases[] = {{"allowed, other mask and flags", 0, 0x02, true},
                 {"denied", 1, 0, false},
                 {"none", 0xFF, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> old = EmptyAcl();
        AppendAllowedAce(old, 0, 0x000F01FF, kSystem);
        if (c.type != 0xFF) {
            AppendAllowedAce(old, c.flags, 0x1, kUser);
            old[8 + 8 + kSystem.size()] = c.type;
        }
        AclGrant g = GrantDesktop(old.data(), old.size(), kUser);
        if (c.unchanged) {
            EXPECT_EQ(g.outcome, AclGrant::Outcome::kUnchanged);
            continue;
        }
        ASSERT_EQ(g.outcome, AclGrant::Outcome::kNewAcl);
        EXPECT_EQ(g.acl.size(), old.size() + kUser.size() + 8);
        EXPECT_EQ(U16(g.acl, 4), U16(old, 4) + 1);
        ExpectAce(g.acl, 8, 0, 0x000F01FF, kSystem);
        ExpectAce(g.acl, old.size(), 0, 0x000F01FF, kUser);
    }
}

TEST(AceGrants, MalformedInputIsRefused) {
    std::vector<uint8_t> old = EmptyAcl();
    AppendAllowedAce(old, 0, 0x1, kUser);
    std::vector<uint8_t> bad_size = old;
    bad_size[10] = 200; // the ACE claims more than the ACL holds
    EXPECT_EQ(GrantDesktop(bad_size.data(), bad_size.size(), kUser).outcome,
              AclGrant::Outcome::kMalformed);
    std::vector<uint8_t> bad_count = old;
    bad_count[4] = 9;
    EXPECT_EQ(GrantWindowStation(bad_count.data(), bad_count.size(), kUser).outcome,
              AclGrant::Outcome::kMalformed);
    EXPECT_EQ(GrantDesktop(old.data(), 4, kUser).outcome, AclGrant::Outcome::kMalformed);
    std::vector<uint8_t> short_size = old;
    short_size[2] = 4; // an ACL size smaller than its header
    EXPECT_EQ(GrantDesktop(short_size.data(), short_size.size(), kUser).outcome,
              AclGrant::Outcome::kMalformed);
    EXPECT_EQ(GrantDesktop(old.data(), old.size(), "").outcome, AclGrant::Outcome::kMalformed);
    EXPECT_EQ(GrantDesktop(old.data(), old.size(), kUser.substr(0, 20)).outcome,
              AclGrant::Outcome::kMalformed);
    EXPECT_EQ(AclBytesInUse(old.data(), old.size()), old.size());
}

} // namespace
} // namespace pm::exec
