// The window-station and desktop grants over ACL bytes.
#include <gtest/gtest.h>

#include "procman/w32/exec/ace_grants.h"

namespace pm::exec {
namespace {

// S-1-5-21-1-2-3-1001: revision 1, 5 sub-authorities, authority 5 (NT).
const std::string kUser = std::string("\x01\x05\0\0\0\0\0\x05\x15\0\0\0\x01\0\0\0", 16) +
                          std::string("\x02\0\0\0\x03\0\0\0\xE9\x03\0\0", 12);
// S-1-5-18 (the system account).
const std::string kSystem = std::string("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);

uint32_t Le(const std::vector<uint8_t>& a, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | a[at + size_t(i)];
    return v;
}

// The ACE at `at`: ACCESS_ALLOWED, its inheritance flags, size, mask and SID.
void ExpectAce(const std::vector<uint8_t>& acl, size_t at, uint8_t flags, uint32_t mask,
               const std::string& sid) {
    ASSERT_LE(at + 8 + sid.size(), acl.size());
    EXPECT_EQ(acl[at], 0) << at;
    EXPECT_EQ(acl[at + 1], flags) << at;
    EXPECT_EQ(Le(acl, at + 2, 2), 8 + sid.size()) << at;
    EXPECT_EQ(Le(acl, at + 4, 4), mask) << at;
    EXPECT_EQ(std::string(acl.begin() + long(at) + 8, acl.begin() + long(at + 8 + sid.size())),
              sid);
}

// The new ACL: revision 2, its size in the header, the old ACEs first, then the user's. No
// DACL counts as an empty one.
TEST(AceGrants, WindowStationGetsTheMissingAcesAfterTheOldOnes) {
    struct Case {
        const char* name;
        bool own, inherit, other_mask, no_dacl;
        int added;
    } cases[] = {
        {"both present: no write", true, true, false, false, 0},
        {"own missing", false, true, false, false, 1},
        {"inheritable missing", true, false, false, false, 1},
        {"none", false, false, false, false, 2},
        {"same SID, other mask", false, false, true, false, 2},
        {"no DACL", false, false, false, true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> old = EmptyAcl();
        if (!c.no_dacl) AppendAllowedAce(old, 0, 0x000F037F, kSystem);
        if (c.inherit) AppendAllowedAce(old, 0x0B, 0xF0000000, kUser);
        if (c.own) AppendAllowedAce(old, 0x04, 0x000F037F, kUser);
        if (c.other_mask) AppendAllowedAce(old, 0x04, 0x1, kUser);
        AclGrant g = c.no_dacl ? GrantWindowStation(nullptr, 0, kUser)
                               : GrantWindowStation(old.data(), old.size(), kUser);
        if (c.added == 0) {
            EXPECT_EQ(g.outcome, AclGrant::Outcome::kUnchanged);
            continue;
        }
        ASSERT_EQ(g.outcome, AclGrant::Outcome::kNewAcl);
        // Room for both ACEs whatever was added.
        ASSERT_EQ(g.acl.size(), old.size() + 2 * kUser.size() + 16);
        EXPECT_EQ(g.acl[0], 2);
        EXPECT_EQ(Le(g.acl, 2, 2), g.acl.size());
        EXPECT_EQ(Le(g.acl, 4, 2), Le(old, 4, 2) + c.added);
        EXPECT_TRUE(std::equal(old.begin() + 8, old.end(), g.acl.begin() + 8));
        size_t at = old.size();
        if (!c.inherit) {
            ExpectAce(g.acl, at, 0x0B, 0xF0000000, kUser);
            at += 8 + kUser.size();
        }
        if (!c.own) ExpectAce(g.acl, at, 0x04, 0x000F037F, kUser);
    }
}

// Any allowed ACE for the user, whatever its mask and flags, is enough on the desktop.
TEST(AceGrants, DesktopGetsOneAceUnlessTheUserHasAnAllowedOne) {
    struct Case {
        const char* name;
        int type; // of the user's ACE, -1 for none, -2 for no DACL at all
        uint8_t flags;
    } cases[] = {{"allowed, other mask and flags", 0, 0x02},
                 {"denied", 1, 0},
                 {"none", -1, 0},
                 {"no DACL", -2, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> old = EmptyAcl();
        if (c.type != -2) AppendAllowedAce(old, 0, 0x000F01FF, kSystem);
        if (c.type >= 0) {
            AppendAllowedAce(old, c.flags, 0x1, kUser);
            old[8 + 8 + kSystem.size()] = uint8_t(c.type);
        }
        AclGrant g = c.type == -2 ? GrantDesktop(nullptr, 0, kUser)
                                  : GrantDesktop(old.data(), old.size(), kUser);
        if (c.type == 0) {
            EXPECT_EQ(g.outcome, AclGrant::Outcome::kUnchanged);
            continue;
        }
        ASSERT_EQ(g.outcome, AclGrant::Outcome::kNewAcl);
        EXPECT_EQ(g.acl.size(), old.size() + kUser.size() + 8);
        EXPECT_EQ(Le(g.acl, 4, 2), Le(old, 4, 2) + 1);
        EXPECT_TRUE(std::equal(old.begin() + 8, old.end(), g.acl.begin() + 8));
        ExpectAce(g.acl, old.size(), 0, 0x000F01FF, kUser);
    }
}

TEST(AceGrants, MalformedInputIsRefused) {
    std::vector<uint8_t> old = EmptyAcl();
    AppendAllowedAce(old, 0, 0x1, kUser);
    EXPECT_EQ(AclBytesInUse(old.data(), old.size()), old.size());
    // The byte at `at` set to `value`, the ACL passed as `size` bytes, with `sid`.
    auto outcome = [&](size_t at, uint8_t value, size_t size, const std::string& sid,
                       bool station) {
        std::vector<uint8_t> acl = old;
        acl[at] = value;
        return (station ? GrantWindowStation : GrantDesktop)(acl.data(), size, sid).outcome;
    };
    const auto kMalformed = AclGrant::Outcome::kMalformed;
    EXPECT_EQ(outcome(10, 200, old.size(), kUser, false), kMalformed); // ACE beyond the ACL
    EXPECT_EQ(outcome(4, 9, old.size(), kUser, true), kMalformed);     // more ACEs than held
    EXPECT_EQ(outcome(0, 2, 4, kUser, false), kMalformed);             // shorter than a header
    EXPECT_EQ(outcome(2, 4, old.size(), kUser, false), kMalformed);    // size below its header
    EXPECT_EQ(outcome(0, 2, old.size(), "", false), kMalformed);       // no SID
    EXPECT_EQ(outcome(0, 2, old.size(), kUser.substr(0, 20), false), kMalformed); // SID cut
}

} // namespace
} // namespace pm::exec
