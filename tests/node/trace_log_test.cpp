#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shared/node/trace_log.h"

namespace pm {
namespace {

long FixedClock() {
    return 1700000123;
}

std::string Contents(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// Lines go out only once enabled with a file, whole whatever the threads, until closed.
TEST(TraceLog, LinesOfSeveralThreadsNeverInterleave) {
    TraceLog log(&FixedClock);
    log.Write("x %d\n", 1); // off
    EXPECT_FALSE(log.IsEnabled());
    log.Enable(nullptr);
    log.Write("nothing %s\n", "here"); // on, but no file
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    log.Enable(f);
    const std::string long_text(3000, 'L'); // beyond the line's stack buffer too
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i)
                log.Write("thread %d line %d %s\n", t, i, (i % 10) ? "short" : long_text.c_str());
        });
    for (auto& th : threads)
        th.join();
    std::istringstream in(Contents(f));
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        ASSERT_EQ(line.rfind("1700000123: thread ", 0), 0u) << line.substr(0, 80);
        const bool is_long = line.find(long_text) != std::string::npos;
        EXPECT_TRUE(is_long || line.substr(line.size() - 6) == " short") << line.substr(0, 80);
        if (is_long) {
            EXPECT_EQ(line.substr(line.size() - long_text.size()), long_text);
        }
    }
    EXPECT_EQ(lines, 1200);
    log.Close();
    EXPECT_EQ(log.File(), nullptr);
    EXPECT_TRUE(log.IsEnabled());                    // never switched off again
    log.Write("after close\n");                      // skipped
    EXPECT_GT(TraceLog::SystemClock(), 1600000000L); // seconds since 1970, after 2020
}

// Texts from outside cannot end their line: control bytes are escaped, the rest stays.
TEST(TraceLog, EscapesControlCharactersOfOutsideTexts) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"C:\\dir\\prog.exe /x", "C:\\dir\\prog.exe /x"}, // backslashes stay
        {"a\r\nb\tc", "a\\r\\nb\\tc"},
        {std::string("\x00\x01\x1F", 3), "\\x00\\x01\\x1F"},
        {"\x7F \x20\x80\xE9", "\\x7F \x20\x80\xE9"}, // DEL; blank and code-page bytes stay
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TraceEscape(c.in), c.out) << c.out;
}

} // namespace
} // namespace pm
