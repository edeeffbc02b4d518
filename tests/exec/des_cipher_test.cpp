// DES, CBC and the string-to-key against published vectors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/crypto/des_cipher.h"
#include "shared/crypto/password_cipher.h"

namespace pm::exec {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

DesKeySchedule Schedule(const std::string& key_hex) {
    DesKeySchedule ks;
    EXPECT_TRUE(BuildDesKeySchedule(Hex(key_hex).data(), &ks)) << key_hex;
    return ks;
}

TEST(DesCipher, KnownAnswerBlocks) {
    const struct {
        const char *key, *plain, *cipher;
    } vectors[] = {
        // FIPS 81 appendix B, first block of "Now is the time for all " in ECB mode.
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        // The worked example of the standard's algorithm, key 13 34 57 79 9B BC DF F1.
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        // NBS validation: a vector of the permutation-operation test.
        {"1046913489980131", "0000000000000000", "88d55e54f54c97b4"},
    };
    for (const auto& v : vectors) {
        DesKeySchedule ks = Schedule(v.key);
        uint8_t out[8], back[8];
        DesEncryptBlock(ks, Hex(v.plain).data(), out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 8), Hex(v.cipher)) << v.key;
        DesDecryptBlock(ks, out, back);
        EXPECT_EQ(std::vector<uint8_t>(back, back + 8), Hex(v.plain)) << v.key;
    }
}

TEST(DesCipher, CbcModeOfFips81) {
    // FIPS 81 appendix C: key 0123456789abcdef, IV 1234567890abcdef, "Now is the time for all ".
    DesKeySchedule ks = Schedule("0123456789abcdef");
    std::vector<uint8_t> iv = Hex("1234567890abcdef");
    std::string text = "Now is the time for all ";
    std::vector<uint8_t> cipher(text.size());
    ASSERT_TRUE(CbcEncrypt(ks, iv.data(), reinterpret_cast<const uint8_t*>(text.data()),
                           text.size(), cipher.data()));
    EXPECT_EQ(cipher, Hex("e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"));
    std::vector<uint8_t> plain(cipher.size());
    ASSERT_TRUE(CbcDecrypt(ks, iv.data(), cipher.data(), cipher.size(), plain.data()));
    EXPECT_EQ(std::string(plain.begin(), plain.end()), text);
    // In place.
    ASSERT_TRUE(CbcDecrypt(ks, iv.data(), cipher.data(), cipher.size(), cipher.data()));
    EXPECT_EQ(std::string(cipher.begin(), cipher.end()), text);
    // Not whole blocks: refused, nothing written.
    uint8_t out[16] = {};
    EXPECT_FALSE(CbcDecrypt(ks, iv.data(), plain.data(), 15, out));
    EXPECT_EQ(out[0], 0);
}

TEST(DesCipher, WeakAndSemiWeakKeysAreRefused) {
    // A weak key, the first and last semi-weak ones, and a weak key with its parity bits cleared.
    const char* refused[] = {"fefefefefefefefe", "01fe01fe01fe01fe", "fee0fee0fef1fef1",
                             "0000000000000000"};
    DesKeySchedule ks;
    for (const char* k : refused) {
        ks.high[0] = 0x123;
        EXPECT_FALSE(BuildDesKeySchedule(Hex(k).data(), &ks)) << k;
        EXPECT_EQ(ks.high[0], 0x123u) << k; // untouched
    }
    EXPECT_TRUE(BuildDesKeySchedule(Hex("0101010101010102").data(), &ks));
}

TEST(StringToKey, PublishedVectors) {
    // RFC 3961 appendix A.2 (mit_des_string_to_key), whose intermediate keys are not weak: the
    // phrase is the password followed by the salt.
    const struct {
        std::string phrase; // password followed by salt
        const char* key;
    } vectors[] = {
        {"passwordATHENA.MIT.EDUraeburn", "cbc22fae235298e3"},
        {"potatoeWHITEHOUSE.GOVdanny", "df3d32a74fd92a01"},
        // U+1D11E, the G clef, in UTF-8; then eszett, and Juri, s caron, i, c acute.
        {std::string("\xf0\x9d\x84\x9e") + "EXAMPLE.COMpianist", "4ffb26bab0cd9413"},
        {std::string("\xc3\x9f") + "ATHENA.MIT.EDUJuri\xc5\xa1i\xc4\x87", "62c81a5232b5e69d"},
    };
    for (const auto& v : vectors) {
        uint8_t key[8];
        ASSERT_TRUE(StringToKey(v.phrase.data(), v.phrase.size(), key)) << v.phrase;
        EXPECT_EQ(std::vector<uint8_t>(key, key + 8), Hex(v.key)) << v.phrase;
    }
}

// The bytes the console sends for "Secret#42": the text and seven zeros in CBC under the key
// of the pass phrase (80 1C B9 79 16 0B D5 43) with the vector "quorlent". Whole blocks of
// ciphertext only; an empty parameter decrypts to the empty password.
TEST(PasswordCipher, SizesKnownAnswerAndRefusals) {
    uint8_t key[8];
    ASSERT_TRUE(PasswordKey(key));
    EXPECT_EQ(std::vector<uint8_t>(key, key + 8), Hex("801cb979160bd543"));
    const struct {
        std::string plain;
        size_t cipher_size;
    } cases[] = {{"", 8},         {"a", 8},          {"1234567", 8},
                 {"12345678", 8}, {"123456789", 16}, {"Secret#42", 16}};
    for (const auto& c : cases) {
        std::vector<uint8_t> cipher;
        ASSERT_TRUE(EncryptPassword(c.plain, &cipher));
        EXPECT_EQ(cipher.size(), c.cipher_size) << c.plain;
        if (c.plain == "Secret#42") {
            EXPECT_EQ(cipher, Hex("ffe3bed1414f339784f16d72625f2c4c"));
        }
        std::string back = "x";
        ASSERT_TRUE(DecryptPassword(cipher.data(), cipher.size(), &back));
        EXPECT_EQ(back, c.plain);
    }
    std::string untouched = "keep";
    const uint8_t seven[7] = {};
    EXPECT_FALSE(DecryptPassword(seven, 7, &untouched));
    EXPECT_EQ(untouched, "keep");
    EXPECT_TRUE(DecryptPassword(nullptr, 0, &untouched));
    EXPECT_EQ(untouched, "");
}

} // namespace
} // namespace pm::exec
