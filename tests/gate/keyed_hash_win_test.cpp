// The system's HMAC-SHA-256 behind the alerts' id key, against a published test vector.
#include <gtest/gtest.h>

#include "outside/pmgate/keyed_hash_win.h"

namespace pm::gate {
namespace {

TEST(KeyedHashWin, HmacSha256TestVector) {
    // RFC 4231, test case 2.
    EXPECT_EQ(CngKeyedHash().HmacSha256Hex("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

} // namespace
} // namespace pm::gate
