// Replays fuzz inputs through a fuzz target's entry point, in builds without libFuzzer (the
// Windows builds): every file named, and every file in every folder named, is passed once with
// a buffer of exactly its size. A crash ends the program; otherwise it exits 0.
// The native fuzzers run with a 64-bit size_t, so offset arithmetic that wraps only at 32 bits
// is found here, by the i686 build.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReplayFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    // An exact heap copy, so that a read past the end lands outside the block.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string_view(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(p, ec)) {
            for (const auto& e : std::filesystem::directory_iterator(p, ec)) {
                if (!e.is_regular_file(ec)) continue;
                std::fflush(stdout);
                if (ReplayFile(e.path()))
                    ++replayed;
                else
                    ok = false;
            }
            if (ec) ok = false;
        } else if (std::filesystem::is_regular_file(p, ec)) {
            if (ReplayFile(p))
                ++replayed;
            else
                ok = false;
        } else {
            std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
            ok = false;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return ok ? 0 : 2;
}
