#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "shared/monitor/command_buffer.h"

namespace pm::monitor {
namespace {

using test::Cu;

using test::Cat;
using test::U32;

// A record as the console sends it: the name in compressed unicode.
std::vector<uint8_t> Sent(uint32_t key, const char* name, uint8_t conditions = kCondRunning) {
    return MakeRecord(key, 2, conditions, 30, Cu(name));
}

std::vector<uint8_t> DeleteCmd(const char* name) {
    std::string n = Cu(name);
    std::vector<uint8_t> bytes(n.begin(), n.end());
    bytes.push_back(0);
    return Cat({U32(kCmdDelete), U32(static_cast<uint32_t>(bytes.size())), bytes});
}

std::vector<uint8_t> ManyCmd(uint32_t code, std::initializer_list<std::vector<uint8_t>> records) {
    std::vector<uint8_t> out = Cat({U32(code), U32(static_cast<uint32_t>(records.size()))});
    for (const auto& r : records)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

struct Answer {
    uint32_t result = 0;
    bool replied = false;
    std::vector<uint8_t> reply;
    uint32_t size = 0xABCD;
};

constexpr OwnerId kNoOwner{};
constexpr OwnerId kOwnerA{1, 2, 3, 4, 5, 6, 7, 8};
constexpr OwnerId kOwnerB{9, 9, 9, 9, 9, 9, 9, 9};

class Passthrough : public test::PluginTest {
protected:
    // The command from `owner` (none: IndepPassthrough) to monitor `index`.
    Answer Run(const std::vector<uint8_t>& cmd, const OwnerId* owner = &kNoOwner,
               uint32_t index = 0) {
        Answer a;
        uint8_t* reply = reinterpret_cast<uint8_t*>(&sentinel_);
        a.result = plugin.Passthrough2(index, cmd.data(), cmd.size(), &reply, &a.size,
                                       owner ? owner->data() : nullptr);
        if (reply != reinterpret_cast<uint8_t*>(&sentinel_)) {
            a.replied = true;
            a.reply.assign(reply, reply + a.size);
            Plugin::FreeBuffer(reply);
        }
        return a;
    }
    int sentinel_ = 0;
};

// LIST ALL on an empty registry replies four zero bytes; another monitor index or an unknown
// code answers 0 and hands out nothing.
TEST_F(Passthrough, EmptyListAndOtherIndexOrUnknownCode) {
    for (uint32_t code : {kCmdListAll, kCmdListAll2}) {
        Answer a = Run(U32(code));
        EXPECT_EQ(a.result, 1u);
        ASSERT_TRUE(a.replied);
        EXPECT_EQ(a.reply, (std::vector<uint8_t>{0, 0, 0, 0}));
    }
    Answer other = Run(U32(kCmdListAll), nullptr, 1);
    EXPECT_EQ(other.result, 0u);
    EXPECT_EQ(other.size, 0xABCDu); // untouched
    EXPECT_FALSE(other.replied);
    Answer a = Run(U32(0x555));
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(a.size, 0u);
    EXPECT_FALSE(a.replied);
}

TEST_F(Passthrough, OwnerFilterListsOnlyThatOwnersMonitorsWhileNoFilterListsAll) {
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}), &kOwnerA);
    Run(Cat({U32(kCmdAdd), Sent(2, "B.EXE")}), &kOwnerB);
    Run(Cat({U32(kCmdAdd), Sent(3, "C.EXE")}), &kNoOwner);
    auto count = [](const Answer& a) { return ReadU32(a.reply.data()); };
    EXPECT_EQ(count(Run(U32(kCmdListAll), &kOwnerA)), 1u);
    EXPECT_EQ(count(Run(U32(kCmdListAll), &kOwnerB)), 1u);
    EXPECT_EQ(count(Run(U32(kCmdListAll), &kNoOwner)), 3u);
    EXPECT_EQ(count(Run(U32(kCmdListAll), nullptr)), 3u); // IndepPassthrough: no owner at all
}

TEST_F(Passthrough, AddOfAStoredNameRepliesItsKeyAndLowerCaseMakesASecondMonitor) {
    Run(Cat({U32(kCmdAdd), Sent(7, "NOTEPAD.EXE")}));
    const int saves = platform.replaces;
    // The received name is compared as it comes: only the stored (ANSI) form matches.
    Answer same = Run(Cat({U32(kCmdAdd), MakeRecord(99, 0, 0, 0, "NOTEPAD.EXE")}));
    EXPECT_EQ(same.result, 1u);
    EXPECT_EQ(same.reply, U32(7));
    EXPECT_EQ(platform.replaces, saves);
    Answer lower = Run(Cat({U32(kCmdAdd), Sent(8, "notepad.exe")}));
    EXPECT_EQ(lower.reply, U32(8));
    EXPECT_EQ(Names(), (std::vector<std::string>{"NOTEPAD.EXE", "NOTEPAD.EXE"}));
}

