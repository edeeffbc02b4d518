#include "outside/pmconsole/console_text.h"

#include "shared/crypto/password_cipher.h"

namespace pm::console {

bool CompressedFrom(const std::string& text, bool (*convert)(TextString&), std::string& out) {
    TextString s(text.c_str());
    const bool ok = convert(s);
    if (ok) {
        out.reserve(s.Length() + 1);
        out.assign(s.CStr());
        out.push_back('\0');
    }
    if (s.Text() != nullptr) exec::WipeBytes(s.Text(), s.Capacity());
    return ok;
}

std::string Utf8FromCompressed(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

} // namespace pm::console
