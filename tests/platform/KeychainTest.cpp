#include <gtest/gtest.h>

#include "Helpers.h"
#include "orvo/platform/Desktop.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace keychain;
using enum KeychainStatus;
using Attributes = std::initializer_list<std::pair<std::string_view, Value>>;

Dictionary attributes(Attributes list) {
  Dictionary d;
  for (const auto& [key, value] : list) d.set(std::string(key), value);
  return d;
}

// A generic-password dictionary for service and account (left out when
// empty), with more attributes.
Dictionary query(std::string_view service, std::string_view account, Attributes more = {}) {
  Dictionary d = attributes(more);
  d.set(std::string(kClass), kClassGenericPassword);
  d.set(std::string(kAttrService), service);
  if (!account.empty()) d.set(std::string(kAttrAccount), account);
  return d;
}

KeychainStatus add(Keychain& kc, std::string_view account, std::string_view data,
                   Attributes more = {}) {
  Dictionary d = query("svc", account, more);
  d.set(std::string(kValueData), toBytes(data));
  return kc.add(d, nullptr);
}

// What a search answers: its result, or the status when it fails.
Value found(Keychain& kc, const Dictionary& query) {
  Value result;
  const KeychainStatus status = kc.copyMatching(query, &result);
  return status == Success ? result : Value(static_cast<int>(status));
}

Value dataOf(Keychain& kc, std::string_view account, Attributes more = {}) {
  Dictionary q = query("svc", account, more);
  q.set(std::string(kReturnData), true);
  return found(kc, q);
}

Value status(KeychainStatus s) { return static_cast<int>(s); }
Value bytes(std::string_view text) { return toBytes(text); }

TEST(MemoryKeychainTest, ResultShapesDuplicatesAndTheDefaultAccessGroup) {
  MemoryKeychain kc("SEED.bundle.id");
  // Attributes come back without class or data, with the default access
  // group filled in; control keys are never stored.
  Value added;
  ASSERT_EQ(kc.add(query("", "probe", {{kReturnAttributes, true}}), &added), Success);
  EXPECT_EQ(added, attributes({{kAttrService, ""},
                               {kAttrAccount, "probe"},
                               {kAttrAccessGroup, "SEED.bundle.id"}}));
  EXPECT_EQ(kc.items().at(0), query("", "probe", {{kAttrAccessGroup, "SEED.bundle.id"}}));

  ASSERT_EQ(add(kc, "a", "alpha", {{kAttrGeneric, "g"}}), Success);
  ASSERT_EQ(add(kc, "b", "beta", {{kAttrGeneric, "g"}}), Success);
  EXPECT_EQ(dataOf(kc, "b"), bytes("beta"));
  Value both = found(kc, query("svc", "a", {{kReturnAttributes, true}, {kReturnData, true}}));
  EXPECT_EQ(both.asDictionary()->get(kValueData), bytes("alpha"));
  EXPECT_EQ(both.asDictionary()->get(kAttrGeneric), Value("g"));
  // Every match, as an array; data in a query takes no part in matching.
  EXPECT_EQ(found(kc, query("svc", "",
                            {{kValueData, 1}, {kMatchLimit, kMatchLimitAll}, {kReturnData, true}})),
            Value(Array{bytes("alpha"), bytes("beta")}));

  // Without a return key the result is not touched, nor on a miss or a bad query.
  Value untouched("sentinel");
  EXPECT_EQ(kc.copyMatching(query("svc", "a"), &untouched), Success);
  EXPECT_EQ(kc.copyMatching(query("svc", "c"), &untouched), ItemNotFound);
  EXPECT_EQ(kc.copyMatching(query("svc", "a", {{kAttrAccessGroup, "other"}}), &untouched),
            ItemNotFound);
  EXPECT_EQ(kc.copyMatching(attributes({{kAttrService, "svc"}}), &untouched), Param);
  EXPECT_EQ(untouched, Value("sentinel"));

  // Same class, service, account and group: a duplicate, whatever the label.
  EXPECT_EQ(add(kc, "a", "2"), DuplicateItem);
  EXPECT_EQ(add(kc, "a", "2", {{kAttrAccessGroup, "SEED.bundle.id"}, {kAttrLabel, "x"}}),
            DuplicateItem);
  EXPECT_EQ(add(kc, "a", "3", {{kAttrAccessGroup, "SEED.other"}}), Success);
  EXPECT_EQ(dataOf(kc, "a"), bytes("alpha"));  // the first match first
  EXPECT_EQ(dataOf(kc, "a", {{kAttrAccessGroup, "SEED.other"}}), bytes("3"));
  EXPECT_EQ(kc.add(attributes({{kAttrService, "svc"}}), nullptr), Param);
  EXPECT_EQ(kc.add(query("svc", "z", {{kValueData, 42}}), nullptr), Param);
  EXPECT_EQ(kc.items().size(), 4u);
}

