// The messaging library and the node check messages by the same rules: whatever the library
// routes to a node, the node can read, and whatever the node would read, the library routes
// (when its addressee is a node name). Checked on many mutated messages, their values often on
// the edges of the checks.
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
