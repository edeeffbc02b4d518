// The RSA key inside a PKCS#8 PrivateKeyInfo (the "PRIVATE KEY" PEM block openssl writes by
// default): the PKCS#1 RSAPrivateKey bytes that the system's key import takes. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pm::nats {

// False for anything but SEQUENCE { INTEGER 0, SEQUENCE { OID rsaEncryption [, NULL] },
// OCTET STRING key [, [0] attributes] } in definite-length DER.
bool RsaKeyFromPkcs8(const uint8_t* der, size_t size, std::string& pkcs1);

} // namespace pm::nats
