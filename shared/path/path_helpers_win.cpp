// The Windows code page rules: IsDBCSLeadByte for the ANSI code page, the C run-time for the
// locale and the multibyte-to-wide step.
#include <windows.h>

#include <clocale>
#include <cstdlib>

#include "shared/path/path_helpers.h"

namespace pm {
namespace {
class Win32DbcsRules final : public DbcsRules {
public:
    void SetUserLocale() override { setlocale(LC_ALL, ""); }
    bool IsLeadByte(unsigned char byte) const override { return IsDBCSLeadByte(byte) != FALSE; }
    int ToWide(wchar_t* out, const char* text, std::size_t size) const override {
        std::size_t most = static_cast<std::size_t>(MB_CUR_MAX);
        return mbtowc(out, text, size < most ? size : most);
    }
};
} // namespace

DbcsRules& SystemDbcsRules() {
    static Win32DbcsRules rules;
    return rules;
}

} // namespace pm
