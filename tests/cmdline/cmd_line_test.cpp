// CmdLine over a fake settings source: directory fallbacks, registry values at their limits,
// double-byte text, the program's own location, the option table, response files, atoms and
// the handler seen by a derived class.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared/cmdline/cmd_line.h"
#include "tests/cmdline/fake_settings_source.h"

namespace {

using pm::CmdLine;
using pm::RegistryRead;
using pm::testing::FakeSettingsSource;
using Value = std::optional<std::pair<RegistryRead, std::string>>;

const auto Str = [](const char* s) { return std::string(s ? s : "<null>"); };
// A registry read: how it ended and the bytes it delivered (REG_SZ text with its terminator).
const auto Raw = [](RegistryRead how, const std::string& bytes) -> Value { return {{how, bytes}}; };
const auto Ok = [](const std::string& bytes) { return Raw(RegistryRead::kOk, bytes); };
const auto Sz = [](const std::string& text) { return Ok(text + '\0'); };
const std::string kBin = "C:\\Kestrane\\bin\\";

TEST(CmdLineTest, WithoutTheReadFlagEverythingIsEmptyAndNothingIsAsked) {
    FakeSettingsSource source;
    CmdLine cmd(0, source);
    EXPECT_EQ(source.questions, 0);
    for (const char* s : {cmd.LogDirectory(), cmd.DataDirectory(), cmd.ProgramDirectory(),
                          cmd.CurrentDirectory(), cmd.Arguments(), cmd.N(), cmd.N2(), cmd.N3(),
                          cmd.L(), cmd.R(), cmd.S(), cmd.Uid(), cmd.Mn(), cmd.Gn()}) {
        EXPECT_EQ(s, nullptr);
    }
    EXPECT_EQ(cmd.AddressGiven() + cmd.Manager() + cmd.Init() + cmd.ResponseFileError(), 0);
}

TEST(CmdLineTest, DataAndLogDirectoriesFromTheRegistry) {
    const std::string d255(255, 'D'), l255(255, 'L'), l256(256, 'L');
    const struct {
        const char* name;
        Value data, log_dir;
        std::string expected_data, expected_log;
        const char* args = "";
    } cases[] = {
        {"neither value: the program directory", {}, {}, kBin, kBin},
        {"LogDir gets a backslash", {}, Sz("C:\\logs"), kBin, "C:\\logs\\"},
        {"LogDir keeps its one backslash", {}, Sz("C:\\logs\\"), kBin, "C:\\logs\\"},
        {"Data feeds a missing LogDir", Sz("D:\\data"), {}, "D:\\data\\", "D:\\data\\"},
        {"Data feeds an empty LogDir", Sz("D:\\data"), Sz(""), "D:\\data\\", "D:\\data\\"},
        {"not a string", Raw(RegistryRead::kNotString, ""), {}, kBin, kBin},
        {"no bytes at all", Ok(""), {}, kBin, kBin},
        {"empty counts as missing", Ok(std::string("\0junk", 5)), {}, kBin, kBin},
        {"text ends at its NUL", Ok(std::string("D:\\d\0junk", 9)), {}, "D:\\d\\", "D:\\d\\"},
        {"no terminator at all", Ok("D:\\d"), {}, "D:\\d\\", "D:\\d\\"},
        {"more than there was room for", Ok(std::string(257, 'x')), {}, kBin, kBin},
        // 255 characters and the terminator fill the 256 bytes exactly; 256 bytes without a
        // terminator are the text; either way the backslash goes after them.
        {"all 256 bytes", Sz(d255), Ok(l256), d255 + "\\", l256 + "\\"},
        {"all 256 bytes ending in a backslash", {}, Ok(l255 + "\\"), kBin, l255 + "\\"},
        // Taken as it stands (no backslash added); the log directory still follows Data.
        {"/NDP replaces Data", Sz("D:\\d"), {}, "E:\\e", "D:\\d\\", "/NDP:E:\\e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSettingsSource source;
        if (c.data) source.registry["Data"] = *c.data;
        if (c.log_dir) source.registry["LogDir"] = *c.log_dir;
        source.command_line = std::string("quorlent.exe ") + c.args;
        CmdLine cmd(1, source);
        EXPECT_EQ(Str(cmd.ProgramDirectory()), kBin);
        EXPECT_EQ(Str(cmd.DataDirectory()), c.expected_data);
        EXPECT_EQ(Str(cmd.LogDirectory()), c.expected_log);
    }
}

TEST(CmdLineTest, RegistryValueEndingInADoubleByteCharacter) {
    // 0x95 0x5C is one character in code page 932: its trail byte is no backslash.
    FakeSettingsSource source;
    pm::LeadByteTable rules = pm::LeadByteTable::CodePage932();
    source.SetString("LogDir", "C:\\\x95\x5C");
    source.module_file_name = "C:\\\x95\x5C"
                              "bin.exe";
    CmdLine cmd(1, source, rules);
    EXPECT_STREQ(cmd.LogDirectory(), "C:\\\x95\x5C\\");
    // The program directory ends at the real separator, not at the trail byte.
    EXPECT_STREQ(cmd.ProgramDirectory(), "C:\\");
    EXPECT_GE(rules.LocaleCalls(), 1);
}

// The program directory ends at the module's last separator; without one the current
// directory stands in, a drive root keeps its one backslash and an unreadable one is the root
// of the current drive. With no registry values the log directory follows.
TEST(CmdLineTest, ProgramAndCurrentDirectories) {
    const std::optional<std::string> none, bare = std::string("quorlent.exe"), work = "C:\\work";
    const char* w = "C:\\work\\";
    const struct {
        std::optional<std::string> module, cwd;
        const char *program, *current;
    } cases[] = {
        {std::string("C:\\a\\b\\quorlent.exe"), work, "C:\\a\\b\\", w},
        {std::string("C:/a/quorlent.exe"), work, "C:/a/", w},
        {std::string("C:quorlent.exe"), work, "C:", w},
        {std::string("\\\\srv\\share\\q.exe"), work, "\\\\srv\\share\\", w},
        {bare, work, w, w},
        {std::string(""), work, w, w},
        {none, work, w, w}, // not readable
        {bare, std::string("C:\\"), "C:\\", "C:\\"},
        {bare, std::string("\\\\srv\\share"), "\\\\srv\\share\\", "\\\\srv\\share\\"},
        {bare, none, "\\", "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.module.value_or("<none>") + " in " + c.cwd.value_or("<none>"));
        FakeSettingsSource source;
        source.module_file_name = c.module;
        source.current_directory = c.cwd;
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.ProgramDirectory(), c.program);
        EXPECT_STREQ(cmd.LogDirectory(), c.program);
        EXPECT_STREQ(cmd.CurrentDirectory(), c.current);
    }
}

// The options a command line left behind: each value given, then each flag set.
std::string Options(const CmdLine& cmd) {
    const std::pair<const char*, const char*> values[] = {
        {"N", cmd.N()}, {"N2", cmd.N2()},   {"N3", cmd.N3()}, {"L", cmd.L()},   {"R", cmd.R()},
        {"S", cmd.S()}, {"UID", cmd.Uid()}, {"MN", cmd.Mn()}, {"GN", cmd.Gn()},
    };
    std::string out;
    for (const auto& [name, value] : values)
        out += value ? std::string(name) + "=" + value + " " : "";
    if (cmd.AddressGiven()) out += "ADDRESS ";
    if (cmd.Init()) out += "INIT ";
    if (cmd.Manager()) out += "MANAGER ";
    if (cmd.ResponseFileError()) out += "RSPERR ";
    if (Str(cmd.DataDirectory()) != kBin) out += "DATA=" + Str(cmd.DataDirectory());
    return out;
}

// Reads "quorlent.exe <arguments>" and answers the options it left behind.
std::string Parse(const std::string& arguments, FakeSettingsSource& source) {
    source.command_line = "quorlent.exe " + arguments;
    CmdLine cmd(1, source);
    EXPECT_EQ(Str(cmd.Arguments()), arguments);
    return Options(cmd);
}
std::string Parse(const std::string& arguments) {
    FakeSettingsSource source;
    return Parse(arguments, source);
}

TEST(CmdLineTest, OptionTable) {
    const struct {
        const char* args;
        const char* options;
    } cases[] = {
        {"/N:n1 /N2:n2 /N3:n3 /L:l /R:r /S:s /UID:u /MN:m /GN:g",
         "N=n1 N2=n2 N3=n3 L=l R=r S=s UID=u MN=m GN=g ADDRESS "},
        {"-uid:u /mn:m /Gn:g /init -Manager", "UID=u MN=m GN=g INIT MANAGER "}, // any case
        {"/N", ""}, // a valued option without a value is ignored
        // The 14th character of an IPX address, when a colon, becomes a dot.
        // I P X : A B C D E F G H I  :  J K   -- index 13 is the colon
        {"/N:IPX:ABCDEFGHI:JK", "N=IPX:ABCDEFGHI.JK ADDRESS "},
        {"/N:IPX:ABCDEFGH:JK", "N=IPX:ABCDEFGH:JK ADDRESS "}, // index 13 is 'J'
        {"/N3:IPX:ABCDEFGHI:", "N3=IPX:ABCDEFGHI. ADDRESS "},
        {"/N:IPX:ABCDEFGHI", "N=IPX:ABCDEFGHI ADDRESS "},       // only 13 characters
        {"/N:ipx:ABCDEFGHI:JK", "N=ipx:ABCDEFGHI:JK ADDRESS "}, // the prefix is upper case
        {"/S:IPX:ABCDEFGHI:JK", "S=IPX:ABCDEFGHI:JK "},         // other options keep their colons
        {"/S:a-INIT", "S=a INIT "}, // '-' outside quotes starts the next option
        {"/L:first /L:second /N:x /N:y", "N=y L=second ADDRESS "}, // the later one counts
        {"/L:kept /L /N /NDP /S: /UNKNOWN:x /NX:a plain N:a", "L=kept S= "},
        {"/INIT:no /MANAGER:0", "INIT MANAGER "}, // any value
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.args), c.options) << c.args;
    }
}

