// Replacing a file whole: the new content goes to a file of its own, created new in the
// target's directory, and is moved over the target only once complete, so readers see the old
// file or the new one, never a part, and nothing planted under a temporary name is followed,
// reused or consumed. Used by the plug-in's "velstra.ini" and the host's metrics file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pm::monitor {

// The temporary name for one attempt: TARGET.<process id>-<random>.tmp, in the target's
// directory. Portable.
inline std::string TemporaryNameFor(const std::string& target, uint32_t process_id,
                                    uint64_t random) {
    char tail[48];
    std::snprintf(tail, sizeof tail, ".%08x-%016llx.tmp", static_cast<unsigned>(process_id),
                  static_cast<unsigned long long>(random));
    return target + tail;
}

// Attempts at a fresh name before giving up (each name already taken costs one).
constexpr int kTemporaryNameAttempts = 16;

#ifdef _WIN32
// Writes `size` bytes to a new file (CREATE_NEW under TemporaryNameFor, never an existing name
// or link), flushes it, and moves it over `target` (MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH). False on any failure, with the target untouched and the temporary
// file removed; GetLastError tells why.
bool ReplaceFileWhole(const std::string& target, const void* bytes, size_t size);
#endif

} // namespace pm::monitor
