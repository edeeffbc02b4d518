// Security descriptors on files and folders, from SDDL strings (at_rest.h decides which).
#pragma once

#include <string>

namespace pmsvc {

// Gives PATH (a file or a folder) the DACL of SDDL, protected from inheritance; what the folder
// holds gets the DACL's inheritable entries. Answers why not, or empty.
[[nodiscard]] std::string SetDaclFromSddl(const std::string& path, const char* sddl);

// Writes TEXT as PATH, through PATH.tmp created with the DACL of SDDL and moved over PATH: the
// file never exists with the folder's permissions. Answers why not, or empty.
[[nodiscard]] std::string WriteFileWithSddl(const std::string& path, const std::string& text,
                                            const char* sddl);

} // namespace pmsvc
