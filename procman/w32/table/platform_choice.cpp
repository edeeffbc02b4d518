// Portable: reading the "Platform" setting and the mode it decides. No OS code here.
#include "procman/w32/table/platform_choice.h"

#include "shared/cmdline/cmd_line.h"

namespace pm::table {
namespace {

std::string Trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

PlatformSetting ParsePlatformSetting(const std::optional<std::string>& value) {
    PlatformSetting s;
    if (!value) return s;
    s.present = true;
    s.text = value->substr(0, value->find('\0'));
    const std::string word = Lower(Trimmed(s.text));
    if (word == "nt")
        s.choice = PlatformChoice::kNt;
    else if (word == "95")
        s.choice = PlatformChoice::kWin95;
    s.understood = s.choice != PlatformChoice::kAutomatic;
    return s;
}

PlatformSetting ReadPlatformSetting(SettingsSource& source) {
    std::string raw;
    switch (source.ReadRegistryString(CmdLine::kInstallKey, kPlatformValueName, raw)) {
    case RegistryRead::kMissing:
        return ParsePlatformSetting(std::nullopt);
    case RegistryRead::kOk:
        return ParsePlatformSetting(raw);
    case RegistryRead::kNotString:
    case RegistryRead::kTooLong:
        break;
    }
    return ParsePlatformSetting(std::string());
}

bool DecideWin95Mode(PlatformChoice choice, bool toolhelp_complete) {
    switch (choice) {
    case PlatformChoice::kNt:
        return false;
    case PlatformChoice::kWin95:
        return true;
    case PlatformChoice::kAutomatic:
        break;
    }
    return toolhelp_complete;
}

} // namespace pm::table
