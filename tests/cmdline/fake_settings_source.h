// A settings source made of plain fields, counting the questions it is asked.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "shared/cmdline/settings_source.h"

namespace pm::testing {

class FakeSettingsSource : public SettingsSource {
public:
    std::optional<std::string> current_directory = std::string("C:\\work");
    std::optional<std::string> command_line = std::string("quorlent.exe");
    std::optional<std::string> module_file_name = std::string("C:\\Kestrane\\bin\\quorlent.exe");
    std::map<unsigned, std::string> atoms;
    std::optional<std::string> any_atom; // the text of every atom not in `atoms`
    // Registry values by name: how the read ends and the bytes it delivers.
    std::map<std::string, std::pair<RegistryRead, std::string>> registry;
    std::map<std::string, std::string> files;
    int questions = 0;
    int file_reads = 0;

    // A REG_SZ value as the registry hands it over: the text and its terminator.
    void SetString(const std::string& name, const std::string& text) {
        registry[name] = {RegistryRead::kOk, text + std::string(1, '\0')};
    }

    bool CurrentDirectory(std::string& out) override { return Give(current_directory, out); }
    bool CommandLine(std::string& out) override { return Give(command_line, out); }
    bool ModuleFileName(std::string& out) override { return Give(module_file_name, out); }
    bool GlobalAtomText(unsigned atom, std::string& out) override {
        auto it = atoms.find(atom);
        return Give(it == atoms.end() ? any_atom : std::optional(it->second), out);
    }
    // The values live under the installation's key only.
    RegistryRead ReadRegistryString(const char* key, const char* value, std::string& raw) override {
        ++questions;
        auto it = registry.find(value);
        if (std::string(key) != "SOFTWARE\\Orvane\\Kestrane\\CurrentVersion" ||
            it == registry.end())
            return RegistryRead::kMissing;
        if (it->second.first == RegistryRead::kOk) raw = it->second.second;
        return it->second.first;
    }
    bool ReadResponseFile(const char* path, std::string& contents) override {
        ++file_reads;
        auto it = files.find(path);
        return Give(it == files.end() ? std::nullopt : std::optional(it->second), contents);
    }

private:
    bool Give(const std::optional<std::string>& v, std::string& out) {
        ++questions;
        if (!v) return false;
        out = *v;
        return true;
    }
};

} // namespace pm::testing
