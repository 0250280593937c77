#include "orvo/PushEncryptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <numeric>
#include <string>

#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace std::string_literals;

constexpr std::string_view kKey16 = "0123456789abcdef";
constexpr std::string_view kKey32 = "0123456789abcdef0123456789ABCDEF";
constexpr std::string_view kKey20 = "0123456789abcdefWXYZ";
constexpr std::string_view kEncryptKeySizeLine = "It is invalid key size for encrypting.";
constexpr std::string_view kDecryptKeySizeLine = "It is invalid key size for decrypting.";
constexpr std::string_view kHeaderHex = "4145533235365044";  // "AES256PD"
const std::string kKorean = "\xed\x95\x9c\xea\xb8\x80";      // two characters, six bytes

TEST(PushEncryptorTest, HexAndMd5) {
  EXPECT_EQ(hexStringFromData(Bytes{0x00, 0x0f, 0xab, 0xff, 0x10}), "000fabff10");
  EXPECT_EQ(dataFromHexString("aB7f"), (Bytes{0xab, 0x7f}));
  EXPECT_EQ(dataWithHexString(std::nullopt), Bytes{});
  EXPECT_EQ(dataWithHexString(""), Bytes{});
  // Odd length, not a digit, a space, a sign, "é" (even in bytes, not ASCII), a NUL.
  for (std::string bad : {"abc"s, "0g"s, "12 4"s, "-1"s, "\xc3\xa9"s, "ab\xc3\xa9"s, "a\0"s}) {
    EXPECT_FALSE(dataWithHexString(bad).has_value()) << bad;
  }
  Bytes all(256);
  std::iota(all.begin(), all.end(), std::uint8_t{0});
  EXPECT_EQ(dataWithHexString(hexStringFromData(all)), all);
  EXPECT_EQ(md5(toBytes("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(PushEncryptorTest, SixteenAndThirtyTwoCharacterKeys) {
  test::TestHost host;
  // Checked against an independent AES-ECB with PKCS#7; a 32-character key
  // adds the header.
  EXPECT_EQ(PushEncryptor(std::string(kKey16), "v").encryptValue(""),
            "377222e061a924c591cd9c27ea163ed4");
  EXPECT_EQ(PushEncryptor(std::string(kKey32), "v").encryptValue("hello"),
            std::string(kHeaderHex) + "c7a117314c7a68412b3db9b12fa5902d");
  for (std::string_view key : {kKey16, kKey32}) {
    PushEncryptor encryptor(std::string(key), "v1");
    for (std::string text : {""s, kKorean, std::string(kKey16), std::string(100, 'z'), "n\0l"s}) {
      SCOPED_TRACE(std::string(key) + " " + text);
      auto cipher = encryptor.encryptValue(text);
      ASSERT_TRUE(cipher.has_value());
      EXPECT_EQ(cipher->starts_with(kHeaderHex), key.size() == 32);
      EXPECT_EQ(encryptor.decryptValue(*cipher), text);
      std::ranges::transform(*cipher, cipher->begin(), ::toupper);
      EXPECT_EQ(encryptor.decryptValue(*cipher), text) << "upper-case hexadecimal";
    }
  }
  // PKCS#7 adds a whole block to a full one; bytes count, not characters.
  PushEncryptor encryptor(std::string(kKey16), "v");
  EXPECT_EQ(encryptor.encryptValue(kKorean + "abcdefghi")->size(), 32u);
  EXPECT_EQ(encryptor.encryptValue(std::string(16, 'a'))->size(), 64u);

  // Transformation 2 accepts bare AES-256 cipher text; transformation 0
  // without the header falls back to AES-128 with the key cut to 16.
  Bytes bare = encryptString("plain", kKey32, 2);
  ASSERT_GT(bare.size(), 8u);
  bare.erase(bare.begin(), bare.begin() + 8);
  EXPECT_EQ(decrypt(bare, kKey32, 2), toBytes("plain"));
  EXPECT_EQ(decrypt(encryptString("plain", kKey32.substr(0, 16), 1), kKey32, 0), toBytes("plain"));
  EXPECT_EQ(decryptData(encryptString("x", kKey16, 1), kKey16, 1), toBytes("x"));
}

TEST(PushEncryptorTest, BadKeysFailAndLogOnlyWhenLoggingIsOn) {
  test::TestHost host;
  const std::string headedHex = hexStringFromData(encryptString("value", kKey32, 2));
  PushEncryptor wrongSize(std::string(kKey20), "v");
  for (bool logging : {false, true}) {
    host.setLogging(logging);
    EXPECT_FALSE(wrongSize.encryptValue("value").has_value());
    EXPECT_FALSE(wrongSize.decryptValue(headedHex).has_value());
    EXPECT_EQ(host.log->count(kEncryptKeySizeLine), logging ? 1u : 0u);
    EXPECT_EQ(host.log->count(kDecryptKeySizeLine), logging ? 1u : 0u);
  }
  // With transformation 1 a longer key is cut to its first 16 characters.
  Bytes cut = encryptString("value", kKey20, 1);
  EXPECT_EQ(cut, encryptString("value", kKey20.substr(0, 16), 1));
  EXPECT_EQ(decrypt(cut, kKey20, 1), toBytes("value"));

  // Sixteen characters, one of them not ASCII; too short keys.
  host.log->clear();
  const std::string nonAscii = "0123456789abcd\xc3\xa9";
  EXPECT_FALSE(PushEncryptor(nonAscii, "v").encryptValue("value").has_value());
  EXPECT_FALSE(PushEncryptor("", "v").encryptValue("value").has_value());
  for (auto [key, transformation] :
       {std::pair{nonAscii, 1}, {"short"s, 1}, {"0123456789abcdef"s, 2}}) {
    EXPECT_TRUE(encryptString("value", key, transformation).empty()) << key;
  }
  EXPECT_EQ(host.log->count(kEncryptKeySizeLine), 5u);
  EXPECT_FALSE(decrypt(*dataWithHexString(headedHex), kKey16, 2).has_value());
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 1u);
}

TEST(PushEncryptorTest, BadCipherTextGivesAbsentWithoutLog) {
  test::TestHost host;
  host.setLogging(true);
  PushEncryptor encryptor(std::string(kKey16), "v");
  for (std::string bad : {"abc"s, "zz"s, "\xc3\xa9\xc3\xa9"s, ""s, "00"s, std::string(32, '0')}) {
    EXPECT_FALSE(encryptor.decryptValue(bad).has_value()) << bad;
  }
  // Another key's cipher text: bad padding or bytes that are not UTF-8.
  PushEncryptor other("fedcba9876543210", "v"), other32("ZYXWVUTSRQPONMLKJIHGFEDCBA987654", "v");
  for (std::string text : {"GUEST", "uid-1", "01234567-89AB-CDEF-0123-456789ABCDEF", ""}) {
    EXPECT_FALSE(encryptor.decryptValue(*other.encryptValue(text)).has_value()) << text;
    EXPECT_FALSE(PushEncryptor(std::string(kKey32), "v").decryptValue(*other32.encryptValue(text)));
  }
  // Deciphered bytes that are not UTF-8, a lone surrogate included.
  for (std::string plain : {"\xff\xfe", "\xed\xa0\x80"}) {
    EXPECT_FALSE(encryptor.decryptValue(hexStringFromData(encryptString(plain, kKey16, 1))));
  }
  // With a 16-character key, a header asks for a 32-byte key and fails with
  // the key-size line; seven bytes are no header, so only the cipher fails.
  EXPECT_FALSE(decrypt(toBytes("AES256P"), kKey16, 0).has_value());
  EXPECT_TRUE(host.log->lines().empty());
  EXPECT_FALSE(decrypt(toBytes("AES256PD"), kKey16, 0).has_value());
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 1u);
  // Transformation 1 never strips a header: a 16-character key is enough.
  EXPECT_FALSE(decrypt(toBytes("AES256PD"), kKey16, 1).has_value());
  EXPECT_EQ(host.log->lines().size(), 1u);
}

}  // namespace
}  // namespace orvo
