// What the console does with secrets and with text from the other side: password buffers are
// wiped whenever a block goes, a password's line is all that is read, unknown options are named
// without their values, and control characters reach neither a terminal nor a monitor file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "outside/pmconsole/monitor_file.h"
#include "outside/pmconsole/secret_buffer.h"
#include "outside/pmconsole/visible_text.h"
#include "tests/node/fake_console_io.h"

namespace pm::console {
namespace {

// Every block a SecretBuffer gives back, and whether all its bytes were zero by then.
std::vector<bool> g_released_wiped;

void* TestAllocate(size_t size) {
    return std::malloc(size);
}
void TestRelease(void* block, size_t size) {
    const auto* b = static_cast<const unsigned char*>(block);
    bool zero = true;
    for (size_t i = 0; i < size; ++i)
        zero = zero && b[i] == 0;
    g_released_wiped.push_back(zero);
    std::free(block);
}
const SecretBlocks kRecordingBlocks = {&TestAllocate, &TestRelease};

TEST(ConsoleSecrets, EveryBlockIsWipedBeforeItGoesAlsoWhenGrowing) {
    g_released_wiped.clear();
    {
        SecretBuffer b(kRecordingBlocks);
        for (int i = 0; i < 1000; ++i)
            ASSERT_TRUE(b.Append("p", 1));
        EXPECT_EQ(b.View(), std::string(1000, 'p'));
    }
    ASSERT_GE(g_released_wiped.size(), 4u); // grown several times, then destroyed
    for (bool wiped : g_released_wiped)
        EXPECT_TRUE(wiped);

    // A string is wiped up to its capacity: a longer text it held before leaves nothing.
    std::string s(100, 's');
    s.resize(3);
    const char* block = s.data();
    const size_t capacity = s.capacity();
    WipeWholeString(s);
    EXPECT_EQ(s.data(), block);
    for (size_t i = 0; i < capacity; ++i)
        ASSERT_EQ(block[i], '\0') << i;
}

TEST(ConsoleSecrets, OneLineIsReadAndNothingAfterIt) {
    struct Case {
        std::string input;
        std::string line;
        size_t taken; // bytes taken from the input (the end counts one)
    } cases[] = {
        {"pw\nnext line", "pw", 3},
        {"pw\r\nnext", "pw", 4},
        {"a\rb\n", "a\rb", 4}, // only a carriage return at the line's end goes
        {"\nsecond", "", 1},
        {"last", "last", 5},
        {"", "", 1},
    };
    for (const Case& c : cases) {
        size_t taken = 0;
        SecretBuffer line;
        ASSERT_EQ(ReadSecretLine(
                      [&] {
                          ++taken;
                          return taken <= c.input.size()
                                     ? static_cast<unsigned char>(c.input[taken - 1])
                                     : kEndOfInput;
                      },
                      line),
                  LineResult::kLine);
        EXPECT_EQ(line.View(), c.line) << c.input;
        EXPECT_EQ(taken, c.taken) << c.input;
    }
    SecretBuffer line;
    int calls = 0;
    EXPECT_EQ(ReadSecretLine([&] { return ++calls < 3 ? 'x' : kReadFailed; }, line),
              LineResult::kReadFailed);
}

TEST(ConsoleSecrets, UnknownOptionsAreNamedWithoutTheirValues) {
    std::vector<std::vector<std::string>> forms;
    for (const ConsoleCommand& c : ConsoleCommands()) {
        forms.push_back({c.name, "--pasword=hunter2x"});
        forms.push_back({c.name, "--pasword", "hunter2x", "--", "x"});
    }
    forms.push_back({"monitors", "list", "-p=hunter2x"});
    forms.push_back({"exec", "--user", "u", "hunter2x", "--", "x"}); // a stray word before --
    forms.push_back({"--pasword=hunter2x"});
    for (const auto& args : forms) {
        test::FakeIo io;
        EXPECT_EQ(RunConsole(args, io), kExitUsage) << args[0] << " " << args[1];
        EXPECT_EQ((io.out + io.err).find("hunter2x"), std::string::npos)
            << args[0] << " " << args[1];
        EXPECT_TRUE(io.sent.empty());
    }
    test::FakeIo io;
    RunConsole({"ps", "--pasword=hunter2x"}, io);
    EXPECT_NE(io.err.find("--pasword"), std::string::npos); // the option is still named
}

TEST(ConsoleText, ControlCharactersAreMadeVisible) {
    struct Row {
        std::string in, shown;
    } rows[] = {
        {"line\r\nnext\n", "line\r\nnext\n"},                       // line ends stay
        {"a\tb", "a\tb"},                                           // so does a tab
        {"50%\r60%", "50%\\x0d60%"},                                // a lone carriage return
        {"end\r", "end\\x0d"},                                      //
        {std::string("\0\x1b\x1f\x7f", 4), "\\x00\\x1b\\x1f\\x7f"}, // C0 bounds, DEL
        {" ~", " ~"},                                               // the printable bounds
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},     // C1 bounds; NBSP stays
        {"\x80\x9f", "\\x80\\x9f"},                                 // C1 byte bounds
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},   // UTF-8 characters
        {"\xe9t\xe9 \xa0\xff", "\xe9t\xe9 \xa0\xff"},               // 8-bit code page letters
        {"\xe2\x82", "\xe2\\x82"}, // a cut character: its C1-range byte shown
    };
    for (const Row& r : rows)
        EXPECT_EQ(VisibleText(r.in), r.shown) << r.shown;
    // A field of a one-line record: tab and line ends are shown too; C1 and backslashes as above.
    EXPECT_EQ(VisibleField("A\r\nB\tC\\D\xc2\x9b"), "A\\x0d\\x0aB\\x09C\\D\\u009b");
}

TEST(ConsoleText, MonitorNamesStayOnTheirLineAndRoundTrip) {
    struct Row {
        std::string name, escaped;
    } rows[] = {
        {"NOTEPAD.EXE", "NOTEPAD.EXE"},
        {"MY APP.EXE", "MY APP.EXE"},
        {"X.EXE\n17 0 - 0 EVIL.EXE", "X.EXE\\x0a17 0 - 0 EVIL.EXE"},
        {"A\tB\r", "A\\x09B\\x0d"},
        {"\x1b[8m.EXE", "\\x1b[8m.EXE"},
        {" PAD ", "\\x20PAD\\x20"},
        {"C:\\X.EXE", "C:\\\\X.EXE"},
        {"\\x41", "\\\\x41"},
        {"\xc2\x9b.EXE", "\\xc2\\x9b.EXE"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(EscapeName(r.name), r.escaped);
        MonitorDef d;
        d.key = 17;
        d.name = r.name;
        const std::string line = MonitorLine(d);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
        MonitorDef back;
        std::string error;
        ASSERT_TRUE(ParseMonitorLine(line, &back, &error)) << line << ": " << error;
        EXPECT_EQ(back.name, r.name) << line;
    }
    EXPECT_EQ(UnescapeName("C:\\APP\\x4"), "C:\\APP\\x4"); // a lone backslash stays
}

} // namespace
} // namespace pm::console
