#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "orvo/platform/Bundle.h"
#include "orvo/platform/Clock.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Device.h"
#include "orvo/platform/Host.h"
#include "orvo/platform/LogSink.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

bool isUpperUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(c)) ||
               std::islower(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

TEST(HostServicesTest, DirectoryBundleFindsOnlyExistingFiles) {
  test::TempDir dir;
  dir.write("res/Manifest.xml", "<manifest/>");
  dir.write("embedded.mobileprovision", "profile");
  dir.write("README", "no type");
  std::filesystem::create_directories(dir.path() + "/res/folder.xml");
  DirectoryBundle bundle(dir.path(), "com.example.app", Dictionary{{"CFBundleVersion", "42"}});

  EXPECT_EQ(bundle.resourcePath(), dir.path());
  EXPECT_EQ(bundle.bundlePath(), dir.path());
  EXPECT_EQ(bundle.identifier(), "com.example.app");
  EXPECT_EQ(bundle.infoValue("CFBundleVersion"), Value("42"));
  EXPECT_TRUE(bundle.infoValue("CFBundleShortVersionString").isNull());

  EXPECT_EQ(bundle.pathForResource("Manifest", "xml", "res"), dir.path() + "/res/Manifest.xml");
  EXPECT_EQ(bundle.pathForResource("embedded", "mobileprovision"),
            dir.path() + "/embedded.mobileprovision");
  EXPECT_EQ(bundle.pathForResource("README", ""), dir.path() + "/README");
  // Wrong directory, wrong type, missing file, a directory named like a file.
  EXPECT_FALSE(bundle.pathForResource("Manifest", "xml"));
  EXPECT_FALSE(bundle.pathForResource("Manifest", "plist", "res"));
  EXPECT_FALSE(bundle.pathForResource("Other", "xml", "res"));
  EXPECT_FALSE(bundle.pathForResource("folder", "xml", "res"));
  EXPECT_FALSE(bundle.pathForResource("", "xml", "res"));

  auto inner = bundle.bundleAtPath(dir.path() + "/res");
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->resourcePath(), dir.path() + "/res");
  EXPECT_EQ(inner->identifier(), "com.example.app");
  EXPECT_EQ(inner->infoValue("CFBundleVersion"), Value("42"));
  EXPECT_EQ(inner->pathForResource("Manifest", "xml"), dir.path() + "/res/Manifest.xml");
  EXPECT_FALSE(bundle.bundleAtPath(dir.path() + "/README"));
  EXPECT_FALSE(bundle.bundleAtPath(dir.path() + "/missing"));
  EXPECT_FALSE(bundle.bundleAtPath(""));
}

TEST(HostServicesTest, SystemDeviceGivesFactsAndFreshUuids) {
  SystemDevice device;
  EXPECT_FALSE(device.model().empty());
  EXPECT_FALSE(device.systemVersion().empty());
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = device.newUUID();
    ASSERT_TRUE(isUpperUuid(uuid)) << uuid;
    EXPECT_EQ(uuid[14], '4') << uuid;  // random (version 4)
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(HostServicesTest, FixedDeviceGivesQueuedThenCountedUuids) {
  FixedDevice device("Phone9", "9.1");
  EXPECT_EQ(device.model(), "Phone9");
  EXPECT_EQ(device.systemVersion(), "9.1");
  device.queueUUID("11111111-2222-3333-4444-555555555555");
  EXPECT_EQ(device.newUUID(), "11111111-2222-3333-4444-555555555555");
  const std::string second = device.newUUID();
  const std::string third = device.newUUID();
  EXPECT_TRUE(isUpperUuid(second)) << second;
  EXPECT_TRUE(isUpperUuid(third)) << third;
  EXPECT_NE(second, third);
  EXPECT_EQ(device.uuidsMade(), 3);

  // Predictable: a second device makes the same sequence.
  FixedDevice other;
  other.newUUID();
  EXPECT_EQ(other.newUUID(), second);

  // Unique across threads.
  FixedDevice shared;
  std::vector<std::vector<std::string>> made(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) made[t].push_back(shared.newUUID());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> all;
  for (const auto& list : made) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 800u);
  EXPECT_EQ(shared.uuidsMade(), 800);
}

