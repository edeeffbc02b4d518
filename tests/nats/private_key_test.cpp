// The RSA key taken out of a PKCS#8 PrivateKeyInfo, and everything else refused.
#include <gtest/gtest.h>

#include "shared/nats/private_key.h"

namespace pm::nats {
namespace {

std::string Tlv(uint8_t tag, const std::string& body) {
    std::string out(1, static_cast<char>(tag));
    if (body.size() < 0x80) {
        out += static_cast<char>(body.size());
    } else {
        out += static_cast<char>(0x82);
        out += static_cast<char>(body.size() >> 8);
        out += static_cast<char>(body.size() & 0xFF);
    }
    return out + body;
}

const std::string kRsaOid = "\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01";

std::string Pkcs8(const std::string& version, const std::string& algorithm, const std::string& key,
                  const std::string& after = "") {
    return Tlv(0x30, Tlv(0x02, version) + Tlv(0x30, algorithm) + Tlv(0x04, key) + after);
}

TEST(PrivateKey, Pkcs8Unwrapped) {
    const std::string key = "\x30\x03\x02\x01\x00"; // stands for an RSAPrivateKey
    const std::string big(300, 'k');                // a long-form length
    const std::string rsa = Tlv(0x06, kRsaOid) + std::string("\x05\x00", 2);
    const std::string attributes = Tlv(0xA0, "attr");
    struct Row {
        std::string der;
        const char* want; // null: refused
    };
    const Row rows[] = {
        {Pkcs8(std::string(1, '\0'), rsa, key), "key"},
        {Pkcs8(std::string(1, '\0'), Tlv(0x06, kRsaOid), key), "key"}, // without NULL
        {Pkcs8(std::string(1, '\0'), rsa, key, attributes), "key"},
        {Pkcs8(std::string(1, '\0'), rsa, big), "big"},
        {Pkcs8("\x01", rsa, key), nullptr}, // version 1
        {Pkcs8(std::string(1, '\0'), Tlv(0x06, kRsaOid.substr(0, 8) + "\x0A"), key), nullptr},
        {Pkcs8(std::string(1, '\0'), rsa, ""), nullptr},                // empty key
        {Pkcs8(std::string(1, '\0'), rsa, key, "\x05\x00"), nullptr},   // trailing
        {Pkcs8(std::string(1, '\0'), rsa, key) + "x", nullptr},         // after it
        {Pkcs8(std::string(1, '\0'), rsa, key).substr(0, 20), nullptr}, // cut short
        {"\x30\x84\xFF\xFF\xFF\xFF", nullptr},                          // too long
        {"", nullptr},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        std::string out;
        const bool ok =
            RsaKeyFromPkcs8(reinterpret_cast<const uint8_t*>(r.der.data()), r.der.size(), out);
        EXPECT_EQ(ok, r.want != nullptr) << "row " << i;
        if (ok && r.want != nullptr) {
            EXPECT_EQ(out, std::string(r.want) == "key" ? key : big) << "row " << i;
        }
    }
}

} // namespace
} // namespace pm::nats
