// Schannel over a client socket, and the check of the server's certificate.
#include "shared/nats/tls_channel_win.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "shared/nats/cert_path.h"
#include "shared/nats/host_names.h"

namespace pm::nats {
namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

struct CertFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

UniqueCert LoadPem(const std::string& path, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read the CA file " + path;
        return nullptr;
    }
    std::string pem;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && pem.size() < (1u << 20))
        pem.append(buf, n);
    std::fclose(f);
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        error = "the CA file " + path + " holds no PEM certificate";
        return nullptr;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        error = "the CA file " + path + " holds no PEM certificate";
        return nullptr;
    }
    UniqueCert cert(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), size));
    if (!cert) error = "the CA file " + path + " holds no certificate Windows can read";
    return cert;
}

std::string Narrow(const wchar_t* w) {
    std::string out;
    for (; w != nullptr && *w; ++w)
        out += (*w < 0x80) ? static_cast<char>(*w) : '?';
    return out;
}

void CertificateNames(const CERT_CONTEXT* cert, std::vector<std::string>& dns,
                      std::vector<std::string>& ips) {
    const CERT_EXTENSION* ext = CertFindExtension(
        szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    if (ext != nullptr) {
        CERT_ALT_NAME_INFO* info = nullptr;
        DWORD size = 0;
        if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                                ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info,
                                &size)) {
            for (DWORD i = 0; i < info->cAltEntry; ++i) {
                const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
                if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                    dns.push_back(Narrow(e.pwszDNSName));
                } else if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                           e.IPAddress.cbData == 4) {
                    const BYTE* b = e.IPAddress.pbData;
                    ips.push_back(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                                  std::to_string(b[2]) + "." + std::to_string(b[3]));
                } else if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                           e.IPAddress.cbData == 16) {
                    static const BYTE kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
                    if (std::memcmp(e.IPAddress.pbData, kLoop6, 16) == 0) ips.push_back("::1");
                }
            }
            LocalFree(info);
        }
        return;
    }
    char cn[256] = {};
    if (CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn,
                           sizeof cn) > 1)
        dns.push_back(cn);
}

int64_t UnixSeconds(const FILETIME& t) {
    const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600; // 100 ns since 1601
}

std::string Bytes(const CRYPT_DATA_BLOB& b) {
    return std::string(reinterpret_cast<const char*>(b.pbData), b.cbData);
}

// The decoded value of one extension (LocalFree'd), or null when absent or undecodable.
template <typename T>
std::unique_ptr<T, decltype(&LocalFree)> Decode(const CERT_INFO* info, const char* oid,
                                                const char* type, bool& present) {
    const CERT_EXTENSION* ext = CertFindExtension(oid, info->cExtension, info->rgExtension);
    present = ext != nullptr;
    T* value = nullptr;
    DWORD size = 0;
    if (ext == nullptr ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, type, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &value, &size))
        value = nullptr;
    return {value, &LocalFree};
}

// What the path check needs of one certificate. An extension that cannot be decoded counts as
// present and granting nothing.
CertFacts ReadFacts(const CERT_CONTEXT* cert) {
    const CERT_INFO* info = cert->pCertInfo;
    CertFacts f;
    f.der.assign(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
    f.subject = Bytes(info->Subject);
    f.issuer = Bytes(info->Issuer);
    char name[512] = {};
    CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&info->Subject),
                   CERT_X500_NAME_STR, name, sizeof name);
    f.name = name;
    f.version1 = info->dwVersion == CERT_V1;
    f.not_before = UnixSeconds(info->NotBefore);
    f.not_after = UnixSeconds(info->NotAfter);
    for (DWORD i = 0; i < info->cExtension; ++i)
        if (info->rgExtension[i].fCritical)
            f.critical_extensions.push_back(info->rgExtension[i].pszObjId);

    auto bc = Decode<CERT_BASIC_CONSTRAINTS2_INFO>(
        info, szOID_BASIC_CONSTRAINTS2, X509_BASIC_CONSTRAINTS2, f.has_basic_constraints);
    if (bc) {
        f.ca = bc->fCA != FALSE;
        if (bc->fPathLenConstraint)
            f.path_len = static_cast<int>(std::min<DWORD>(bc->dwPathLenConstraint, 255));
    }
    auto ku = Decode<CRYPT_BIT_BLOB>(info, szOID_KEY_USAGE, X509_KEY_USAGE, f.has_key_usage);
    f.key_cert_sign = ku && ku->cbData > 0 && (ku->pbData[0] & CERT_KEY_CERT_SIGN_KEY_USAGE);
    auto eku = Decode<CERT_ENHKEY_USAGE>(info, szOID_ENHANCED_KEY_USAGE, X509_ENHANCED_KEY_USAGE,
                                         f.has_ext_key_usage);
    for (DWORD i = 0; eku && i < eku->cUsageIdentifier; ++i) {
        const std::string oid = eku->rgpszUsageIdentifier[i];
        if (oid == szOID_PKIX_KP_SERVER_AUTH || oid == "2.5.29.37.0") f.server_auth = true;
    }
    return f;
}

} // namespace

