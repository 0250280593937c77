#include "orvo/PushEncryptor.h"

#include <gtest/gtest.h>

#include <cctype>
#include <vector>

#include "support/TestHost.h"

namespace orvo {
namespace {

constexpr std::string_view kKey16 = "0123456789abcdef";
constexpr std::string_view kKey32 = "0123456789abcdef0123456789ABCDEF";
constexpr std::string_view kKey20 = "0123456789abcdefWXYZ";
constexpr std::string_view kEncryptKeySizeLine = "It is invalid key size for encrypting.";
constexpr std::string_view kDecryptKeySizeLine = "It is invalid key size for decrypting.";
// hexStringFromData of "AES256PD".
constexpr std::string_view kHeaderHex = "4145533235365044";

TEST(PushEncryptorTest, HexCoding) {
  EXPECT_EQ(hexStringFromData(Bytes{0x00, 0x0f, 0xab, 0xff, 0x10}), "000fabff10");
  EXPECT_EQ(hexStringFromData(Bytes{}), "");

  EXPECT_EQ(dataWithHexString("000fabff10"), (Bytes{0x00, 0x0f, 0xab, 0xff, 0x10}));
  EXPECT_EQ(dataWithHexString("ABCDEF"), (Bytes{0xab, 0xcd, 0xef}));
  EXPECT_EQ(dataWithHexString("aBcD"), (Bytes{0xab, 0xcd}));
  EXPECT_EQ(dataWithHexString(std::nullopt), Bytes{});
  EXPECT_EQ(dataWithHexString(""), Bytes{});

  EXPECT_FALSE(dataWithHexString("abc").has_value());       // odd length
  EXPECT_FALSE(dataWithHexString("0g").has_value());        // not a digit
  EXPECT_FALSE(dataWithHexString("12 4").has_value());      // space
  EXPECT_FALSE(dataWithHexString("-1").has_value());        // sign
  EXPECT_FALSE(dataWithHexString("\xc3\xa9").has_value());  // "é": even bytes, not ASCII
  EXPECT_FALSE(dataWithHexString("ab\xc3\xa9").has_value());
  EXPECT_FALSE(dataWithHexString(std::string_view("a\0", 2)).has_value());
  EXPECT_EQ(dataFromHexString("7f80"), (Bytes{0x7f, 0x80}));

  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(dataWithHexString(hexStringFromData(all)), all);
}

TEST(PushEncryptorTest, Md5) {
  EXPECT_EQ(md5(Bytes{}), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5(toBytes("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5(Bytes{0x00}), "93b885adfe0da089cdf634904fd59f71");
}

TEST(PushEncryptorTest, SixteenCharacterKey) {
  test::TestHost host;
  PushEncryptor encryptor(std::string(kKey16), "v1");
  EXPECT_EQ(encryptor.encryptVersion(), "v1");

  // Checked against an independent AES-128-ECB with PKCS#7.
  EXPECT_EQ(encryptor.encryptValue(""), "377222e061a924c591cd9c27ea163ed4");

  EXPECT_EQ(encryptor.encryptValue(std::string(15, 'a'))->size(), 32u);
  EXPECT_EQ(encryptor
                .encryptValue("\xed\x95\x9c\xea\xb8\x80"
                              "abcdefghi")
                ->size(),
            32u);  // 15 bytes
  EXPECT_EQ(encryptor.encryptValue(std::string(16, 'a'))->size(), 64u);

  for (std::string text : {"", "GUEST", "uid-42", "\xed\x95\x9c\xea\xb8\x80", "0123456789abcdef"}) {
    auto cipher = encryptor.encryptValue(text);
    ASSERT_TRUE(cipher.has_value()) << text;
    EXPECT_EQ(cipher, encryptor.encryptValue(text)) << "deterministic";
    EXPECT_NE(cipher->substr(0, kHeaderHex.size()), kHeaderHex);
    EXPECT_EQ(encryptor.decryptValue(*cipher), text);
    // Upper-case hexadecimal text is accepted.
    std::string upper = *cipher;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(encryptor.decryptValue(upper), text);
  }
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushEncryptorTest, ThirtyTwoCharacterKey) {
  test::TestHost host;
  PushEncryptor encryptor(std::string(kKey32), "v2");
  // Checked against an independent AES-256-ECB with PKCS#7.
  EXPECT_EQ(encryptor.encryptValue("hello"),
            std::string(kHeaderHex) + "c7a117314c7a68412b3db9b12fa5902d");
  for (const std::string& text :
       std::vector<std::string>{"", "x", std::string(100, 'z'), std::string("nul\0inside", 10)}) {
    auto cipher = encryptor.encryptValue(text);
    ASSERT_TRUE(cipher.has_value());
    EXPECT_EQ(cipher->substr(0, kHeaderHex.size()), kHeaderHex);
    EXPECT_EQ(encryptor.decryptValue(*cipher), text);
  }

  // Transformation 2 accepts bare AES-256 cipher text; transformation 0
  // without the header falls back to AES-128 with the key cut to 16.
  Bytes bare = encryptString("plain", kKey32, 2);
  ASSERT_GT(bare.size(), 8u);
  bare.erase(bare.begin(), bare.begin() + 8);
  EXPECT_EQ(decrypt(bare, kKey32, 2), toBytes("plain"));
  Bytes aes128 = encryptString("plain", kKey32.substr(0, 16), 1);
  EXPECT_EQ(decrypt(aes128, kKey32, 0), toBytes("plain"));
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushEncryptorTest, BadKeysFailAndLogOnlyWhenLoggingIsOn) {
  test::TestHost host;
  Bytes headed = encryptString("value", kKey32, 2);
  ASSERT_FALSE(headed.empty());
  const std::string headedHex = hexStringFromData(headed);

  // Logging off: the same failures, no lines.
  PushEncryptor wrongSize(std::string(kKey20), "v");
  EXPECT_FALSE(wrongSize.encryptValue("value").has_value());
  EXPECT_FALSE(wrongSize.decryptValue(headedHex).has_value());
  EXPECT_TRUE(host.log->lines().empty());

  host.setLogging(true);
  EXPECT_FALSE(wrongSize.encryptValue("value").has_value());
  EXPECT_EQ(host.log->count(kEncryptKeySizeLine), 1u);
  EXPECT_FALSE(wrongSize.decryptValue(headedHex).has_value());
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 1u);

  // With transformation 1 a longer key is cut to its first 16 characters.
  Bytes cut = encryptString("value", kKey20, 1);
  EXPECT_EQ(cut, encryptString("value", kKey20.substr(0, 16), 1));
  EXPECT_EQ(decrypt(cut, kKey20, 1), toBytes("value"));

  // Sixteen characters, one of them not ASCII; and too short keys.
  host.log->clear();
  PushEncryptor nonAscii("0123456789abcd\xc3\xa9", "v");  // 15 ASCII + "é"
  EXPECT_FALSE(nonAscii.encryptValue("value").has_value());
  EXPECT_EQ(host.log->count(kEncryptKeySizeLine), 1u);
  EXPECT_TRUE(encryptString("value", "0123456789abcd\xc3\xa9", 1).empty());
  EXPECT_TRUE(encryptString("value", "short", 1).empty());
  EXPECT_TRUE(encryptString("value", kKey16, 2).empty());
  EXPECT_FALSE(decrypt(headed, kKey16, 2).has_value());
  EXPECT_EQ(host.log->count(kEncryptKeySizeLine), 4u);
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 1u);
  PushEncryptor empty("", "v");
  EXPECT_FALSE(empty.encryptValue("value").has_value());
}

TEST(PushEncryptorTest, BadCipherTextGivesAbsentWithoutLog) {
  test::TestHost host;
  host.setLogging(true);
  PushEncryptor encryptor(std::string(kKey16), "v");
  PushEncryptor other("fedcba9876543210", "v");
  PushEncryptor other32("ZYXWVUTSRQPONMLKJIHGFEDCBA987654", "v");

  EXPECT_FALSE(encryptor.decryptValue("abc").has_value());
  EXPECT_FALSE(encryptor.decryptValue("zz").has_value());
  EXPECT_FALSE(encryptor.decryptValue("\xc3\xa9\xc3\xa9").has_value());
  EXPECT_FALSE(encryptor.decryptValue("").has_value());
  EXPECT_FALSE(encryptor.decryptValue("00").has_value());
  EXPECT_FALSE(encryptor.decryptValue(std::string(32, '0')).has_value());

  // Text enciphered with another key: bad padding or bytes that are not UTF-8.
  for (std::string text : {"GUEST", "uid-1", "01234567-89AB-CDEF-0123-456789ABCDEF", ""}) {
    EXPECT_FALSE(encryptor.decryptValue(*other.encryptValue(text)).has_value()) << text;
    auto headed = other32.encryptValue(text);
    EXPECT_FALSE(PushEncryptor(std::string(kKey32), "v").decryptValue(*headed).has_value());
  }
  // Deciphered bytes that are not UTF-8 are refused.
  Bytes invalidUtf8 = encryptString("\xff\xfe", kKey16, 1);
  EXPECT_FALSE(encryptor.decryptValue(hexStringFromData(invalidUtf8)).has_value());
  Bytes surrogate = encryptString("\xed\xa0\x80", kKey16, 1);
  EXPECT_FALSE(encryptor.decryptValue(hexStringFromData(surrogate)).has_value());
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushEncryptorTest, HeaderNeedsEightBytes) {
  test::TestHost host;
  host.setLogging(true);
  // With a 16-character key, a header asks for a 32-byte key and fails with
  // the key-size line; seven bytes are no header, so only the cipher fails.
  EXPECT_FALSE(decrypt(toBytes("AES256P"), kKey16, 0).has_value());
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 0u);
  EXPECT_FALSE(decrypt(toBytes("AES256PD"), kKey16, 0).has_value());
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 1u);
  // Transformation 1 never strips a header: a 16-character key is enough.
  EXPECT_FALSE(decrypt(toBytes("AES256PD"), kKey16, 1).has_value());
  EXPECT_EQ(host.log->count(kDecryptKeySizeLine), 1u);
  // decryptData is decrypt.
  Bytes cipher = encryptString("x", kKey16, 1);
  EXPECT_EQ(decryptData(cipher, kKey16, 1), toBytes("x"));
}

}  // namespace
}  // namespace orvo
