// The name a monitor watches: always a bare executable name (file name and extension), upper
// case, "/" made "\". Portable: upper-casing and the code-page conversions go through
// TextString's platform, lead bytes through DbcsRules. No OS code here.
#pragma once

#include <string>

#include "shared/path/path_helpers.h"

namespace pm::monitor {

// File name plus extension of a path split as the C run-time splits it: a drive "X:" at the
// start, the directory up to the last "\\" or "/" (never a trail byte), then the file name and
// the extension from the last '.', each at most 255 bytes.
std::string BareName(const std::string& path, DbcsRules& rules = SystemDbcsRules());

// A name the console sent in compressed unicode, in the local ANSI code page: first the
// console's backslashes (U+005C) are made the local backslash character when that differs.
// Empty when the conversion fails.
std::string ConsoleNameToAnsi(const std::string& compressed);

// The stored form of a bare name: upper-cased for the ANSI code page, "/" made "\\".
std::string StoredName(const std::string& bare);

// The upper-cased path of an enumerated process as the name rule compares it: at most 259
// bytes of it, upper-cased.
std::string UpperProcessPath(const char* path);
// The same into a buffer the caller keeps (no allocation once it is large enough).
void UpperProcessPathInto(const char* path, std::string& out);

// The name rule: the upper-cased path P matches the stored name N when P is longer than N,
// ends with N, and has "\\" just before that ending. An empty N matches nothing.
bool NameMatches(const std::string& upper_path, const std::string& stored_name);

} // namespace pm::monitor
