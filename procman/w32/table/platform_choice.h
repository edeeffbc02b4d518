// The diagnostic setting that fixes the platform decision: the string value "Platform" under
// HKEY_LOCAL_MACHINE "SOFTWARE\Orvane\Kestrane\CurrentVersion", read once at start-up.
// "nt" forces NT mode, "95" Windows 95 mode; absent (or not understood) leaves the automatic
// test, which is right on real systems. Meant for diagnosis and for tests under Wine, whose
// KERNEL32 exports the toolhelp functions and so makes the automatic test answer Windows 95.
// Portable: no OS code here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "shared/cmdline/settings_source.h"

namespace pm::table {

enum class PlatformChoice : uint8_t { kAutomatic, kNt, kWin95 };

constexpr const char* kPlatformValueName = "Platform";

struct PlatformSetting {
    PlatformChoice choice = PlatformChoice::kAutomatic;
    bool present = false;    // the value exists
    bool understood = false; // it says "nt" or "95" (case and surrounding blanks ignored)
    std::string text;        // the value up to its terminator; empty when it is no string
};

// The value as read (nullopt: absent; a value that is no string arrives as an empty text).
PlatformSetting ParsePlatformSetting(const std::optional<std::string>& value);

// Reads the value through the installation settings' registry reader and parses it.
PlatformSetting ReadPlatformSetting(SettingsSource& source);

// Windows 95 mode: the choice when one was made, else the automatic test (all six toolhelp and
// process-flag functions found in KERNEL32).
bool DecideWin95Mode(PlatformChoice choice, bool toolhelp_complete);

} // namespace pm::table
