#include "orvo/PushKeychain.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "foundation/Archive.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace keychain;
using Op = MemoryKeychain::Operation;
using enum KeychainStatus;
using K = PushKeychain;

constexpr std::string_view kKey = "com.example.pushtest.uuid";
constexpr std::string_view kSeed = "TESTSEED42";

std::vector<Dictionary> itemsWithAccount(const MemoryKeychain& keychain, std::string_view account) {
  std::vector<Dictionary> found;
  for (const Dictionary& item : keychain.items()) {
    if (item.get(kAttrAccount) == Value(account)) found.push_back(item);
  }
  return found;
}

// A generic password item with the given attributes.
Dictionary genp(std::initializer_list<std::pair<std::string_view, Value>> attributes) {
  Dictionary item{{std::string(kClass), kClassGenericPassword}};
  for (const auto& [name, value] : attributes) item.set(std::string(name), value);
  return item;
}

TEST(PushKeychainTest, SaveLoadReplaceDeleteAndFailures) {
  test::TestHost host;
  EXPECT_TRUE(K::loadValueForKey(kKey).isNull());
  EXPECT_FALSE(K::deleteValueForKey(kKey));
  EXPECT_TRUE(K::saveValue("first", kKey) && K::saveValue("second", kKey));
  auto items = itemsWithAccount(*host.keychain, kKey);
  ASSERT_EQ(items.size(), 1u);
  items[0].erase(kAttrAccessGroup);  // the keychain's default
  EXPECT_EQ(items[0], genp({{kAttrService, kKey},
                            {kAttrAccount, kKey},
                            {kValueData, archive("second")},
                            {kAttrAccessible, kAttrAccessibleAfterFirstUnlock}}));
  // A failed update keeps the earlier value; a save never deletes, so a
  // failing delete does not matter; a failed add stores nothing.
  host.keychain->failNext(Op::Update, Other);
  EXPECT_FALSE(K::saveValue("lost", kKey));
  EXPECT_EQ(K::loadValueForKey(kKey), Value("second"));
  host.keychain->failNext(Op::Remove, Other);
  EXPECT_TRUE(K::saveValue("next", kKey));
  EXPECT_EQ(host.keychain->remove(genp({})), Other) << "still pending";
  host.keychain->failNext(Op::Add, Other);
  EXPECT_FALSE(K::saveValue("v", "fresh"));
  EXPECT_TRUE(K::loadValueForKey("fresh").isNull());

  // Values other than strings survive the archive.
  Dictionary nested{{"a", 1}, {"b", Array{true, "x"}}};
  EXPECT_TRUE(K::saveValue(nested, "other"));
  EXPECT_TRUE(K::deleteValueForKey(kKey));
  EXPECT_TRUE(K::loadValueForKey(kKey).isNull());
  EXPECT_EQ(K::loadValueForKey("other"), Value(nested));

  // An item of the same service and account with another accessibility is
  // replaced, not duplicated.
  ASSERT_EQ(host.keychain->add(genp({{kAttrService, "legacy"},
                                     {kAttrAccount, "legacy"},
                                     {kAttrAccessible, "ak"},
                                     {kValueData, archive("old")}}),
                               nullptr),
            Success);
  EXPECT_TRUE(K::saveValue("new", "legacy"));
  EXPECT_EQ(K::loadValueForKey("legacy"), Value("new"));
  auto legacy = itemsWithAccount(*host.keychain, "legacy");
  ASSERT_EQ(legacy.size(), 1u);
  EXPECT_EQ(legacy[0].get(kAttrAccessible), Value(kAttrAccessibleAfterFirstUnlock));
}

