#include "outside/pmsvc/gate_conf.h"

#include <cctype>
#include <utility>

namespace pmsvc {
namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// The key of a `key = value` line, lower case; empty for blank, comment and malformed lines.
std::string KeyOf(const std::string& line, std::string* value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') return {};
    size_t eq = t.find('=');
    if (eq == std::string::npos) return {};
    std::string key = Lower(Trim(t.substr(0, eq)));
    for (char c : key)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return {};
    if (value != nullptr) *value = Trim(t.substr(eq + 1));
    return key;
}

bool HasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

} // namespace

std::optional<std::string> GateConf::Get(const std::string& key) const {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (it->key == key) return it->value;
    return std::nullopt;
}

GateConf ParseGateConf(const std::string& text) {
    GateConf conf;
    std::vector<std::string> lines = Lines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string value;
        std::string key = KeyOf(lines[i], &value);
        if (!key.empty()) {
            conf.entries.push_back({key, value});
            continue;
        }
        std::string t = Trim(lines[i]);
        if (!t.empty() && t[0] != '#') conf.bad_lines.push_back(static_cast<int>(i + 1));
    }
    return conf;
}

bool GateConfigured(const GateConf& conf) {
    auto servers = conf.Get("servers");
    if (!servers) return false;
    for (char c : *servers)
        if (c != ',' && c != ' ' && c != '\t') return true;
    return false;
}

std::string CheckGateSettings(const GateSettings& s) {
    if (HasControl(s.servers) || HasControl(s.machine) || HasControl(s.credentials))
        return "a setting holds a line break or another control character";
    if (!s.servers.empty()) {
        size_t start = 0;
        while (start <= s.servers.size()) {
            size_t comma = s.servers.find(',', start);
            if (comma == std::string::npos) comma = s.servers.size();
            std::string url = Trim(s.servers.substr(start, comma - start));
            size_t scheme = url.find("://");
            if (scheme == std::string::npos || scheme == 0 || scheme + 3 >= url.size())
                return "the server \"" + url + "\" is no URL (scheme://host:port)";
            if (url.find_first_of(" \t") != std::string::npos)
                return "the server \"" + url + "\" holds a blank";
            start = comma + 1;
        }
    }
    if (s.machine.find_first_of(" \t.,*>") != std::string::npos)
        return "the machine name \"" + s.machine + "\" holds a blank or one of . , * >";
    return {};
}

std::string UpdateGateConf(const std::string& existing, const GateSettings& s) {
    std::vector<std::pair<std::string, std::string>> wanted;
    if (!s.servers.empty()) wanted.emplace_back("servers", s.servers);
    if (!s.machine.empty()) wanted.emplace_back("machine", s.machine);
    if (!s.credentials.empty()) wanted.emplace_back("credentials", s.credentials);

    std::vector<std::string> lines = Lines(existing);
    std::vector<bool> keep(lines.size(), true);
    std::vector<bool> placed(wanted.size(), false);
    // Each wanted key replaces its last line; its earlier lines go.
    for (size_t w = 0; w < wanted.size(); ++w) {
        size_t last = lines.size();
        for (size_t i = 0; i < lines.size(); ++i)
            if (KeyOf(lines[i], nullptr) == wanted[w].first) last = i;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (KeyOf(lines[i], nullptr) != wanted[w].first) continue;
            if (i == last) {
                lines[i] = wanted[w].first + " = " + wanted[w].second;
                placed[w] = true;
            } else {
                keep[i] = false;
            }
        }
    }
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i)
        if (keep[i]) out += lines[i] + "\n";
    for (size_t w = 0; w < wanted.size(); ++w)
        if (!placed[w]) out += wanted[w].first + " = " + wanted[w].second + "\n";
    return out;
}

} // namespace pmsvc
