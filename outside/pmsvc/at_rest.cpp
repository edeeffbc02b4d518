// The settings step's lockdown plan and a reader of SDDL DACLs. Portable: holds no OS code.
#include "outside/pmsvc/at_rest.h"

#include <cctype>

namespace pmsvc {
namespace {

bool IsSep(char c) {
    return c == '\\' || c == '/';
}

std::string WithoutTrailingSeps(std::string s) {
    while (s.size() > 3 && IsSep(s.back()))
        s.pop_back();
    return s;
}

bool SameFolder(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (IsSep(x) && IsSep(y)) continue;
        if (std::tolower(static_cast<unsigned char>(x)) !=
            std::tolower(static_cast<unsigned char>(y)))
            return false;
    }
    return true;
}

// Generic rights as a file sees them.
uint32_t MapGeneric(uint32_t m) {
    constexpr uint32_t kGenericAll = 0x10000000, kGenericExecute = 0x20000000,
                       kGenericWrite = 0x40000000, kGenericRead = 0x80000000;
    uint32_t out = m & 0x0fffffff;
    if (m & kGenericAll) out |= 0x1f01ff;
    if (m & kGenericExecute) out |= 0x1200a0;
    if (m & kGenericWrite) out |= 0x120116;
    if (m & kGenericRead) out |= 0x120089;
    return out;
}

struct RightName {
    char name[3];
    uint32_t mask;
};
constexpr RightName kRightNames[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
    {"FA", 0x1f01ff},   {"FR", 0x120089},   {"FW", 0x120116},   {"FX", 0x1200a0},
    {"KA", 0xf003f},    {"KR", 0x20019},    {"KW", 0x20006},    {"KX", 0x20019},
    {"RC", 0x20000},    {"SD", 0x10000},    {"WD", 0x40000},    {"WO", 0x80000},
    {"CR", 0x100},      {"LO", 0x80},       {"DT", 0x40},       {"WP", 0x20},
    {"RP", 0x10},       {"SW", 0x8},        {"LC", 0x4},        {"DC", 0x2},
    {"CC", 0x1},
};

std::optional<uint32_t> ParseNumber(std::string_view s) {
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    } else if (s.size() > 1 && s[0] == '0') {
        base = 8;
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        if (d >= base) return std::nullopt;
        v = v * base + d;
        if (v > 0xffffffffu) return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

std::optional<uint32_t> ParseRights(std::string_view s) {
    if (s.empty()) return 0u;
    if (std::isdigit(static_cast<unsigned char>(s[0]))) return ParseNumber(s);
    if (s.size() % 2 != 0) return std::nullopt;
    uint32_t m = 0;
    for (size_t i = 0; i < s.size(); i += 2) {
        bool known = false;
        for (const auto& r : kRightNames) {
            if (s[i] == r.name[0] && s[i + 1] == r.name[1]) {
                m |= r.mask;
                known = true;
                break;
            }
        }
        if (!known) return std::nullopt;
    }
    return m;
}

std::vector<std::string_view> SplitFields(std::string_view s) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == ';') {
            out.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::optional<Ace> ParseAce(std::string_view body) {
    auto f = SplitFields(body);
    if (f.size() != 6 && f.size() != 7) return std::nullopt; // 7: a resource attribute
    Ace ace;
    std::string_view type = f[0];
    if (type == "A" || type == "OA" || type == "XA" || type == "ZA")
        ace.allow = true;
    else if (type == "D" || type == "OD" || type == "XD")
        ace.allow = false;
    else if (!type.empty())
        ace.allow = false; // audit and alarm kinds grant nothing
    else
        return std::nullopt;
    std::string_view flags = f[1];
    if (flags.size() % 2 != 0) return std::nullopt;
    for (size_t i = 0; i < flags.size(); i += 2)
        if (flags.substr(i, 2) == "IO") ace.inherit_only = true;
    auto rights = ParseRights(f[2]);
    if (!rights || f[5].empty()) return std::nullopt;
    ace.mask = MapGeneric(*rights);
    ace.sid = std::string(f[5]);
    return ace;
}

bool LocalUsersSid(const std::string& sid) {
    static const char* const kSids[][2] = {
        {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},      {"AU", "S-1-5-11"},     {"IU", "S-1-5-4"},
        {"AN", "S-1-5-7"},      {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"},
    };
    for (const auto& s : kSids)
        if (sid == s[0] || sid == s[1]) return true;
    return false;
}

} // namespace

bool LockableFolder(std::string_view dir) {
    if (dir.size() < 3 || !std::isalpha(static_cast<unsigned char>(dir[0])) || dir[1] != ':' ||
        !IsSep(dir[2]))
        return false;
    int folders = 0;
    bool in_name = false;
    for (size_t i = 3; i < dir.size(); ++i) {
        if (IsSep(dir[i])) {
            in_name = false;
        } else if (!in_name) {
            in_name = true;
            ++folders;
        }
    }
    return folders >= 2;
}

std::vector<Lockdown> PlanLockdown(const std::string& program_dir, const std::string& data_dir,
                                   const std::string& log_dir, const std::string& credentials) {
    std::vector<Lockdown> plan;
    if (!credentials.empty() && !program_dir.empty()) {
        std::string dir = program_dir;
        if (!IsSep(dir.back())) dir += '\\';
        plan.push_back({dir + credentials, kSecretSddl});
    }
    std::vector<std::string> folders;
    for (const std::string& d : {data_dir, log_dir}) {
        if (!LockableFolder(d)) continue;
        std::string f = WithoutTrailingSeps(d);
        bool seen = false;
        for (const auto& g : folders)
            seen = seen || SameFolder(f, g);
        if (!seen) folders.push_back(f);
    }
    for (auto& f : folders)
        plan.push_back({std::move(f), kServiceFolderSddl});
    return plan;
}

std::optional<std::string> QuotedImagePath(const std::string& current, const std::string& exe) {
    if (current.empty() || current[0] == '"' || exe.empty() || current.size() < exe.size())
        return std::nullopt;
    if (!SameFolder(current.substr(0, exe.size()), exe)) return std::nullopt;
    if (current.size() > exe.size() && current[exe.size()] != ' ') return std::nullopt;
    return "\"" + current.substr(0, exe.size()) + "\"" + current.substr(exe.size());
}

std::optional<Dacl> ReadDacl(std::string_view sddl) {
    // The sections O:, G:, D:, S: start outside parentheses; the DACL runs to the next one.
    size_t start = std::string_view::npos, end = sddl.size();
    int depth = 0;
    for (size_t i = 0; i + 1 < sddl.size(); ++i) {
        char c = sddl[i];
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (depth < 0) return std::nullopt;
        if (depth != 0 || sddl[i + 1] != ':') continue;
        if (c == 'D' && start == std::string_view::npos) {
            start = i + 2;
        } else if ((c == 'O' || c == 'G' || c == 'S') && start != std::string_view::npos) {
            end = i;
            break;
        }
    }
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view d = sddl.substr(start, end - start);
    Dacl dacl;
    size_t i = 0;
    while (i < d.size() && d[i] != '(') {
        if (d.substr(i, 17) == "NO_ACCESS_CONTROL") {
            dacl.null_dacl = true;
            i += 17;
        } else if (d.substr(i, 2) == "AI" || d.substr(i, 2) == "AR") {
            i += 2;
        } else if (d[i] == 'P') {
            dacl.is_protected = true;
            i += 1;
        } else {
            return std::nullopt;
        }
    }
    while (i < d.size()) {
        if (d[i] != '(') return std::nullopt;
        size_t close = d.find(')', i);
        if (close == std::string_view::npos) return std::nullopt;
        auto ace = ParseAce(d.substr(i + 1, close - i - 1));
        if (!ace) return std::nullopt;
        dacl.aces.push_back(std::move(*ace));
        i = close + 1;
    }
    return dacl;
}

uint32_t LocalUsersRights(const Dacl& dacl) {
    if (dacl.null_dacl) return 0x1f01ff;
    uint32_t m = 0;
    for (const auto& ace : dacl.aces)
        if (ace.allow && LocalUsersSid(ace.sid)) m |= ace.mask;
    return m;
}

} // namespace pmsvc