TEST(PushKeychainTest, UnreadableDataLoadsAsAbsent) {
  test::TestHost host;
  Bytes truncated = archive("0123456789");
  truncated.resize(truncated.size() - 3);
  const std::string prefix = "Unarchive of " + std::string(kKey) + " failed: ";
  for (const Bytes& data : {toBytes("not an archive"), truncated}) {
    Dictionary item = K::getKeychainQuery(kKey, std::nullopt);
    item.set(std::string(kValueData), data);
    K::deleteValueForKey(kKey);
    ASSERT_EQ(host.keychain->add(item, nullptr), Success);
    for (bool logging : {false, true}) {
      host.setLogging(logging);
      EXPECT_TRUE(K::loadValueForKey(kKey).isNull());
      ASSERT_EQ(host.log->lines().size(), logging ? 1u : 0u);
    }
    EXPECT_TRUE(host.log->lines()[0].starts_with(prefix)) << host.log->lines()[0];
    EXPECT_GT(host.log->lines()[0].size(), prefix.size());
    host.log->clear();
  }
  // Any other search failure is absent without a line.
  host.keychain->failNext(Op::CopyMatching, Other);
  EXPECT_TRUE(K::loadValueForKey(kKey).isNull());
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushKeychainTest, AccessGroupsAndBundleSeed) {
  test::TestHost host;
  // Each failed attempt tries again; not found and then a failing add caches
  // nothing either.
  host.keychain->failNext(Op::CopyMatching, Other);
  host.keychain->failNext(Op::CopyMatching, Other);
  EXPECT_FALSE(K::getBundleSeedIdentifier().has_value());
  EXPECT_EQ(K::getFullAppleIdentifier("group.shared"), "group.shared");
  host.keychain->failNext(Op::Add, Other);
  EXPECT_FALSE(K::getBundleSeedIdentifier().has_value());
  EXPECT_TRUE(itemsWithAccount(*host.keychain, "bundleSeedID").empty());

  // Many threads, one probe item, one answer; cached, so a failing keychain
  // no longer matters.
  std::vector<std::optional<std::string>> seen(8);
  std::vector<std::thread> threads;
  for (auto& seed : seen) threads.emplace_back([&seed] { seed = K::getBundleSeedIdentifier(); });
  for (auto& thread : threads) thread.join();
  for (const auto& seed : seen) EXPECT_EQ(seed, std::string(kSeed));
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
  host.keychain->failNext(Op::CopyMatching, Other);
  EXPECT_EQ(K::getBundleSeedIdentifier(), std::string(kSeed));
  EXPECT_TRUE(K::loadValueForKey("anything").isNull());  // consumes the failure

  for (auto [group, full] : {std::pair{"group.shared", "TESTSEED42.group.shared"},
                             {"TESTSEED42.group.shared", "TESTSEED42.group.shared"},
                             {"xTESTSEED42y", "xTESTSEED42y"}}) {
    EXPECT_EQ(K::getFullAppleIdentifier(group), full);
  }
  EXPECT_TRUE(K::saveValue("grouped", kKey, "group.shared"));
  EXPECT_EQ(itemsWithAccount(*host.keychain, kKey).at(0).get(kAttrAccessGroup),
            Value("TESTSEED42.group.shared"));
  EXPECT_EQ(K::loadValueForKey(kKey, "group.shared"), Value("grouped"));
  EXPECT_TRUE(K::loadValueForKey(kKey, "group.other").isNull());
  EXPECT_FALSE(K::getKeychainQuery(kKey, std::nullopt).contains(kAttrAccessGroup));
}

TEST(PushKeychainTest, BundleSeedFromAnEarlierRun) {
  test::TestHost host;
  ASSERT_EQ(host.keychain->add(genp({{kAttrAccount, "bundleSeedID"},
                                     {kAttrService, ""},
                                     {kAttrAccessGroup, "EARLIER77.com.example"}}),
                               nullptr),
            Success);
  EXPECT_EQ(K::getBundleSeedIdentifier(), "EARLIER77");
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
}

// Fails the data search that follows a successful attribute search.
class DataSearchFailingKeychain : public MemoryKeychain {
 public:
  KeychainStatus copyMatching(const Dictionary& query, Value* result) override {
    if (query.get(kReturnData) == Value(true)) return Other;
    return MemoryKeychain::copyMatching(query, result);
  }
};

Dictionary legacyItem(std::string_view generic, std::string_view account) {
  return genp({{kAttrGeneric, generic}, {kAttrAccount, account}, {kValueData, toBytes("d")}});
}

