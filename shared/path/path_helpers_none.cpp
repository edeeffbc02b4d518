// Native builds: a single-byte code page (every byte is a character of its own) and no change
// of the C locale, so the helpers behave the same whatever the machine's locale is.
#include "shared/path/path_helpers.h"

namespace pm {
namespace {
class SingleByteRules final : public DbcsRules {
public:
    void SetUserLocale() override {}
    bool IsLeadByte(unsigned char) const override { return false; }
    int ToWide(wchar_t* out, const char* text, std::size_t size) const override {
        if (size == 0) return -1;
        unsigned char b = static_cast<unsigned char>(text[0]);
        if (out) *out = static_cast<wchar_t>(b);
        return b == 0 ? 0 : 1;
    }
};
} // namespace

DbcsRules& SystemDbcsRules() {
    static SingleByteRules rules;
    return rules;
}

} // namespace pm
