#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "orvo/platform/Desktop.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/SettingsStore.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs SQL on the file through a connection of its own.
void execOn(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

// The first column of the first row, as text; "" when there is none.
std::string queryOn(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      if (text) out = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return out;
}

Dictionary everyType() {
  Dictionary nested{{"inner", Value(Array{Value(1), Value("two"), Value(Dictionary{})})}};
  return Dictionary{
      {"bool", Value(true)},
      {"falseBool", Value(false)},
      {"int", Value(std::int64_t{-9007199254740993})},
      {"one", Value(1)},
      {"real", Value(1.0)},
      {"string", Value("héllo\nworld")},
      {"empty", Value("")},
      {"date", Value(Date{1700000000.25})},
      {"bytes", Value(Bytes{0, 1, 0xff, 0})},
      {"array", Value(Array{Value(true), Value(2.5), Value(nullptr)})},
      {"dict", Value(nested)},
  };
}

TEST(MemorySettingsStoreTest, GetSetRemoveAndSynchronize) {
  MemorySettingsStore store;
  EXPECT_TRUE(store.get("missing").isNull());
  store.set("a", Value("1"));
  store.set("a", Value(2));
  store.set("b", Value(true));
  EXPECT_EQ(store.get("a"), Value(2));
  store.set("b", Value());
  EXPECT_TRUE(store.get("b").isNull());
  EXPECT_EQ(store.snapshot().count("b"), 0u);
  store.remove("a");
  store.remove("never-set");
  EXPECT_TRUE(store.snapshot().empty());

  EXPECT_EQ(store.synchronizeCount(), 0u);
  EXPECT_TRUE(store.synchronize());
  EXPECT_TRUE(store.synchronize());
  EXPECT_EQ(store.synchronizeCount(), 2u);

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 200; ++i) {
        store.set("k" + std::to_string(t), Value(i));
        store.get("k" + std::to_string((t + 1) % 4));
        store.synchronize();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store.synchronizeCount(), 802u);
  EXPECT_EQ(store.get("k3"), Value(199));
}

TEST(SqliteSettingsStoreTest, ValuesSurviveReopenAfterSynchronize) {
  test::TempDir dir;
  const std::string path = dir.path() + "/new/deeper/settings.db";
  auto log = std::make_shared<CapturingLogSink>();
  const Dictionary values = everyType();
  {
    SqliteSettingsStore store(path, log);
    EXPECT_TRUE(store.isPersistent());
    for (const auto& [key, value] : values) store.set(key, value);
    store.set("gone", Value("x"));
    store.set("nulled", Value("x"));
    EXPECT_TRUE(store.synchronize());
    store.remove("gone");
    store.set("nulled", Value());
    store.remove("never-set");
    EXPECT_TRUE(store.synchronize());
    EXPECT_TRUE(store.synchronize());  // nothing pending
  }
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() + "/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir.path() + "/new/deeper").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(queryOn(path, "PRAGMA journal_mode"), "wal");

  SqliteSettingsStore reopened(path, log);
  EXPECT_TRUE(reopened.isPersistent());
  for (const auto& [key, value] : values) EXPECT_EQ(reopened.get(key), value) << key;
  // Kinds stay apart: 1, 1.0 and true are three different values.
  EXPECT_TRUE(reopened.get("one").isInt());
  EXPECT_TRUE(reopened.get("real").isReal());
  EXPECT_TRUE(reopened.get("bool").isBool());
  EXPECT_TRUE(reopened.get("gone").isNull());
  EXPECT_TRUE(reopened.get("nulled").isNull());
  EXPECT_TRUE(log->lines().empty());
}

TEST(SqliteSettingsStoreTest, OnlySynchronizeWrites) {
  test::TempDir dir;
  const std::string path = dir.path() + "/settings.db";
  auto log = std::make_shared<CapturingLogSink>();
  const std::string countKept = "SELECT count(*) FROM settings WHERE key = 'kept'";
  const std::string countLater = "SELECT count(*) FROM settings WHERE key = 'later'";
  {
    SqliteSettingsStore store(path, log);
    store.set("kept", Value("v"));
    EXPECT_EQ(store.get("kept"), Value("v"));
    EXPECT_EQ(queryOn(path, countKept), "0");
    ASSERT_TRUE(store.synchronize());
    EXPECT_EQ(queryOn(path, countKept), "1");

    store.remove("kept");
    store.set("later", Value(1));
    EXPECT_TRUE(store.get("kept").isNull());
    EXPECT_EQ(queryOn(path, countKept), "1");
    EXPECT_EQ(queryOn(path, countLater), "0");
  }
  // Pending changes are written when the store goes.
  EXPECT_EQ(queryOn(path, countKept), "0");
  EXPECT_EQ(queryOn(path, countLater), "1");
}

