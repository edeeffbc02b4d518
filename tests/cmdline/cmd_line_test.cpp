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

std::string Str(const char* s) {
    return s ? s : "<null>";
}

// A REG_SZ value as the registry hands it over: the text and its terminator.
Value Sz(const std::string& text) {
    return std::make_pair(RegistryRead::kOk, text + std::string(1, '\0'));
}
Value Raw(RegistryRead how, const std::string& bytes = "") {
    return std::make_pair(how, bytes);
}

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
    const struct {
        const char* name;
        Value data, log_dir;
        std::string expected_data, expected_log;
    } cases[] = {
        {"neither value: the program directory", {}, {}, kBin, kBin},
        {"LogDir gets a backslash", {}, Sz("C:\\logs"), kBin, "C:\\logs\\"},
        {"LogDir keeps its one backslash", {}, Sz("C:\\logs\\"), kBin, "C:\\logs\\"},
        {"Data feeds a missing LogDir", Sz("D:\\data"), {}, "D:\\data\\", "D:\\data\\"},
        {"Data feeds an empty LogDir", Sz("D:\\data"), Sz(""), "D:\\data\\", "D:\\data\\"},
        {"not a string", Raw(RegistryRead::kNotString), {}, kBin, kBin},
        {"too long", Raw(RegistryRead::kTooLong), {}, kBin, kBin},
        {"empty counts as missing", Sz(""), {}, kBin, kBin},
        {"no bytes at all", Raw(RegistryRead::kOk), {}, kBin, kBin},
        {"empty text before junk",
         Raw(RegistryRead::kOk, std::string("\0junk", 5)),
         {},
         kBin,
         kBin},
        {"text ends at its terminator",
         Raw(RegistryRead::kOk, std::string("D:\\d\0junk", 9)),
         {},
         "D:\\d\\",
         "D:\\d\\"},
        {"no terminator at all", Raw(RegistryRead::kOk, "D:\\d"), {}, "D:\\d\\", "D:\\d\\"},
        {"more than there was room for",
         Raw(RegistryRead::kOk, std::string(257, 'x')),
         {},
         kBin,
         kBin},
        // 255 characters and the terminator fill the 256 bytes exactly; 256 bytes without a
        // terminator are the text; either way the backslash goes after them.
        {"all 256 bytes", Sz(std::string(255, 'D')), Raw(RegistryRead::kOk, std::string(256, 'L')),
         std::string(255, 'D') + "\\", std::string(256, 'L') + "\\"},
        {"all 256 bytes ending in a backslash",
         {},
         Raw(RegistryRead::kOk, std::string(255, 'L') + "\\"),
         kBin,
         std::string(255, 'L') + "\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSettingsSource source;
        if (c.data) source.registry["Data"] = *c.data;
        if (c.log_dir) source.registry["LogDir"] = *c.log_dir;
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

TEST(CmdLineTest, CurrentDirectoryOfADriveRootKeepsItsBackslash) {
    const struct {
        std::optional<std::string> cwd;
        const char* expected;
    } cases[] = {
        {std::string("C:\\"), "C:\\"},
        {std::string("C:\\ab"), "C:\\ab\\"},
        {std::string("\\\\srv\\share"), "\\\\srv\\share\\"},
        {std::nullopt, "\\"}, // not readable: the root of the current drive
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.current_directory = c.cwd;
        source.module_file_name = "quorlent.exe"; // no folder: the current directory is used
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.CurrentDirectory(), c.expected);
        EXPECT_STREQ(cmd.ProgramDirectory(), c.expected);
        EXPECT_STREQ(cmd.LogDirectory(), c.expected);
    }
}

TEST(CmdLineTest, ProgramDirectoryEndsAtTheLastSeparator) {
    const struct {
        std::optional<std::string> module;
        const char* expected;
    } cases[] = {
        {std::string("C:\\a\\b\\quorlent.exe"), "C:\\a\\b\\"},
        {std::string("C:/a/quorlent.exe"), "C:/a/"},
        {std::string("C:quorlent.exe"), "C:"},
        {std::string("\\\\srv\\share\\q.exe"), "\\\\srv\\share\\"},
        {std::string("quorlent.exe"), "C:\\work\\"},
        {std::string(""), "C:\\work\\"},
        {std::nullopt, "C:\\work\\"}, // not readable
    };
    for (const auto& c : cases) {
        FakeSettingsSource source;
        source.module_file_name = c.module;
        CmdLine cmd(1, source);
        EXPECT_STREQ(cmd.ProgramDirectory(), c.expected) << c.module.value_or("<none>");
    }
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

TEST(CmdLineTest, OptionTable) {
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

TEST(CmdLineTest, NdpReplacesTheDataDirectoryButNotTheLogDirectory) {
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

TEST(CmdLineTest, ResponseFiles) {
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

TEST(CmdLineTest, ResponseFilesNamingThemselvesStayBounded) {
    WithFiles self("@self", {{"self", "@self"}});
    self.Read();
    EXPECT_EQ(self.source.file_reads, CmdLine::kMaxResponseDepth);
    // Each file names the next one twice: without a limit on files this would be 2^16 reads.
    WithFiles twice("@a", {{"a", "@b @b"}, {"b", "@a @a /INIT"}});
    EXPECT_EQ(twice.Read(), "INIT RSPERR ");
    EXPECT_LE(twice.source.file_reads, 300);
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

TEST(CmdLineTest, HandlerSeesEachOptionAndPlainArgument) {
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

TEST(CmdLineTest, ReadingAgainStartsAfresh) {
    FakeSettingsSource source;
    source.command_line = "q.exe /L:x /INIT @missing";
    CmdLine cmd(1, source);
    source.command_line = "q.exe";
    cmd.Read();
    EXPECT_EQ(Options(cmd), "");
}

} // namespace
