#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "Helpers.h"
#include "orvo/platform/Desktop.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using test::sql;

// Four threads set, read and synchronize at once.
void hammer(SettingsStore& store) {
  test::onThreads(4, [&store](int t) {
    for (int i = 0; i < 50; ++i) {
      store.set("t" + std::to_string(t) + "-" + std::to_string(i), i);
      store.get("t0-0");
      EXPECT_TRUE(i % 10 != 9 || store.synchronize());
    }
  });
}

TEST(SqliteSettingsStoreTest, OnlySynchronizedValuesReachTheFileAndSurviveReopen) {
  test::TempDir dir;
  const std::string path = dir.path() + "/new/deeper/settings.db";
  auto log = std::make_shared<CapturingLogSink>();
  const Array values{true,
                     false,
                     std::int64_t{-9007199254740993},
                     1,
                     1.0,
                     "héllo\nworld",
                     "",
                     Date{1700000000.25},
                     Bytes{0, 1, 0xff, 0},
                     Dictionary{{"inner", Array{true, 2.5, nullptr, Dictionary{}}}}};
  const std::string changed =
      "SELECT group_concat(key) FROM settings WHERE key IN ('gone', 'nulled', 'later')";
  {
    SqliteSettingsStore store(path, log);
    EXPECT_TRUE(store.isPersistent());
    for (std::size_t i = 0; i < values.size(); ++i) store.set(std::to_string(i), values[i]);
    store.set("gone", "x");
    store.set("nulled", "x");
    EXPECT_EQ(sql(path, "SELECT count(*) FROM settings"), "0");
    ASSERT_TRUE(store.synchronize());
    EXPECT_TRUE(store.synchronize());  // nothing pending
    hammer(store);
    store.remove("gone");
    store.set("nulled", Value());
    store.set("later", 1);
    EXPECT_TRUE(store.get("gone").isNull());
    // Listed by prefix in byte order, changes not yet synchronized included.
    EXPECT_EQ(store.keys("t1-4"),
              (std::vector<std::string>{"t1-4", "t1-40", "t1-41", "t1-42", "t1-43", "t1-44",
                                        "t1-45", "t1-46", "t1-47", "t1-48", "t1-49"}));
    EXPECT_TRUE(store.keys("g").empty() && store.keys("n").empty());
    EXPECT_EQ(store.keys("l"), std::vector<std::string>{"later"});
    EXPECT_EQ(sql(path, changed), "gone,nulled");
  }
  // Pending changes are written when the store goes.
  EXPECT_EQ(sql(path, changed), "later");
  EXPECT_EQ(test::modeOf(dir.path() + "/new"), 0700u);
  EXPECT_EQ(test::modeOf(dir.path() + "/new/deeper"), 0700u);
  EXPECT_EQ(sql(path, "PRAGMA journal_mode"), "wal");

  // A row that cannot be read is skipped, reported once and kept.
  sql(path, "INSERT INTO settings(key, value) VALUES('bad', x'00112233')");
  {
    SqliteSettingsStore reopened(path, log);
    EXPECT_TRUE(reopened.isPersistent());
    // Kinds stay apart: 1, 1.0 and true are three different values.
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_EQ(reopened.get(std::to_string(i)), values[i]) << i;
    }
    for (int i = 0; i < 200; ++i) {
      EXPECT_EQ(reopened.get("t" + std::to_string(i / 50) + "-" + std::to_string(i % 50)),
                Value(i % 50));
    }
    EXPECT_TRUE(reopened.get("gone").isNull() && reopened.get("nulled").isNull() &&
                reopened.get("bad").isNull());
    EXPECT_EQ(reopened.get("later"), Value(1));
    EXPECT_EQ(reopened.keys("t3-4").size(), 11u);
    reopened.set("other", 1);
    EXPECT_TRUE(reopened.synchronize());
  }
  ASSERT_EQ(log->lines().size(), 1u);
  EXPECT_EQ(log->count("\"bad\""), 1u);
  EXPECT_EQ(sql(path, "SELECT hex(value) FROM settings WHERE key = 'bad'"), "00112233");
}

// A process that only reads (the service extension) reads through a
// connection of its own while the application's is open, and creates and
// changes nothing; a write later in the same process still lands.
TEST(SqliteSettingsStoreTest, AReaderSeesCommittedValuesAndChangesNothing) {
  test::TempDir dir;
  const std::string path = dir.path() + "/data/settings.db";
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteSettingsStore reader(path, log);
    EXPECT_TRUE(reader.get("k").isNull());
    EXPECT_TRUE(reader.synchronize());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/data"));

  // A file without the table yet reads as empty, and is left as it is.
  const std::string bare = dir.write("bare.db", "");
  sql(bare, "CREATE TABLE other(x)");
  const std::string bareBefore = test::readFile(bare);
  EXPECT_TRUE(SqliteSettingsStore(bare, log).get("k").isNull());
  EXPECT_TRUE(test::readFile(bare) == bareBefore) << "the reader changed " << bare;

  // The writer stays open, so what it committed is still in its WAL.
  SqliteSettingsStore application(path, log);
  application.set("k", "v");
  ASSERT_TRUE(application.synchronize());
  {
    SqliteSettingsStore reader(path, log);
    EXPECT_EQ(reader.get("k"), Value("v"));
    reader.set("k2", 2);
    EXPECT_TRUE(reader.synchronize());
  }
  EXPECT_EQ(sql(path, "SELECT count(*) FROM settings"), "2");
  application.set("k3", 3);
  EXPECT_TRUE(application.synchronize());
  EXPECT_EQ(sql(path, "SELECT count(*) FROM settings"), "3");
  EXPECT_TRUE(log->lines().empty());
}

