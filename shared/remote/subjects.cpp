// Subjects of the remote path. Portable: no OS code here.
#include "shared/remote/subjects.h"

#include <cstdio>
#include <random>
#include <vector>

namespace pm::remote {
namespace {

bool MachineChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::vector<std::string> Tokens(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t dot = s.find('.', start);
        out.push_back(s.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return out;
        start = dot + 1;
    }
}

bool TokenChars(const std::string& t) {
    if (t.empty()) return false;
    for (char c : t)
        if (c <= ' ' || c == '*' || c == '>' || c == '.' || static_cast<unsigned char>(c) >= 0x7F)
            return false;
    return true;
}

} // namespace

bool IsValidMachineName(const std::string& name) {
    if (name.empty() || name.size() > 63) return false;
    for (char c : name)
        if (!MachineChar(c)) return false;
    return true;
}

std::string MachineFromComputerName(const std::string& computer_name) {
    std::string out;
    for (char c : computer_name)
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return IsValidMachineName(out) ? out : std::string();
}

std::string RequestSubject(const std::string& machine, const std::string& node, uint32_t code,
                           const std::string& operation) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(code));
    std::string s = std::string(kSubjectRoot) + "." + machine + "." + node + "." + hex;
    if (!operation.empty()) s += "." + operation;
    return s;
}

std::string NodeWildcard(const std::string& machine, const std::string& node) {
    return std::string(kSubjectRoot) + "." + machine + "." + node + ".>";
}

bool ParseSubject(const std::string& subject, Subject& out) {
    const std::vector<std::string> t = Tokens(subject);
    if (t.size() != 4 && t.size() != 5) return false;
    if (t[0] != kSubjectRoot || !IsValidMachineName(t[1]) || !TokenChars(t[2])) return false;
    if (t[3].size() != 8) return false;
    uint32_t code = 0;
    for (char c : t[3]) {
        int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (v < 0) return false;
        code = code << 4 | static_cast<uint32_t>(v);
    }
    if (t.size() == 5 && !TokenChars(t[4])) return false;
    out.machine = t[1];
    out.node = t[2];
    out.code = code;
    out.operation = t.size() == 5 ? t[4] : std::string();
    return true;
}

std::string InboxPrefix(const std::string& user) {
    if (user.empty()) return "_INBOX";
    std::string prefix = "_INBOX.";
    for (char c : user)
        prefix += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '_' || c == '-'
                      ? c
                      : '_';
    return prefix;
}

std::string NewInbox(const std::string& prefix) {
    static const char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::random_device device;
    std::string inbox = prefix + ".";
    for (int i = 0; i < 22; ++i)
        inbox += kAlphabet[device() % (sizeof kAlphabet - 1)];
    return inbox;
}

bool IsConsoleInbox(const std::string& reply) {
    static const std::string kRoot = "_INBOX.";
    if (reply.size() <= kRoot.size() || reply.size() > 1024 ||
        reply.compare(0, kRoot.size(), kRoot) != 0)
        return false;
    for (const std::string& t : Tokens(reply))
        if (!TokenChars(t)) return false;
    return true;
}

std::string MachineOfSubject(const std::string& subject, const char* kind) {
    const std::vector<std::string> t = Tokens(subject);
    if (t.size() != 3 || t[0] != kSubjectRoot || t[2] != kind || !IsValidMachineName(t[1]))
        return std::string();
    return t[1];
}

} // namespace pm::remote
