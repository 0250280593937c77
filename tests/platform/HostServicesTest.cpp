#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>

#include "Helpers.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

// The text with every digit and upper-case hex letter as 'X', so that formats
// compare as text.
std::string shapeOf(std::string text) {
  for (char& c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) c = 'X';
  }
  return text;
}

constexpr const char* kUuidShape = "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";

// Sets (or with null, unsets) an environment variable for the life of the object.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value)
      : name(name),
        saved(std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt) {
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { saved ? setenv(name, saved->c_str(), 1) : unsetenv(name); }
  const char* name;
  std::optional<std::string> saved;
};

// Lookups by name, type and directory are the manifest search's
// (config/PushManagerConfigTest); here what that search never asks.
TEST(HostServicesTest, DirectoryBundleFindsOnlyExistingFiles) {
  test::TempDir dir;
  dir.write("README", "no type");
  std::filesystem::create_directories(dir.path() + "/res/folder.xml");
  DirectoryBundle bundle(dir.path(), "com.example.app", {});
  EXPECT_EQ(bundle.pathForResource("README", ""), dir.path() + "/README");
  EXPECT_FALSE(bundle.pathForResource("folder", "xml", "res"));
  auto inner = bundle.bundleAtPath(dir.path() + "/res");
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->resourcePath(), dir.path() + "/res");
  EXPECT_FALSE(bundle.bundleAtPath(dir.path() + "/README") ||
               bundle.bundleAtPath(dir.path() + "/missing") || bundle.bundleAtPath(""));
}

// The fixed device's queue and sequence are relied on, and so checked, by the
// client record's tests.
TEST(HostServicesTest, SystemDeviceMakesUniqueVersion4Uuids) {
  SystemDevice system;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(system.newUUID());
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_EQ(shapeOf(*seen.begin()), kUuidShape);
  EXPECT_EQ((*seen.begin())[14], '4') << *seen.begin();
}

TEST(HostServicesTest, StartOfTodayFollowsTheUtcOffset) {
  const double utcMidnight = 1'699'920'000.0;  // 2023-11-14 00:00 UTC
  // {offset hours, seconds after UTC midnight, expected start relative to it}
  const double cases[][3] = {{0, 80000, 0},                 // 22:13 on the 14th
                             {9, 80000, 86400 - 9 * 3600},  // already the 15th locally
                             {-5, 80000, 5 * 3600},
                             {-23, 80000, -86400 + 23 * 3600},
                             {1, -3600, -3600},             // exactly local midnight
                             {1, -3600.5, -3600 - 86400}};  // a moment before
  for (const auto& [hours, now, start] : cases) {
    ManualClock clock(Date{utcMidnight + now}, static_cast<long>(hours * 3600));
    EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight + start) << hours << " " << now;
  }
  EXPECT_EQ(ManualClock(Date{-86400.0 * 3 + 10}).startOfToday().secondsSince1970, -86400.0 * 3);

  // The system clock, in zones with daylight saving too: local midnight
  // within the last 25 hours.
  for (const char* zone : {"America/New_York", "Australia/Lord_Howe", "America/Santiago", "UTC"}) {
    ScopedEnv tz("TZ", zone);
    tzset();
    SystemClock clock;
    const Date now = clock.now();
    const double start = clock.startOfToday().secondsSince1970;
    EXPECT_TRUE(start <= now.secondsSince1970 && start > now.secondsSince1970 - 25 * 3600) << zone;
    const long long local = static_cast<long long>(start) + clock.utcOffsetSeconds(Date{start});
    EXPECT_EQ(local % 86400, 0) << zone;
  }
  tzset();
}

TEST(HostServicesTest, StderrLogSinkWritesOneStampedLine) {
  // stderr: "yyyy-MM-dd HH:mm:ss.SSS [pid] line" on one line.
  testing::internal::CaptureStderr();
  StderrLogSink().write("hello log");
  EXPECT_EQ(shapeOf(testing::internal::GetCapturedStderr()),
            "XXXX-XX-XX XX:XX:XX.XXX [" + shapeOf(std::to_string(getpid())) + "] hello log\n");
}

// The wiring of bundle, main queue, log and notification host is exercised
// end to end by the manager flow over the loopback server.
TEST(HostServicesTest, DesktopHostStoresAndDefaults) {
  test::TempDir dir;
  auto log = std::make_shared<CapturingLogSink>();
  DesktopHostOptions options;
  options.bundleDirectory = dir.path();
  options.bundleVersion = "3.2";
  options.dataDirectory = dir.path() + "/data";
  options.keychainDirectory = dir.path() + "/keys";
  options.keychainSeed = "SEED77";
  options.bundleIdentifier = "com.example.desk";
  options.log = log;
  auto host = makeDesktopHost(options);
  ASSERT_TRUE(host && host->device && host->clock && host->settings && host->keychain);
  EXPECT_EQ(host->bundle->infoValue("CFBundleVersion"), Value("3.2"));
  host->settings->set("PushManagerKeyProbe", "1");
  EXPECT_TRUE(host->settings->synchronize());
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/data/settings.db"));
  // The keychain's default access group is the seed and the identifier.
  using namespace keychain;
  Value stored;
  EXPECT_EQ(host->keychain->add(Dictionary{{std::string(kClass), kClassGenericPassword},
                                           {std::string(kReturnAttributes), true}},
                                &stored),
            KeychainStatus::Success);
  EXPECT_EQ(stored.asDictionary()->get(kAttrAccessGroup), Value("SEED77.com.example.desk"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/keys/keychain.db"));

  // Defaults follow the environment.
  ScopedEnv xdg("XDG_DATA_HOME", dir.path().c_str());
  ScopedEnv noBundleDir("ORVO_BUNDLE_DIR", nullptr);
  DesktopHostOptions defaults;
  defaults.bundleIdentifier = "com.example.defaults";
  defaults.log = log;
  host = makeDesktopHost(defaults);
  EXPECT_EQ(host->bundle->resourcePath(), std::filesystem::current_path().string());
  EXPECT_TRUE(host->mainQueue);
  host->settings->set("PushManagerKeyProbe", 1);
  EXPECT_TRUE(host->settings->synchronize());
  EXPECT_TRUE(
      std::filesystem::is_regular_file(dir.path() + "/orvo-push/com.example.defaults/settings.db"));
  // The keychain's file is made by its first change.
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/orvo-push-keychain"));
  EXPECT_EQ(host->keychain->add(Dictionary{{std::string(kClass), kClassGenericPassword}}, nullptr),
            KeychainStatus::Success);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/orvo-push-keychain/keychain.db"));
  ScopedEnv bundleDir("ORVO_BUNDLE_DIR", dir.path().c_str());
  EXPECT_EQ(makeDesktopHost(defaults)->bundle->resourcePath(), dir.path());
  EXPECT_TRUE(log->lines().empty());
}

}  // namespace
}  // namespace orvo
