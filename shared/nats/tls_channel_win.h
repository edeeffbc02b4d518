// TLS over an already connected socket through Schannel (SSPI), after the server's plain INFO
// line. The server's certificate is checked here, not by Schannel: the certificates the server
// sent must lead, signature by signature, to the very CA of the configuration (its key verifies
// the last link), every one within its dates and every issuer a CA (shared/nats/cert_path.h);
// and the server's certificate must name the host.
#pragma once

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>

#include <string>

namespace pm::nats {

// Writes every byte to a socket that may be non-blocking, waiting at most 10 s for room each
// time; false when the connection fails or stays full.
bool SendAll(SOCKET s, const char* data, size_t size);

class TlsChannel {
public:
    TlsChannel() = default;
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;
    ~TlsChannel();

    // Handshake on a blocking socket (with `client_cert` when the server asks for one), then
    // the certificate checks. False with one line in `error` ("the server's certificate has
    // expired", ...).
    bool Start(SOCKET socket, const std::string& host, const std::string& ca_file,
               const CERT_CONTEXT* client_cert, std::string& error);
    // Encrypts and sends everything; false when the socket fails.
    bool Send(const std::string& plain);
    // Decrypts what `encrypted` holds (bytes read from the socket, appended by the caller) into
    // `plain`, leaving an incomplete record in `encrypted`. False when the server closed TLS
    // or the data is not TLS.
    bool Decrypt(std::string& encrypted, std::string& plain);

private:
    bool CheckCertificate(const std::string& host, const std::string& ca_file, std::string& error);

    SOCKET socket_ = INVALID_SOCKET;
    CredHandle cred_{};
    CtxtHandle ctx_{};
    bool have_cred_ = false;
    bool have_ctx_ = false;
    SecPkgContext_StreamSizes sizes_{};

public:
    std::string leftover;     // encrypted bytes read past the handshake
    bool link_failed = false; // Start failed as the socket closed or timed out, not on TLS
};

} // namespace pm::nats
