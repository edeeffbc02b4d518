// Splits an argument text into options, response-file names and plain arguments. A pure
// function of its input: no OS code, no locale.
//
//   /NAME:VALUE  -NAME      option; ends at white space or at the next '/' or '-'
//   @FILE                   response file
//   anything else           plain argument
//
// Outside quotes, white space ends every token. A double quote switches quoting on or off and
// is dropped; inside quotes two double quotes in a row give one. The text ends at its first
// zero byte, as the C string it was read from.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pm {

struct CmdToken {
    enum class Kind { kOption, kResponseFile, kArgument };
    Kind kind = Kind::kArgument;
    // Option: the name (before the first ':'); response file: the file name; argument: the text.
    std::string text;
    // Option only: what follows the first ':'; none without a ':'.
    std::optional<std::string> value;

    bool operator==(const CmdToken& o) const {
        return kind == o.kind && text == o.text && value == o.value;
    }
};

std::vector<CmdToken> TokenizeCommandText(std::string_view text);

// The program name ends at the first blank (quotes are not honoured there): answers what
// follows that blank, or none when the text has no blank.
std::optional<std::string> ArgumentsAfterProgramName(std::string_view command_line);

// A response file's contents as argument text: tab, line feed and carriage return become blanks.
std::string ResponseFileText(std::string_view contents);

} // namespace pm
