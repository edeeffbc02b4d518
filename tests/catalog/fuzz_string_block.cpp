// String-table blocks come from resource modules found on disk: any bytes must be read safely.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "shared/catalog/catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const unsigned index = data[0] % 20;
    std::vector<uint16_t> units((size - 1) / 2);
    if (!units.empty()) std::memcpy(units.data(), data + 1, units.size() * 2);
    std::u16string out;
    if (pm::catalog::StringBlockEntry(units.data(), units.size(), index, &out)) {
        if (out.size() > units.size()) __builtin_trap();
    }
    return 0;
}
