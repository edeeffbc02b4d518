// Replacing a file whole on Win32 (see file_replace.h).
#define _CRT_RAND_S // rand_s: random names nobody can plant ahead
#include <stdlib.h>

#include <windows.h>

#include <algorithm>

#include "shared/base/win_handles.h"
#include "shared/monitor/file_replace.h"

namespace pm::monitor {

namespace {

uint64_t RandomBits() {
    unsigned int hi = 0, lo = 0;
    if (rand_s(&hi) != 0 || rand_s(&lo) != 0) {
        // No random source: the clock still gives names that differ from one call to the next.
        LARGE_INTEGER t{};
        QueryPerformanceCounter(&t);
        return static_cast<uint64_t>(t.QuadPart) ^ (static_cast<uint64_t>(GetTickCount()) << 32);
    }
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

bool WriteAll(HANDLE file, const uint8_t* bytes, size_t size) {
    size_t at = 0;
    while (at < size) {
        DWORD wrote = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - at, 1u << 20));
        if (!WriteFile(file, bytes + at, want, &wrote, nullptr) || wrote == 0) return false;
        at += wrote;
    }
    return FlushFileBuffers(file) != 0;
}

} // namespace

bool ReplaceFileWhole(const std::string& target, const void* bytes, size_t size) {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const std::string temp = TemporaryNameFor(target, GetCurrentProcessId(), RandomBits());
        win::unique_hfile file(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            return false;
        }
        if (!WriteAll(file.get(), static_cast<const uint8_t*>(bytes), size)) {
            const DWORD error = GetLastError();
            file.reset();
            DeleteFileA(temp.c_str());
            SetLastError(error);
            return false;
        }
        file.reset();
        if (!MoveFileExA(temp.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD error = GetLastError();
            DeleteFileA(temp.c_str());
            SetLastError(error);
            return false;
        }
        return true;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return false;
}

} // namespace pm::monitor
