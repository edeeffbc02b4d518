// The library's whole-message check and the node's check, side by side on arbitrary bytes:
// they must agree (the library also wants the addressee to be a node name it can route to).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "shared/ipc/message_layout.h"
#include "shared/node/message_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that ASan sees every read past its end.
    auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);
    bool library = kavipc::CheckHeader(copy, size, nullptr) == kavipc::HeaderCheck::kOk;
    pm::msg::MessageView v;
    bool node = pm::msg::ValidateMessage(copy, size, v) &&
                kavipc::IsValidNodeName(v.addressee, std::strlen(v.addressee));
    if (library != node) std::abort();
    std::free(copy);
    return 0;
}