TEST_F(Passthrough, DeleteRemovesOnlyTheFirstEqualNameAndAnswersZeroWithoutMatch) {
    EXPECT_EQ(Run(DeleteCmd("X.EXE")).result, 1u); // empty registry
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}));
    Run(Cat({U32(kCmdAdd), Sent(2, "a.exe")})); // a second A.EXE
    Run(Cat({U32(kCmdAdd), Sent(3, "B.EXE")}));
    Answer miss = Run(DeleteCmd("a.exe")); // stored names are upper case
    EXPECT_EQ(miss.result, 0u);
    EXPECT_FALSE(miss.replied);
    EXPECT_EQ(Run(DeleteCmd("A.EXE")).result, 1u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"B.EXE", "A.EXE"}));
    EXPECT_EQ(Run(DeleteCmd("A.EXE")).result, 1u);
    EXPECT_EQ(Run(DeleteCmd("B.EXE")).result, 1u);
    EXPECT_EQ(File(), U32(kDefinitionsMagic));
}

TEST_F(Passthrough, ReplaceByKeyMovesTheMonitorSecondAndRefusesAnUnknownKey) {
    EXPECT_EQ(Run(Cat({U32(kCmdReplace), Sent(5, "Z.EXE")})).reply, U32(5));
    EXPECT_TRUE(plugin.Registry().Empty()); // nothing created on an empty registry
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}));
    Run(Cat({U32(kCmdAdd), Sent(2, "B.EXE")}));
    Run(Cat({U32(kCmdAdd), Sent(3, "C.EXE")}));
    Answer none = Run(Cat({U32(kCmdReplace), Sent(9, "Q.EXE")}));
    EXPECT_EQ(none.result, 0u);
    EXPECT_FALSE(none.replied);
    Answer r = Run(Cat({U32(kCmdReplace), Sent(1, "D.EXE")}), &kOwnerB);
    EXPECT_EQ(r.reply, U32(1));
    // A was the head: C becomes the head and D goes in after it.
    EXPECT_EQ(Names(), (std::vector<std::string>{"C.EXE", "D.EXE", "B.EXE"}));
    EXPECT_EQ(plugin.Registry().Head()->next->definition.owner, kOwnerB);
}

// ADD and the replacement answer 0 and change nothing when their reply cannot be allocated.
TEST_F(Passthrough, AddAndReplaceWithoutRoomForTheReplyAnswerZeroAndChangeNothing) {
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}));
    const std::vector<uint8_t> saved = File();
    plugin.SetReplyAllocator([](size_t, size_t) -> void* { return nullptr; });
    for (const auto& cmd :
         {Cat({U32(kCmdAdd), Sent(2, "B.EXE")}), Cat({U32(kCmdAdd), Sent(7, "A.EXE")}),
          Cat({U32(kCmdReplace), Sent(1, "C.EXE")})}) {
        Answer a = Run(cmd);
        EXPECT_EQ(a.result, 0u);
        EXPECT_FALSE(a.replied);
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{"A.EXE"}));
    EXPECT_EQ(File(), saved);
}

// REPLACE ALL with an owner replaces only that owner's monitors, count 0 leaves only the magic;
// UPDATE ALL adds unknown keys and replaces known ones in one save, with count 0 none.
TEST_F(Passthrough, ReplaceAllAndUpdateAll) {
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}), &kOwnerA);
    Run(Cat({U32(kCmdAdd), Sent(2, "B.EXE")}), &kOwnerB);
    Run(Cat({U32(kCmdAdd), Sent(3, "C.EXE")}), &kOwnerA);
    EXPECT_EQ(Run(ManyCmd(kCmdReplaceAll, {Sent(4, "D.EXE")}), &kOwnerA).result, 1u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"B.EXE", "D.EXE"}));
    EXPECT_EQ(Run(ManyCmd(kCmdReplaceAll, {})).result, 1u);
    EXPECT_TRUE(plugin.Registry().Empty());
    EXPECT_EQ(File(), U32(kDefinitionsMagic));
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}));
    const int saves = platform.replaces;
    EXPECT_EQ(Run(ManyCmd(kCmdUpdateAll, {Sent(1, "A2.EXE"), Sent(2, "B.EXE")})).result, 1u);
    EXPECT_EQ(platform.replaces, saves + 1);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A2.EXE", "B.EXE"}));
    EXPECT_EQ(Run(ManyCmd(kCmdUpdateAll, {})).result, 1u);
    EXPECT_EQ(platform.replaces, saves + 1); // count 0: nothing saved
}