// Injected failures are the keychain store's tests' (state/PushKeychainTest).
TEST(MemoryKeychainTest, UpdateIsAllOrNothing) {
  MemoryKeychain kc;
  ASSERT_EQ(add(kc, "a", "1"), Success);
  ASSERT_EQ(add(kc, "b", "2"), Success);
  ASSERT_EQ(kc.add(query("other", "c"), nullptr), Success);
  // Data and attributes of every match change together.
  const Dictionary changes = attributes({{kValueData, bytes("new")}, {kAttrLabel, "L"}});
  ASSERT_EQ(kc.update(query("svc", ""), changes), Success);
  EXPECT_EQ(dataOf(kc, "a", {{kAttrLabel, "L"}}), bytes("new"));
  EXPECT_EQ(dataOf(kc, "b", {{kAttrLabel, "L"}}), bytes("new"));

  // Giving both matches one account makes them collide; so does moving an
  // item onto one that is not being changed.
  const auto before = kc.items();
  EXPECT_EQ(kc.update(query("svc", ""), attributes({{kAttrAccount, "same"}})), DuplicateItem);
  EXPECT_EQ(kc.update(query("other", ""), attributes({{kAttrService, "svc"}, {kAttrAccount, "a"}})),
            DuplicateItem);
  EXPECT_EQ(kc.update(query("svc", ""), attributes({{kClass, "x"}})), Param);
  EXPECT_EQ(kc.update(query("none", ""), changes), ItemNotFound);
  EXPECT_EQ(kc.items(), before);

  EXPECT_EQ(kc.update(query("svc", "a"), attributes({{kAttrAccount, "z"}})), Success);
  EXPECT_EQ(dataOf(kc, "z"), bytes("new"));
  EXPECT_EQ(dataOf(kc, "a"), status(ItemNotFound));
  // Remove takes every match, and reports a miss.
  EXPECT_EQ(kc.remove(query("svc", "")), Success);
  EXPECT_EQ(kc.remove(query("svc", "")), ItemNotFound);
  EXPECT_EQ(kc.remove(attributes({{kAttrService, "other"}})), Param);
  ASSERT_EQ(kc.items().size(), 1u);
}

TEST(SqliteKeychainTest, ItemsSurviveReopenWithPrivateModes) {
  test::TempDir dir;
  const std::string directory = dir.path() + "/outer/keychain";
  const std::string file = directory + "/keychain.db";
  auto log = std::make_shared<CapturingLogSink>();
  std::vector<Dictionary> expected;
  {
    SqliteKeychain kc(directory, "SEED.app", log);
    ASSERT_EQ(add(kc, "a", "alpha"), Success);
    ASSERT_EQ(add(kc, "b", std::string("\0\xff", 2),
                  {{kAttrAccessible, kAttrAccessibleAfterFirstUnlock}}),
              Success);
    ASSERT_EQ(add(kc, "c", "gamma"), Success);
    ASSERT_EQ(kc.update(query("svc", "a"), attributes({{kValueData, bytes("new")}})), Success);
    ASSERT_EQ(kc.remove(query("svc", "c")), Success);
    EXPECT_EQ(test::modeOf(directory), 0700u);
    EXPECT_EQ(test::modeOf(file), 0600u);
    // SQLite's side files take the file's mode.
    for (const std::string& side : {file + "-wal", file + "-shm"}) {
      EXPECT_TRUE(!std::filesystem::exists(side) || test::modeOf(side) == 0600u) << side;
    }
    expected = kc.items();
    // A second keychain on the same file finds the items while this one
    // is still open, and a search leaves the file's modes alone.
    SqliteKeychain reader(directory, "SEED.app", log);
    EXPECT_EQ(dataOf(reader, "a"), bytes("new"));
    EXPECT_EQ(test::modeOf(file), 0600u);
  }
  ASSERT_EQ(expected.size(), 2u);
  SqliteKeychain reopened(directory, "SEED.app", log);
  EXPECT_TRUE(reopened.isPersistent());
  EXPECT_EQ(reopened.items(), expected);
  EXPECT_TRUE(log->lines().empty());

  // Loose modes of an existing directory and file are tightened.
  const std::string loose = dir.write("loose/keychain.db", "");
  ASSERT_EQ(::chmod((dir.path() + "/loose").c_str(), 0755) | ::chmod(loose.c_str(), 0644), 0);
  EXPECT_TRUE(SqliteKeychain(dir.path() + "/loose", "SEED.app", nullptr).isPersistent());
  EXPECT_EQ(test::modeOf(dir.path() + "/loose"), 0700u);
  EXPECT_EQ(test::modeOf(loose), 0600u);
}