TEST(SqliteSettingsStoreTest, FailedWriteIsKeptForRetry) {
  test::TempDir dir;
  const std::string path = dir.path() + "/settings.db";
  auto log = std::make_shared<CapturingLogSink>();
  SqliteSettingsStore store(path, log);
  store.set("before", Value(1));
  ASSERT_TRUE(store.synchronize());

  execOn(path,
         "CREATE TRIGGER refuse BEFORE INSERT ON settings BEGIN SELECT RAISE(ABORT, "
         "'injected failure'); END");
  store.remove("before");
  store.set("a", Value(2));
  EXPECT_FALSE(store.synchronize());
  EXPECT_EQ(log->count("injected failure"), 1u);
  EXPECT_EQ(log->count(path), 1u);
  EXPECT_EQ(store.get("a"), Value(2));
  // Rolled back as a whole: the removal did not reach the file either.
  EXPECT_EQ(queryOn(path, "SELECT count(*) FROM settings"), "1");

  execOn(path, "DROP TRIGGER refuse");
  EXPECT_TRUE(store.synchronize());
  EXPECT_EQ(queryOn(path, "SELECT count(*) FROM settings WHERE key = 'a'"), "1");
  EXPECT_EQ(queryOn(path, "SELECT count(*) FROM settings WHERE key = 'before'"), "0");
  EXPECT_TRUE(store.isPersistent());
}

// The file must come out of open, set and synchronize byte for byte as it was.
void expectFallbackLeavesFileAlone(const std::string& path, std::string_view sqliteMessage) {
  const std::string before = readFile(path);
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteSettingsStore store(path, log);
    EXPECT_FALSE(store.isPersistent());
    ASSERT_EQ(log->lines().size(), 1u);
    EXPECT_EQ(log->count(path), 1u);
    if (!sqliteMessage.empty()) {
      EXPECT_EQ(log->count(sqliteMessage), 1u) << log->lines()[0];
    }
    store.set("k", Value("v"));
    EXPECT_EQ(store.get("k"), Value("v"));
    EXPECT_FALSE(store.synchronize());
    store.remove("k");
    EXPECT_TRUE(store.get("k").isNull());
    store.set("k2", Value(3));
  }
  EXPECT_EQ(log->lines().size(), 1u);
  EXPECT_EQ(readFile(path), before);
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
    for (int i = 0; i < 100; ++i)
      store.set("key" + std::to_string(i), Value(std::string(500, 'x')));
    ASSERT_TRUE(store.synchronize());
  }
  const std::string full = readFile(real);
  ASSERT_GT(full.size(), 16384u);
  for (std::size_t size : {std::size_t{50}, std::size_t{4096}, std::size_t{4096 + 17},
                           full.size() / 2, full.size() - 4096}) {
    SCOPED_TRACE(size);
    expectFallbackLeavesFileAlone(dir.write("cut.db", std::string_view(full).substr(0, size)), "");
  }

  // A directory where the file should be.
  const std::string directory = dir.path() + "/is-a-directory";
  std::filesystem::create_directory(directory);
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteSettingsStore store(directory, log);
    EXPECT_FALSE(store.isPersistent());
    store.set("k", Value(1));
    EXPECT_EQ(store.get("k"), Value(1));
    EXPECT_FALSE(store.synchronize());
  }
  EXPECT_EQ(log->count(directory), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(directory));
  EXPECT_TRUE(std::filesystem::is_empty(directory));
}

TEST(SqliteSettingsStoreTest, UnreadableRowIsSkippedAndKept) {
  test::TempDir dir;
  const std::string path = dir.path() + "/settings.db";
  {
    SqliteSettingsStore store(path, nullptr);
    store.set("good", Value("fine"));
    ASSERT_TRUE(store.synchronize());
  }
  execOn(path, "INSERT INTO settings(key, value) VALUES('bad', x'00112233')");

  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteSettingsStore store(path, log);
    EXPECT_TRUE(store.isPersistent());
    EXPECT_EQ(store.get("good"), Value("fine"));
    EXPECT_TRUE(store.get("bad").isNull());
    ASSERT_EQ(log->lines().size(), 1u);
    EXPECT_EQ(log->count("\"bad\""), 1u);
    store.set("other", Value(1));
    EXPECT_TRUE(store.synchronize());
  }
  EXPECT_EQ(queryOn(path, "SELECT hex(value) FROM settings WHERE key = 'bad'"), "00112233");
  EXPECT_EQ(log->lines().size(), 1u);
}

TEST(SqliteSettingsStoreTest, ConcurrentUseKeepsEveryValue) {
  test::TempDir dir;
  const std::string path = dir.path() + "/settings.db";
  {
    SqliteSettingsStore store(path, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&store, t] {
        for (int i = 0; i < 50; ++i) {
          store.set("t" + std::to_string(t) + "-" + std::to_string(i), Value(i));
          store.get("t0-0");
          if (i % 10 == 9) {
            EXPECT_TRUE(store.synchronize());
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  SqliteSettingsStore reopened(path, nullptr);
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(reopened.get("t" + std::to_string(t) + "-" + std::to_string(i)), Value(i));
    }
  }
}

}  // namespace
}  // namespace orvo
