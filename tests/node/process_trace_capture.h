// The process's trace log switched on into a temporary file, and what was written since a mark.
#pragma once

#include <cstdio>
#include <string>

#include "shared/node/trace_log.h"

namespace pm::test {

class ProcessTraceCapture {
public:
    ProcessTraceCapture() {
        static FILE* file = [] {
            FILE* f = std::tmpfile();
            ProcessTraceLog().Enable(f);
            return f;
        }();
        file_ = file;
        std::fseek(file_, 0, SEEK_END);
        start_ = std::ftell(file_);
    }
    // The lines since construction, with the time prefixes cut off.
    std::string Lines() const {
        std::fflush(file_);
        std::fseek(file_, start_, SEEK_SET);
        std::string out, line;
        int c;
        while ((c = std::fgetc(file_)) != EOF) {
            line.push_back(static_cast<char>(c));
            if (c == '\n') {
                size_t colon = line.find(": ");
                out += colon == std::string::npos ? line : line.substr(colon + 2);
                line.clear();
            }
        }
        std::fseek(file_, 0, SEEK_END);
        return out + line;
    }

private:
    FILE* file_;
    long start_;
};

} // namespace pm::test
