// PKCS#8 unwrapped, DER read with every length checked against what is left. Portable.
#include "shared/nats/private_key.h"

namespace pm::nats {
namespace {

class Der {
public:
    Der(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}

    // The next element of tag `tag`: its contents in [*body, *body + *len).
    bool Take(uint8_t tag, const uint8_t** body, size_t* len) {
        if (end_ - p_ < 2 || *p_ != tag) return false;
        ++p_;
        size_t n = *p_++;
        if (n & 0x80) {
            const size_t bytes = n & 0x7F;
            if (bytes == 0 || bytes > 4 || static_cast<size_t>(end_ - p_) < bytes) return false;
            n = 0;
            for (size_t i = 0; i < bytes; ++i)
                n = (n << 8) | *p_++;
        }
        if (static_cast<size_t>(end_ - p_) < n) return false;
        *body = p_;
        *len = n;
        p_ += n;
        return true;
    }
    [[nodiscard]] bool AtEnd() const { return p_ == end_; }
    [[nodiscard]] bool Next(uint8_t tag) const { return p_ < end_ && *p_ == tag; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

const uint8_t kRsaOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

} // namespace

bool RsaKeyFromPkcs8(const uint8_t* der, size_t size, std::string& pkcs1) {
    const uint8_t* body = nullptr;
    size_t len = 0;
    Der outer(der, size);
    if (!outer.Take(0x30, &body, &len) || !outer.AtEnd()) return false;
    Der info(body, len);
    if (!info.Take(0x02, &body, &len) || len != 1 || body[0] != 0) return false; // version 0
    if (!info.Take(0x30, &body, &len)) return false;
    Der algorithm(body, len);
    if (!algorithm.Take(0x06, &body, &len) || len != sizeof kRsaOid) return false;
    for (size_t i = 0; i < len; ++i)
        if (body[i] != kRsaOid[i]) return false;
    if (algorithm.Next(0x05) && (!algorithm.Take(0x05, &body, &len) || len != 0)) return false;
    if (!algorithm.AtEnd()) return false;
    const uint8_t* key = nullptr;
    size_t key_len = 0;
    if (!info.Take(0x04, &key, &key_len) || key_len == 0) return false;
    if (info.Next(0xA0) && !info.Take(0xA0, &body, &len)) return false; // attributes, ignored
    if (!info.AtEnd()) return false;
    pkcs1.assign(reinterpret_cast<const char*>(key), key_len);
    return true;
}

} // namespace pm::nats
