// A harmless child for the Execute Command tests under Wine:
//   bytes N [C]      writes exactly N bytes of C (default 'x') to standard output
//   mixed            writes out1, err1, out2, err2 alternately to both streams, flushed
//   sleep S [FILE]   writes its process id to FILE (if given), then sleeps S seconds
//   touch FILE       creates FILE
//   exit N           ends with exit code N
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
    return 100;
}
