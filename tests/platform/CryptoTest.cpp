#include "platform/Crypto.h"

#include <gtest/gtest.h>

namespace orvo::platform {
namespace {

// Known answers, padding and bad cipher text are pinned through the storage
// cipher's tests (state/PushEncryptorTest), which only ever pass keys of 16
// or 32 bytes: the refusal of every other size is held here.
TEST(CryptoTest, KeysOfOtherSizesAreRefused) {
  for (std::size_t size : {0u, 15u, 24u, 33u}) {
    EXPECT_FALSE(aesEcbEncrypt(std::string(size, 'k'), "data")) << size;
    EXPECT_FALSE(aesEcbDecrypt(std::string(size, 'k'), std::string(16, '\0'))) << size;
  }
  EXPECT_TRUE(aesEcbEncrypt(std::string(16, 'k'), "data"));
}

}  // namespace
}  // namespace orvo::platform
