// A settings source made of plain fields, recording each question in order.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared/cmdline/settings_source.h"

namespace pm::testing {

class FakeSettingsSource : public SettingsSource {
public:
    std::optional<std::string> current_directory = std::string("C:\\work");
    std::optional<std::string> command_line = std::string("quorlent.exe");
    std::optional<std::string> module_file_name = std::string("C:\\Kestrane\\bin\\quorlent.exe");
    std::map<unsigned, std::string> atoms;
    // Registry values by name: how the read ends and the bytes it delivers.
    std::map<std::string, std::pair<RegistryRead, std::string>> registry;
    std::map<std::string, std::string> files;
    std::vector<std::string> calls;

    // A REG_SZ value as the registry hands it over: the text and its terminator.
    void SetString(const std::string& name, const std::string& text) {
        registry[name] = {RegistryRead::kOk, text + std::string(1, '\0')};
    }

    bool CurrentDirectory(std::string& out) override {
        calls.push_back("cwd");
        return Give(current_directory, out);
    }
    bool CommandLine(std::string& out) override {
        calls.push_back("cmdline");
        return Give(command_line, out);
    }
    bool ModuleFileName(std::string& out) override {
        calls.push_back("module");
        return Give(module_file_name, out);
    }
    bool GlobalAtomText(unsigned atom, std::string& out) override {
        calls.push_back("atom " + std::to_string(atom));
        auto it = atoms.find(atom);
        if (it == atoms.end()) return false;
        out = it->second;
        return true;
    }
    RegistryRead ReadRegistryString(const char* key, const char* value, std::string& raw) override {
        calls.push_back(std::string("reg ") + key + " " + value);
        auto it = registry.find(value);
        if (it == registry.end()) return RegistryRead::kMissing;
        if (it->second.first == RegistryRead::kOk) raw = it->second.second;
        return it->second.first;
    }
    bool ReadResponseFile(const char* path, std::string& contents) override {
        calls.push_back(std::string("file ") + path);
        auto it = files.find(path);
        if (it == files.end()) return false;
        contents = it->second;
        return true;
    }

private:
    static bool Give(const std::optional<std::string>& v, std::string& out) {
        if (!v) return false;
        out = *v;
        return true;
    }
};

} // namespace pm::testing
