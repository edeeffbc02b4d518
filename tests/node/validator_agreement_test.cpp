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
#include "tests/node/node_fixture.h"

namespace pm {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ValidatorAgreement, MutatedMessages) {
    std::mt19937 rng(12345);
    const Bytes seeds[] = {
        test::Packed(1, "Console.1", "ProcMgr", 5, 9, {"abcd", "", "xyz"}),
        test::Packed(1, nullptr, "KAVMonitorClientNC", 5, 9),
        test::Packed(1, "a", "b", 5, 9, {std::string(300, 'q')}),
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
        const size_t size = b.size() - (rng() % 4 == 0 ? rng() % b.size() : 0);
        // Both verdicts on a copy of exactly `size` bytes, so that ASan sees any over-read.
        const Bytes copy(b.begin(), b.begin() + static_cast<long>(size));
        const uint8_t* p = copy.empty() ? nullptr : copy.data();
        msg::MessageView v;
        const bool valid = msg::ValidateMessage(p, size, v);
        const bool node = valid && kavipc::IsValidNodeName(v.addressee, std::strlen(v.addressee));
        ASSERT_EQ(kavipc::CheckHeader(p, size, nullptr) == kavipc::HeaderCheck::kOk, node)
            << "round " << round;
        accepted += valid;
    }
    EXPECT_GT(accepted, 100); // the mutations leave enough messages whole to compare both ways
}

} // namespace
} // namespace pm
