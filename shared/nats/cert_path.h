// Whether the certificates a server sent lead to the one CA of the configuration. Portable: the
// Win32 edge reads each certificate into plain values and answers, for two of them, whether
// one's key verifies the other's signature; which path is taken and every rule along it are
// decided here. Nothing outside what the server sent and the configured CA is ever consulted:
// no system store, no cache, no URL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pm::nats {

// One certificate as the edge read it.
struct CertFacts {
    std::string der;     // the whole encoding
    std::string subject; // the encoded subject name
    std::string issuer;  // the encoded issuer name
    std::string name;    // the subject for people ("CN=fleet CA, O=...")
    bool version1 = false;
    int64_t not_before = 0; // seconds since 1970, UTC
    int64_t not_after = 0;
    bool has_basic_constraints = false;
    bool ca = false;   // basic constraints: cA
    int path_len = -1; // basic constraints: pathLenConstraint, -1 when absent
    bool has_key_usage = false;
    bool key_cert_sign = false;                   // key usage: keyCertSign
    bool has_ext_key_usage = false;               // extended key usage present...
    bool server_auth = false;                     // ...and naming serverAuth or anyExtendedKeyUsage
    std::vector<std::string> critical_extensions; // dotted OIDs of the critical extensions
};

enum class PathError {
    kNone,
    kUnknownIssuer,     // no path from the server's certificate to the configured CA
    kTooLong,           // more intermediates than kMaxIntermediates
    kNotYetValid,       // a certificate before its notBefore
    kExpired,           // a certificate after its notAfter
    kNotACa,            // an issuer without basic constraints cA (a v1 CA itself excepted)
    kPathLength,        // an issuer's pathLenConstraint exceeded
    kNoCertSign,        // an issuer whose key usage lacks keyCertSign
    kNotForServers,     // the server's certificate's extended key usage lacks serverAuth
    kCriticalExtension, // a critical extension this check does not know
};

struct PathVerdict {
    PathError error = PathError::kNone;
    // The certificate the error is about: an index into `sent` (0 = the server's own), or
    // kCaIndex for the configured CA.
    size_t at = 0;
    // On success, the path: indices into `sent` from the server's certificate up, the CA last.
    std::vector<size_t> path;
};

constexpr size_t kCaIndex = static_cast<size_t>(-1);
constexpr size_t kMaxIntermediates = 6;
constexpr size_t kMaxSent = 16; // certificates of the server's chain looked at

// Whether `issuer`'s key verifies `subject`'s signature (indices into `sent`, or kCaIndex).
using SignatureCheck = std::function<bool(size_t subject, size_t issuer)>;

// Walks from sent[0] (the server's certificate) to `ca`: at each step the configured CA when its
// name is the issuer's and its key verifies the signature, otherwise the first certificate the
// server sent with that name whose key verifies it. A server certificate equal to the CA (the
// same encoding) is taken as it is. Then every rule: each certificate's dates (the CA's too),
// each issuer a CA allowed to sign certificates within its path length, the server's
// certificate for servers, no unknown critical extension. `now` in seconds since 1970, UTC.
PathVerdict CheckServerPath(const std::vector<CertFacts>& sent, const CertFacts& ca, int64_t now,
                            const SignatureCheck& signed_by);

// One line for the verdict, in the words of the other certificate checks ("the server's
// certificate has expired", ...), without the "TLS: " lead.
std::string DescribePathError(const PathVerdict& verdict, const std::vector<CertFacts>& sent,
                              const std::string& ca_file);

} // namespace pm::nats
