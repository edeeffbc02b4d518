// A JSON scanner over bytes from outside (a server's INFO, the JetStream API's answers, the
// gates' presence records): it accepts any bytes without reading past them and bounds nesting
// so that no input can exhaust the stack.
//
// Portable: this file and its .cpp hold no OS code (no <windows.h>).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pm {

class JsonScanner {
public:
    explicit JsonScanner(const std::string& s) : s_(s) {}

    void Blank();
    // Takes `c` after any blanks.
    bool Take(char c);
    [[nodiscard]] bool AtEnd();
    [[nodiscard]] char Peek();
    // A string, its escapes decoded (\uXXXX beyond ASCII as '?': the fields read are ASCII).
    bool String(std::string& out);
    // A number, true, false or null as its text.
    bool Atom(std::string& out);
    // Any value, discarded.
    bool Skip(int depth = 0);
    [[nodiscard]] size_t Pos() const { return i_; }

private:
    const std::string& s_;
    size_t i_ = 0;
};

// Decimal digits only, at most 19 of them.
bool JsonUnsigned(const std::string& text, uint64_t& out);

} // namespace pm
