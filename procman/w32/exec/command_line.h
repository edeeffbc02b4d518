// The command line of Execute Command before it runs: the backslash fix-up of text parameters
// in compressed unicode, and the expansion of $(NAME) references from the process environment
// and the agent's "Environment" registry key. Portable: the lookups go through VariableSource.
#pragma once

#include <cstdint>
#include <string>

namespace pm::exec {

// Room of the expanded command line and of one variable name or value, in characters.
constexpr size_t kMaxCommandLine = 4095;
constexpr size_t kMaxVariableText = 2047;

// Where variables come from. Values are answered in full, whatever their length; the caller
// refuses what does not fit.
class VariableSource {
public:
    virtual ~VariableSource() = default;
    // The process environment; false when the variable is not set.
    virtual bool EnvironmentValue(const std::string& name, std::string* value) = 0;
    // HKLM "SOFTWARE\Orvane\Kestrane\Environment" (opened once per process). false when the
    // key cannot be opened or the value is absent. *expandable: the value is REG_EXPAND_SZ.
    virtual bool RegistryValue(const std::string& name, std::string* value, bool* expandable) = 0;
    // %-references expanded as ExpandEnvironmentStringsA does; false when that fails.
    virtual bool ExpandReferences(const std::string& text, std::string* out) = 0;
};

enum class Expansion {
    kExpanded, // *out holds the result
    kUnclosed, // a "$(" without ")": the caller keeps the line as it was
    kTooLong,  // the result, a name or a value is beyond its room: the command is refused
};

// LookUpVariable: the environment first (when set and not empty), then the registry key,
// REG_EXPAND_SZ expanded. Undefined names answer empty text. kTooLong when the name or the
// value is beyond its room.
Expansion LookUpVariable(const std::string& name, VariableSource& source, std::string* value);

// ExpandVariables: every $(NAME) replaced by its value, then each "//" pair by one backslash,
// scanning from the left (four slashes give a backslash and two slashes).
Expansion ExpandVariables(const std::string& text, VariableSource& source, std::string* out);

// The local code page's backslash as a UCS-2 unit (U+005C in most code pages, U+00A5 in the
// Japanese one, U+20A9 in the Korean one), through the text conversions.
uint16_t LocalBackslashUnit();

// The backslash fix-up of a text parameter in compressed unicode (bytes without the
// terminator): every U+005C becomes `backslash`; the text is left as it is when that is
// U+005C itself.
std::string FixBackslashes(const std::string& compressed, uint16_t backslash);

} // namespace pm::exec
