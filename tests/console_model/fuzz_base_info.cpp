// Arbitrary bytes as the five items of a Get Configuration reply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "outside/console_model/base_info_view.h"

namespace {
std::string Identity(const std::string& s) { return s; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> items;
    size_t pos = 0;
    while (pos < size && items.size() < 5) {
        size_t n = data[pos++];
        n = n * 4;
        if (n > size - pos || items.size() == 4) n = size - pos;
        items.emplace_back(data + pos, data + pos + n);
        pos += n;
    }
    pm::console::BaseInfoView view;
    std::string error;
    pm::console::DecodeBaseInfo(items, &Identity, &view, &error);
    (void)view.EnumTexts(1);
    return 0;
}