TEST(PushKeychainItemWrapperTest, ReadsPreparesAndWrites) {
  test::TestHost host;
  PushKeychainItemWrapper wrapper("ident", std::nullopt);
  EXPECT_FALSE(wrapper.creationError().has_value());
  for (auto attribute : {kAttrAccount, kAttrLabel, kAttrDescription, kValueData}) {
    EXPECT_EQ(wrapper.objectForKey(attribute), Value("")) << attribute;
  }
  EXPECT_EQ(wrapper.objectForKey(kAttrGeneric), Value("ident"));
  EXPECT_TRUE(host.keychain->items().empty()) << "creating a wrapper writes nothing";

  // The first change adds the item, the second updates it.
  EXPECT_FALSE(wrapper.setObject("acct-1", kAttrAccount).has_value());
  EXPECT_FALSE(wrapper.setObject("payload", kValueData).has_value());
  ASSERT_EQ(host.keychain->items().size(), 1u);
  PushKeychainItemWrapper reread("ident", std::string("ignored.group"));
  EXPECT_EQ(reread.objectForKey(kValueData), Value("payload"));
  EXPECT_EQ(reread.objectForKey(kAttrAccount), Value("acct-1"));

  // Null or unchanged values are ignored: even a failing keychain is not reached.
  host.keychain->failNext(Op::CopyMatching, Other);
  EXPECT_FALSE(wrapper.setObject(Value(), kAttrLabel).has_value());
  EXPECT_FALSE(wrapper.setObject("acct-1", kAttrAccount).has_value());
  Value unused;
  EXPECT_EQ(host.keychain->copyMatching(wrapper.genericPasswordQuery(), &unused), Other)
      << "the injected failure is still pending";

  EXPECT_FALSE(reread.resetKeychainItem().has_value());
  EXPECT_EQ(reread.objectForKey(kAttrAccount), Value(""));
  EXPECT_TRUE(host.keychain->items().empty());
}

TEST(PushKeychainItemWrapperTest, FailuresAreErrorValues) {
  test::TestHost host;
  host.setLogging(true);
  auto expectError = [&](const std::optional<ErrorInfo>& error, KeychainStatus status,
                         std::string_view description) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, (ErrorInfo{std::string(PushKeychainItemWrapper::kErrorDomain),
                                 static_cast<std::int64_t>(status),
                                 std::string(description),
                                 {}}));
    EXPECT_EQ(host.log->count(description.substr(0, 40)), 1u);
  };
  host.keychain->failNext(Op::Add, Other);
  expectError(PushKeychainItemWrapper("fresh", std::nullopt).setObject("acct", kAttrAccount), Other,
              "Couldn't add the Keychain Item.");
  EXPECT_TRUE(host.keychain->items().empty());

  // Update failure: the item keeps its old attributes.
  ASSERT_EQ(host.keychain->add(legacyItem("old", "A"), nullptr), Success);
  PushKeychainItemWrapper old("old", std::nullopt);
  host.keychain->failNext(Op::Update, Param);
  expectError(old.setObject("B", kAttrAccount), Param, "Couldn't update the Keychain Item.");
  EXPECT_EQ(PushKeychainItemWrapper("old", std::nullopt).objectForKey(kAttrAccount), Value("A"));

  // Delete failure during a reset: the item stays. An item already gone is no failure.
  host.keychain->failNext(Op::Remove, Other);
  expectError(old.resetKeychainItem(), Other, "Problem deleting current dictionary.");
  EXPECT_EQ(host.keychain->items().size(), 1u);
  host.keychain->setItems({});
  EXPECT_FALSE(old.resetKeychainItem().has_value());

  // The data search after a found item fails.
  auto failing = std::make_shared<DataSearchFailingKeychain>();
  ASSERT_EQ(failing->add(legacyItem("broken", "acct"), nullptr), Success);
  host.host->keychain = failing;
  PushKeychainItemWrapper broken("broken", std::nullopt);
  expectError(broken.creationError(), Other,
              "Serious error, no matching item found in the keychain.\n");
  EXPECT_FALSE(broken.keychainItemData().contains(kValueData));
}

}  // namespace
}  // namespace orvo
