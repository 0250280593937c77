#include "orvo/PushEncryptor.h"

#include <algorithm>

#include "foundation/Log.h"
#include "foundation/Utf8.h"
#include "platform/Crypto.h"

namespace orvo {
namespace {

constexpr std::string_view kInvalidEncryptKeySize = "It is invalid key size for encrypting.";
constexpr std::string_view kInvalidDecryptKeySize = "It is invalid key size for decrypting.";

constexpr std::uint32_t kPkcs7Padding = 1;
constexpr std::uint32_t kEcbMode = 2;

// The key's length as the platform counts string characters (UTF-16 code
// units). Malformed UTF-8 counts one unit per byte.
std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 1;
    if (i + length > text.size()) length = 1;
    count += length == 4 ? 2 : 1;
    i += length;
  }
  return count;
}

// The AES key: the key text cut to keySize characters, which must then be
// exactly keySize characters fitting in keySize UTF-8 bytes. Both hold
// exactly when the first keySize bytes are ASCII.
std::optional<std::string_view> keyBytes(std::string_view key, std::size_t keySize) {
  if (key.size() < keySize) return std::nullopt;
  std::string_view cut = key.substr(0, keySize);
  for (char c : cut) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  }
  return cut;
}

bool hasHeader(const Bytes& data) {
  return data.size() >= kAes256Header.size() &&
         std::equal(kAes256Header.begin(), kAes256Header.end(), data.begin());
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view asText(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::size_t keySizeWithTransformation(int transformation) { return transformation == 2 ? 32 : 16; }

std::string transKey(int transformation) {
  return transformation == 2 ? std::string(kAes256Header) : std::string();
}

std::uint32_t optionsWithTransformation(int /*transformation*/) { return kPkcs7Padding | kEcbMode; }

std::optional<Bytes> encrypt(const Bytes& data, std::string_view key, int transformation) {
  if (transformation == 0) {
    const std::size_t length = characterCount(key);
    if (length == 16) {
      transformation = 1;
    } else if (length == 32) {
      transformation = 2;
    } else {
      logging::trace(kInvalidEncryptKeySize);
      return std::nullopt;
    }
  }
  auto aesKey = keyBytes(key, keySizeWithTransformation(transformation));
  if (!aesKey) {
    logging::trace(kInvalidEncryptKeySize);
    return std::nullopt;
  }
  auto cipherText = platform::aesEcbEncrypt(*aesKey, asText(data));
  if (!cipherText) return std::nullopt;
  const std::string header = transKey(transformation);
  Bytes result(header.begin(), header.end());
  result.insert(result.end(), cipherText->begin(), cipherText->end());
  return result;
}

std::optional<Bytes> decrypt(const Bytes& data, std::string_view key, int transformation) {
  std::string_view input = asText(data);
  const bool headed = hasHeader(data);
  if (transformation == 0) {
    if (headed) {
      input.remove_prefix(kAes256Header.size());
      transformation = 2;
    }
  } else if (transformation == 2 && headed) {
    input.remove_prefix(kAes256Header.size());
  }
  auto aesKey = keyBytes(key, keySizeWithTransformation(transformation));
  if (!aesKey) {
    logging::trace(kInvalidDecryptKeySize);
    return std::nullopt;
  }
  return platform::aesEcbDecrypt(*aesKey, input);
}

std::string hexStringFromData(const Bytes& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::optional<Bytes> dataWithHexString(std::optional<std::string_view> text) {
  if (!text) return Bytes{};
  for (char c : *text) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  }
  if (text->size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  bytes.reserve(text->size() / 2);
  for (std::size_t i = 0; i < text->size(); i += 2) {
    const int high = hexDigit((*text)[i]);
    const int low = hexDigit((*text)[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>((high << 4) | low));
  }
  return bytes;
}

std::string md5(const Bytes& data) {
  auto digest = platform::md5Digest(asText(data));
  if (!digest) return {};
  return hexStringFromData(Bytes(digest->begin(), digest->end()));
}

Bytes encryptString(std::string_view string, std::string_view key, int transformation) {
  auto result = encrypt(toBytes(string), key, transformation);
  return result ? std::move(*result) : Bytes{};
}

std::optional<Bytes> decryptData(const Bytes& data, std::string_view key, int transformation) {
  return decrypt(data, key, transformation);
}

std::optional<std::string> PushEncryptor::encryptValue(std::string_view value) const {
  auto cipherText = encrypt(toBytes(value), encryptKey_, 0);
  if (!cipherText) return std::nullopt;
  return hexStringFromData(*cipherText);
}

std::optional<std::string> PushEncryptor::decryptValue(std::string_view hexText) const {
  auto data = dataWithHexString(hexText);
  if (!data) return std::nullopt;
  auto plain = decrypt(*data, encryptKey_, 0);
  if (!plain || !isValidUtf8(asText(*plain))) return std::nullopt;
  return toString(*plain);
}

}  // namespace orvo
