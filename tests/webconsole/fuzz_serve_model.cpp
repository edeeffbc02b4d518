// Arbitrary bytes as what the web console reads from outside: the first byte chooses
// a request's headers for the request checks, or reply items (split at a length prefix) for
// the live tables and the same bytes as an alert of the fleet's stream. Nothing may crash or
// read outside an item, and what goes to the page must hold no raw control character (JSON
// escapes them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "outside/pmconsole/web/serve_guard.h"
#include "outside/pmconsole/web/serve_model.h"

namespace {

std::string Identity(const std::string& s) {
    return s;
}

void MustBeClean(const std::string& json) {
    for (unsigned char c : json)
        if (c < 0x20) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        // Headers: Host, Origin and token separated by NUL.
        pm::console::GuardInput in;
        const size_t a = rest.find('\0'), b = a == std::string::npos ? a : rest.find('\0', a + 1);
        in.method = data[0] & 2 ? "POST" : "GET";
        in.path = data[0] & 4 ? "/api/kill" : "/";
        in.host_header = rest.substr(0, a);
        in.has_origin = a != std::string::npos;
        in.origin_header = in.has_origin ? rest.substr(a + 1, b - a - 1) : "";
        in.token = b == std::string::npos ? "" : rest.substr(b + 1);
        const pm::console::RequestGuard guard("127.0.0.1", 8080,
                                              "0123456789abcdef0123456789abcdef");
        const pm::console::GuardVerdict v = guard.Check(in);
        if (v.allowed && in.path == "/api/kill" && in.token != "0123456789abcdef0123456789abcdef")
            std::abort();
        return 0;
    }
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos < rest.size() && items.size() < 64) {
        size_t n = static_cast<uint8_t>(rest[pos++]);
        if (n > rest.size() - pos) n = rest.size() - pos;
        items.push_back(rest.substr(pos, n));
        pos += n;
    }
    const pm::console::SendFunction send = [&items](const pm::console::Request&) {
        return pm::console::Reply(pm::console::Reply::Outcome::kReply, 0, items);
    };
    pm::console::TableWatch watch(&Identity);
    std::string event, word, message;
    for (int round = 0; round < 2; ++round) {
        watch.Poll(send, 1000, &event, &word, &message);
        MustBeClean(event);
    }
    MustBeClean(watch.Snapshot());
    // The same bytes as a payload of the alert stream.
    pm::console::AlertFeed feed(4);
    std::string machine, json;
    if (feed.Add("procmgr.m.alerts", rest, &machine, &json))
        MustBeClean(json + feed.Recent(machine, 4));
    return 0;
}
