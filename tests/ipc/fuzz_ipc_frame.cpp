// Fuzzes what a peer can put on a node's pipe: the input is split into chunks (a 2-byte length
// before each) and fed to the frame assembler; complete messages must pass the whole-message
// check. (fuzz_ipc_messenger drives a real Messenger with the same input.)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "outside/kavipc32/frame.h"
#include "tests/ipc/fuzz_frames.h"
#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kavipc;
    // The header check alone, on the raw bytes, by both rules: a node name is a string too.
    MessageView v;
    if (CheckHeader(data, size, AddresseeRule::kNodeName, &v) == HeaderCheck::kOk) {
        if (v.msg_len > size || v.addressee[0] == '\0') __builtin_trap();
        if (CheckHeader(data, size, AddresseeRule::kAnyString, nullptr) != HeaderCheck::kOk)
            __builtin_trap();
    }
    FeedFrames(data, size, [](FrameKind kind, void* p, size_t payload_size) {
        if (p == nullptr || BlockSize(p) != payload_size) __builtin_trap();
        if (kind == FrameKind::kMessage &&
            CheckHeader(p, payload_size, AddresseeRule::kNodeName, nullptr) != HeaderCheck::kOk) {
            __builtin_trap();
        }
        FreeBlock(p);
    });
    return 0;
}
