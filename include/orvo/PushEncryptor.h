/// @file
/// The storage cipher: deterministic AES-ECB of short texts, as hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// Transformation 0 infers the key size (16 or 32 key characters when
/// encrypting; the "AES256PD" header when decrypting), 1 is AES-128 with bare
/// cipher text, 2 is AES-256 with the header.
inline constexpr std::string_view kAes256Header = "AES256PD";

/// AES-ECB with PKCS#7 padding under the transformation's key size; absent on
/// failure (a key of the wrong size, bad padding).
/// @{
ORVO_PUSH_API std::optional<Bytes> encrypt(const Bytes& data, std::string_view key,
                                           int transformation);
ORVO_PUSH_API std::optional<Bytes> decrypt(const Bytes& data, std::string_view key,
                                           int transformation);
/// @}
/// Lower-case hexadecimal, two digits per byte.
ORVO_PUSH_API std::string hexStringFromData(const Bytes& data);
/// Base-16 decoding: absent text gives empty bytes; non-ASCII, odd length or a
/// non-hex digit gives absent.
/// @{
ORVO_PUSH_API std::optional<Bytes> dataWithHexString(std::optional<std::string_view> text);
inline std::optional<Bytes> dataFromHexString(std::string_view text) {
  return dataWithHexString(text);
}
/// @}
/// 32 lower-case hexadecimal digits.
ORVO_PUSH_API std::string md5(const Bytes& data);
/// No bytes when encryption fails.
/// @{
ORVO_PUSH_API Bytes encryptString(std::string_view string, std::string_view key,
                                  int transformation);
ORVO_PUSH_API std::optional<Bytes> decryptData(const Bytes& data, std::string_view key,
                                               int transformation);
ORVO_PUSH_API std::size_t keySizeWithTransformation(int transformation);
ORVO_PUSH_API std::string transKey(int transformation);
/// @}
/// PKCS#7 padding (1) and ECB (2), for every transformation.
ORVO_PUSH_API std::uint32_t optionsWithTransformation(int transformation);

/// Encrypts and decrypts the stored record's texts with the key of one
/// encryption version.
class ORVO_PUSH_API PushEncryptor {
 public:
  /// The key (16 or 32 characters) and the version that names it.
  PushEncryptor(std::string encryptKey, std::string encryptVersion)
      : encryptKey_(std::move(encryptKey)), encryptVersion_(std::move(encryptVersion)) {}

  /// Hexadecimal cipher text, or absent when encryption fails.
  std::optional<std::string> encryptValue(std::string_view value) const;
  /// The plain text, or absent when decoding, decryption or UTF-8 fails.
  /// @{
  std::optional<std::string> decryptValue(std::string_view hexText) const;
  const std::string& encryptVersion() const { return encryptVersion_; }
  /// @}

 private:
  std::string encryptKey_;
  std::string encryptVersion_;
};

}  // namespace orvo