bool SendAll(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        const int n = send(s, data, static_cast<int>(size > 65536 ? 65536 : size), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                fd_set w;
                FD_ZERO(&w);
                FD_SET(s, &w);
                timeval tv{10, 0};
                if (select(0, nullptr, &w, nullptr, &tv) <= 0) return false;
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

TlsChannel::~TlsChannel() {
    if (have_ctx_) DeleteSecurityContext(&ctx_);
    if (have_cred_) FreeCredentialsHandle(&cred_);
}

bool TlsChannel::Start(SOCKET socket, const std::string& host, const std::string& ca_file,
                       const CERT_CONTEXT* client_cert, std::string& error) {
    socket_ = socket;
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    PCCERT_CONTEXT client[1] = {client_cert};
    if (client_cert != nullptr) {
        cred.cCreds = 1;
        cred.paCred = client;
    }
    TimeStamp expiry;
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &cred_, &expiry) != SEC_E_OK) {
        error = "TLS: Schannel refused the client credentials";
        return false;
    }
    have_cred_ = true;

    std::string in;
    bool first = true;
    for (int round = 0; round < 64; ++round) {
        SecBuffer in_bufs[2] = {
            {static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, in.empty() ? nullptr : &in[0]},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_bufs};
        SecBuffer out_buf{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buf};
        unsigned long attrs = 0;
        const SECURITY_STATUS st = InitializeSecurityContextA(
            &cred_, first ? nullptr : &ctx_, const_cast<char*>(host.c_str()), kContextFlags, 0, 0,
            first ? nullptr : &in_desc, 0, first ? &ctx_ : nullptr, &out_desc, &attrs, &expiry);
        if (first && (st == SEC_I_CONTINUE_NEEDED || st == SEC_E_OK)) have_ctx_ = true;
        first = false;
        if (out_buf.cbBuffer > 0 && out_buf.pvBuffer != nullptr) {
            const bool sent =
                SendAll(socket_, static_cast<const char*>(out_buf.pvBuffer), out_buf.cbBuffer);
            FreeContextBuffer(out_buf.pvBuffer);
            if (!sent) {
                link_failed = true;
                error = "TLS: the connection broke during the handshake";
                return false;
            }
        }
        if (st == SEC_E_INCOMPLETE_MESSAGE || st == SEC_I_CONTINUE_NEEDED || st == SEC_E_OK) {
            if (st != SEC_E_INCOMPLETE_MESSAGE) {
                // What the server sent beyond this step stays for the next one.
                std::string extra;
                if (in_bufs[1].BufferType == SECBUFFER_EXTRA && in_bufs[1].cbBuffer > 0)
                    extra = in.substr(in.size() - in_bufs[1].cbBuffer);
                in.swap(extra);
            }
            if (st == SEC_E_OK) {
                leftover = in;
                break;
            }
            if (st == SEC_I_CONTINUE_NEEDED && !in.empty()) continue;
            char buf[16384];
            const int n = recv(socket_, buf, sizeof buf, 0);
            if (n <= 0) {
                link_failed = true;
                error = n == 0 ? "TLS: the server closed the connection during the handshake"
                               : "TLS: no answer from the server during the handshake";
                return false;
            }
            in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (st == SEC_I_INCOMPLETE_CREDENTIALS) {
            error = "TLS: the server asks for a client certificate (cert_file and key_file)";
            return false;
        }
        error = "TLS: the handshake failed (Schannel 0x" + [&] {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(st));
            return std::string(hex);
        }() + ")";
        return false;
    }
    if (QueryContextAttributesA(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
        error = "TLS: the handshake did not complete";
        return false;
    }
    return CheckCertificate(host, ca_file, error);
}

bool TlsChannel::CheckCertificate(const std::string& host, const std::string& ca_file,
                                  std::string& error) {
    UniqueCert ca = LoadPem(ca_file, error);
    if (!ca) return false;
    const CERT_CONTEXT* raw = nullptr;
    if (QueryContextAttributesA(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw) != SEC_E_OK ||
        raw == nullptr) {
        error = "TLS: the server presented no certificate";
        return false;
    }
    UniqueCert server(raw);

    // Only what the server sent and the configured CA: no chain engine, so no system store, no
    // cache and no URL from a certificate is ever looked at.
    std::vector<UniqueCert> certs;
    certs.emplace_back(CertDuplicateCertificateContext(server.get()));
    std::vector<CertFacts> sent{ReadFacts(server.get())};
    const CERT_CONTEXT* c = nullptr;
    while (server->hCertStore != nullptr && sent.size() < kMaxSent &&
           (c = CertEnumCertificatesInStore(server->hCertStore, c)) != nullptr) {
        CertFacts f = ReadFacts(c);
        if (f.der == sent[0].der) continue;
        certs.emplace_back(CertDuplicateCertificateContext(c));
        sent.push_back(std::move(f));
    }
    if (c != nullptr) CertFreeCertificateContext(c);
    const CertFacts ca_facts = ReadFacts(ca.get());
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const PathVerdict verdict =
        CheckServerPath(sent, ca_facts, UnixSeconds(now), [&](size_t subject, size_t issuer) {
            const CERT_CONTEXT* by = issuer == kCaIndex ? ca.get() : certs[issuer].get();
            return CryptVerifyCertificateSignatureEx(
                       0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                       const_cast<CERT_CONTEXT*>(certs[subject].get()),
                       CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT*>(by), 0,
                       nullptr) != FALSE;
        });
    if (verdict.error != PathError::kNone) {
        error = "TLS: " + DescribePathError(verdict, sent, ca_file);
        return false;
    }
    std::vector<std::string> dns, ips;
    CertificateNames(server.get(), dns, ips);
    if (!HostMatchesCertificate(host, dns, ips)) {
        std::string names;
        for (const std::string& n : dns)
            names += (names.empty() ? "" : ", ") + n;
        for (const std::string& n : ips)
            names += (names.empty() ? "" : ", ") + n;
        error = "TLS: the server's certificate is for another host (" + names + "), not " + host;
        return false;
    }
    return true;
}

bool TlsChannel::Send(const std::string& plain) {
    const size_t chunk = sizes_.cbMaximumMessage;
    std::vector<char> buf(sizes_.cbHeader + chunk + sizes_.cbTrailer);
    for (size_t at = 0; at < plain.size(); at += chunk) {
        const size_t n = std::min(chunk, plain.size() - at);
        std::memcpy(buf.data() + sizes_.cbHeader, plain.data() + at, n);
        SecBuffer b[4] = {
            {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, buf.data()},
            {static_cast<unsigned long>(n), SECBUFFER_DATA, buf.data() + sizes_.cbHeader},
            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, buf.data() + sizes_.cbHeader + n},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        if (EncryptMessage(&ctx_, 0, &desc, 0) != SEC_E_OK) return false;
        if (!SendAll(socket_, buf.data(), b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer))
            return false;
    }
    return true;
}

bool TlsChannel::Decrypt(std::string& encrypted, std::string& plain) {
    while (!encrypted.empty()) {
        SecBuffer b[4] = {
            {static_cast<unsigned long>(encrypted.size()), SECBUFFER_DATA, &encrypted[0]},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        const SECURITY_STATUS st = DecryptMessage(&ctx_, &desc, 0, nullptr);
        if (st == SEC_E_INCOMPLETE_MESSAGE) return true;
        if (st != SEC_E_OK) return false; // closed (SEC_I_CONTEXT_EXPIRED) or broken
        std::string extra;
        for (SecBuffer& x : b) {
            if (x.BufferType == SECBUFFER_DATA && x.cbBuffer > 0)
                plain.append(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
            if (x.BufferType == SECBUFFER_EXTRA && x.cbBuffer > 0)
                extra = encrypted.substr(encrypted.size() - x.cbBuffer);
        }
        encrypted.swap(extra);
    }
    return true;
}

} // namespace pm::nats
