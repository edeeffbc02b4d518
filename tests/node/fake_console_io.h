// A console io for the command tests: requests are recorded and answered by the scripted replies
// in turn, then by `answer` (Get Configuration by `config` when set, unrecorded); output, input
// and waits are scripted or collected, and "compressed unicode" is stood in for by the text in
// upper case.
#pragma once

#include <cctype>
#include <deque>
#include <optional>
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
        if (request.code == 0x73124532 && config) return *config;
        sent.push_back(request);
        if (replies.empty()) return answer;
        Reply r = replies.front();
        replies.pop_front();
        return r;
    }
    void Out(const std::string& t) override { out += t; }
    void OutRaw(const std::string& bytes) override { out += bytes; }
    void Err(const std::string& t) override { err += t; }
    CompressedConverter Converter() override { return &FakeCompressed; }
    TextDecoder Decoder() override { return decoder ? decoder : ConsoleIo::Decoder(); }
    int ReadInputByte() override {
        return taken < input.size() ? static_cast<unsigned char>(input[taken++]) : kEndOfInput;
    }
    void Wait(unsigned ms) override { waits.push_back(ms); }
    PlatformSettingView PlatformSetting() override { return platform; }

    Reply answer;
    std::optional<Reply> config;
    std::deque<Reply> replies;
    TextDecoder decoder = nullptr;
    PlatformSettingView platform;
    std::string input;
    size_t taken = 0;
    std::vector<Request> sent;
    std::vector<unsigned> waits;
    std::string out, err;
};

} // namespace pm::console::test
