// The passwords of Execute Command on the wire: DES-CBC under the key derived from the fixed
// pass phrase, with the initialisation vector shared by the agent and the console. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pm::exec {

// The pass phrase both sides derive the password key from.
constexpr const char kPasswordPhrase[] = "TaskSetBrine";

// The initialisation vector: the eight bytes 'q','u','o','r','l','e','n','t' (71 75 6F 72 6C
// 65 6E 74), built from constants at run time.
void PasswordVector(uint8_t iv[8]);
// The password key (odd parity) from the pass phrase; false when it cannot be derived.
[[nodiscard]] bool PasswordKey(uint8_t key[8]);

// Decrypts a ciphertext into the text up to its first zero byte. False (nothing in *plain)
// when the size is not a multiple of 8 or the key cannot be built.
[[nodiscard]] bool DecryptPassword(const uint8_t* cipher, size_t size, std::string* plain);
// Encrypts a password: its bytes, zero-padded to the next multiple of 8 (at least one block).
[[nodiscard]] bool EncryptPassword(const std::string& plain, std::vector<uint8_t>* cipher);

// Overwrites a buffer that held a password; the compiler may not drop the stores.
void WipeBytes(void* data, size_t size);
void WipeString(std::string& text);

} // namespace pm::exec
