// The storage cipher: deterministic AES-ECB of short texts, as hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Value.h"

namespace orvo {

// Transformation 0 infers the key size (16 or 32 key characters when
// encrypting; the "AES256PD" header when decrypting), 1 is AES-128 with bare
// cipher text, 2 is AES-256 with the header.
inline constexpr std::string_view kAes256Header = "AES256PD";

std::optional<Bytes> encrypt(const Bytes& data, std::string_view key, int transformation);
std::optional<Bytes> decrypt(const Bytes& data, std::string_view key, int transformation);
// Lower-case hexadecimal, two digits per byte.
std::string hexStringFromData(const Bytes& data);
// Base-16 decoding: absent text gives empty bytes; non-ASCII, odd length or a
// non-hex digit gives absent.
std::optional<Bytes> dataWithHexString(std::optional<std::string_view> text);
inline std::optional<Bytes> dataFromHexString(std::string_view text) {
  return dataWithHexString(text);
}
// 32 lower-case hexadecimal digits.
std::string md5(const Bytes& data);
// No bytes when encryption fails.
Bytes encryptString(std::string_view string, std::string_view key, int transformation);
std::optional<Bytes> decryptData(const Bytes& data, std::string_view key, int transformation);
std::size_t keySizeWithTransformation(int transformation);
std::string transKey(int transformation);
// PKCS#7 padding (1) and ECB (2), for every transformation.
std::uint32_t optionsWithTransformation(int transformation);

class PushEncryptor {
 public:
  PushEncryptor(std::string encryptKey, std::string encryptVersion)
      : encryptKey_(std::move(encryptKey)), encryptVersion_(std::move(encryptVersion)) {}

  // Hexadecimal cipher text, or absent when encryption fails.
  std::optional<std::string> encryptValue(std::string_view value) const;
  // The plain text, or absent when decoding, decryption or UTF-8 fails.
  std::optional<std::string> decryptValue(std::string_view hexText) const;
  const std::string& encryptVersion() const { return encryptVersion_; }

 private:
  std::string encryptKey_;
  std::string encryptVersion_;
};

}  // namespace orvo
