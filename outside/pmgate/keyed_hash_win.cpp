// HMAC-SHA-256 through CNG (bcrypt.dll): one provider, one hash object, both closed on every
// path.
#include "outside/pmgate/keyed_hash_win.h"

#include <windows.h>

#include <bcrypt.h>

#include <memory>

namespace pm::gate {
namespace {

struct ProviderClose {
    using pointer = BCRYPT_ALG_HANDLE;
    void operator()(BCRYPT_ALG_HANDLE h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashClose {
    using pointer = BCRYPT_HASH_HANDLE;
    void operator()(BCRYPT_HASH_HANDLE h) const { BCryptDestroyHash(h); }
};

bool Ok(NTSTATUS status) {
    return status >= 0;
}

} // namespace

std::string CngKeyedHash::HmacSha256Hex(const std::string& key, const std::string& data) const {
    BCRYPT_ALG_HANDLE raw_alg = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&raw_alg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                        BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return std::string();
    std::unique_ptr<void, ProviderClose> alg(raw_alg);
    BCRYPT_HASH_HANDLE raw_hash = nullptr;
    auto* key_bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(key.data()));
    if (!Ok(BCryptCreateHash(alg.get(), &raw_hash, nullptr, 0, key_bytes,
                             static_cast<ULONG>(key.size()), 0)))
        return std::string();
    std::unique_ptr<void, HashClose> hash(raw_hash);
    UCHAR digest[32] = {};
    if (!Ok(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                           static_cast<ULONG>(data.size()), 0)) ||
        !Ok(BCryptFinishHash(hash.get(), digest, sizeof digest, 0)))
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (UCHAR b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

} // namespace pm::gate
