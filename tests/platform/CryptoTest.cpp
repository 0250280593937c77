#include "platform/Crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace orvo::platform {
namespace {

std::string fromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string toHex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

std::string toHex(const std::array<std::uint8_t, 16>& digest) {
  return toHex(Bytes(digest.begin(), digest.end()));
}

struct AesVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// FIPS-197 appendix C and SP 800-38A ECB examples, one block each. With
// PKCS#7 padding a full block is followed by a block of padding, so the first
// block of the output must equal the published cipher text.
constexpr AesVector kAesVectors[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "6bc1bee22e409f96e93d7e117393172a",
     "3ad77bb40d7a3660a89ecaf32466ef97"},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
};

TEST(CryptoTest, AesKnownAnswersWithPadding) {
  for (const auto& v : kAesVectors) {
    SCOPED_TRACE(v.key);
    const std::string key = fromHex(v.key);
    const std::string plain = fromHex(v.plain);
    auto cipher = aesEcbEncrypt(key, plain);
    ASSERT_TRUE(cipher.has_value());
    ASSERT_EQ(cipher->size(), 32u);
    EXPECT_EQ(toHex(Bytes(cipher->begin(), cipher->begin() + 16)), v.cipher);

    auto back = aesEcbDecrypt(key, std::string(cipher->begin(), cipher->end()));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(back->begin(), back->end()), plain);
  }

  // The padding block of a full-block input is the encryption of sixteen
  // 0x10 bytes (checked against an independent AES implementation).
  auto cipher = aesEcbEncrypt(fromHex(kAesVectors[0].key), fromHex(kAesVectors[0].plain));
  ASSERT_TRUE(cipher.has_value());
  EXPECT_EQ(toHex(Bytes(cipher->begin() + 16, cipher->end())), "954f64f2e4e86e9eee82d20216684899");
}

TEST(CryptoTest, AesPaddingLengthsAndFailures) {
  const std::string key16(16, 'k');
  const std::string key32(32, 'k');
  // Output is the next multiple of 16 above the input length.
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 100u}) {
    std::string input(length, 'x');
    auto cipher = aesEcbEncrypt(key16, input);
    ASSERT_TRUE(cipher.has_value());
    EXPECT_EQ(cipher->size(), (length / 16 + 1) * 16) << length;
    auto back = aesEcbDecrypt(key16, std::string(cipher->begin(), cipher->end()));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(back->begin(), back->end()), input);
  }

  // Keys of any other size are refused in both directions.
  for (std::size_t size : {0u, 15u, 17u, 24u, 31u, 33u}) {
    EXPECT_FALSE(aesEcbEncrypt(std::string(size, 'k'), "data").has_value()) << size;
    EXPECT_FALSE(aesEcbDecrypt(std::string(size, 'k'), std::string(16, '\0')).has_value()) << size;
  }

  // Cipher text that is empty, not whole blocks, or badly padded.
  EXPECT_FALSE(aesEcbDecrypt(key16, "").has_value());
  EXPECT_FALSE(aesEcbDecrypt(key16, std::string(15, 'a')).has_value());
  auto cipher = aesEcbEncrypt(key32, "some text");
  ASSERT_TRUE(cipher.has_value());
  std::string truncated(cipher->begin(), cipher->end());
  truncated.pop_back();
  EXPECT_FALSE(aesEcbDecrypt(key32, truncated).has_value());
  // The bare FIPS cipher block decrypts to a block ending in 0xff, which is
  // no valid padding.
  EXPECT_FALSE(
      aesEcbDecrypt(fromHex(kAesVectors[0].key), fromHex(kAesVectors[0].cipher)).has_value());
}

TEST(CryptoTest, Md5Rfc1321Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, expected] : vectors) {
    auto digest = md5Digest(input);
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(toHex(*digest), expected) << input;
  }
  // Embedded NUL bytes are part of the input.
  EXPECT_NE(toHex(*md5Digest(std::string("a\0b", 3))), toHex(*md5Digest("ab")));
}

}  // namespace
}  // namespace orvo::platform
