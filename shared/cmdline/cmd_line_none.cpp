// Native builds have no Windows installation to read: every question fails, so a CmdLine built
// on it falls back everywhere. Tests pass fakes.
#include "shared/cmdline/settings_source.h"

namespace pm {
namespace {
class NoSettingsSource final : public SettingsSource {
public:
    bool CurrentDirectory(std::string&) override { return false; }
    bool CommandLine(std::string&) override { return false; }
    bool ModuleFileName(std::string&) override { return false; }
    bool GlobalAtomText(unsigned, std::string&) override { return false; }
    RegistryRead ReadRegistryString(const char*, const char*, std::string&) override {
        return RegistryRead::kMissing;
    }
    bool ReadResponseFile(const char*, std::string&) override { return false; }
};
} // namespace

SettingsSource& SystemSettingsSource() {
    static NoSettingsSource source;
    return source;
}

} // namespace pm