TEST(HostServicesTest, ManualClockStartOfTodayFollowsItsOffset) {
  // 2023-11-14 22:13:20 UTC.
  const double t = 1'700'000'000.0;
  const double utcMidnight = 1'699'920'000.0;  // 2023-11-14 00:00 UTC
  ManualClock clock(Date{t});
  EXPECT_EQ(clock.now().secondsSince1970, t);
  EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight);
  EXPECT_EQ(clock.utcOffsetSeconds(clock.now()), 0);

  // UTC+9: already 07:13 on the 15th locally; midnight was 15:00 UTC on the 14th.
  clock.setUtcOffset(9 * 3600);
  EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight + 86400 - 9 * 3600);
  // UTC-5: 17:13 on the 14th; midnight was 05:00 UTC.
  clock.setUtcOffset(-5 * 3600);
  EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight + 5 * 3600);
  // UTC-23: 23:13 on the 13th locally.
  clock.setUtcOffset(-23 * 3600);
  EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight - 86400 + 23 * 3600);

  // Exactly at local midnight, today starts now; a moment before, a day earlier.
  clock.setUtcOffset(3600);
  clock.set(Date{utcMidnight - 3600});
  EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight - 3600);
  clock.advance(-0.5);
  EXPECT_EQ(clock.startOfToday().secondsSince1970, utcMidnight - 3600 - 86400);

  // Before 1970 too.
  clock.setUtcOffset(0);
  clock.set(Date{-86400.0 * 3 + 10});
  EXPECT_EQ(clock.startOfToday().secondsSince1970, -86400.0 * 3);
}

TEST(HostServicesTest, SystemClockStartOfTodayIsWithinTheLastDay) {
  SystemClock clock;
  const Date before = clock.now();
  const Date start = clock.startOfToday();
  const Date after = clock.now();
  EXPECT_LE(before, after);
  EXPECT_LE(start.secondsSince1970, after.secondsSince1970);
  // A day with a daylight-saving change may have 25 hours.
  EXPECT_GT(start.secondsSince1970, before.secondsSince1970 - 25 * 3600);
  EXPECT_EQ(start.secondsSince1970, std::floor(start.secondsSince1970));
  // Local midnight: the wall-clock time of start is 00:00:00.
  const long offset = clock.utcOffsetSeconds(start);
  const long long local = static_cast<long long>(start.secondsSince1970) + offset;
  EXPECT_EQ(((local % 86400) + 86400) % 86400, 0);
}

