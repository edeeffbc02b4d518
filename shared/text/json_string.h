// A byte string as a JSON string literal, for the tools' --json output.
//
// Portable: this file and its .cpp hold no OS code (no <windows.h>).
//
// Bytes pass through unchanged (the tools' text is UTF-8); only the quote, the backslash and
// the control characters are escaped, so that any byte string gives valid JSON.
#pragma once

#include <string>

namespace pm {

std::string JsonString(const std::string& utf8);

} // namespace pm
