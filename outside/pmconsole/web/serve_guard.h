// `pmconsole serve`: its options and the checks every HTTP request passes before it reaches
// the console. Another site open in the operator's browser must not be able to kill or
// execute, even on the loopback: requests that change something carry a token made at each
// start (or read from --token-file), and the Host and Origin headers must name this server
// (against DNS rebinding and cross-site requests). Portable: no sockets and no OS code here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace pm::console {

extern const char kServeHelp[];

struct ServeOptions {
    std::string host = "127.0.0.1"; // the listen address
    uint16_t port = 8080;
    std::string token_file;            // the token's file (needed off the loopback)
    std::string metrics_token_file;    // /metrics answers with this token only (else it is off)
    std::string cert_file, key_file;   // HTTPS with these (PEM; needed off the loopback)
    std::vector<std::string> names;    // more Host names the server answers to (--name)
    std::vector<std::string> machines; // the fleet shown; default the console's machine
    uint32_t interval_ms = 2000;       // the live tables' and alerts' polling interval
    uint32_t stats_interval_ms = 15000;
    bool help = false;
};

// Parses the arguments after "serve". False with one line in `error` (exit code 2): an
// unknown option, a malformed --listen, --cert without --key or the reverse, and an address
// off the loopback without --token-file or without --cert and --key (the token would cross the
// network in clear).
bool ParseServeArgs(const std::vector<std::string>& args, ServeOptions& options,
                    std::string& error);

// "host:port", or "[v6]:port"; false when the port is missing or not 1-65535.
bool ParseListen(const std::string& text, std::string& host, uint16_t& port);

// A token from a file: its first line, blanks around it dropped; false when shorter than 16
// characters (a short token could be guessed).
bool TokenFromFile(const std::string& text, std::string& token);

// Equal without a timing that tells how much of a guess was right.
bool SameToken(const std::string& a, const std::string& b);

struct GuardInput {
    std::string method;        // "GET", "POST", ...
    std::string path;          // "/api/kill"
    std::string host_header;   // "Host" as sent ("" when absent)
    std::string origin_header; // "Origin" ("" when absent)
    bool has_origin = false;   // "Origin: null" counts as present
    std::string token;         // the request's token (header, or query for the event stream)
    std::string bearer;        // "Authorization: Bearer X": X ("" when absent)
};

struct GuardVerdict {
    bool allowed = false;
    int http_status = 403;
    std::string reason; // one line for the page
};

class RequestGuard {
public:
    // `https`: the page's own origin is https://HOST:PORT (else http://). `metrics_token`:
    // the one token /metrics takes ("": /metrics is off).
    RequestGuard(std::string host, uint16_t port, std::string token,
                 const std::vector<std::string>& names = {}, bool https = false,
                 std::string metrics_token = std::string());
    // Static pages need a Host naming this server; every /api/ request also a matching Origin
    // (when the browser sends one) and the token; a request that changes something must be a
    // POST. /metrics needs a GET with the metrics token as its bearer token, and no other: the
    // scraper's token reaches no page API, the page's token no metrics.
    GuardVerdict Check(const GuardInput& in) const;
    // The Host values this server answers to: its address and port, on the loopback also
    // "localhost" and "127.0.0.1", and the names given, each with the port.
    const std::vector<std::string>& Hosts() const { return hosts_; }

private:
    std::vector<std::string> hosts_;
    std::string token_;
    std::string scheme_; // "http://" or "https://"
    std::string metrics_token_;
};

// The HTTP server's workers: every open event stream holds one for as long as its page is
// open, so at most kMaxEventStreams are admitted and the rest of the workers stay free for the
// plain requests (the page itself, the fleet, the changes). A stream beyond the cap is
// answered 503 with Retry-After.
constexpr int kServeWorkers = 16;
constexpr int kMaxEventStreams = 12;
constexpr int kEventStreamRetryS = 10;
constexpr int kServeKeepAliveS = 1;

// The count of open event streams. Thread-safe.
class StreamSlots {
public:
    explicit StreamSlots(int cap) : cap_(cap) {}
    // True when a stream may open (then Release() once it ends).
    [[nodiscard]] bool TryTake();
    void Release();
    int open() const { return open_.load(); }

private:
    const int cap_;
    std::atomic<int> open_{0};
};

// True for the paths that change something on a machine (kill, service control, execute,
// monitor add and delete).
bool ChangesSomething(const std::string& path);

} // namespace pm::console
