// Portable: expansion and the fix-up; the system is reached through VariableSource and the
// text conversions.
#include "procman/w32/exec/command_line.h"

#include <vector>

#include "shared/text/compressed_unicode.h"
#include "shared/text/text_string.h"

namespace pm::exec {

Expansion LookUpVariable(const std::string& name, VariableSource& source, std::string* value) {
    value->clear();
    if (name.size() > kMaxVariableText) return Expansion::kTooLong;
    std::string found;
    if (source.EnvironmentValue(name, &found) && !found.empty()) {
        if (found.size() > kMaxVariableText) return Expansion::kTooLong;
        *value = found;
        return Expansion::kExpanded;
    }
    bool expandable = false;
    found.clear();
    if (!source.RegistryValue(name, &found, &expandable)) return Expansion::kExpanded;
    if (found.size() > kMaxVariableText) return Expansion::kTooLong;
    if (expandable) {
        std::string expanded;
        if (!source.ExpandReferences(found, &expanded)) return Expansion::kExpanded;
        if (expanded.size() > kMaxVariableText) return Expansion::kTooLong;
        found = expanded;
    }
    *value = found;
    return Expansion::kExpanded;
}

Expansion ExpandVariables(const std::string& text, VariableSource& source, std::string* out) {
    std::string result;
    size_t at = 0;
    for (;;) {
        size_t open = text.find("$(", at);
        if (open == std::string::npos) {
            result.append(text, at, std::string::npos);
            break;
        }
        result.append(text, at, open - at);
        size_t close = text.find(')', open + 2);
        if (close == std::string::npos) return Expansion::kUnclosed;
        std::string value;
        Expansion looked = LookUpVariable(text.substr(open + 2, close - open - 2), source, &value);
        if (looked != Expansion::kExpanded) return looked;
        result += value;
        if (result.size() > kMaxCommandLine) return Expansion::kTooLong;
        at = close + 1;
    }
    if (result.size() > kMaxCommandLine) return Expansion::kTooLong;
    // "//" pairs to one backslash; the character after an inserted backslash never starts a pair.
    std::string slashed;
    slashed.reserve(result.size());
    for (size_t i = 0; i < result.size(); ++i) {
        if (result[i] == '/' && i + 1 < result.size() && result[i + 1] == '/') {
            slashed += '\\';
            ++i;
            if (i + 1 < result.size()) slashed += result[++i];
            continue;
        }
        slashed += result[i];
    }
    *out = std::move(slashed);
    return Expansion::kExpanded;
}

uint16_t LocalBackslashUnit() {
    TextString s("\\");
    if (!s.ToCompressedUnicode()) return 0x5C;
    uint16_t units[4] = {};
    s.DecodeCompressedUnicode(units, 4);
    return units[0] ? units[0] : 0x5C;
}

std::string FixBackslashes(const std::string& compressed, uint16_t backslash) {
    if (backslash == 0x5C) return compressed;
    std::string text(compressed.c_str()); // up to the terminator
    uint32_t count = DecodeCompressedUnicode(text.c_str(), nullptr, 0);
    std::vector<uint16_t> units(count, 0);
    DecodeCompressedUnicode(text.c_str(), units.data(), count);
    for (uint16_t& u : units)
        if (u == 0x5C) u = backslash;
    uint32_t size = EncodeCompressedUnicode(units.data(), nullptr, 0);
    std::string out(size, '\0');
    EncodeCompressedUnicode(units.data(), &out[0], size);
    out.resize(size ? size - 1 : 0);
    return out;
}

} // namespace pm::exec