TEST(SqliteKeychainTest, CorruptFileIsReportedOnceAndLeftAlone) {
  test::TempDir dir;
  const std::string garbage = "this is not a keychain database, just some text\n";
  const std::string file = dir.write("text/keychain.db", garbage);
  std::filesystem::create_directories(dir.path() + "/dir/keychain.db");
  auto log = std::make_shared<CapturingLogSink>();
  for (const char* name : {"/text", "/dir"}) {
    SqliteKeychain kc(dir.path() + name, "SEED.app", log);
    EXPECT_FALSE(kc.isPersistent());
    ASSERT_EQ(add(kc, "a", "1"), Success);  // works in memory
    EXPECT_EQ(dataOf(kc, "a"), bytes("1"));
    EXPECT_EQ(kc.remove(query("svc", "a")), Success);
  }
  // One line each: the text file, then the directory in place of the file.
  ASSERT_EQ(log->lines().size(), 2u);
  EXPECT_EQ(log->count(file), 1u);
  EXPECT_EQ(log->count("file is not a database"), 1u);
  EXPECT_EQ(log->count(dir.path() + "/dir"), 1u);
  EXPECT_EQ(test::readFile(file), garbage);
}

TEST(SqliteKeychainTest, FailedWriteIsUndoneAndUnreadableRowsAreKept) {
  test::TempDir dir;
  const std::string file = dir.path() + "/keychain.db";
  auto log = std::make_shared<CapturingLogSink>();
  {
    SqliteKeychain kc(dir.path(), "SEED.app", log);
    ASSERT_EQ(add(kc, "a", "1"), Success);
    // A change that cannot be written is undone, and reported.
    test::sql(file,
              "CREATE TRIGGER refuse BEFORE INSERT ON items BEGIN SELECT RAISE(ABORT, "
              "'injected failure'); END; CREATE TRIGGER refuseDelete BEFORE DELETE ON items "
              "BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
    const auto before = kc.items();
    Value result("sentinel");
    EXPECT_EQ(kc.add(query("svc", "b", {{kReturnAttributes, true}}), &result), Other);
    EXPECT_EQ(result, Value("sentinel"));
    EXPECT_EQ(kc.update(query("svc", "a"), attributes({{kValueData, bytes("x")}})), Other);
    EXPECT_EQ(kc.remove(query("svc", "a")), Other);
    EXPECT_EQ(kc.items(), before);
    EXPECT_EQ(log->count("injected failure"), 3u);
    test::sql(file, "DROP TRIGGER refuse; DROP TRIGGER refuseDelete");
    EXPECT_EQ(add(kc, "c", "3"), Success);
  }
  test::sql(file, "INSERT INTO items(item) VALUES(x'DEADBEEF')");
  log->clear();
  for (unsigned round = 0; round < 2; ++round) {
    SqliteKeychain reopened(dir.path(), "SEED.app", log);
    EXPECT_TRUE(reopened.isPersistent());
    // The unreadable row is reported on every open, and kept.
    EXPECT_EQ(log->lines().size(), round + 1);
    EXPECT_EQ(dataOf(reopened, "a"), bytes("1"));
    EXPECT_EQ(dataOf(reopened, "b"), status(ItemNotFound));
    EXPECT_EQ(reopened.items().size(), 2 - round);
    if (round == 0) reopened.remove(query("svc", "c"));
  }
}

}  // namespace
}  // namespace orvo
