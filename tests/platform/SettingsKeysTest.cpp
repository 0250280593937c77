#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Helpers.h"
#include "orvo/platform/Desktop.h"
#include "orvo/testing/CapturingLogSink.h"
#include "orvo/testing/MemorySettingsStore.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

// Listed by prefix in byte order, changes not yet synchronized included, and
// from the file after a reopen.
TEST(SettingsKeysTest, BothStoresListKeysByPrefix) {
  test::TempDir dir;
  const std::string path = dir.path() + "/settings.db";
  auto fill = [](SettingsStore& store) {
    for (const char* key : {"q/2", "q/10", "q", "qr", "p/1", "q/3"}) store.set(key, 1);
    store.remove("q/3");
  };
  const std::vector<std::string> queued{"q/10", "q/2"};
  MemorySettingsStore memory;
  fill(memory);
  EXPECT_EQ(memory.keys("q/"), queued);
  EXPECT_EQ(memory.keys("").size(), 5u);
  {
    SqliteSettingsStore store(path, std::make_shared<CapturingLogSink>());
    store.set("q/1", 1);
    ASSERT_TRUE(store.synchronize());
    store.remove("q/1");
    fill(store);
    EXPECT_EQ(store.keys("q/"), queued);
    ASSERT_TRUE(store.synchronize());
  }
  SqliteSettingsStore reopened(path, std::make_shared<CapturingLogSink>());
  EXPECT_EQ(reopened.keys("q/"), queued);
  EXPECT_EQ(reopened.keys("z").size(), 0u);
}

}  // namespace
}  // namespace orvo