TEST(HostServicesTest, SystemClockHandlesDaylightSavingZones) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  for (const char* zone :
       {"America/New_York", "Europe/Berlin", "Australia/Lord_Howe", "America/Santiago", "UTC"}) {
    setenv("TZ", zone, 1);
    tzset();
    SystemClock clock;
    const Date now = clock.now();
    const Date start = clock.startOfToday();
    EXPECT_LE(start.secondsSince1970, now.secondsSince1970) << zone;
    EXPECT_GT(start.secondsSince1970, now.secondsSince1970 - 25 * 3600) << zone;
  }
  if (previous) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(HostServicesTest, LogSinksKeepWholeLines) {
  CapturingLogSink sink;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sink, t] {
      for (int i = 0; i < 100; ++i) sink.write("thread " + std::to_string(t) + " line");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sink.lines().size(), 400u);
  EXPECT_EQ(sink.count("thread 2 line"), 100u);
  EXPECT_EQ(sink.count("line"), 400u);
  EXPECT_TRUE(sink.contains("thread 3"));
  EXPECT_FALSE(sink.contains("thread 4"));
  sink.clear();
  EXPECT_TRUE(sink.lines().empty());

  // stderr: "yyyy-MM-dd HH:mm:ss.SSS [pid] line" on one line.
  testing::internal::CaptureStderr();
  StderrLogSink stderrSink;
  stderrSink.write("hello log");
  const std::string written = testing::internal::GetCapturedStderr();
  ASSERT_GE(written.size(), 24u);
  EXPECT_EQ(written[4], '-');
  EXPECT_EQ(written[10], ' ');
  EXPECT_EQ(written[19], '.');
  EXPECT_NE(written.find(" [" + std::to_string(getpid()) + "] hello log\n"), std::string::npos)
      << written;
  EXPECT_EQ(written.back(), '\n');
  EXPECT_EQ(written.find('\n'), written.size() - 1);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(HostServicesTest, DesktopHostWiresTheGivenOptions) {
  test::TempDir dir;
  dir.write("bundle/res/Manifest.xml", "<manifest/>");
  auto log = std::make_shared<CapturingLogSink>();
  auto loop = std::make_shared<RunLoop>();
  DesktopHostOptions options;
  options.bundleDirectory = dir.path() + "/bundle";
  options.bundleIdentifier = "com.example.desk";
  options.bundleVersion = "3.2";
  options.dataDirectory = dir.path() + "/data";
  options.keychainDirectory = dir.path() + "/keys";
  options.keychainSeed = "SEED77";
  options.log = log;
  options.mainQueue = loop;
  auto host = makeDesktopHost(options);
  ASSERT_TRUE(host);
  EXPECT_EQ(host->log, log);
  EXPECT_EQ(host->mainQueue, loop);
  EXPECT_EQ(host->http, nullptr);
  ASSERT_TRUE(host->bundle && host->device && host->clock && host->notifications);
  EXPECT_EQ(host->bundle->identifier(), "com.example.desk");
  EXPECT_EQ(host->bundle->infoValue("CFBundleVersion"), Value("3.2"));
  EXPECT_EQ(host->bundle->pathForResource("Manifest", "xml", "res"),
            dir.path() + "/bundle/res/Manifest.xml");
  EXPECT_TRUE(isUpperUuid(host->device->newUUID()));

  ASSERT_TRUE(host->settings);
  host->settings->set("PushManagerKeyProbe", "1");
  EXPECT_TRUE(host->settings->synchronize());
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/data/settings.db"));

  // The keychain's default access group is the seed and the identifier.
  ASSERT_TRUE(host->keychain);
  Value stored;
  EXPECT_EQ(host->keychain->add(Dictionary{{std::string(keychain::kClass),
                                            std::string(keychain::kClassGenericPassword)},
                                           {std::string(keychain::kAttrService), "svc"},
                                           {std::string(keychain::kAttrAccount), "acct"},
                                           {std::string(keychain::kValueData), Bytes{1}},
                                           {std::string(keychain::kReturnAttributes), true}},
                                &stored),
            KeychainStatus::Success);
  ASSERT_TRUE(stored.isDictionary());
  EXPECT_EQ(stored.asDictionary()->get(keychain::kAttrAccessGroup),
            Value("SEED77.com.example.desk"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/keys"));

  // The notification host answers through the given main queue.
  host->notifications->registerForRemoteNotifications();
  EXPECT_EQ(loop->pending(), 1u);
  EXPECT_TRUE(log->lines().empty());
}

TEST(HostServicesTest, DesktopHostDefaultsFollowTheEnvironment) {
  test::TempDir dir;
  ScopedEnv xdg("XDG_DATA_HOME", dir.path().c_str());
  ScopedEnv bundleDir("ORVO_BUNDLE_DIR", nullptr);
  DesktopHostOptions options;
  options.bundleIdentifier = "com.example.defaults";
  options.log = std::make_shared<CapturingLogSink>();
  auto host = makeDesktopHost(options);
  EXPECT_EQ(host->bundle->resourcePath(), std::filesystem::current_path().string());
  EXPECT_TRUE(host->mainQueue);
  host->settings->set("PushManagerKeyProbe", 1);
  EXPECT_TRUE(host->settings->synchronize());
  EXPECT_TRUE(
      std::filesystem::is_regular_file(dir.path() + "/orvo-push/com.example.defaults/settings.db"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/orvo-push-keychain"));

  ScopedEnv bundleFromEnv("ORVO_BUNDLE_DIR", dir.path().c_str());
  EXPECT_EQ(makeDesktopHost(options)->bundle->resourcePath(), dir.path());
}

}  // namespace
}  // namespace orvo
