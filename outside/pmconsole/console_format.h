// How the console shows a reply: readable lines, or one JSON object. Portable.
#pragma once

#include <string>

#include "outside/pmconsole/console_request.h"

namespace pm::console {

std::string HexOf(const std::string& bytes);
// The item as text when every byte before an optional final NUL is printable ASCII.
bool PrintableText(const std::string& bytes, std::string& text);
// "status: N (0xXXXXXXXX)" then one line per item.
std::string FormatText(const Reply& reply);
// {"status": N, "items": ["hex", ...]} with N unsigned 32-bit decimal.
std::string FormatJson(const Reply& reply);

} // namespace pm::console
