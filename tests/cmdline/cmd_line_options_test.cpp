// CmdLine's options: the option table, response files, atoms and the handler seen by a
// derived class.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "shared/cmdline/cmd_line.h"
#include "tests/cmdline/fake_settings_source.h"

namespace {

using pm::CmdLine;
using pm::testing::FakeSettingsSource;

std::string Str(const char* s) {
    return s ? s : "<null>";
}

// Reads "quorlent.exe <arguments>" from a fake.
struct Parsed {
    explicit Parsed(const std::string& arguments) {
        source.command_line = "quorlent.exe " + arguments;
    }
    FakeSettingsSource source;
};

TEST(CmdLineOptionsTest, ValuedOptionsAreStored) {
    Parsed p("/N:n1 /N2:n2 /N3:n3 /L:l /R:r /S:s /UID:u /MN:m /GN:g");
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.N(), "n1");
    EXPECT_STREQ(cmd.N2(), "n2");
    EXPECT_STREQ(cmd.N3(), "n3");
    EXPECT_STREQ(cmd.L(), "l");
    EXPECT_STREQ(cmd.R(), "r");
    EXPECT_STREQ(cmd.S(), "s");
    EXPECT_STREQ(cmd.Uid(), "u");
    EXPECT_STREQ(cmd.Mn(), "m");
    EXPECT_STREQ(cmd.Gn(), "g");
    EXPECT_EQ(cmd.AddressGiven(), 1);
    EXPECT_EQ(cmd.Init(), 0);
    EXPECT_EQ(cmd.Manager(), 0);
    EXPECT_STREQ(cmd.Arguments(), "/N:n1 /N2:n2 /N3:n3 /L:l /R:r /S:s /UID:u /MN:m /GN:g");
}

TEST(CmdLineOptionsTest, NamesCompareWithoutRegardToCase) {
    Parsed p("-uid:u /mn:m /Gn:g /init -Manager");
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.Uid(), "u");
    EXPECT_STREQ(cmd.Mn(), "m");
    EXPECT_STREQ(cmd.Gn(), "g");
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_EQ(cmd.Manager(), 1);
}

TEST(CmdLineOptionsTest, AnyOfNN2N3GivesTheAddress) {
    for (const char* args : {"/N:a", "/N2:a", "/n3:a"}) {
        Parsed p(args);
        CmdLine cmd(1, p.source);
        EXPECT_EQ(cmd.AddressGiven(), 1) << args;
    }
    for (const char* args : {"/N", "/L:a", "", "N:a", "/NX:a"}) {
        Parsed p(args);
        CmdLine cmd(1, p.source);
        EXPECT_EQ(cmd.AddressGiven(), 0) << args;
    }
}

TEST(CmdLineOptionsTest, IpxAddressGetsADotAsItsFourteenthCharacter) {
    const struct {
        const char* args;
        const char* value;
    } cases[] = {
        // I P X : A B C D E F G H I  :  J K   -- index 13 is the colon
        {"/N:IPX:ABCDEFGHI:JK", "IPX:ABCDEFGHI.JK"},
        {"/N:IPX:ABCDEFGH:JK", "IPX:ABCDEFGH:JK"}, // index 13 is 'J'
        {"/N2:IPX:ABCDEFGHI:JK", "IPX:ABCDEFGHI.JK"},
        {"/N3:IPX:ABCDEFGHI:", "IPX:ABCDEFGHI."},
        {"/N:IPX:ABCDEFGHI", "IPX:ABCDEFGHI"},       // only 13 characters
        {"/N:ipx:ABCDEFGHI:JK", "ipx:ABCDEFGHI:JK"}, // the prefix is upper case
        {"/N:TCP:ABCDEFGHI:JK", "TCP:ABCDEFGHI:JK"},
        {"/N:IPX", "IPX"},
    };
    for (const auto& c : cases) {
        Parsed p(c.args);
        CmdLine cmd(1, p.source);
        std::string got = Str(cmd.N()) + Str(cmd.N2()) + Str(cmd.N3());
        EXPECT_NE(got.find(c.value), std::string::npos) << c.args << " -> " << got;
    }
    // Other options keep their colons.
    Parsed p("/S:IPX:ABCDEFGHI:JK");
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.S(), "IPX:ABCDEFGHI:JK");
}

