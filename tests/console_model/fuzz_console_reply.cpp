// Arbitrary bytes as a Get Updates reply (items split at a length prefix): the console model
// must refuse what is malformed without reading outside an item.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"

namespace {
std::string Identity(const std::string& s) {
    return s;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> items;
    size_t pos = 0;
    while (pos < size && items.size() < 64) {
        size_t n = data[pos++];
        if (n > size - pos) n = size - pos;
        items.emplace_back(data + pos, data + pos + n);
        pos += n;
    }
    pm::console::ConsoleTables tables(&Identity);
    std::string error;
    tables.Apply(items, &error);
    tables.Apply(items, &error);
    (void)tables.Processes();
    return 0;
}
