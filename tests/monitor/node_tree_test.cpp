#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "shared/monitor/node_packets.h"

namespace pm::monitor {
namespace {

using test::Cu;

// A request packet of 1-4 elements (ANSI, converted here) after the language "en".
std::vector<uint8_t> Path(std::vector<std::string> elements, const std::string& lang = "en") {
    std::array<std::string, 4> four;
    for (size_t i = 0; i < elements.size(); ++i)
        four[i] = Cu(elements[i].c_str());
    std::vector<uint8_t> p = BuildNodePathPacket(Cu(lang.c_str()), four);
    WriteU32(&p[11], static_cast<uint32_t>(elements.size()));
    return p;
}

class NodeTree : public test::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        plugin.InitNodes();
    }
    ProcMonitor* Watch(uint32_t key, const char* name) {
        return PluginTest::Watch(name, 0, 1, 0, key);
    }
    std::vector<uint8_t> List(const std::vector<uint8_t>& packet) {
        uint8_t* l = plugin.GetNodeList(packet.data(), packet.size());
        if (!l) return {};
        std::vector<uint8_t> out(l, l + ReadU32(l + 5));
        Plugin::FreeBuffer(l);
        return out;
    }
    uint32_t Connect(const std::vector<uint8_t>& packet, uint8_t* found_out = nullptr) {
        uint32_t h = 0;
        uint8_t found = 7;
        const uint32_t r = plugin.NodeConnect(packet.data(), packet.size(), &h, &found);
        EXPECT_EQ(r, h != kNoHandle ? 1u : 0u);
        EXPECT_EQ(found, h != kNoHandle ? 1 : 0);
        if (found_out) *found_out = found;
        return h;
    }
    bool Value(uint32_t handle, double* out) {
        uint8_t* v = plugin.NodeGetValue(handle);
        if (!v) return false;
        EXPECT_EQ(ReadU32(v), 18u);
        EXPECT_EQ(v[4], 1);
        EXPECT_EQ(ReadU32(v + 5), 0u);
        EXPECT_EQ(v[9], 1);
        *out = ReadNodeValue(v);
        Plugin::FreeBuffer(v);
        return true;
    }
};

// One list entry: size, 1, the request's 6-byte language field, the leaf flag, 1, the offsets
// of both names, then the names (compressed unicode) with their NULs.
std::vector<uint8_t> Entry(const std::string& lang, bool leaf, const std::string& pretty,
                           const std::string& symbolic) {
    std::vector<uint8_t> e =
        test::Cat({test::U32(static_cast<uint32_t>(23 + pretty.size() + symbolic.size())),
                   {1},
                   {lang.begin(), lang.end()},
                   std::vector<uint8_t>(6 - lang.size()),
                   {static_cast<uint8_t>(leaf), 1},
                   test::U32(21),
                   test::U32(static_cast<uint32_t>(22 + pretty.size()))});
    e.insert(e.end(), pretty.c_str(), pretty.c_str() + pretty.size() + 1);
    e.insert(e.end(), symbolic.c_str(), symbolic.c_str() + symbolic.size() + 1);
    return e;
}

// The list's header (its reserved bytes 13-16 aside) and its entries.
void ExpectList(const std::vector<uint8_t>& l, uint32_t count,
                const std::vector<uint8_t>& entries) {
    ASSERT_EQ(l.size(), 17 + entries.size());
    EXPECT_EQ(ReadU32(&l[0]), 17u);
    EXPECT_EQ(l[4], 2);
    EXPECT_EQ(ReadU32(&l[5]), l.size());
    EXPECT_EQ(ReadU32(&l[9]), count);
    EXPECT_EQ(std::vector<uint8_t>(l.begin() + 17, l.end()), entries);
}

