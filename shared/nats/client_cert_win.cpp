// PEM files into a certificate context whose key lives in an ephemeral key container.
#include "shared/base/small_file.h"
#include "shared/nats/client_cert_win.h"

#include <cstdio>
#include <vector>

#include "shared/nats/private_key.h"

namespace pm::nats {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The DER bytes of the first PEM block labelled `label` ("CERTIFICATE", "PRIVATE KEY").
bool PemBlock(const std::string& pem, const std::string& label, std::vector<BYTE>& der) {
    const std::string begin = "-----BEGIN " + label + "-----";
    const std::string end = "-----END " + label + "-----";
    const size_t b = pem.find(begin);
    const size_t e = pem.find(end, b == std::string::npos ? 0 : b);
    if (b == std::string::npos || e == std::string::npos) return false;
    const std::string block = pem.substr(b, e + end.size() - b);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return false;
    der.resize(size);
    return CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                nullptr) != FALSE;
}

// CryptDecodeObjectEx into a LocalAlloc'd buffer, as a vector.
bool Decode(LPCSTR type, const std::vector<BYTE>& der, std::vector<BYTE>& out) {
    BYTE* decoded = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size))
        return false;
    out.assign(decoded, decoded + size);
    LocalFree(decoded);
    return true;
}

} // namespace

ClientCertificate::~ClientCertificate() {
    if (cert_ != nullptr) CertFreeCertificateContext(cert_); // releases the key's provider
}

bool ClientCertificate::Load(const std::string& cert_file, const std::string& key_file,
                             std::string& error) {
    std::string pem;
    std::vector<BYTE> der;
    if (!ReadSmallFile(cert_file, pem)) {
        error = "cannot read the certificate file " + cert_file;
        return false;
    }
    if (!PemBlock(pem, "CERTIFICATE", der) ||
        // X.509 alone: Wine's Schannel takes no other encoding type for a client certificate.
        (cert_ = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()))) == nullptr) {
        error = cert_file + " holds no PEM certificate Windows can read";
        return false;
    }
    if (!ReadSmallFile(key_file, pem)) {
        error = "cannot read the key file " + key_file;
        return false;
    }
    // PKCS#8 wraps the PKCS#1 key that CryptoAPI imports.
    std::vector<BYTE> rsa_der;
    if (PemBlock(pem, "PRIVATE KEY", der)) {
        std::string pkcs1;
        if (!RsaKeyFromPkcs8(der.data(), der.size(), pkcs1)) {
            error = key_file + " holds no RSA private key (only RSA keys are supported)";
            return false;
        }
        rsa_der.assign(pkcs1.begin(), pkcs1.end());
    } else if (!PemBlock(pem, "RSA PRIVATE KEY", rsa_der)) {
        error = key_file + " holds no PEM private key (PRIVATE KEY or RSA PRIVATE KEY)";
        return false;
    }
    std::vector<BYTE> blob;
    if (!Decode(PKCS_RSA_PRIVATE_KEY, rsa_der, blob)) {
        error = key_file + " holds no RSA private key Windows can read";
        return false;
    }
    // An ephemeral container: nothing of the key stays on the machine, even when the gate is
    // killed. The certificate context takes the provider over through its key context.
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        error = "cannot make a key container for the client key";
        return false;
    }
    HCRYPTKEY key = 0;
    // Exportable: Schannel may hand the key to the TLS library it runs on.
    if (!CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE,
                        &key)) {
        CryptReleaseContext(prov, 0);
        error = key_file + ": the key could not be imported";
        return false;
    }
    CryptDestroyKey(key);
    CERT_KEY_CONTEXT context{};
    context.cbSize = sizeof context;
    context.hCryptProv = prov;
    context.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(cert_, CERT_KEY_CONTEXT_PROP_ID, 0, &context)) {
        CryptReleaseContext(prov, 0);
        error = "the client key could not be tied to its certificate";
        return false;
    }
    return true;
}

} // namespace pm::nats
