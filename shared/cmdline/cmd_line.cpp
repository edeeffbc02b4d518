// Reading the command line and the installation settings. No OS code here: every question to
// the system goes through SettingsSource.
#include "shared/cmdline/cmd_line.h"

#include <cstring>
#include <vector>

#include "shared/cmdline/tokenizer.h"

namespace pm {
namespace {

// Response files opened during one reading, at most; more count as unreadable, so that files
// naming each other several times over cannot multiply without end.
constexpr int kMaxResponseFiles = 256;

// Texts from the system are C strings: they end at their first zero byte.
std::string AsCString(std::string s) {
    if (std::size_t nul = s.find('\0'); nul != std::string::npos) s.resize(nul);
    return s;
}

bool SameName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a);
        unsigned char y = static_cast<unsigned char>(*b);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
        if (x == 0) return true;
    }
}

// "/XCL:<decimal>" hands the real command line over in a global atom. Answers the atom, or
// none when there is no such option or its number cannot be an atom.
std::optional<unsigned> AtomNamedIn(const std::string& command_line) {
    static constexpr char kMarker[] = "/XCL:";
    std::size_t at = command_line.find(kMarker);
    if (at == std::string::npos) return std::nullopt;
    unsigned long atom = 0;
    bool digits = false;
    for (std::size_t i = at + sizeof kMarker - 1; i < command_line.size(); ++i) {
        char c = command_line[i];
        if (c < '0' || c > '9') break;
        digits = true;
        atom = atom * 10 + static_cast<unsigned long>(c - '0');
        if (atom > 0xFFFF) return std::nullopt; // atoms are 16 bits
    }
    if (!digits || atom == 0) return std::nullopt;
    return static_cast<unsigned>(atom);
}

// "IPX:" network addresses carry a ':' as their 14th character that the reader wants as '.'.
void FixIpxAddress(std::string& value) {
    if (value.compare(0, 3, "IPX") == 0 && value.size() >= 14 && value[13] == ':') {
        value[13] = '.';
    }
}

} // namespace

CmdLine::CmdLine(int read, SettingsSource& source, DbcsRules& rules)
    : source_(source), rules_(rules) {
    if (read) Read();
}

CmdLine::~CmdLine() = default;

std::optional<std::string> CmdLine::DirectoryOf(const std::string& path, DbcsRules& rules) {
    const char* text = path.c_str();
    const char* separator = FindLastPathSeparator(text, rules);
    if (separator == nullptr) return std::nullopt;
    return path.substr(0, static_cast<std::size_t>(separator - text) + 1);
}

std::optional<std::string> CmdLine::RegistryText(RegistryRead result, const std::string& raw) {
    if (result != RegistryRead::kOk) return std::nullopt;
    // A value longer than its buffer could not have been read into it.
    if (raw.size() > SettingsSource::kRegistryValueBytes) return std::nullopt;
    // A value that fills the whole buffer may have no terminator: it ends with the buffer.
    std::string text = AsCString(raw);
    if (text.empty()) return std::nullopt;
    return text;
}

std::string CmdLine::WithBackslash(const std::string& text, DbcsRules& rules) {
    // Room for the text, one more byte and the terminator.
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(text.size() + 2, '\0');
    if (!AppendBackslash(buffer.data(), buffer.size(), rules)) return text; // cannot happen
    return std::string(buffer.data());
}

std::optional<std::string> CmdLine::ReadDirectoryValue(const char* name) {
    std::string raw;
    RegistryRead result = source_.ReadRegistryString(kInstallKey, name, raw);
    std::optional<std::string> text = RegistryText(result, raw);
    if (!text) return std::nullopt;
    return WithBackslash(*text, rules_);
}

void CmdLine::Read() {
    address_given_ = manager_ = init_ = response_file_error_ = 0;
    for (auto* s : {&n_, &n2_, &n3_, &l_, &r_, &s_, &uid_, &mn_, &gn_, &arguments_})
        s->reset();
    response_files_read_ = 0;

    std::string current;
    if (!source_.CurrentDirectory(current)) current.clear();
    current = AsCString(std::move(current));
    if (current.size() != 3) current += '\\'; // a drive root such as C:\ has its backslash
    current_directory_ = current;

    std::string command;
    if (!source_.CommandLine(command)) command.clear();
    command = AsCString(std::move(command));

    std::string module;
    if (!source_.ModuleFileName(module)) module.clear();
    module = AsCString(std::move(module));

    if (std::optional<unsigned> atom = AtomNamedIn(command)) {
        std::string handed_over;
        if (source_.GlobalAtomText(*atom, handed_over)) command = AsCString(std::move(handed_over));
    }

    program_directory_ = DirectoryOf(module, rules_);
    if (!program_directory_) program_directory_ = current_directory_;

    data_directory_ = ReadDirectoryValue("Data");
    if (!data_directory_) data_directory_ = program_directory_;
    log_directory_ = ReadDirectoryValue("LogDir");
    if (!log_directory_) log_directory_ = data_directory_;

    // Options come last: NDP may replace the data directory, never the log directory.
    arguments_ = ArgumentsAfterProgramName(command);
    if (arguments_) ParseText(*arguments_, 0);
}

void CmdLine::ParseText(std::string_view text, int depth) {
    for (const CmdToken& token : TokenizeCommandText(text)) {
        switch (token.kind) {
        case CmdToken::Kind::kOption:
            HandleOption(token.text.c_str(), token.value ? token.value->c_str() : nullptr);
            break;
        case CmdToken::Kind::kArgument:
            HandleOption("", token.text.c_str());
            break;
        case CmdToken::Kind::kResponseFile: {
            std::string contents;
            if (depth >= kMaxResponseDepth || response_files_read_ >= kMaxResponseFiles ||
                !source_.ReadResponseFile(token.text.c_str(), contents)) {
                response_file_error_ = 1;
                break;
            }
            ++response_files_read_;
            ParseText(ResponseFileText(contents), depth + 1);
            break;
        }
        }
    }
}

void CmdLine::HandleOption(const char* name, const char* value) {
    if (name == nullptr || *name == '\0') return; // plain arguments mean nothing here

    struct Valued {
        const char* name;
        std::optional<std::string> CmdLine::*member;
        bool address;
    };
    static const Valued kValued[] = {
        {"N", &CmdLine::n_, true},      {"N2", &CmdLine::n2_, true},
        {"N3", &CmdLine::n3_, true},    {"L", &CmdLine::l_, false},
        {"R", &CmdLine::r_, false},     {"S", &CmdLine::s_, false},
        {"UID", &CmdLine::uid_, false}, {"MN", &CmdLine::mn_, false},
        {"GN", &CmdLine::gn_, false},   {"NDP", &CmdLine::data_directory_, false},
    };
    for (const Valued& option : kValued) {
        if (!SameName(name, option.name)) continue;
        if (value == nullptr) return; // a valued option without a value is ignored
        std::string text(value);
        if (option.address) {
            FixIpxAddress(text);
            address_given_ = 1;
        }
        this->*option.member = std::move(text);
        return;
    }
    if (SameName(name, "INIT")) {
        init_ = 1;
    } else if (SameName(name, "MANAGER")) {
        manager_ = 1;
    }
}

} // namespace pm