TEST_F(Passthrough, ListPidsGivesEveryMonitorsIdsInVisitingAndTrackingOrder) {
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}));
    Run(Cat({U32(kCmdAdd), Sent(2, "B.EXE")}));
    // Visiting order: A, then B.
    plugin.Registry().Head()->tracked = {{1, 12}, {1, 40}};
    plugin.Registry().Head()->next->tracked = {{1, 7}};
    EXPECT_EQ(Run(U32(kCmdListPids)).reply, Cat({U32(3), U32(12), U32(40), U32(7)}));
    EXPECT_EQ(Run(U32(kCmdListPids), &kOwnerA).reply, U32(0));
}

// Commands that do not hold together: nothing changes, nothing is saved, the answer is 0.
TEST_F(Passthrough, InconsistentCommandsChangeNothing) {
    Run(Cat({U32(kCmdAdd), Sent(1, "A.EXE")}));
    const std::vector<uint8_t> file = File();
    const int saves = platform.replaces;
    auto with_u16 = [](size_t at, uint16_t v) {
        std::vector<uint8_t> r = Sent(2, "B.EXE");
        WriteU16(&r[at], v);
        return r;
    };
    const std::vector<uint8_t> short_length = with_u16(0, 12); // below header + NUL
    const std::vector<uint8_t> far_name = with_u16(kNameOffsetAt, 17);
    const std::vector<uint8_t> zero_length = with_u16(0, 0);
    std::vector<uint8_t> no_nul = Sent(2, "B.EXE");
    no_nul.back() = 'X'; // name runs to the record's end
    std::vector<uint8_t> long_delete = DeleteCmd("A.EXE");
    WriteU32(&long_delete[4], 3); // the NUL lies beyond n
    const std::vector<std::vector<uint8_t>> bad = {
        Cat({U32(kCmdAdd), short_length}),
        Cat({U32(kCmdAdd), no_nul, {0}}), // a NUL after the record does not count
        Cat({U32(kCmdReplace), far_name}),
        ManyCmd(kCmdReplaceAll, {Sent(3, "C.EXE"), zero_length}),
        ManyCmd(kCmdUpdateAll, {zero_length}),
        long_delete,
        {0x02, 0x01, 0x00}, // shorter than its code
    };
    for (const auto& cmd : bad) {
        Answer a = Run(cmd);
        EXPECT_EQ(a.result, 0u);
        EXPECT_FALSE(a.replied);
    }
    // A count the records do not fill, seen only with the buffer's real size.
    std::vector<uint8_t> one = ManyCmd(kCmdReplaceAll, {Sent(3, "C.EXE")});
    WriteU32(&one[4], 2);
    EXPECT_EQ(Run(one).result, 0u);
    EXPECT_EQ(Names(), std::vector<std::string>{"A.EXE"});
    EXPECT_EQ(File(), file);
    EXPECT_EQ(platform.replaces, saves);
}

TEST(CommandBuffer, UsedSizeAndRefusalAgainstTheRealSize) {
    const std::vector<uint8_t> add = Cat({U32(kCmdAdd), Sent(1, "A.EXE")});
    EXPECT_EQ(CommandBufferUsed(add.data(), add.size()), add.size());
    EXPECT_EQ(CommandBufferUsed(add.data(), add.size() - 1), 0u); // record cut by the buffer
    EXPECT_EQ(CommandBufferUsed(add.data(), kUnknownSize), add.size());
    const std::vector<uint8_t> many = ManyCmd(kCmdUpdateAll, {Sent(1, "A.EXE"), Sent(2, "B")});
    EXPECT_EQ(CommandBufferUsed(many.data(), many.size()), many.size());
    const std::vector<uint8_t> huge =
        Cat({U32(kCmdUpdateAll), U32(0xFFFFFFFF), Sent(1, "A.EXE"), Sent(2, "B")});
    EXPECT_EQ(CommandBufferUsed(huge.data(), huge.size()), 0u);
    EXPECT_EQ(CommandBufferUsed(U32(kCmdListPids).data(), 4), 4u);
    EXPECT_EQ(CommandBufferUsed(nullptr, 4), 0u);
}

} // namespace
} // namespace pm::monitor
