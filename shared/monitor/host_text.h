// Texts the host writes for other programs to parse: names made valid UTF-8 and label values
// of the Prometheus text exposition format. Portable: no OS code here.
#pragma once

#include <string>

namespace pm::host {

// The bytes with every ill-formed UTF-8 sequence (a stray continuation byte, a cut sequence, an
// overlong form, a surrogate, a code point above U+10FFFF) replaced by U+FFFD, one replacement
// per maximal ill-formed part, so any byte string gives text every UTF-8 reader accepts.
std::string ValidUtf8(const std::string& bytes);

// A label value of the text exposition format, quotes not included: valid UTF-8 with the
// backslash, the double quote and the line feed escaped.
std::string PrometheusLabelValue(const std::string& bytes);

} // namespace pm::host
