// What the end-to-end tests under Wine share: where the programs are, and reading a file whole.
#pragma once

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

namespace pm::test {

// The folder of the running test program, with its trailing separator: the programs and DLLs
// under test sit beside it.
inline std::string ProgramDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

} // namespace pm::test
