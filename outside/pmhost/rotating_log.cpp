// Portable: C stdio only.
#include "outside/pmhost/rotating_log.h"

#include <cstdio>

namespace pm::host {

namespace {

// The file's size, 0 when it does not exist or cannot be measured.
uint64_t SizeOf(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    std::fclose(f);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

} // namespace

bool RotatingLog::Append(const std::string& text) {
    const uint64_t size = SizeOf(path_);
    if (size > 0 && size + text.size() > limit_) {
        // Windows' rename does not replace: the older file goes first.
        const std::string previous = PreviousPath();
        std::remove(previous.c_str());
        std::rename(path_.c_str(), previous.c_str());
    }
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace pm::host