TEST(CmdLineOptionsTest, QuotesAndOptionBoundaries) {
    {
        Parsed p("/S:\"a b\"");
        CmdLine cmd(1, p.source);
        EXPECT_STREQ(cmd.S(), "a b");
    }
    {
        // "-" outside quotes starts the option "b", which has no effect here.
        Parsed p("/S:a-b");
        CmdLine cmd(1, p.source);
        EXPECT_STREQ(cmd.S(), "a");
    }
    {
        Parsed p("/S:a-INIT");
        CmdLine cmd(1, p.source);
        EXPECT_STREQ(cmd.S(), "a");
        EXPECT_EQ(cmd.Init(), 1);
    }
    {
        Parsed p("/S:\"say \"\"hi\"\"\"");
        CmdLine cmd(1, p.source);
        EXPECT_STREQ(cmd.S(), "say \"hi\"");
    }
}

TEST(CmdLineOptionsTest, LaterOccurrenceReplacesEarlier) {
    Parsed p("/L:first /L:second /N:x /N:y");
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.L(), "second");
    EXPECT_STREQ(cmd.N(), "y");
}

TEST(CmdLineOptionsTest, ValuedOptionWithoutValueIsIgnored) {
    Parsed p("/L:kept /L /N /NDP /S: /UNKNOWN:x plain");
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.L(), "kept");
    EXPECT_EQ(cmd.N(), nullptr);
    EXPECT_EQ(cmd.AddressGiven(), 0);
    EXPECT_STREQ(cmd.DataDirectory(), "C:\\Kestrane\\bin\\");
    EXPECT_STREQ(cmd.S(), ""); // given, though empty
}

TEST(CmdLineOptionsTest, InitAndManagerTakeAnyValue) {
    Parsed p("/INIT:no /MANAGER:0");
    CmdLine cmd(1, p.source);
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_EQ(cmd.Manager(), 1);
}

TEST(CmdLineOptionsTest, NdpReplacesTheDataDirectoryButNotTheLogDirectory) {
    Parsed p("/NDP:E:\\elsewhere");
    p.source.SetString("Data", "D:\\data");
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.DataDirectory(), "E:\\elsewhere"); // unchanged: no backslash added
    EXPECT_STREQ(cmd.LogDirectory(), "D:\\data\\");

    Parsed q("/NDP:E:\\x");
    CmdLine cmd2(1, q.source);
    EXPECT_STREQ(cmd2.DataDirectory(), "E:\\x");
    EXPECT_STREQ(cmd2.LogDirectory(), "C:\\Kestrane\\bin\\");
}

TEST(CmdLineOptionsTest, ResponseFileWithInitAndManagerLines) {
    Parsed p("@opts.rsp");
    p.source.files["opts.rsp"] = "/INIT\r\n/MANAGER\r\n";
    CmdLine cmd(1, p.source);
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_EQ(cmd.Manager(), 1);
    EXPECT_EQ(cmd.ResponseFileError(), 0);
}

TEST(CmdLineOptionsTest, ResponseFilesNestAndKeepTheirOrder) {
    Parsed p("/L:cmd @outer /R:cmd");
    p.source.files["outer"] = "/L:outer\t@inner\n/S:outer";
    p.source.files["inner"] = "/L:inner /S:\"in\tner\"";
    CmdLine cmd(1, p.source);
    EXPECT_STREQ(cmd.L(), "inner");
    EXPECT_STREQ(cmd.S(), "outer");
    EXPECT_STREQ(cmd.R(), "cmd");
    EXPECT_EQ(cmd.ResponseFileError(), 0);
    // The tab inside quotes was a blank by the time the file was tokenized.
    Parsed q("@inner");
    q.source.files["inner"] = "/S:\"in\tner\"";
    CmdLine cmd2(1, q.source);
    EXPECT_STREQ(cmd2.S(), "in ner");
}

TEST(CmdLineOptionsTest, UnreadableResponseFileSetsTheFlagAndParsingGoesOn) {
    Parsed p("/L:before @missing.rsp /R:after");
    CmdLine cmd(1, p.source);
    EXPECT_EQ(cmd.ResponseFileError(), 1);
    EXPECT_STREQ(cmd.L(), "before");
    EXPECT_STREQ(cmd.R(), "after");
}

