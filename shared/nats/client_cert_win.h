// A TLS client certificate from two PEM files (the certificate; its RSA key, PKCS#8 "PRIVATE
// KEY" or PKCS#1 "RSA PRIVATE KEY"), made usable by Schannel: the key lives in an ephemeral key
// container tied to the certificate context, and goes with it.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <string>

namespace pm::nats {

class ClientCertificate {
public:
    ClientCertificate() = default;
    ClientCertificate(const ClientCertificate&) = delete;
    ClientCertificate& operator=(const ClientCertificate&) = delete;
    ~ClientCertificate();

    // False with one line in `error` ("cannot read FILE", "FILE holds no RSA private key", ...).
    bool Load(const std::string& cert_file, const std::string& key_file, std::string& error);
    [[nodiscard]] const CERT_CONTEXT* Context() const { return cert_; }

private:
    const CERT_CONTEXT* cert_ = nullptr;
};

} // namespace pm::nats
