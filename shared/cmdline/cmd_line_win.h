// The Win32 settings source. Declared here so that a Windows test can take the real calls and
// replace just one of them (the process's own command line, for instance).
#pragma once

#include "shared/cmdline/settings_source.h"

namespace pm {

class Win32SettingsSource : public SettingsSource {
public:
    bool CurrentDirectory(std::string& out) override;
    bool CommandLine(std::string& out) override;
    bool ModuleFileName(std::string& out) override;
    bool GlobalAtomText(unsigned atom, std::string& out) override;
    RegistryRead ReadRegistryString(const char* key, const char* value, std::string& raw) override;
    bool ReadResponseFile(const char* path, std::string& contents) override;
};

} // namespace pm
