// Whether a server's certificate names the host a client connected to. Portable: the Win32
// edge reads the names out of the certificate and asks here.
#pragma once

#include <string>
#include <vector>

namespace pm::nats {

// True when `host` is one of the certificate's names: DNS names (a leading "*." matches one
// whole left-most label) compared without case, IP addresses (as text) exactly. An IP literal
// host matches only IP entries.
bool HostMatchesCertificate(const std::string& host, const std::vector<std::string>& dns_names,
                            const std::vector<std::string>& ip_addresses);

} // namespace pm::nats
