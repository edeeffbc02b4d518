// Portable: the password key, the vector and the two directions of CBC.
#include "shared/crypto/password_cipher.h"

#include <cstring>

#include "shared/crypto/des_cipher.h"

namespace pm::exec {

void WipeBytes(void* data, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

void WipeString(std::string& text) {
    if (!text.empty()) WipeBytes(&text[0], text.size());
    text.clear();
}

void PasswordVector(uint8_t iv[8]) {
    const uint8_t bytes[8] = {0x71, 0x75, 0x6F, 0x72, 0x6C, 0x65, 0x6E, 0x74};
    std::memcpy(iv, bytes, 8);
}

bool PasswordKey(uint8_t key[8]) {
    return StringToKey(kPasswordPhrase, sizeof kPasswordPhrase - 1, key);
}

bool DecryptPassword(const uint8_t* cipher, size_t size, std::string* plain) {
    if (size % 8 != 0) return false;
    uint8_t key[8], iv[8];
    DesKeySchedule schedule;
    bool ok = PasswordKey(key) && BuildDesKeySchedule(key, &schedule);
    WipeBytes(key, sizeof key);
    if (!ok) return false;
    PasswordVector(iv);
    // One zero byte more than the ciphertext, so that the text always ends.
    std::vector<uint8_t> out(size + 1, 0);
    if (size && !CbcDecrypt(schedule, iv, cipher, size, out.data())) return false;
    plain->assign(reinterpret_cast<const char*>(out.data()));
    WipeBytes(out.data(), out.size());
    return true;
}

bool EncryptPassword(const std::string& plain, std::vector<uint8_t>* cipher) {
    uint8_t key[8], iv[8];
    DesKeySchedule schedule;
    bool ok = PasswordKey(key) && BuildDesKeySchedule(key, &schedule);
    WipeBytes(key, sizeof key);
    if (!ok) return false;
    PasswordVector(iv);
    size_t size = (plain.size() / 8 + 1) * 8;
    if (plain.size() % 8 == 0 && !plain.empty()) size = plain.size();
    std::vector<uint8_t> padded(size, 0);
    std::memcpy(padded.data(), plain.data(), plain.size());
    cipher->assign(size, 0);
    ok = CbcEncrypt(schedule, iv, padded.data(), size, cipher->data());
    WipeBytes(padded.data(), padded.size());
    return ok;
}

} // namespace pm::exec
