// The version a program's file carries in its version resource, for the gate's presence.
#pragma once

#include <string>

namespace pm::gate {

// "1.0.0" from the FILEVERSION of `path` (the fourth part shown only when not 0); empty when
// the file cannot be read or carries no version resource.
std::string FileVersion(const std::string& path);

} // namespace pm::gate
