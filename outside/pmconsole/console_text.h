// Texts between the screen and the wire: compressed unicode for requests, UTF-8 for people.
// Portable: no OS code here.
#pragma once

#include <string>

#include "shared/text/text_string.h"

namespace pm::console {

// `convert` turns the string into compressed unicode in place (ANSI text on Windows, UTF-8
// elsewhere). Also converts passwords: the string's buffer is wiped before it goes, and `out`
// is sized before it is filled. `out` ends with the text's terminating zero.
bool CompressedFrom(const std::string& text, bool (*convert)(TextString&), std::string& out);

std::string Utf8FromCompressed(const std::string& compressed);

} // namespace pm::console
