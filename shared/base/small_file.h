// Reads a small file whole (configuration, credentials, certificates). Portable: the C library.
#pragma once

#include <cstddef>
#include <string>

namespace pm {

// False when the file cannot be opened. Reading stops after `limit` bytes (at a 4 KiB step):
// a file that large is no file these callers expect.
bool ReadSmallFile(const std::string& path, std::string& out, size_t limit = size_t(1) << 20);

} // namespace pm
