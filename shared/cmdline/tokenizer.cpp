// The command-line tokenizer. No OS code here.
#include "shared/cmdline/tokenizer.h"

namespace pm {
namespace {

bool IsWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

std::vector<CmdToken> TokenizeCommandText(std::string_view text) {
    if (std::size_t nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);
    std::vector<CmdToken> tokens;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (true) {
        while (i < n && IsWhite(text[i]))
            ++i;
        if (i >= n) break;

        CmdToken token;
        char first = text[i];
        if (first == '-' || first == '/') {
            token.kind = CmdToken::Kind::kOption;
            ++i;
        } else if (first == '@') {
            token.kind = CmdToken::Kind::kResponseFile;
            ++i;
        }
        const bool is_option = token.kind == CmdToken::Kind::kOption;

        std::string collected;
        bool quoted = false;
        while (i < n) {
            char c = text[i];
            if (c == '"') {
                if (quoted && i + 1 < n && text[i + 1] == '"') {
                    collected += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            if (!quoted && (IsWhite(c) || (is_option && (c == '/' || c == '-')))) break;
            collected += c;
            ++i;
        }

        if (is_option) {
            std::size_t colon = collected.find(':');
            if (colon == std::string::npos) {
                token.text = std::move(collected);
            } else {
                token.text = collected.substr(0, colon);
                token.value = collected.substr(colon + 1);
            }
        } else {
            token.text = std::move(collected);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::optional<std::string> ArgumentsAfterProgramName(std::string_view command_line) {
    std::size_t blank = command_line.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    return std::string(command_line.substr(blank + 1));
}

std::string ResponseFileText(std::string_view contents) {
    std::string text(contents);
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

} // namespace pm
