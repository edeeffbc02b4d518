// The path from a server's certificate to the configured CA, and its rules. Portable: no OS
// code here.
#include "shared/nats/cert_path.h"

#include <algorithm>

namespace pm::nats {
namespace {

// Extensions whose meaning is applied here or by the host name check.
bool KnownCritical(const std::string& oid) {
    static const char* const kKnown[] = {
        "2.5.29.19", // basic constraints
        "2.5.29.15", // key usage
        "2.5.29.37", // extended key usage
        "2.5.29.17", // subject alternative name
        "2.5.29.14", // subject key identifier
        "2.5.29.35", // authority key identifier
    };
    return std::any_of(std::begin(kKnown), std::end(kKnown),
                       [&](const char* k) { return oid == k; });
}

PathVerdict Fail(PathError error, size_t at) {
    PathVerdict v;
    v.error = error;
    v.at = at;
    return v;
}

// The rules for the certificate at `position` of the path (0 = the server's own).
PathError Rules(const CertFacts& c, size_t position, bool is_ca_file, int64_t now) {
    for (const std::string& oid : c.critical_extensions)
        if (!KnownCritical(oid)) return PathError::kCriticalExtension;
    if (now < c.not_before) return PathError::kNotYetValid;
    if (now > c.not_after) return PathError::kExpired;
    if (position == 0) {
        if (c.has_ext_key_usage && !c.server_auth) return PathError::kNotForServers;
        return PathError::kNone;
    }
    // An issuer. Only the configured CA may be a version 1 certificate (no extensions at all).
    if (!(c.has_basic_constraints && c.ca) && !(is_ca_file && c.version1))
        return PathError::kNotACa;
    if (c.has_basic_constraints && c.path_len >= 0 &&
        position - 1 > static_cast<size_t>(c.path_len))
        return PathError::kPathLength;
    if (c.has_key_usage && !c.key_cert_sign) return PathError::kNoCertSign;
    return PathError::kNone;
}

} // namespace

PathVerdict CheckServerPath(const std::vector<CertFacts>& sent, const CertFacts& ca, int64_t now,
                            const SignatureCheck& signed_by) {
    if (sent.empty()) return Fail(PathError::kUnknownIssuer, 0);
    const size_t n = std::min(sent.size(), kMaxSent);
    auto facts = [&](size_t i) -> const CertFacts& { return i == kCaIndex ? ca : sent[i]; };

    std::vector<size_t> path;
    if (sent[0].der == ca.der) {
        path.push_back(kCaIndex); // the configured certificate itself
    } else {
        std::vector<bool> used(n, false);
        used[0] = true;
        path.push_back(0);
        for (size_t cur = 0;;) {
            const std::string& issuer = sent[cur].issuer;
            if (issuer == ca.subject && signed_by(cur, kCaIndex)) {
                path.push_back(kCaIndex);
                break;
            }
            size_t next = kCaIndex;
            for (size_t i = 1; i < n && next == kCaIndex; ++i)
                if (!used[i] && sent[i].subject == issuer && signed_by(cur, i)) next = i;
            if (next == kCaIndex) return Fail(PathError::kUnknownIssuer, cur);
            if (path.size() > kMaxIntermediates) return Fail(PathError::kTooLong, 0);
            used[next] = true;
            path.push_back(next);
            cur = next;
        }
    }

    for (size_t p = 0; p < path.size(); ++p) {
        const PathError e = Rules(facts(path[p]), p, path[p] == kCaIndex, now);
        if (e != PathError::kNone) return Fail(e, path[p]);
    }
    PathVerdict ok;
    ok.path = std::move(path);
    return ok;
}

std::string DescribePathError(const PathVerdict& verdict, const std::vector<CertFacts>& sent,
                              const std::string& ca_file) {
    const size_t at = verdict.at;
    std::string who;
    if (at == kCaIndex)
        who = "the CA in " + ca_file;
    else if (at == 0)
        who = "the server's certificate";
    else
        who = "the certificate \"" + (at < sent.size() ? sent[at].name : std::string()) +
              "\" of the server's chain";
    switch (verdict.error) {
    case PathError::kNone:
        return "";
    case PathError::kUnknownIssuer:
        if (at == 0)
            return "the server's certificate was not issued by the CA in " + ca_file +
                   " (unknown issuer)";
        return "the server's chain ends in \"" +
               (at < sent.size() ? sent[at].name : std::string()) + "\", which the CA in " +
               ca_file + " did not sign (unknown issuer)";
    case PathError::kTooLong:
        return "the server's chain has more than " + std::to_string(kMaxIntermediates) +
               " intermediate certificates";
    case PathError::kNotYetValid:
        return who + " is not valid yet";
    case PathError::kExpired:
        return who + " has expired";
    case PathError::kNotACa:
        return who + " signed another certificate but is no CA (basic constraints)";
    case PathError::kPathLength:
        return who + " has more CAs below it than its path length allows";
    case PathError::kNoCertSign:
        return who + " may not sign certificates (key usage)";
    case PathError::kNotForServers:
        return "the server's certificate is not for servers (extended key usage)";
    case PathError::kCriticalExtension:
        return who + " has a critical extension this client does not know";
    }
    return "";
}

} // namespace pm::nats
