// Stored cipher text as it comes back from the settings store: hexadecimal
// to plain text under every transformation, and encryption that must
// always decrypt to what it was given.
#include "FuzzSupport.h"
#include "foundation/Utf8.h"
#include "orvo/PushEncryptor.h"

using namespace orvo;

namespace {

// Keys of the lengths the record may hold: too short, AES-128, between, AES-256, too long.
constexpr std::string_view kKeys[] = {"",
                                      "k",
                                      "0123456789abcdef",
                                      "0123456789abcdef0123",
                                      "0123456789abcdef0123456789abcdef",
                                      "0123456789abcdef0123456789abcdef0123456789"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::string_view key = kKeys[input.byte() % std::size(kKeys)];
  const std::string_view text = input.rest();

  std::optional<Bytes> decoded = dataWithHexString(text);
  if (decoded) {
    FUZZ_CHECK(hexStringFromData(*decoded).size() == text.size(), "hex decodes two digits a byte");
    for (int transformation = 0; transformation <= 2; ++transformation) {
      (void)decrypt(*decoded, key, transformation);
    }
  }
  const PushEncryptor encryptor(std::string(key), "1");
  (void)encryptor.decryptValue(text);
  if (std::optional<std::string> sealed = encryptor.encryptValue(text);
      sealed && isValidUtf8(text)) {
    FUZZ_CHECK(encryptor.decryptValue(*sealed) == std::optional<std::string>(text),
               "a stored text reads back as itself");
  }

  const Bytes plain(text.begin(), text.end());
  for (int transformation = 0; transformation <= 2; ++transformation) {
    std::optional<Bytes> sealed = encrypt(plain, key, transformation);
    if (!sealed) continue;
    std::optional<Bytes> opened = decrypt(*sealed, key, transformation);
    FUZZ_CHECK(opened && *opened == plain, "what was encrypted decrypts to itself");
    std::optional<Bytes> viaHex = dataWithHexString(hexStringFromData(*sealed));
    FUZZ_CHECK(viaHex && *viaHex == *sealed, "cipher text survives its hexadecimal form");
  }
  return 0;
}