TEST(CmdLineOptionsTest, ResponseFileNamingItselfEndsAsAnError) {
    Parsed p("@self /R:after");
    p.source.files["self"] = "/INIT @self";
    CmdLine cmd(1, p.source);
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_STREQ(cmd.R(), "after");
    EXPECT_EQ(cmd.ResponseFileError(), 1);
    int reads = 0;
    for (const std::string& call : p.source.calls)
        reads += call == "file self";
    EXPECT_EQ(reads, CmdLine::kMaxResponseDepth);
}

TEST(CmdLineOptionsTest, ResponseFilesNamingEachOtherTwiceStayBounded) {
    // Each file names the next one twice: without a limit on files this would be 2^16 reads.
    Parsed p("@a");
    p.source.files["a"] = "@b @b";
    p.source.files["b"] = "@a @a /INIT";
    CmdLine cmd(1, p.source);
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_EQ(cmd.ResponseFileError(), 1);
    EXPECT_LE(p.source.calls.size(), 300u);
}

TEST(CmdLineOptionsTest, AtomTextReplacesTheCommandLine) {
    FakeSettingsSource source;
    source.command_line = "quorlent.exe /XCL:49153 /L:own";
    source.atoms[49153] = "quorlent.exe /L:handed /INIT";
    CmdLine cmd(1, source);
    EXPECT_STREQ(cmd.L(), "handed");
    EXPECT_EQ(cmd.Init(), 1);
    EXPECT_STREQ(cmd.Arguments(), "/L:handed /INIT");
}

TEST(CmdLineOptionsTest, UnreadableAtomLeavesTheOwnCommandLine) {
    for (const char* line : {"q.exe /XCL:49154 /L:own", "q.exe /XCL: /L:own", "q.exe /XCL:0 /L:own",
                             "q.exe /XCL:70000 /L:own", "q.exe /xcl:49155 /L:own"}) {
        FakeSettingsSource source;
        source.command_line = line;
        source.atoms[49155] = "q.exe /L:handed";
        source.atoms[70000 & 0xFFFF] = "q.exe /L:handed";
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.L(), "own") << line;
    }
}

TEST(CmdLineOptionsTest, ProgramNameEndsAtTheFirstBlankEvenInQuotes) {
    FakeSettingsSource source;
    source.command_line = "\"C:\\Program Files\\q.exe\" /L:x";
    CmdLine cmd(1, source);
    // The quote after the program name opens quoting for the rest of the line.
    EXPECT_STREQ(cmd.Arguments(), "Files\\q.exe\" /L:x");
    EXPECT_EQ(cmd.L(), nullptr);
}

// A derived class sees every option once, plain arguments with an empty name.
class Recorder : public CmdLine {
public:
    explicit Recorder(FakeSettingsSource& source) : CmdLine(0, source) {}
    std::vector<std::pair<std::string, std::string>> seen;
    void HandleOption(const char* name, const char* value) override {
        seen.emplace_back(name, Str(value));
        CmdLine::HandleOption(name, value);
    }
};

TEST(CmdLineOptionsTest, HandlerSeesEachOptionAndPlainArgument) {
    FakeSettingsSource source;
    source.command_line = "q.exe /N:x plain -INIT @r /Custom:1";
    source.files["r"] = "inner /flag";
    Recorder rec(source);
    rec.Read();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"N", "x"},    {"", "plain"},      {"INIT", "<null>"},
        {"", "inner"}, {"flag", "<null>"}, {"Custom", "1"},
    };
    EXPECT_EQ(rec.seen, expected);
    EXPECT_STREQ(rec.N(), "x");
    EXPECT_EQ(rec.Init(), 1);
}

TEST(CmdLineOptionsTest, ReadingAgainStartsAfresh) {
    FakeSettingsSource source;
    source.command_line = "q.exe /L:x /INIT @missing";
    CmdLine cmd(1, source);
    source.command_line = "q.exe";
    cmd.Read();
    EXPECT_EQ(cmd.L(), nullptr);
    EXPECT_EQ(cmd.Init(), 0);
    EXPECT_EQ(cmd.ResponseFileError(), 0);
}

} // namespace