// Read in order, at most kMaxResponseDepth deep, each unreadable one flagged; each file naming
// the next one twice would take 2^16 reads without a limit on files.
TEST(CmdLineTest, ResponseFiles) {
    const int depth = CmdLine::kMaxResponseDepth;
    const struct {
        const char* args;
        std::map<std::string, std::string> files;
        const char* options;
        int reads;
    } cases[] = {
        {"@opts.rsp", {{"opts.rsp", "/INIT\r\n/MANAGER\r\n"}}, "INIT MANAGER ", 1},
        {"/L:cmd @outer /R:cmd", // nested, in order
         {{"outer", "/L:outer\t@inner\n/S:outer"}, {"inner", "/L:inner /S:x"}},
         "L=inner R=cmd S=outer ",
         2},
        // The tab inside quotes is a blank by the time the file is tokenized.
        {"@inner", {{"inner", "/S:\"in\tner\""}}, "S=in ner ", 1},
        {"/L:before @missing.rsp /R:after", {}, "L=before R=after RSPERR ", 1}, // parsing goes on
        {"@self /R:after", {{"self", "/INIT @self"}}, "R=after INIT RSPERR ", depth},
        {"@self", {{"self", "@self"}}, "RSPERR ", depth},
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.files = c.files;
        EXPECT_EQ(Parse(c.args, source), c.options) << c.args;
        EXPECT_EQ(source.file_reads, c.reads) << c.args;
    }
    FakeSettingsSource twice;
    twice.files = {{"a", "@b @b"}, {"b", "@a @a /INIT"}};
    EXPECT_EQ(Parse("@a", twice), "INIT RSPERR ");
    EXPECT_LE(twice.file_reads, 300);
}

