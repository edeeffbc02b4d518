// The settings step's lockdown plan, and the reader of SDDL DACLs that judges it (here and on
// the descriptors the installer's tests read back under Wine).
#include <gtest/gtest.h>

#include "outside/pmsvc/at_rest.h"

namespace pmsvc {
namespace {

TEST(AtRest, OnlyFoldersTwoLevelsBelowADriveRootAreLocked) {
    EXPECT_TRUE(LockableFolder("C:\\ProgramData\\Orvane"));
    EXPECT_TRUE(LockableFolder("C:\\ProgramData\\Orvane\\ProcMgr\\Logs\\"));
    EXPECT_TRUE(LockableFolder("d:/data/procmgr"));
    EXPECT_FALSE(LockableFolder("C:\\ProgramData\\"));   // one level: every product's folder
    EXPECT_FALSE(LockableFolder("C:\\ProgramData\\\\")); // doubled separator, still one
    EXPECT_FALSE(LockableFolder("C:\\"));
    EXPECT_FALSE(LockableFolder("C:"));
    EXPECT_FALSE(LockableFolder(""));
    EXPECT_FALSE(LockableFolder("C:relative\\a\\b")); // relative to the drive's folder
    EXPECT_FALSE(LockableFolder("data\\procmgr\\logs"));
    EXPECT_FALSE(LockableFolder("\\\\server\\share\\a\\b")); // a share: not ours to lock
}

TEST(AtRest, PlanNamesTheCopyAndEachFolderOnce) {
    auto plan =
        PlanLockdown("C:\\Program Files\\Orvane\\ProcMgr\\", "C:\\ProgramData\\Orvane\\ProcMgr\\",
                     "C:\\ProgramData\\Orvane\\ProcMgr\\Logs\\", "pmgate-credentials.txt");
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(plan[0].path, "C:\\Program Files\\Orvane\\ProcMgr\\pmgate-credentials.txt");
    EXPECT_STREQ(plan[0].sddl, kSecretSddl);
    EXPECT_EQ(plan[1].path, "C:\\ProgramData\\Orvane\\ProcMgr");
    EXPECT_STREQ(plan[1].sddl, kServiceFolderSddl);
    EXPECT_EQ(plan[2].path, "C:\\ProgramData\\Orvane\\ProcMgr\\Logs");
    EXPECT_STREQ(plan[2].sddl, kServiceFolderSddl);

    // The logs in the data folder itself (another case, another separator): one entry. A
    // program folder without its backslash still gets one before the copy's name.
    plan = PlanLockdown("C:\\P\\Q", "C:\\Data\\PM\\", "c:/data/pm", "cred.txt");
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[0].path, "C:\\P\\Q\\cred.txt");
    EXPECT_EQ(plan[1].path, "C:\\Data\\PM");

    // No log folder set, a data folder too high up to lock: only the copy.
    plan = PlanLockdown("C:\\P\\Q\\", "C:\\ProgramData\\", "", "cred.txt");
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_STREQ(plan[0].sddl, kSecretSddl);
}

TEST(AtRest, QuotesTheServicesOwnUnquotedImagePath) {
    const std::string exe = "C:\\Program Files\\Orvane\\ProcMgr\\pmsvc.exe";
    EXPECT_EQ(QuotedImagePath(exe, exe).value_or("-"), "\"" + exe + "\"");
    // Another case (the service manager keeps what the installer wrote), with arguments.
    EXPECT_EQ(
        QuotedImagePath("c:\\program files\\orvane\\procmgr\\pmsvc.exe -x", exe).value_or("-"),
        "\"c:\\program files\\orvane\\procmgr\\pmsvc.exe\" -x");
    EXPECT_FALSE(QuotedImagePath("\"" + exe + "\"", exe)); // quoted already
    EXPECT_FALSE(QuotedImagePath(exe + "x", exe));         // pmsvc.exex: not ours
    EXPECT_FALSE(QuotedImagePath("C:\\Program Files\\Other\\svc.exe", exe));
    EXPECT_FALSE(QuotedImagePath("", exe));
}

// What the plan's descriptors give users, judged by the same reader the installer's tests use.
TEST(AtRest, DescriptorsKeepUsersFromTheSecretAndFromWriting) {
    auto secret = ReadDacl(kSecretSddl);
    ASSERT_TRUE(secret);
    EXPECT_TRUE(secret->is_protected);
    EXPECT_EQ(LocalUsersRights(*secret), 0u);

    auto folder = ReadDacl(kServiceFolderSddl);
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->is_protected);
    const uint32_t users = LocalUsersRights(*folder);
    EXPECT_EQ(users & kAnyWrite, 0u);
    EXPECT_NE(users & kFileReadData, 0u); // users may still read the logs
    for (const auto& ace : folder->aces)
        EXPECT_FALSE(ace.inherit_only);
}