// The root lists one entry per monitor in visiting order (none: null), a monitor its ten leaves
// named in the requested language; unknown names and other lengths list nothing.
TEST_F(NodeTree, ListsOfTheRootAndOfAMonitor) {
    EXPECT_TRUE(List(Path({"root"})).empty());
    Watch(1, "NOTEPAD.EXE");
    Watch(2, "A.EXE");
    const std::string np = Cu("NOTEPAD.EXE"), a = Cu("A.EXE");
    ExpectList(List(Path({"root"})), 2,
               test::Cat({Entry(Cu("en"), false, np, np), Entry(Cu("en"), false, a, a)}));
    for (const char* lang : {"en", "de", "de_DE"}) {
        SCOPED_TRACE(lang);
        const std::string prefix = lang[0] == 'e' ? "" : "de ";
        std::vector<uint8_t> entries;
        for (unsigned leaf = 1; leaf <= 10; ++leaf) {
            char sym[9];
            std::snprintf(sym, sizeof sym, "%08X", leaf);
            entries = test::Cat(
                {entries, Entry(Cu(lang), true,
                                Cu((prefix + platform.node_names[leaf - 1]).c_str()), Cu(sym))});
        }
        ExpectList(List(Path({"root", "NOTEPAD.EXE"}, lang)), 10, entries);
    }
    EXPECT_EQ(platform.catalog_codes.back(), "deDE"); // the separator dropped
    EXPECT_TRUE(List(Path({"root", "CALC.EXE"})).empty());
    EXPECT_TRUE(List(Path({"root", "NOTEPAD.EXE", "00000001"})).empty());
    EXPECT_TRUE(List(Path({})).empty());
}

TEST_F(NodeTree, HandlesPackKeyAndLeafAndTheAlertPathReachesLeafTwelve) {
    Watch(0x123, "NOTEPAD.EXE");
    EXPECT_EQ(Connect(Path({"root", "NOTEPAD.EXE", "00000006"})), 0x60000123u);
    EXPECT_EQ(Connect(Path({"TARNVEX", "1093223018", "0000002305", "NOTEPAD.EXE"})), 0xC0000123u);
    EXPECT_EQ(Connect(Path({"x", "y", "0000002304", "NOTEPAD.EXE"})), 0xB0000123u);
    // Statistic numbers of 16 or more wrap into the four leaf bits.
    EXPECT_EQ(Connect(Path({"root", "NOTEPAD.EXE", "00000012"})), 0x20000123u);
    EXPECT_EQ(Connect(Path({"root", "NOTEPAD.EXE", "00000000"})), kNoHandle);
    EXPECT_EQ(Connect(Path({"root", "NOTEPAD.EXE", "zz"})), kNoHandle);
    EXPECT_EQ(Connect(Path({"root", "CALC.EXE", "00000001"})), kNoHandle);
    EXPECT_EQ(Connect(Path({"a", "b", "0000002303", "NOTEPAD.EXE"})), kNoHandle);
    EXPECT_EQ(Connect(Path({"root", "NOTEPAD.EXE"})), kNoHandle);
    // A key with its top bits set connects to its low 28 bits but cannot be read.
    Watch(0xF0000456, "CALC.EXE");
    const uint32_t h = Connect(Path({"root", "CALC.EXE", "00000001"}));
    EXPECT_EQ(h, 0x10000456u);
    double v = 0;
    EXPECT_FALSE(Value(h, &v));
}

// Leaves 1-10 follow the statistics (execution time in minutes); the alert nodes 11-13 read 0
// first, then their counts, and a replaced monitor's start over.
TEST_F(NodeTree, ValuesFollowTheStatisticsAndAlertNodesReadZeroFirst) {
    ProcMonitor* m = Watch(0x123, "NOTEPAD.EXE");
    m->current_count = 2;
    m->new_executions = {3, 4};
    m->max_running = {5, 6};
    m->execution_seconds = {90, 30};
    m->times_started = 8;
    m->times_stopped = 9;
    m->times_failed = 10;
    const double expected[] = {2, 3, 4, 5, 6, 1.5, 0.5, 8, 9, 10, 0, 0, 0, 8, 9, 10};
    double v = -1;
    for (uint32_t i = 1; i <= 16; ++i) {
        const uint32_t leaf = i <= 13 ? i : i - 3;
        ASSERT_TRUE(Value(NodeHandle(0x123, leaf), &v)) << leaf;
        EXPECT_DOUBLE_EQ(v, expected[i - 1]) << leaf;
    }
    for (uint32_t leaf : {0u, 14u, 15u})
        EXPECT_FALSE(Value(NodeHandle(0x123, leaf), &v));
    EXPECT_FALSE(Value(NodeHandle(0x124, 1), &v));
    plugin.DeleteMonitor(m);
    Watch(0x123, "NOTEPAD.EXE")->times_stopped = 3;
    ASSERT_TRUE(Value(NodeHandle(0x123, 12), &v));
    EXPECT_EQ(v, 0.0);
}

