// Requests and replies of Execute Command for the flow tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/node/command.h"
#include "shared/text/text_string.h"

namespace pm::exec::test {

inline std::string Le32(uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// ANSI text to compressed unicode, with its terminator.
inline std::string Cu(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return std::string(s.CStr()) + '\0';
}

struct Request {
    std::string line = "cmd /c echo hi";
    uint32_t flags = 0;
    std::string user;
    std::string password; // as sent (text in compressed unicode, or ciphertext)
    uint32_t timeout_s = 0;
    std::string cwd;
    bool with_env = false;
    std::string env; // after the 4-byte prefix
    int params = 6;  // how many of the parameters to send

    Command* Build() const {
        auto* c = new Command(0x73124535);
        c->flags = Command::kFlagDeferredReply;
        std::vector<std::string> p = {Cu(line),
                                      Le32(flags),
                                      Cu(user),
                                      password,
                                      Le32(timeout_s),
                                      Cu(cwd),
                                      std::string("\0\0\0\0", 4) + env};
        for (int i = 0; i < params && i < int(p.size()); ++i)
            c->AddParam(p[size_t(i)].data(), uint32_t(p[size_t(i)].size()));
        return c;
    }
};

struct Reply {
    int32_t status = 0;
    std::vector<std::string> items;
};

// Collects the replies sent; the command is deleted as the node would.
struct Replies {
    std::vector<Reply> sent;
    bool refuse_first = false; // the first reply cannot be packed (too large)
    bool Send(Command* c) {
        if (refuse_first) {
            refuse_first = false;
            return false;
        }
        Reply r;
        r.status = c->status;
        for (size_t i = 0; i < c->GetResultCount(); ++i)
            r.items.emplace_back(reinterpret_cast<const char*>(c->GetResult(i)),
                                 c->GetResultSize(i));
        sent.push_back(r);
        delete c;
        return true;
    }
};

} // namespace pm::exec::test
