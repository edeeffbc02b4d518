// The fields of a server's INFO line that the client uses. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pm::nats {

struct ServerInfo {
    std::string server_id;
    std::string server_name;
    int64_t max_payload = 1048576;
    bool tls_required = false;
    bool tls_available = false;
    bool auth_required = false;
    bool headers = false;
    std::vector<std::string> connect_urls; // "host:port" as the cluster announces them
};

// Reads the JSON object of an INFO line; unknown fields, nested values included, are skipped.
// False (and `out` untouched) when the text is not one JSON object.
bool ParseServerInfo(const std::string& json, ServerInfo& out);

} // namespace pm::nats