TEST(CmdLineTest, AtomTextReplacesTheCommandLineWhenItCanBeRead) {
    const struct {
        const char* line;
        const char* arguments;
        const char* options;
    } cases[] = {
        {"q.exe /XCL:49153 /L:own", "/L:handed /INIT", "L=handed INIT "},
        {"q.exe /XCL:49154 /L:own", "/XCL:49154 /L:own", "L=own "}, // no such atom
        {"q.exe /XCL: /L:own", "/XCL: /L:own", "L=own "},
        {"q.exe /XCL:0 /L:own", "/XCL:0 /L:own", "L=own "},
        {"q.exe /XCL:70000 /L:own", "/XCL:70000 /L:own", "L=own "}, // not atom 70000 - 65536
        {"q.exe /xcl:49153 /L:own", "/xcl:49153 /L:own", "L=own "}, // the marker's case counts
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.command_line = c.line;
        source.atoms[49153] = "q.exe /L:handed /INIT";
        source.atoms[70000 & 0xFFFF] = "q.exe /L:handed";
        CmdLine cmd(1, source);
        EXPECT_EQ(Str(cmd.Arguments()), c.arguments) << c.line;
        EXPECT_EQ(Options(cmd), c.options) << c.line;
    }
}

// A derived class sees every option once, plain arguments with an empty name; reading again
// starts afresh.
TEST(CmdLineTest, HandlerSeesEachOptionAndReadingAgainStartsAfresh) {
    struct Recorder : CmdLine {
        explicit Recorder(FakeSettingsSource& source) : CmdLine(0, source) {}
        void HandleOption(const char* name, const char* value) override {
            seen.emplace_back(name, Str(value));
            CmdLine::HandleOption(name, value);
        }
        std::vector<std::pair<std::string, std::string>> seen;
    };
    FakeSettingsSource source;
    source.command_line = "q.exe /N:x plain -INIT @r @missing /Custom:1 /L:y";
    source.files["r"] = "inner /flag";
    Recorder rec(source);
    rec.Read();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"N", "x"},         {"", "plain"},   {"INIT", "<null>"}, {"", "inner"},
        {"flag", "<null>"}, {"Custom", "1"}, {"L", "y"},
    };
    EXPECT_EQ(rec.seen, expected);
    EXPECT_EQ(Options(rec), "N=x L=y ADDRESS INIT RSPERR ");
    source.command_line = "q.exe";
    rec.Read();
    EXPECT_EQ(Options(rec), "");
}

} // namespace
