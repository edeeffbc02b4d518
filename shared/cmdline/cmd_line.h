// The program's command line and the installation's directories. Both deliverables construct
// one at start-up and take their log directory from it.
//
// Reading, in this order: the working directory; the command line (or the text of the global
// atom named by "/XCL:<number>"); the program directory; "Data" and "LogDir" from the
// registry with their fallbacks; then the arguments after the program name are tokenized and
// each option handed to HandleOption.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shared/cmdline/settings_source.h"
#include "shared/path/path_helpers.h"

namespace pm {

class CmdLine {
public:
    // Registry key under HKEY_LOCAL_MACHINE that holds "Data" and "LogDir".
    static constexpr const char* kInstallKey = "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion";
    // Response files may name response files; deeper than this counts as an unreadable one
    // (a file that names itself would otherwise never end).
    static constexpr int kMaxResponseDepth = 16;

    // All members empty; with `read` set, reads everything at once (both deliverables pass 1).
    explicit CmdLine(int read, SettingsSource& source = SystemSettingsSource(),
                     DbcsRules& rules = SystemDbcsRules());

    // Called once per option with its name and value (null without a ':'), and with an empty
    // name and the text as value for each plain argument. Names compare without regard to case.
    // Declared first: it is the class's first virtual operation.
    virtual void HandleOption(const char* name, const char* value);

    virtual ~CmdLine();
    CmdLine(const CmdLine&) = delete;
    CmdLine& operator=(const CmdLine&) = delete;

    // Reads everything. The constructor calls it when asked to; a derived class whose
    // HandleOption should see the options constructs with 0 and calls Read itself.
    void Read();

    // Null when absent.
    [[nodiscard]] const char* LogDirectory() const { return Get(log_directory_); }
    [[nodiscard]] const char* DataDirectory() const { return Get(data_directory_); }
    [[nodiscard]] const char* ProgramDirectory() const { return Get(program_directory_); }
    [[nodiscard]] const char* CurrentDirectory() const { return Get(current_directory_); }
    [[nodiscard]] const char* Arguments() const { return Get(arguments_); }
    [[nodiscard]] const char* N() const { return Get(n_); }
    [[nodiscard]] const char* N2() const { return Get(n2_); }
    [[nodiscard]] const char* N3() const { return Get(n3_); }
    [[nodiscard]] const char* L() const { return Get(l_); }
    [[nodiscard]] const char* R() const { return Get(r_); }
    [[nodiscard]] const char* S() const { return Get(s_); }
    [[nodiscard]] const char* Uid() const { return Get(uid_); }
    [[nodiscard]] const char* Mn() const { return Get(mn_); }
    [[nodiscard]] const char* Gn() const { return Get(gn_); }
    [[nodiscard]] int AddressGiven() const { return address_given_; }
    [[nodiscard]] int Manager() const { return manager_; }
    [[nodiscard]] int Init() const { return init_; }
    [[nodiscard]] int ResponseFileError() const { return response_file_error_; }

    // The directory part of a program path (up to and including its last '/', ':' or "\\",
    // DBCS-aware); none when it has no separator.
    static std::optional<std::string> DirectoryOf(const std::string& path, DbcsRules& rules);
    // A registry string as read into its buffer: cut at its terminator and never longer than
    // the buffer; none when the read failed or the text is empty.
    static std::optional<std::string> RegistryText(RegistryRead result, const std::string& raw);
    // A directory text with "\\" appended unless its last character already is one.
    static std::string WithBackslash(const std::string& text, DbcsRules& rules);

protected:
    // Tokenizes an argument text and handles each token; response files nest up to
    // kMaxResponseDepth deep.
    void ParseText(std::string_view text, int depth);

private:
    static const char* Get(const std::optional<std::string>& s) { return s ? s->c_str() : nullptr; }
    std::optional<std::string> ReadDirectoryValue(const char* name);

    SettingsSource& source_;
    DbcsRules& rules_;

    int address_given_ = 0;
    int manager_ = 0;
    std::optional<std::string> n_, n2_, n3_;
    std::optional<std::string> l_, r_, s_, uid_, mn_, gn_;
    std::optional<std::string> program_directory_;
    std::optional<std::string> current_directory_;
    std::optional<std::string> arguments_;
    int init_ = 0;
    std::optional<std::string> data_directory_;
    std::optional<std::string> log_directory_;
    int response_file_error_ = 0;
    int response_files_read_ = 0;
};

} // namespace pm