TEST(SqliteSettingsStoreTest, FailedWriteIsRolledBackAndRetried) {
  test::TempDir dir;
  const std::string path = dir.path() + "/settings.db";
  auto log = std::make_shared<CapturingLogSink>();
  SqliteSettingsStore store(path, log);
  store.set("before", 1);
  ASSERT_TRUE(store.synchronize());
  sql(path,
      "CREATE TRIGGER refuse BEFORE INSERT ON settings BEGIN SELECT RAISE(ABORT, "
      "'injected failure'); END");
  store.remove("before");
  store.set("a", 2);
  EXPECT_FALSE(store.synchronize());
  EXPECT_EQ(log->count("injected failure"), 1u);
  EXPECT_EQ(log->count(path), 1u);
  EXPECT_EQ(store.get("a"), Value(2));
  // Rolled back as a whole: the removal did not reach the file either.
  EXPECT_EQ(sql(path, "SELECT group_concat(key) FROM settings"), "before");

  sql(path, "DROP TRIGGER refuse");
  EXPECT_TRUE(store.synchronize());
  EXPECT_EQ(sql(path, "SELECT group_concat(key) FROM settings"), "a");
  EXPECT_TRUE(store.isPersistent());
}

// Open, set and synchronize: exactly one log line, values kept in memory, and
// the file byte for byte as it was.
void expectFallbackLeavesFileAlone(const std::string& path, std::string_view sqliteMessage) {
  const std::string before = test::readFile(path);
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteSettingsStore store(path, log);
    EXPECT_FALSE(store.isPersistent());
    store.set("k", "v");
    EXPECT_EQ(store.get("k"), Value("v"));
    EXPECT_FALSE(store.synchronize());
    store.set("k2", 3);
  }
  ASSERT_EQ(log->lines().size(), 1u);
  EXPECT_EQ(log->count(path), 1u);
  EXPECT_EQ(log->count(sqliteMessage), 1u) << log->lines()[0];
  EXPECT_EQ(test::readFile(path), before);
}

TEST(SqliteSettingsStoreTest, UnusableFileFallsBackToMemoryAndIsLeftAlone) {
  test::TempDir dir;
  std::mt19937 random(7);
  std::string noise(8192, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  expectFallbackLeavesFileAlone(dir.write("random.db", noise), "file is not a database");
  expectFallbackLeavesFileAlone(dir.write("text.db", "key=value\nthis is not a database\n"),
                                "file is not a database");

  // A real database, cut short at several places.
  const std::string real = dir.path() + "/real.db";
  {
    SqliteSettingsStore store(real, nullptr);
    for (int i = 0; i < 100; ++i) store.set("key" + std::to_string(i), std::string(500, 'x'));
    ASSERT_TRUE(store.synchronize());
  }
  const std::string full = test::readFile(real);
  ASSERT_GT(full.size(), 16384u);
  for (std::size_t size : {std::size_t{50}, std::size_t{4096}, std::size_t{4096 + 17},
                           full.size() / 2, full.size() - 4096}) {
    SCOPED_TRACE(size);
    expectFallbackLeavesFileAlone(dir.write("cut.db", std::string_view(full).substr(0, size)), "");
  }

  const std::string directory = dir.path() + "/is-a-directory";
  std::filesystem::create_directory(directory);
  expectFallbackLeavesFileAlone(directory, "");
  EXPECT_TRUE(std::filesystem::is_directory(directory) && std::filesystem::is_empty(directory));
}

// Directories and new files are the keychain's tests'; here SQLite's side
// files under the usual umask, and a file tightened without gaining bits.
TEST(SqliteSettingsStoreTest, FilesArePrivateAndOnlyTightened) {
  test::TempDir dir;
  const std::string path = dir.write("settings.db", "");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  const mode_t before = ::umask(022);
  {
    SqliteSettingsStore store(path, nullptr);
    store.set("k", 1);
    ASSERT_TRUE(store.synchronize());
    for (const char* suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(test::modeOf(path + suffix), 0600u) << suffix;
    }
  }
  ASSERT_EQ(::chmod(path.c_str(), 0400), 0);
  SqliteSettingsStore(path, nullptr).set("k", 2);
  EXPECT_EQ(test::modeOf(path), 0400u);
  ::umask(before);
}

}  // namespace
}  // namespace orvo
