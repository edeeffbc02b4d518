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
    struct Case {
        ServerAccount server;
        bool accepted;
    } cases[] = {
        {{true, me, false}, true},                     // the same account
        {{true, kSystemSid, false}, true},             // SYSTEM
        {{true, "S-1-5-21-1-2-3-1002", true}, true},   // an administrator
        {{true, "S-1-5-21-1-2-3-1002", false}, false}, // another user: a squatter
        {{true, "S-1-5-19", false}, false},            // LOCAL SERVICE is not trusted
        {{false, "", false}, true},                    // Windows cannot tell
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServerAccountAccepted(c.server, me), c.accepted) << c.server.user_sid;
    EXPECT_FALSE(ServerAccountAccepted({true, "", false}, "")); // unknown user never matches
}
