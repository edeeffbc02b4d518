// Pipe names and the pipe's DACL text, and the pipe security decisions: the remote-client flag is
// dropped only where it does not exist, and a sender talks only to a server of an account it
// trusts.
#include <gtest/gtest.h>

#include "outside/kavipc32/pipe_naming.h"
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
        K known;
        const char* sid; // nullptr: the sender's own
        bool administrators;
        const char* own;
        V verdict;
    };
    static const Case cases[] = {
        {K::kAccount, nullptr, false, nullptr, V::kAccept},              // the same account
        {K::kAccount, kSystemSid, false, nullptr, V::kAccept},           // SYSTEM
        {K::kAccount, "S-1-5-21-1-2-3-1002", true, nullptr, V::kAccept}, // an administrator
        {K::kAccount, "S-1-5-21-1-2-3-1002", false, nullptr, V::kRefuseOtherAccount}, // a squatter
        {K::kAccount, "S-1-5-19", false, nullptr, V::kRefuseOtherAccount}, // LOCAL SERVICE
        {K::kAccount, "", false, "", V::kRefuseOtherAccount},              // no user never matches
        {K::kNoProcess, "", false, nullptr, V::kAccept},                   // the system cannot tell
        {K::kTokenUnreadable, "", false, nullptr, V::kRefuseUnreadable},   // known pid, no token
        {K::kTokenUnreadable, nullptr, true, nullptr,
         V::kRefuseUnreadable}, // stale fields count not
    };
    for (const Case& c : cases) {
        ServerAccount server;
        server.known = c.known;
        server.user_sid = c.sid ? c.sid : me;
        server.administrators = c.administrators;
        const std::string own = c.own ? c.own : me;
        EXPECT_EQ(JudgeServerAccount(server, own), c.verdict)
            << int(server.known) << " " << server.user_sid;
    }
}

// One pipe per node; its DACL names SYSTEM, the administrators and the creator.
TEST(PipeNamingTest, NameAndDacl) {
    EXPECT_EQ(PipePathForNode("ProcMgr"), "\\\\.\\pipe\\kavipc32\\ProcMgr");
    EXPECT_EQ(PipeSddl("S-1-5-21-1-2-3-1000"),
              "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;S-1-5-21-1-2-3-1000)");
    // no usable account: nobody else is admitted
    EXPECT_EQ(PipeSddl(""), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(PipeSddl("S-1-5)(A;;GA;;;WD"), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(PipeSddl("WD"), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
}
