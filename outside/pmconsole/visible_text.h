// Text from the other side (a command's output, a monitor's name) on its way to a terminal or
// into a line of a file: control characters are made visible, never sent as they are.
// Portable: no OS code here.
//
// Controls: C0 (0x00-0x1F), DEL (0x7F), and C1 either as U+0080-U+009F in UTF-8 (C2 80..C2 9F)
// or as a byte 0x80-0x9F that belongs to no UTF-8 character. Other bytes (UTF-8 characters,
// the upper half of an 8-bit code page) pass unchanged.
#pragma once

#include <string>
#include <string_view>

namespace pm::console {

// For a terminal: each control becomes "\xNN" (a UTF-8 C1 character "\u00NN"), except tab,
// line feed and a carriage return right before a line feed.
std::string VisibleText(std::string_view bytes);

// A field of a one-line record (a process, service or monitor name): as VisibleText, and tab
// and line ends are controls too, so the field cannot break or misalign its line.
std::string VisibleField(std::string_view bytes);

// A monitor name in one line of a monitor file: a backslash as "\\", every control (tab and
// line ends included) and a blank at either end as "\xNN" per byte.
std::string EscapeName(std::string_view name);
// The reverse: "\\" and "\xNN" (two hex digits) decoded; any other backslash stays as it is,
// so a name written by hand with a single backslash reads as written.
std::string UnescapeName(std::string_view text);

} // namespace pm::console
