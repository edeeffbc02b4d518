// Trace files: line format with 0..2 arguments, appending, rollover to the second name.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <filesystem>
#include <string>

#include "outside/kavipc32/trace_file.h"

using namespace kavipc;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct TempDir {
    std::string path;
    TempDir() {
        namespace fs = std::filesystem;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        fs::path p = fs::temp_directory_path() / (std::string("kavipc_trace_") + info->name());
        fs::remove_all(p);
        fs::create_directories(p);
        path = p.string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string File(const char* n) const { return path + "/" + n; }
};

} // namespace

// (Strings and numbers as arguments also reach the file through the ordinals under Wine.)
TEST(TraceFormatTest, EveryArgumentShape) {
    struct Case {
        std::string got;
        const char* want;
    } cases[] = {
        {FormatTraceLine("mon.cpp", 12, "->Init\n"), "mon.cpp(12): ->Init\n"},
        {FormatTraceLine("m", 1, "100%"), "m(1): 100%"}, // no arguments: the text as it is
        {FormatTraceLine("m", 5, "rc=%ld", -1L), "m(5): rc=-1"},
        {FormatTraceLine("m", 7, "s=%s", nullptr), "m(7): s=(null)"},
        {FormatTraceLine(nullptr, 8, nullptr), "(8): "},
        {FormatTraceLine("m", 9, nullptr, 1L, 2L), "m(9): "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(TraceFormatTest, JoinPath) {
    EXPECT_EQ(JoinTracePath("C:\\Log", "A.LOG"), "C:\\Log\\A.LOG");
    EXPECT_EQ(JoinTracePath("C:\\Log\\", "A.LOG"), "C:\\Log\\A.LOG");
    EXPECT_EQ(JoinTracePath("/tmp/", "A.LOG"), "/tmp/A.LOG");
    EXPECT_EQ(JoinTracePath("", "A.LOG"), "A.LOG");
    EXPECT_EQ(JoinTracePath("C:\\Log", "D:\\x.log"), "D:\\x.log");
    EXPECT_EQ(JoinTracePath("C:\\Log", "\\\\srv\\x.log"), "\\\\srv\\x.log");
}

// Lines get their newline and a file opened again is appended to; without a limit it never
// rolls over; one in a missing folder does not open.
TEST(TraceFileTest, AppendsLinesAndWithoutALimitNeverRollsOver) {
    TempDir d;
    for (const char* line : {"one", "two\n", "three"}) {
        TraceFile t(d.File("A.LOG"), d.File("A.TMP"), 0);
        ASSERT_TRUE(t.Open());
        t.WriteLine(line);
    }
    EXPECT_EQ(Slurp(d.File("A.LOG")), "one\ntwo\nthree\n");
    TraceFile t(d.File("A.LOG"), d.File("A.TMP"), 0);
    ASSERT_TRUE(t.Open());
    for (int i = 0; i < 50; ++i)
        t.WriteLine(std::string(99, 'y'));
    EXPECT_EQ(Slurp(d.File("A.LOG")).size(), 14u + 5000u);
    EXPECT_EQ(Slurp(d.File("A.TMP")), "");
    TraceFile missing("/nonexistent_dir_4711/A.LOG", "", 1);
    EXPECT_FALSE(missing.Open());
    missing.WriteLine("ignored"); // no crash
}

TEST(TraceFileTest, RollsOverToTheSecondNameWhenFull) {
    TempDir d;
    TraceFile t(d.File("A.LOG"), d.File("A.TMP"), 1); // 1 KB
    ASSERT_TRUE(t.Open());
    std::string line(99, 'x'); // 100 bytes with the newline
    for (int i = 0; i < 10; ++i)
        t.WriteLine(line);
    EXPECT_EQ(Slurp(d.File("A.LOG")).size(), 1000u);
    const std::string first = "first line that would pass the limit\n"; // 1000 + 37 > 1024
    t.WriteLine(first);
    EXPECT_EQ(Slurp(d.File("A.TMP")).size(), 1000u);
    EXPECT_EQ(Slurp(d.File("A.LOG")), first);
    for (int i = 0; i < 10; ++i)
        t.WriteLine(line);
    // a second rollover replaces the older second file
    std::string tmp = Slurp(d.File("A.TMP"));
    EXPECT_EQ(tmp.substr(0, first.size()), first);
    EXPECT_LE(Slurp(d.File("A.LOG")).size(), 1024u);
}
