// Both message parsers on arbitrary bytes: they must refuse what does not fit, never read
// outside the buffer, and what they accept must pack back to a valid message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "tests/node/test_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that ASan sees every read past its end.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);

    pm::test::TestMemory memory;
    pm::Command request;
    if (request.ParseRequest(copy, size)) {
        void* again = request.BuildReply(memory);
        if (again) {
            pm::msg::MessageView v;
            if (pm::msg::CheckHeader(again, pm::msg::DeclaredLength(again),
                                     pm::msg::AddresseeRule::kAnyString,
                                     &v) != pm::msg::HeaderCheck::kOk)
                std::abort();
            memory.Free(again);
        }
    }
    pm::Command reply;
    if (size >= 32) reply.seq_no = pm::le::Load32(copy + pm::msg::kOffSeqNo);
    if (reply.ParseReply(copy, size)) {
        for (size_t i = 0; i < reply.GetResultCount(); ++i)
            if (reply.GetResultSize(i) && !reply.GetResult(i)) std::abort();
    }
    std::free(copy);
    return 0;
}
