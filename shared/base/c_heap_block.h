// Ownership of a block from the C heap (malloc/calloc), for bytes that are handed on to an
// owner that frees them with free(). Portable.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "shared/base/unique_resource.h"

namespace pm {

struct CHeapTraits {
    using type = uint8_t*;
    static type invalid() noexcept { return nullptr; }
    static void close(type v) noexcept { std::free(v); }
};
using unique_c_heap = UniqueResource<CHeapTraits>;

} // namespace pm
