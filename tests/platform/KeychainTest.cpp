#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "orvo/platform/Desktop.h"
#include "orvo/platform/Keychain.h"
#include "orvo/platform/LogSink.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace keychain;

Dictionary item(std::string_view service, std::string_view account, std::string_view data) {
  return Dictionary{{std::string(kClass), Value(kClassGenericPassword)},
                    {std::string(kAttrService), Value(service)},
                    {std::string(kAttrAccount), Value(account)},
                    {std::string(kValueData), Value(toBytes(data))}};
}

Dictionary query(std::string_view service, std::string_view account) {
  return Dictionary{{std::string(kClass), Value(kClassGenericPassword)},
                    {std::string(kAttrService), Value(service)},
                    {std::string(kAttrAccount), Value(account)}};
}

Dictionary with(Dictionary d, std::string_view key, Value value) {
  d.set(std::string(key), std::move(value));
  return d;
}

TEST(MemoryKeychainTest, MatchingAndResultShapes) {
  MemoryKeychain keychain("SEED.bundle.id");
  ASSERT_EQ(keychain.add(with(item("svc", "a", "alpha"), kAttrGeneric, Value("g1")), nullptr),
            KeychainStatus::Success);
  ASSERT_EQ(keychain.add(with(item("svc", "b", "beta"), kAttrGeneric, Value("g1")), nullptr),
            KeychainStatus::Success);

  // Data only: the first match's bytes.
  Value result;
  EXPECT_EQ(keychain.copyMatching(with(query("svc", "b"), kReturnData, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_EQ(result, Value(toBytes("beta")));

  // Attributes: no class, no data unless asked, access group filled in.
  Dictionary attrQuery = with(query("svc", "a"), kReturnAttributes, Value(true));
  ASSERT_EQ(keychain.copyMatching(attrQuery, &result), KeychainStatus::Success);
  ASSERT_TRUE(result.isDictionary());
  const Dictionary& attrs = *result.asDictionary();
  EXPECT_FALSE(attrs.contains(kClass));
  EXPECT_FALSE(attrs.contains(kValueData));
  EXPECT_EQ(attrs.get(kAttrAccount), Value("a"));
  EXPECT_EQ(attrs.get(kAttrGeneric), Value("g1"));
  EXPECT_EQ(attrs.get(kAttrAccessGroup), Value("SEED.bundle.id"));

  ASSERT_EQ(keychain.copyMatching(with(attrQuery, kReturnData, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_EQ(result.asDictionary()->get(kValueData), Value(toBytes("alpha")));

  // All matches of a partial query, as an array.
  Dictionary byGeneric{{std::string(kClass), Value(kClassGenericPassword)},
                       {std::string(kAttrGeneric), Value("g1")},
                       {std::string(kMatchLimit), Value(kMatchLimitAll)},
                       {std::string(kReturnAttributes), Value(true)}};
  ASSERT_EQ(keychain.copyMatching(byGeneric, &result), KeychainStatus::Success);
  ASSERT_TRUE(result.isArray());
  ASSERT_EQ(result.asArray()->size(), 2u);
  EXPECT_EQ((*result.asArray())[1].asDictionary()->get(kAttrAccount), Value("b"));

  Dictionary allData = with(byGeneric, kReturnAttributes, Value(false));
  allData.set(std::string(kReturnData), Value(true));
  ASSERT_EQ(keychain.copyMatching(allData, &result), KeychainStatus::Success);
  EXPECT_EQ(result, Value(Array{Value(toBytes("alpha")), Value(toBytes("beta"))}));

  // Data in a query never takes part in matching.
  EXPECT_EQ(
      keychain.copyMatching(with(query("svc", "a"), kValueData, Value(toBytes("x"))), nullptr),
      KeychainStatus::Success);

  // Without a return key the result is not touched.
  Value untouched("sentinel");
  EXPECT_EQ(keychain.copyMatching(query("svc", "a"), &untouched), KeychainStatus::Success);
  EXPECT_EQ(untouched, Value("sentinel"));

  // Misses and bad queries.
  EXPECT_EQ(keychain.copyMatching(query("svc", "c"), &untouched), KeychainStatus::ItemNotFound);
  EXPECT_EQ(
      keychain.copyMatching(with(query("svc", "a"), kAttrAccessGroup, Value("other")), &untouched),
      KeychainStatus::ItemNotFound);
  Dictionary noClass = query("svc", "a");
  noClass.erase(kClass);
  EXPECT_EQ(keychain.copyMatching(noClass, &untouched), KeychainStatus::Param);
  EXPECT_EQ(untouched, Value("sentinel"));

  // Control keys are never stored.
  for (const Dictionary& stored : keychain.items()) {
    EXPECT_FALSE(stored.contains(kReturnData));
    EXPECT_FALSE(stored.contains(kReturnAttributes));
    EXPECT_FALSE(stored.contains(kMatchLimit));
  }
}

TEST(MemoryKeychainTest, AddDuplicatesAndBundleSeedProbe) {
  MemoryKeychain keychain("SEED.bundle.id");

  // The probe the library uses to learn its bundle seed.
  Dictionary probe{{std::string(kClass), Value(kClassGenericPassword)},
                   {std::string(kAttrAccount), Value("bundleSeedID")},
                   {std::string(kAttrService), Value("")},
                   {std::string(kReturnAttributes), Value(true)}};
  Value result;
  EXPECT_EQ(keychain.copyMatching(probe, &result), KeychainStatus::ItemNotFound);
  ASSERT_EQ(keychain.add(probe, &result), KeychainStatus::Success);
  ASSERT_TRUE(result.isDictionary());
  EXPECT_EQ(result.asDictionary()->get(kAttrAccessGroup), Value("SEED.bundle.id"));
  EXPECT_FALSE(result.asDictionary()->contains(kClass));
  EXPECT_FALSE(result.asDictionary()->contains(kValueData));
  EXPECT_EQ(keychain.copyMatching(probe, &result), KeychainStatus::Success);
  EXPECT_EQ(result.asDictionary()->get(kAttrAccount), Value("bundleSeedID"));

  // Same class, service, account and group: duplicate. Another group: a new item.
  ASSERT_EQ(keychain.add(item("svc", "k", "1"), nullptr), KeychainStatus::Success);
  EXPECT_EQ(keychain.add(item("svc", "k", "2"), nullptr), KeychainStatus::DuplicateItem);
  EXPECT_EQ(
      keychain.add(with(item("svc", "k", "2"), kAttrAccessGroup, Value("SEED.bundle.id")), nullptr),
      KeychainStatus::DuplicateItem);
  EXPECT_EQ(
      keychain.add(with(item("svc", "k", "3"), kAttrAccessGroup, Value("SEED.other")), nullptr),
      KeychainStatus::Success);
  // A different label does not make an item distinct.
  EXPECT_EQ(keychain.add(with(item("svc", "k", "4"), kAttrLabel, Value("x")), nullptr),
            KeychainStatus::DuplicateItem);

  // Without a group a search finds both items, the first one first.
  EXPECT_EQ(keychain.copyMatching(with(query("svc", "k"), kReturnData, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_EQ(result, Value(toBytes("1")));
  EXPECT_EQ(keychain.copyMatching(with(with(query("svc", "k"), kReturnData, Value(true)),
                                       kAttrAccessGroup, Value("SEED.other")),
                                  &result),
            KeychainStatus::Success);
  EXPECT_EQ(result, Value(toBytes("3")));

  Dictionary noClass = item("svc", "z", "1");
  noClass.erase(kClass);
  EXPECT_EQ(keychain.add(noClass, nullptr), KeychainStatus::Param);
  EXPECT_EQ(keychain.add(with(item("svc", "z", ""), kValueData, Value(42)), nullptr),
            KeychainStatus::Param);
  EXPECT_EQ(keychain.items().size(), 3u);
}

TEST(MemoryKeychainTest, UpdateIsAllOrNothing) {
  MemoryKeychain keychain("SEED.bundle.id");
  ASSERT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
  ASSERT_EQ(keychain.add(item("svc", "b", "2"), nullptr), KeychainStatus::Success);
  ASSERT_EQ(keychain.add(item("other", "c", "3"), nullptr), KeychainStatus::Success);

  // Data and attributes of every match change together.
  Dictionary bySvc{{std::string(kClass), Value(kClassGenericPassword)},
                   {std::string(kAttrService), Value("svc")}};
  Dictionary changes{{std::string(kValueData), Value(toBytes("new"))},
                     {std::string(kAttrLabel), Value("L")}};
  ASSERT_EQ(keychain.update(bySvc, changes), KeychainStatus::Success);
  Value result;
  for (std::string_view account : {"a", "b"}) {
    ASSERT_EQ(keychain.copyMatching(with(with(query("svc", account), kReturnData, Value(true)),
                                         kReturnAttributes, Value(true)),
                                    &result),
              KeychainStatus::Success);
    EXPECT_EQ(result.asDictionary()->get(kValueData), Value(toBytes("new")));
    EXPECT_EQ(result.asDictionary()->get(kAttrLabel), Value("L"));
  }
  ASSERT_EQ(keychain.copyMatching(with(query("other", "c"), kReturnData, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_EQ(result, Value(toBytes("3")));

  const auto before = keychain.items();
  // Giving both matches the same account would make them collide: nothing changes.
  EXPECT_EQ(keychain.update(bySvc, Dictionary{{std::string(kAttrAccount), Value("same")}}),
            KeychainStatus::DuplicateItem);
  // Colliding with an item that is not being changed.
  EXPECT_EQ(
      keychain.update(query("other", "c"), Dictionary{{std::string(kAttrService), Value("svc")},
                                                      {std::string(kAttrAccount), Value("a")}}),
      KeychainStatus::DuplicateItem);
  EXPECT_EQ(keychain.update(bySvc, Dictionary{{std::string(kClass), Value("x")}}),
            KeychainStatus::Param);
  EXPECT_EQ(keychain.update(query("none", "none"), changes), KeychainStatus::ItemNotFound);
  EXPECT_EQ(keychain.items(), before);

  // Moving one item to a free key is fine.
  EXPECT_EQ(keychain.update(query("svc", "a"), Dictionary{{std::string(kAttrAccount), Value("z")}}),
            KeychainStatus::Success);
  EXPECT_EQ(keychain.copyMatching(query("svc", "z"), nullptr), KeychainStatus::Success);
  EXPECT_EQ(keychain.copyMatching(query("svc", "a"), nullptr), KeychainStatus::ItemNotFound);
}

TEST(MemoryKeychainTest, RemoveAndInjectedFailures) {
  MemoryKeychain keychain;
  ASSERT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
  ASSERT_EQ(keychain.add(item("svc", "b", "2"), nullptr), KeychainStatus::Success);
  ASSERT_EQ(keychain.add(item("keep", "c", "3"), nullptr), KeychainStatus::Success);

  // Queued failures are used one per call, and the call changes nothing.
  keychain.failNext(MemoryKeychain::Operation::Remove, KeychainStatus::Other);
  keychain.failNext(MemoryKeychain::Operation::Remove, KeychainStatus::Param);
  EXPECT_EQ(keychain.remove(query("svc", "a")), KeychainStatus::Other);
  EXPECT_EQ(keychain.remove(query("svc", "a")), KeychainStatus::Param);
  EXPECT_EQ(keychain.items().size(), 3u);

  keychain.failNext(MemoryKeychain::Operation::Add, KeychainStatus::Other);
  EXPECT_EQ(keychain.add(item("svc", "d", "4"), nullptr), KeychainStatus::Other);
  EXPECT_EQ(keychain.add(item("svc", "d", "4"), nullptr), KeychainStatus::Success);

  keychain.failNext(MemoryKeychain::Operation::CopyMatching, KeychainStatus::ItemNotFound);
  EXPECT_EQ(keychain.copyMatching(query("svc", "a"), nullptr), KeychainStatus::ItemNotFound);
  EXPECT_EQ(keychain.copyMatching(query("svc", "a"), nullptr), KeychainStatus::Success);

  keychain.failNext(MemoryKeychain::Operation::Update, KeychainStatus::Other);
  EXPECT_EQ(keychain.update(query("svc", "a"), Dictionary{{std::string(kAttrLabel), Value("x")}}),
            KeychainStatus::Other);
  Value result;
  ASSERT_EQ(keychain.copyMatching(with(query("svc", "a"), kReturnAttributes, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_FALSE(result.asDictionary()->contains(kAttrLabel));

  // Remove takes every match, and reports a miss.
  Dictionary bySvc{{std::string(kClass), Value(kClassGenericPassword)},
                   {std::string(kAttrService), Value("svc")}};
  EXPECT_EQ(keychain.remove(bySvc), KeychainStatus::Success);
  EXPECT_EQ(keychain.remove(bySvc), KeychainStatus::ItemNotFound);
  Dictionary noClass = query("keep", "c");
  noClass.erase(kClass);
  EXPECT_EQ(keychain.remove(noClass), KeychainStatus::Param);
  ASSERT_EQ(keychain.items().size(), 1u);
  EXPECT_EQ(keychain.items()[0].get(kAttrService), Value("keep"));
}

// Persists into a vector and can be told to refuse.
class RecordingKeychain : public MemoryKeychain {
 public:
  bool refuse = false;
  std::vector<std::vector<Dictionary>> persisted;

 protected:
  bool persist(const std::vector<Dictionary>& items) override {
    if (refuse) return false;
    persisted.push_back(items);
    return true;
  }
};

TEST(MemoryKeychainTest, PersistFailureRollsBack) {
  RecordingKeychain keychain;
  ASSERT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
  ASSERT_EQ(keychain.persisted.size(), 1u);
  EXPECT_EQ(keychain.persisted.back(), keychain.items());

  keychain.refuse = true;
  const auto before = keychain.items();
  Value result("sentinel");
  EXPECT_EQ(keychain.add(with(item("svc", "b", "2"), kReturnAttributes, Value(true)), &result),
            KeychainStatus::Other);
  EXPECT_EQ(result, Value("sentinel"));
  EXPECT_EQ(keychain.update(query("svc", "a"),
                            Dictionary{{std::string(kValueData), Value(toBytes("9"))}}),
            KeychainStatus::Other);
  EXPECT_EQ(keychain.remove(query("svc", "a")), KeychainStatus::Other);
  EXPECT_EQ(keychain.items(), before);

  // setItems replaces the list without persisting it.
  keychain.refuse = false;
  keychain.setItems({});
  EXPECT_EQ(keychain.persisted.size(), 1u);
  EXPECT_EQ(keychain.copyMatching(query("svc", "a"), nullptr), KeychainStatus::ItemNotFound);
}

TEST(MemoryKeychainTest, ConcurrentAddsOfOneKeyGiveOneItem) {
  MemoryKeychain keychain;
  std::vector<std::thread> threads;
  std::atomic<int> successes = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (keychain.add(item("svc", std::to_string(i), std::to_string(t)), nullptr) ==
            KeychainStatus::Success) {
          ++successes;
        }
        keychain.copyMatching(with(query("svc", std::to_string(i)), kReturnData, Value(true)),
                              nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes.load(), 50);
  EXPECT_EQ(keychain.items().size(), 50u);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs SQL on the keychain file through a connection of its own.
void execOn(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

TEST(SqliteKeychainTest, ItemsSurviveReopenWithPrivateModes) {
  test::TempDir dir;
  const std::string directory = dir.path() + "/outer/keychain";
  const std::string file = directory + "/keychain.db";
  auto log = std::make_shared<CapturingLogSink>();
  std::vector<Dictionary> expected;
  {
    SqliteKeychain keychain(directory, "SEED.app", log);
    EXPECT_TRUE(keychain.isPersistent());
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    ASSERT_EQ(keychain.add(item("svc", "a", "alpha"), nullptr), KeychainStatus::Success);
    ASSERT_EQ(keychain.add(with(item("svc", "b", std::string("\0\xff", 2)), kAttrAccessible,
                                Value(kAttrAccessibleAfterFirstUnlock)),
                           nullptr),
              KeychainStatus::Success);
    ASSERT_EQ(keychain.add(item("svc", "c", "gamma"), nullptr), KeychainStatus::Success);
    ASSERT_EQ(keychain.update(query("svc", "a"),
                              Dictionary{{std::string(kValueData), Value(toBytes("changed"))}}),
              KeychainStatus::Success);
    ASSERT_EQ(keychain.remove(query("svc", "c")), KeychainStatus::Success);
    // SQLite's side files take the file's mode.
    for (const char* suffix : {"-wal", "-shm"}) {
      if (std::filesystem::exists(file + suffix)) {
        EXPECT_EQ(modeOf(file + suffix), 0600u) << suffix;
      }
    }
    expected = keychain.items();
  }
  ASSERT_EQ(expected.size(), 2u);

  SqliteKeychain reopened(directory, "SEED.app", log);
  EXPECT_TRUE(reopened.isPersistent());
  EXPECT_EQ(reopened.items(), expected);
  Value result;
  ASSERT_EQ(reopened.copyMatching(with(query("svc", "a"), kReturnData, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_EQ(result, Value(toBytes("changed")));
  EXPECT_EQ(reopened.add(item("svc", "b", "again"), nullptr), KeychainStatus::DuplicateItem);
  EXPECT_TRUE(log->lines().empty());
}

TEST(SqliteKeychainTest, ExistingLooseModesAreTightened) {
  test::TempDir dir;
  const std::string directory = dir.path() + "/keychain";
  const std::string file = dir.write("keychain/keychain.db", "");
  ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  SqliteKeychain keychain(directory, "SEED.app", nullptr);
  EXPECT_TRUE(keychain.isPersistent());
  EXPECT_EQ(modeOf(directory), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
}

TEST(SqliteKeychainTest, CorruptFileIsReportedOnceAndLeftAlone) {
  test::TempDir dir;
  const std::string directory = dir.path() + "/keychain";
  const std::string garbage = "this is not a keychain database, just some text\n";
  const std::string file = dir.write("keychain/keychain.db", garbage);
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteKeychain keychain(directory, "SEED.app", log);
    EXPECT_FALSE(keychain.isPersistent());
    ASSERT_EQ(log->lines().size(), 1u);
    EXPECT_EQ(log->count(file), 1u);
    EXPECT_EQ(log->count("file is not a database"), 1u);
    // Works in memory.
    ASSERT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
    EXPECT_EQ(keychain.copyMatching(query("svc", "a"), nullptr), KeychainStatus::Success);
    EXPECT_EQ(keychain.remove(query("svc", "a")), KeychainStatus::Success);
  }
  EXPECT_EQ(log->lines().size(), 1u);
  EXPECT_EQ(readFile(file), garbage);

  // A directory in place of the file.
  test::TempDir other;
  std::filesystem::create_directories(other.path() + "/kc/keychain.db");
  SqliteKeychain keychain(other.path() + "/kc", "SEED.app", log);
  EXPECT_FALSE(keychain.isPersistent());
  EXPECT_EQ(log->lines().size(), 2u);
  EXPECT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
}

TEST(SqliteKeychainTest, FailedWriteIsUndone) {
  test::TempDir dir;
  const std::string directory = dir.path() + "/keychain";
  const std::string file = directory + "/keychain.db";
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteKeychain keychain(directory, "SEED.app", log);
    ASSERT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
    execOn(file,
           "CREATE TRIGGER refuse BEFORE INSERT ON items BEGIN SELECT RAISE(ABORT, "
           "'injected failure'); END");
    const auto before = keychain.items();
    EXPECT_EQ(keychain.add(item("svc", "b", "2"), nullptr), KeychainStatus::Other);
    EXPECT_EQ(keychain.update(query("svc", "a"),
                              Dictionary{{std::string(kValueData), Value(toBytes("x"))}}),
              KeychainStatus::Other);
    EXPECT_EQ(keychain.items(), before);
    EXPECT_EQ(log->count("injected failure"), 2u) << log->lines().at(0);
    execOn(file, "DROP TRIGGER refuse");
    EXPECT_EQ(keychain.add(item("svc", "c", "3"), nullptr), KeychainStatus::Success);
  }
  SqliteKeychain reopened(directory, "SEED.app", log);
  Value result;
  ASSERT_EQ(reopened.copyMatching(with(query("svc", "a"), kReturnData, Value(true)), &result),
            KeychainStatus::Success);
  EXPECT_EQ(result, Value(toBytes("1")));
  EXPECT_EQ(reopened.copyMatching(query("svc", "b"), nullptr), KeychainStatus::ItemNotFound);
  EXPECT_EQ(reopened.copyMatching(query("svc", "c"), nullptr), KeychainStatus::Success);
}

TEST(SqliteKeychainTest, UnreadableRowsAreSkippedAndKept) {
  test::TempDir dir;
  const std::string directory = dir.path() + "/keychain";
  const std::string file = directory + "/keychain.db";
  {
    SqliteKeychain keychain(directory, "SEED.app", nullptr);
    ASSERT_EQ(keychain.add(item("svc", "a", "1"), nullptr), KeychainStatus::Success);
  }
  execOn(file, "INSERT INTO items(item) VALUES(x'DEADBEEF')");
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteKeychain keychain(directory, "SEED.app", log);
    EXPECT_TRUE(keychain.isPersistent());
    EXPECT_EQ(log->lines().size(), 1u);
    ASSERT_EQ(keychain.items().size(), 1u);
    ASSERT_EQ(keychain.remove(query("svc", "a")), KeychainStatus::Success);
    ASSERT_EQ(keychain.add(item("svc", "b", "2"), nullptr), KeychainStatus::Success);
  }
  SqliteKeychain reopened(directory, "SEED.app", log);
  EXPECT_EQ(log->lines().size(), 2u);  // the same row, reported again
  ASSERT_EQ(reopened.items().size(), 1u);
  EXPECT_EQ(reopened.items()[0].get(kAttrAccount), Value("b"));
}

}  // namespace
}  // namespace orvo
