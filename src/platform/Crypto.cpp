#include "platform/Crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace orvo::platform {
namespace {

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

const EVP_CIPHER* cipherForKey(std::string_view key) {
  if (key.size() == 16) return EVP_aes_128_ecb();
  if (key.size() == 32) return EVP_aes_256_ecb();
  return nullptr;
}

const unsigned char* bytesOf(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// One pass of EVP_CipherUpdate/Final; encrypt selects the direction.
std::optional<Bytes> aesEcb(std::string_view key, std::string_view input, bool encrypt) {
  const EVP_CIPHER* cipher = cipherForKey(key);
  if (cipher == nullptr) return std::nullopt;
  // EVP lengths are int; anything larger cannot be processed in one call.
  if (input.size() > static_cast<std::size_t>(INT_MAX) - 32) return std::nullopt;

  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return std::nullopt;
  if (EVP_CipherInit_ex(context.get(), cipher, nullptr, bytesOf(key), nullptr, encrypt ? 1 : 0) !=
      1) {
    return std::nullopt;
  }
  if (EVP_CIPHER_CTX_set_padding(context.get(), 1) != 1) return std::nullopt;

  // Room for the input plus one block, as padding may add a whole block.
  Bytes output(input.size() + 16);
  int written = 0;
  if (EVP_CipherUpdate(context.get(), output.data(), &written, bytesOf(input),
                       static_cast<int>(input.size())) != 1) {
    return std::nullopt;
  }
  int finalWritten = 0;
  if (EVP_CipherFinal_ex(context.get(), output.data() + written, &finalWritten) != 1) {
    return std::nullopt;
  }
  output.resize(static_cast<std::size_t>(written) + static_cast<std::size_t>(finalWritten));
  return output;
}

}  // namespace

std::optional<Bytes> aesEcbEncrypt(std::string_view key, std::string_view input) {
  return aesEcb(key, input, true);
}

std::optional<Bytes> aesEcbDecrypt(std::string_view key, std::string_view input) {
  return aesEcb(key, input, false);
}

std::optional<std::array<std::uint8_t, 16>> md5Digest(std::string_view input) {
  const EVP_MD* md = EVP_md5();
  if (md == nullptr) return std::nullopt;
  DigestContext context(EVP_MD_CTX_new());
  if (!context) return std::nullopt;
  if (EVP_DigestInit_ex(context.get(), md, nullptr) != 1) return std::nullopt;
  if (EVP_DigestUpdate(context.get(), input.data(), input.size()) != 1) return std::nullopt;
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> buffer{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), buffer.data(), &length) != 1) return std::nullopt;
  if (length != 16) return std::nullopt;
  std::array<std::uint8_t, 16> digest{};
  std::copy(buffer.begin(), buffer.begin() + 16, digest.begin());
  return digest;
}

}  // namespace orvo::platform