TEST(AtRest, ReadsDaclsAsWindowsAndWineWriteThem) {
    // Owner and group before, a SACL after; "PAI": protected and auto-inherited; the users'
    // entry in hex.
    auto d = ReadDacl("O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)S:AI(AU;SA;FA;;;WD)");
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->is_protected);
    ASSERT_EQ(d->aces.size(), 2u);
    EXPECT_EQ(d->aces[0].mask, 0x1f01ffu);
    EXPECT_EQ(d->aces[1].sid, "BU");
    EXPECT_EQ(LocalUsersRights(*d), 0x1200a9u); // the SACL's audit entry for Everyone: no right

    // What a folder under ProgramData inherits on Windows: users may create files and folders
    // (an inherit-only entry counts: it is what new files get). Numeric SID, generic and
    // octal rights, not protected.
    d = ReadDacl("D:AI(A;OICIID;FA;;;SY)(A;OICIID;GRGX;;;S-1-5-32-545)"
                 "(A;CIID;0x6;;;BU)(A;OICIIOID;GA;;;CO)(A;OICIIO;010;;;BU)");
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->is_protected);
    EXPECT_TRUE(d->aces[3].inherit_only);
    EXPECT_EQ(LocalUsersRights(*d), 0x1200a9u | 0x6u | 0x8u);

    // Everyone's generic all; a deny entry grants nothing.
    d = ReadDacl("D:(D;;FA;;;BU)(A;;GA;;;WD)");
    ASSERT_TRUE(d);
    EXPECT_EQ(LocalUsersRights(*d), 0x1f01ffu);
    d = ReadDacl("D:P(D;;FA;;;BU)");
    ASSERT_TRUE(d);
    EXPECT_EQ(LocalUsersRights(*d), 0u);

    // A null DACL: everyone may do everything. An empty one: nobody.
    d = ReadDacl("D:NO_ACCESS_CONTROL");
    ASSERT_TRUE(d);
    EXPECT_EQ(LocalUsersRights(*d), 0x1f01ffu);
    d = ReadDacl("O:SYD:P");
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->aces.empty());
    EXPECT_EQ(LocalUsersRights(*d), 0u);
}

TEST(AtRest, RefusesWhatIsNoDacl) {
    for (const char* bad : {
             "",                         // nothing
             "O:BAG:SY",                 // no DACL part
             "D:P(A;;FA;;;SY",           // entry not closed
             "D:P(A;;FA;;SY)",           // five fields
             "D:P(A;;FA;;;)",            // no SID
             "D:P(A;;ZZ;;;BU)",          // unknown right
             "D:P(A;;0x1g;;;BU)",        // not a number
             "D:P(A;;0x100000000;;;BU)", // more than 32 bits
             "D:P(A;OIC;FA;;;BU)",       // half a flag
             "D:X(A;;FA;;;BU)",          // unknown DACL flag
             "D:P(A;;FA;;;SY)junk",      // text between entries
             "D:P)(A;;FA;;;SY)",         // a stray parenthesis
         })
        EXPECT_FALSE(ReadDacl(bad)) << bad;
}

} // namespace
} // namespace pmsvc
