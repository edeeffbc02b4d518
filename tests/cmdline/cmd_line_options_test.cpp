// CmdLine's options: the option table, response files, atoms and the handler seen by a
// derived class.
#include <gtest/gtest.h>

#include <map>
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

// The options a command line left behind: each value given, then each flag set.
std::string Options(const CmdLine& cmd) {
    const std::pair<const char*, const char*> values[] = {
        {"N", cmd.N()}, {"N2", cmd.N2()},   {"N3", cmd.N3()}, {"L", cmd.L()},   {"R", cmd.R()},
        {"S", cmd.S()}, {"UID", cmd.Uid()}, {"MN", cmd.Mn()}, {"GN", cmd.Gn()},
    };
    std::string out;
    for (const auto& [name, value] : values) {
        if (value != nullptr) out += std::string(name) + "=" + value + " ";
    }
    if (cmd.AddressGiven()) out += "ADDRESS ";
    if (cmd.Init()) out += "INIT ";
    if (cmd.Manager()) out += "MANAGER ";
    if (cmd.ResponseFileError()) out += "RSPERR ";
    if (Str(cmd.DataDirectory()) != "C:\\Kestrane\\bin\\")
        out += "DATA=" + Str(cmd.DataDirectory());
    return out;
}

std::string Parse(const std::string& arguments) {
    FakeSettingsSource source;
    source.command_line = "quorlent.exe " + arguments;
    CmdLine cmd(1, source);
    EXPECT_EQ(Str(cmd.Arguments()), arguments);
    return Options(cmd);
}

TEST(CmdLineOptionsTest, Table) {
    const struct {
        const char* args;
        const char* options;
    } cases[] = {
        {"/N:n1 /N2:n2 /N3:n3 /L:l /R:r /S:s /UID:u /MN:m /GN:g",
         "N=n1 N2=n2 N3=n3 L=l R=r S=s UID=u MN=m GN=g ADDRESS "},
        {"-uid:u /mn:m /Gn:g /init -Manager", "UID=u MN=m GN=g INIT MANAGER "}, // any case
        {"/N2:a", "N2=a ADDRESS "},
        {"/n3:a", "N3=a ADDRESS "},
        {"/N", ""}, // a valued option without a value is ignored
        {"N:a", ""},
        {"/NX:a", ""},
        // The 14th character of an IPX address, when a colon, becomes a dot.
        // I P X : A B C D E F G H I  :  J K   -- index 13 is the colon
        {"/N:IPX:ABCDEFGHI:JK", "N=IPX:ABCDEFGHI.JK ADDRESS "},
        {"/N:IPX:ABCDEFGH:JK", "N=IPX:ABCDEFGH:JK ADDRESS "}, // index 13 is 'J'
        {"/N2:IPX:ABCDEFGHI:JK", "N2=IPX:ABCDEFGHI.JK ADDRESS "},
        {"/N3:IPX:ABCDEFGHI:", "N3=IPX:ABCDEFGHI. ADDRESS "},
        {"/N:IPX:ABCDEFGHI", "N=IPX:ABCDEFGHI ADDRESS "},       // only 13 characters
        {"/N:ipx:ABCDEFGHI:JK", "N=ipx:ABCDEFGHI:JK ADDRESS "}, // the prefix is upper case
        {"/N:IPX", "N=IPX ADDRESS "},
        {"/S:IPX:ABCDEFGHI:JK", "S=IPX:ABCDEFGHI:JK "}, // other options keep their colons
        {"/S:a-b", "S=a "}, // '-' outside quotes starts the option "b", which does nothing
        {"/S:a-INIT", "S=a INIT "},
        {"/L:first /L:second /N:x /N:y", "N=y L=second ADDRESS "}, // the later one counts
        {"/L:kept /L /N /NDP /S: /UNKNOWN:x plain", "L=kept S= "},
        {"/INIT:no /MANAGER:0", "INIT MANAGER "}, // any value
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.args), c.options) << c.args;
    }
}

TEST(CmdLineOptionsTest, NdpReplacesTheDataDirectoryButNotTheLogDirectory) {
    FakeSettingsSource source;
    source.command_line = "quorlent.exe /NDP:E:\\elsewhere";
    source.SetString("Data", "D:\\data");
    CmdLine cmd(1, source);
    EXPECT_STREQ(cmd.DataDirectory(), "E:\\elsewhere"); // unchanged: no backslash added
    EXPECT_STREQ(cmd.LogDirectory(), "D:\\data\\");
}

// Reads "quorlent.exe <arguments>" with the given response files.
struct WithFiles {
    WithFiles(const std::string& arguments, std::map<std::string, std::string> files) {
        source.command_line = "quorlent.exe " + arguments;
        source.files = std::move(files);
    }
    FakeSettingsSource source;
    std::string Read() {
        CmdLine cmd(1, source);
        return Options(cmd);
    }
};

TEST(CmdLineOptionsTest, ResponseFiles) {
    const struct {
        const char* name;
        const char* args;
        std::map<std::string, std::string> files;
        const char* options;
    } cases[] = {
        {"two lines", "@opts.rsp", {{"opts.rsp", "/INIT\r\n/MANAGER\r\n"}}, "INIT MANAGER "},
        {"nested, in order",
         "/L:cmd @outer /R:cmd",
         {{"outer", "/L:outer\t@inner\n/S:outer"}, {"inner", "/L:inner /S:x"}},
         "L=inner R=cmd S=outer "},
        // The tab inside quotes is a blank by the time the file is tokenized.
        {"tab in quotes", "@inner", {{"inner", "/S:\"in\tner\""}}, "S=in ner "},
        {"unreadable: flagged, parsing goes on",
         "/L:before @missing.rsp /R:after",
         {},
         "L=before R=after RSPERR "},
        {"naming itself", "@self /R:after", {{"self", "/INIT @self"}}, "R=after INIT RSPERR "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WithFiles w(c.args, c.files);
        EXPECT_EQ(w.Read(), c.options);
    }
}

TEST(CmdLineOptionsTest, ResponseFilesNamingThemselvesStayBounded) {
    WithFiles self("@self", {{"self", "@self"}});
    self.Read();
    EXPECT_EQ(self.source.file_reads, CmdLine::kMaxResponseDepth);
    // Each file names the next one twice: without a limit on files this would be 2^16 reads.
    WithFiles twice("@a", {{"a", "@b @b"}, {"b", "@a @a /INIT"}});
    EXPECT_EQ(twice.Read(), "INIT RSPERR ");
    EXPECT_LE(twice.source.file_reads, 300);
}

TEST(CmdLineOptionsTest, AtomTextReplacesTheCommandLine) {
    FakeSettingsSource source;
    source.command_line = "quorlent.exe /XCL:49153 /L:own";
    source.atoms[49153] = "quorlent.exe /L:handed /INIT";
    CmdLine cmd(1, source);
    EXPECT_EQ(Options(cmd), "L=handed INIT ");
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
    EXPECT_EQ(Options(rec), "N=x ADDRESS INIT ");
}

TEST(CmdLineOptionsTest, ReadingAgainStartsAfresh) {
    FakeSettingsSource source;
    source.command_line = "q.exe /L:x /INIT @missing";
    CmdLine cmd(1, source);
    source.command_line = "q.exe";
    cmd.Read();
    EXPECT_EQ(Options(cmd), "");
}

} // namespace
