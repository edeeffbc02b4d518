// The messaging library and the node check messages by the same rules: whatever the library
// routes to a node, the node can read, and whatever the node would read, the library routes
// (when its addressee is a node name). Checked on boundary cases and on many mutated messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "shared/ipc/message_layout.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "test_memory.h"

namespace pm {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Packed(const char* sender, const char* addressee, std::vector<std::string> items) {
    test::TestMemory memory;
    BlockList blocks;
    for (const std::string& s : items) {
        void* p = std::malloc(s.size() + 1);
        std::memcpy(p, s.data(), s.size());
        blocks.emplace_back(p, static_cast<uint32_t>(s.size()));
    }
    auto* m = static_cast<uint8_t*>(PackMessage(memory, 1, 0, sender, addressee, 5, 9, blocks));
    Bytes b(m, m + le::Load32(m));
    memory.Free(m);
    return b;
}

// Both verdicts on exactly `size` bytes (a copy of that size, so ASan sees any over-read).
void ExpectAgreement(const Bytes& b, size_t size, const char* what) {
    std::vector<uint8_t> copy(b.begin(), b.begin() + static_cast<long>(size));
    const uint8_t* p = copy.empty() ? nullptr : copy.data();
    bool library = kavipc::CheckHeader(p, size, nullptr) == kavipc::HeaderCheck::kOk;
    msg::MessageView v;
    bool node = msg::ValidateMessage(p, size, v) &&
                kavipc::IsValidNodeName(v.addressee, std::strlen(v.addressee));
    EXPECT_EQ(library, node) << what;
}

TEST(ValidatorAgreement, BoundaryCases) {
    Bytes good = Packed("Console.1", "ProcMgr", {"abcd", ""});
    struct Case {
        const char* name;
        size_t at;
        uint32_t value;
        int width;
    } cases[] = {
        {"hdr_len 33", msg::kOffHdrLen, 33, 2},
        {"hdr_len 31", msg::kOffHdrLen, 31, 2},
        {"sender_off inside header", msg::kOffSenderOff, 8, 2},
        {"sender_len 0", msg::kOffSenderLen, 0, 2},
        {"sender one short (NUL not last)", msg::kOffSenderLen, 9, 2},
        {"addressee one long", msg::kOffAddresseeLen, 9, 2},
        {"addressee_off inside header", msg::kOffAddresseeOff, 0, 2},
        {"size table at 0", msg::kOffSizeTableOff, 0, 2},
        {"data_off at 0", msg::kOffDataOff, 0, 2},
        {"item count one more", msg::kOffItemCount, 3, 2},
        {"msg_len one less", msg::kOffMsgLen, static_cast<uint32_t>(good.size() - 1), 4},
    };
    ExpectAgreement(good, good.size(), "good");
    for (const Case& c : cases) {
        Bytes b = good;
        if (c.width == 2)
            le::Store16(b.data() + c.at, c.value);
        else
            le::Store32(b.data() + c.at, c.value);
        ExpectAgreement(b, b.size(), c.name);
    }
    // A sender NUL that is not the last byte of its field.
    Bytes b = good;
    b[32 + 3] = 0;
    ExpectAgreement(b, b.size(), "early NUL in the sender");
}

TEST(ValidatorAgreement, MutatedMessages) {
    std::mt19937 rng(12345);
    const Bytes seeds[] = {
        Packed("Console.1", "ProcMgr", {"abcd", "", "xyz"}),
        Packed(nullptr, "KAVMonitorClientNC", {}),
        Packed("a", "b", {std::string(300, 'q')}),
    };
    // Values that sit on the edges of the checks.
    const uint32_t edges[] = {0, 1, 2, 31, 32, 33, 34, 40, 0xFF, 0xFFFF, 0x10000, 0xFFFFFFFF};
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes b = seeds[rng() % 3];
        int mutations = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < mutations; ++i) {
            size_t at = rng() % (rng() % 2 ? 32 : b.size());
            uint32_t v = rng() % 2 ? edges[rng() % 12] : rng() % 0x100;
            if (rng() % 2 && at + 2 <= b.size())
                le::Store16(b.data() + at, v);
            else
                b[at] = static_cast<uint8_t>(v);
        }
        size_t size = b.size() - (rng() % 4 == 0 ? rng() % b.size() : 0);
        ExpectAgreement(b, size, "mutated");
        if (HasFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
        msg::MessageView v;
        if (msg::ValidateMessage(b.data(), size, v)) ++accepted;
    }
    EXPECT_GT(accepted, 100); // the mutations leave enough messages whole to compare both ways
}

} // namespace
} // namespace pm