TEST_F(NodeTree, AttributesCarryTheFormatOfTheLeaf) {
    for (uint32_t leaf : {1u, 6u, 7u, 10u}) {
        uint8_t* a = plugin.GetNodeAttributes(NodeHandle(0x999, leaf));
        ASSERT_NE(a, nullptr);
        const std::string format = (leaf == 6 || leaf == 7) ? "%.3f" : "%0.0f";
        EXPECT_EQ(ReadU32(a), format.size() + 50);
        EXPECT_EQ(a[4], 2);
        EXPECT_EQ(ReadU32(a + 9), 5000u);
        EXPECT_EQ(ReadU32(a + 13), 1u);
        EXPECT_EQ(ReadU32(a + 25), 1u);
        EXPECT_EQ(ReadU32(a + 41), 49u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(a + 49)), Cu(format.c_str()));
        EXPECT_EQ(a[ReadU32(a) - 1], 0);
        Plugin::FreeBuffer(a);
    }
}

// Packets whose size, members or offsets point outside them, or whose elements run to their
// end: null or 0, never a read beyond (ASan watches the exact-size copies).
TEST_F(NodeTree, MalformedPathsAreRefusedWithinTheirBytes) {
    Watch(0x123, "NOTEPAD.EXE");
    const std::vector<uint8_t> good = Path({"root", "NOTEPAD.EXE", "00000001"});
    std::vector<std::vector<uint8_t>> bad;
    bad.push_back({good.begin(), good.begin() + 20}); // shorter than the header
    auto with = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> p = good;
        WriteU32(&p[at], v);
        bad.push_back(p);
    };
    with(0, static_cast<uint32_t>(good.size() + 1)); // size beyond the bytes
    with(0, 34);                                     // size below the header
    with(11, 5);                                     // too many members
    with(19, static_cast<uint32_t>(good.size()));    // element 2 beyond the end
    with(23, 3);                                     // element 3 inside the header
    // Element 3 not terminated: its NUL and the empty element 4 cut off, the size with them.
    std::vector<uint8_t> open(good.begin(), good.end() - 2);
    WriteU32(&open[0], static_cast<uint32_t>(open.size()));
    bad.push_back(open);
    for (const auto& p : bad) {
        std::vector<uint8_t> exact(p); // no slack after the packet
        EXPECT_EQ(plugin.GetNodeList(exact.data(), exact.size()), nullptr);
        uint32_t h = 0;
        uint8_t f = 9;
        EXPECT_EQ(plugin.NodeConnect(exact.data(), exact.size(), &h, &f), 0u);
        EXPECT_EQ(h, kNoHandle);
        EXPECT_EQ(f, 0);
    }
}

TEST(NodePackets, ScansReadAsTheirFormatsWouldAndLanguagesDropTheSeparator) {
    uint32_t v = 0;
    EXPECT_TRUE(ScanHex8("0000000A", &v));
    EXPECT_EQ(v, 10u);
    EXPECT_TRUE(ScanHex8("123456789", &v)); // width 8
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_TRUE(ScanDec10(" 0000002305", &v));
    EXPECT_EQ(v, 2305u);
    EXPECT_FALSE(ScanDec10("x1", &v));
    EXPECT_EQ(CatalogLanguage("en"), "en");
    EXPECT_EQ(CatalogLanguage("abcdef"), "");
}

} // namespace
} // namespace pm::monitor
