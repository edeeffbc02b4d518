// Pipe security decisions: the remote-client flag is dropped only where it does not exist, and
// a sender talks only to a server of an account it trusts.
#include <gtest/gtest.h>

#include "outside/kavipc32/pipe_policy.h"

using namespace kavipc;

TEST(PipePolicy, RemoteClientFlagIsDroppedOnlyWhereTheSystemLacksIt) {
    struct Case {
        uint32_t error, major;
        bool drop;
    } cases[] = {
        {87, 5, true},   // Windows XP / 2003: the flag is unknown there
        {87, 6, false},  // Vista and later know it: refusing it means something else is wrong
        {87, 10, false}, //
        {5, 5, false},   // access denied is no missing flag
        {1338, 5, false} // a bad security descriptor is never dropped
    };
    for (const Case& c : cases)
        EXPECT_EQ(MayDropRemoteClientFlag(c.error, c.major), c.drop) << c.error << " " << c.major;
}

TEST(PipePolicy, ServerAccountsASenderAccepts) {
    const std::string me = "S-1-5-21-1-2-3-1001";
    using K = ServerAccount::Known;
    using V = ServerVerdict;
    struct Case {
        ServerAccount server;
        std::string own;
        V verdict;
    } cases[] = {
        {{K::kAccount, me, false}, me, V::kAccept},                   // the same account
        {{K::kAccount, kSystemSid, false}, me, V::kAccept},           // SYSTEM
        {{K::kAccount, "S-1-5-21-1-2-3-1002", true}, me, V::kAccept}, // an administrator
        {{K::kAccount, "S-1-5-21-1-2-3-1002", false}, me, V::kRefuseOtherAccount}, // a squatter
        {{K::kAccount, "S-1-5-19", false}, me, V::kRefuseOtherAccount},            // LOCAL SERVICE
        {{K::kAccount, "", false}, "", V::kRefuseOtherAccount},       // no user never matches
        {{K::kNoProcess, "", false}, me, V::kAccept},                 // the system cannot tell
        {{K::kTokenUnreadable, "", false}, me, V::kRefuseUnreadable}, // known pid, no token
        {{K::kTokenUnreadable, me, true}, me, V::kRefuseUnreadable},  // stale fields count not
    };
    for (const Case& c : cases)
        EXPECT_EQ(JudgeServerAccount(c.server, c.own), c.verdict)
            << int(c.server.known) << " " << c.server.user_sid;
}
