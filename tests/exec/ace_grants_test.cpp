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

TEST(AceGrants, WindowStationWithoutTheUserGetsBothAcesAfterTheOldOnes) {
    std::vector<uint8_t> old = EmptyAcl();
    AppendAllowedAce(old, 0, 0x000F037F, kSystem);
    AclGrant g = GrantWindowStation(old.data(), old.size(), kUser);
    ASSERT_EQ(g.outcome, AclGrant::Outcome::kNewAcl);
    // Size: bytes in use + 2 x SID + 16; header: revision 2, count 3.
    ASSERT_EQ(g.acl.size(), old.size() + 2 * kUser.size() + 16);
    EXPECT_EQ(g.acl[0], 2);
    EXPECT_EQ(U16(g.acl, 2), g.acl.size());
    EXPECT_EQ(U16(g.acl, 4), 3);
    ExpectAce(g.acl, 8, 0, 0x000F037F, kSystem);
    size_t second = 8 + 8 + kSystem.size();
    ExpectAce(g.acl, second, 0x0B, 0xF0000000, kUser);
    ExpectAce(g.acl, second + 8 + kUser.size(), 0x04, 0x000F037F, kUser);
}

TEST(AceGrants, WindowStationCases) {
    struct Case {
        const char* name;
        bool own, inherit, other_mask;
        AclGrant::Outcome outcome;
        int added;
    } cases[] = {
        {"both present: no write", true, true, false, AclGrant::Outcome::kUnchanged, 0},
        {"own missing", false, true, false, AclGrant::Outcome::kNewAcl, 1},
        {"inheritable missing", true, false, false, AclGrant::Outcome::kNewAcl, 1},
        {"none", false, false, false, AclGrant::Outcome::kNewAcl, 2},
        {"same SID, other mask", false, false, true, AclGrant::Outcome::kNewAcl, 2},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> old = EmptyAcl();
        if (c.inherit) AppendAllowedAce(old, 0x0B, 0xF0000000, kUser);
        if (c.own) AppendAllowedAce(old, 0x04, 0x000F037F, kUser);
        if (c.other_mask) AppendAllowedAce(old, 0x04, 0x1, kUser);
        AclGrant g = GrantWindowStation(old.data(), old.size(), kUser);
        EXPECT_EQ(g.outcome, c.outcome) << c.name;
        if (g.outcome != AclGrant::Outcome::kNewAcl) continue;
        EXPECT_EQ(U16(g.acl, 4), U16(old, 4) + c.added) << c.name;
        // The new ACL has room for both ACEs whatever was added; the old ones come first.
        EXPECT_EQ(g.acl.size(), old.size() + 2 * kUser.size() + 16) << c.name;
        EXPECT_TRUE(std::equal(old.begin() + 8, old.end(), g.acl.begin() + 8)) << c.name;
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

TEST(AceGrants, DesktopAnyAceForTheUserIsEnough) {
    std::vector<uint8_t> old = EmptyAcl();
    AppendAllowedAce(old, 0, 0x000F01FF, kSystem);
    AppendAllowedAce(old, 0x02, 0x1, kUser); // any mask, any flags
    EXPECT_EQ(GrantDesktop(old.data(), old.size(), kUser).outcome, AclGrant::Outcome::kUnchanged);

    std::vector<uint8_t> other = EmptyAcl();
    AppendAllowedAce(other, 0, 0x000F01FF, kSystem);
    AclGrant g = GrantDesktop(other.data(), other.size(), kUser);
    ASSERT_EQ(g.outcome, AclGrant::Outcome::kNewAcl);
    EXPECT_EQ(g.acl.size(), other.size() + kUser.size() + 8);
    EXPECT_EQ(U16(g.acl, 4), 2);
    ExpectAce(g.acl, 8, 0, 0x000F01FF, kSystem);
    ExpectAce(g.acl, other.size(), 0, 0x000F01FF, kUser);
}

TEST(AceGrants, ADenyAceForTheUserDoesNotCount) {
    std::vector<uint8_t> old = EmptyAcl();
    AppendAllowedAce(old, 0, 0x000F01FF, kUser);
    old[8] = 1; // ACCESS_DENIED
    EXPECT_EQ(GrantDesktop(old.data(), old.size(), kUser).outcome, AclGrant::Outcome::kNewAcl);
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
