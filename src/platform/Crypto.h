// AES-ECB with PKCS#7 padding and MD5, through OpenSSL EVP.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "orvo/Value.h"

namespace orvo::platform {

// key must be 16 (AES-128) or 32 (AES-256) bytes. Absent when any EVP step
// fails, including bad padding on decryption and a key of another size.
std::optional<Bytes> aesEcbEncrypt(std::string_view key, std::string_view input);
std::optional<Bytes> aesEcbDecrypt(std::string_view key, std::string_view input);

// Absent only when OpenSSL cannot provide MD5.
std::optional<std::array<std::uint8_t, 16>> md5Digest(std::string_view input);

}  // namespace orvo::platform
