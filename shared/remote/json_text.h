// JSON text from the JSON library that never throws: bytes that are not UTF-8 (a value cut
// short, a name as a machine reported it) become U+FFFD. Portable.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace pm::remote {

template <typename J> std::string JsonText(const J& j, int indent = -1) {
    return j.dump(indent, ' ', false, nlohmann::detail::error_handler_t::replace);
}

} // namespace pm::remote
