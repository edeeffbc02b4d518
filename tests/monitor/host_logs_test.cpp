#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "outside/pmhost/definition_levels.h"
#include "outside/pmhost/rotating_log.h"
#include "shared/monitor/definitions_file.h"

namespace pm::host {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// With a limit of 25 bytes: lines of 10 go two to a file, the full file becomes NAME.1 (the
// older NAME.1 replaced), and a line beyond the limit still goes whole into a file of its own.
TEST(RotatingLog, StartsAfreshAtTheLimitKeepingOnePreviousFile) {
    const std::string path = ::testing::TempDir() + "rotating_log_test.jsonl";
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
    RotatingLog log(path, 25);
    const struct {
        std::string line, now, previous;
    } steps[] = {
        {"aaaaaaaaa\n", "aaaaaaaaa\n", ""},
        {"bbbbbbbbb\n", "aaaaaaaaa\nbbbbbbbbb\n", ""},
        {"cccc\n", "aaaaaaaaa\nbbbbbbbbb\ncccc\n", ""}, // exactly the limit: still fits
        {"ddddddddd\n", "ddddddddd\n", "aaaaaaaaa\nbbbbbbbbb\ncccc\n"},
        {std::string(30, 'e') + "\n", std::string(30, 'e') + "\n", "ddddddddd\n"},
        {"f\n", "f\n", std::string(30, 'e') + "\n"},
    };
    for (const auto& s : steps) {
        ASSERT_TRUE(log.Append(s.line));
        EXPECT_EQ(Slurp(path), s.now) << s.line;
        EXPECT_EQ(Slurp(path + ".1"), s.previous) << s.line;
    }
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
}

// The definitions as a file the test changes, counting what the host asks of it.
class CountingSource final : public DefinitionsSource {
public:
    bool Stamp(FileStamp* s) override {
        ++stamps;
        *s = stamp;
        return present;
    }
    bool Read(std::vector<uint8_t>* b) override {
        ++reads;
        *b = bytes;
        return true;
    }
    void Save(std::initializer_list<std::pair<const char*, uint8_t>> monitors) {
        std::vector<monitor::DefinitionEntry> entries;
        for (const auto& [name, level] : monitors)
            entries.push_back({monitor::MakeRecord(1, level, 3, 0, name), {}});
        std::vector<const monitor::DefinitionEntry*> order;
        for (const auto& e : entries)
            order.push_back(&e);
        bytes = monitor::SerializeDefinitions(order);
        ++stamp.identity; // every save is a new file
    }
    bool present = true;
    FileStamp stamp{0, 0, 0};
    std::vector<uint8_t> bytes;
    int stamps = 0, reads = 0;
};

TEST(DefinitionLevels, TheFileIsReadOncePerChangeNotPerAlert) {
    CountingSource file;
    file.Save({{"PING.EXE", 2}, {"notepad.exe", 5}});
    DefinitionLevels levels(file);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(levels.LevelOf("PING.EXE"), 2);
        EXPECT_EQ(levels.LevelOf("NOTEPAD.EXE"), 5); // the stored form of the name
        EXPECT_EQ(levels.LevelOf("OTHER.EXE"), 0);
    }
    EXPECT_EQ(file.reads, 1);
    EXPECT_EQ(file.stamps, 150);
    file.Save({{"PING.EXE", 7}});
    EXPECT_EQ(levels.LevelOf("PING.EXE"), 7);
    EXPECT_EQ(levels.LevelOf("NOTEPAD.EXE"), 0);
    EXPECT_EQ(file.reads, 2);
    file.present = false; // gone: no level, and nothing to read
    EXPECT_EQ(levels.LevelOf("PING.EXE"), 0);
    EXPECT_EQ(levels.LevelOf("PING.EXE"), 0);
    EXPECT_EQ(file.reads, 2);
}

} // namespace
} // namespace pm::host
