// A harmless child for the Execute Command tests under Wine:
//   bytes N [C]      writes exactly N bytes of C (default 'x') to standard output
//   mixed            writes out1, err1, out2, err2 alternately to both streams, flushed
//   sleep S [FILE]   writes its process id to FILE (if given), then sleeps S seconds
//   touch FILE       creates FILE
//   exit N           ends with exit code N
//   late S TEXT      sleeps S seconds, then writes TEXT (a background grandchild's output)
//   handles          names the files behind every handle it holds ("file PATH" lines), after
//                    checking on a file of its own that the walk sees files at all
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The file behind a handle value, as UTF-8; empty when it names none.
std::string FileOf(HANDLE h) {
    wchar_t path[1024];
    DWORD n = GetFinalPathNameByHandleW(h, path, 1024, 0);
    if (n == 0 || n >= 1024) return {};
    char utf8[4096];
    int m = WideCharToMultiByte(CP_UTF8, 0, path, int(n), utf8, sizeof utf8, nullptr, nullptr);
    return std::string(utf8, m > 0 ? size_t(m) : 0);
}

// Walks the handle values (multiples of 4, a bounded range) and prints each file's name.
int ListHandles() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    HANDLE own = CreateFileA(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    bool own_seen = false;
    for (uintptr_t v = 4; v < 4 * 16384; v += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(v);
        if (h == own) {
            own_seen = !FileOf(h).empty();
            continue;
        }
        std::string name = FileOf(h);
        if (!name.empty()) std::printf("file %s\n", name.c_str());
    }
    if (own != INVALID_HANDLE_VALUE) CloseHandle(own);
    std::printf(own_seen ? "walk sees files\n" : "walk sees no file\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 100;
    std::string what = argv[1];
    if (what == "bytes" && argc >= 3) {
        long n = std::atol(argv[2]);
        char c = argc >= 4 ? argv[3][0] : 'x';
        std::string block(4096, c);
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        for (long done = 0; done < n;) {
            DWORD take = DWORD(n - done < 4096 ? n - done : 4096), wrote = 0;
            if (!WriteFile(out, block.data(), take, &wrote, nullptr) || wrote == 0) return 101;
            done += long(wrote);
        }
        return 0;
    }
    if (what == "mixed") {
        for (int i = 1; i <= 2; ++i) {
            std::fprintf(stdout, "out%d\n", i);
            std::fflush(stdout);
            Sleep(50);
            std::fprintf(stderr, "err%d\n", i);
            std::fflush(stderr);
            Sleep(50);
        }
        return 0;
    }
    if (what == "sleep" && argc >= 3) {
        if (argc >= 4) {
            FILE* f = std::fopen(argv[3], "w");
            if (f) {
                std::fprintf(f, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
                std::fclose(f);
            }
        }
        Sleep(DWORD(std::atol(argv[2])) * 1000);
        return 0;
    }
    if (what == "touch" && argc >= 3) {
        FILE* f = std::fopen(argv[2], "w");
        if (f) std::fclose(f);
        return 0;
    }
    if (what == "exit" && argc >= 3) return std::atoi(argv[2]);
    if (what == "late" && argc >= 4) {
        Sleep(DWORD(std::atol(argv[2])) * 1000);
        std::printf("%s\n", argv[3]);
        return 0;
    }
    if (what == "handles") return ListHandles();
    return 100;
}
