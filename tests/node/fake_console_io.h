// A console io for the command tests: every request gets the same scripted answer, output is
// collected, and "compressed unicode" is stood in for by the text in upper case.
#pragma once

#include <cctype>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"

namespace pm::console::test {

// The text in upper case with its terminator; "fail" cannot be converted.
inline bool FakeCompressed(const std::string& text, std::string& out) {
    if (text == "fail") return false;
    out.clear();
    for (char c : text)
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    out.push_back('\0');
    return true;
}

class FakeIo final : public ConsoleIo {
public:
    Reply Send(const Request& request) override {
        sent.push_back(request);
        return answer;
    }
    void Out(const std::string& t) override { out += t; }
    void Err(const std::string& t) override { err += t; }
    CompressedConverter Converter() override { return &FakeCompressed; }
    Reply answer;
    std::vector<Request> sent;
    std::string out, err;
};

} // namespace pm::console::test
