#include "orvo/PushKeychain.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/Archive.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace keychain;
using Op = MemoryKeychain::Operation;

constexpr std::string_view kKey = "com.example.pushtest.uuid";
constexpr std::string_view kSeed = "TESTSEED42";

std::vector<Dictionary> itemsWithAccount(const MemoryKeychain& keychain, std::string_view account) {
  std::vector<Dictionary> found;
  for (const Dictionary& item : keychain.items()) {
    if (item.get(kAttrAccount) == Value(account)) found.push_back(item);
  }
  return found;
}

TEST(PushKeychainTest, SaveLoadReplaceDelete) {
  test::TestHost host;
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_FALSE(PushKeychain::deleteValueForKey(kKey));

  EXPECT_TRUE(PushKeychain::saveValue(Value("first"), kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("first"));
  EXPECT_TRUE(PushKeychain::saveValue(Value("second"), kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("second"));

  auto items = itemsWithAccount(*host.keychain, kKey);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].get(kClass), Value(kClassGenericPassword));
  EXPECT_EQ(items[0].get(kAttrService), Value(kKey));
  EXPECT_EQ(items[0].get(kAttrAccessible), Value(kAttrAccessibleAfterFirstUnlock));
  EXPECT_EQ(items[0].get(kValueData), Value(archive(Value("second"))));

  // Values other than strings survive the archive.
  Dictionary nested{{"a", Value(1)}, {"b", Value(Array{Value(true), Value("x")})}};
  EXPECT_TRUE(PushKeychain::saveValue(Value(nested), "other"));
  EXPECT_EQ(PushKeychain::loadValueForKey("other"), Value(nested));

  EXPECT_TRUE(PushKeychain::deleteValueForKey(kKey));
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_FALSE(PushKeychain::deleteValueForKey(kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey("other"), Value(nested));
}

TEST(PushKeychainTest, FailedSaveKeepsTheEarlierValue) {
  test::TestHost host;
  ASSERT_TRUE(PushKeychain::saveValue(Value("kept"), kKey));

  host.keychain->failNext(Op::Update, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::saveValue(Value("lost"), kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("kept"));

  // A failing delete would not matter either: a save never deletes.
  host.keychain->failNext(Op::Remove, KeychainStatus::Other);
  EXPECT_TRUE(PushKeychain::saveValue(Value("next"), kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("next"));
  EXPECT_EQ(host.keychain->remove(PushKeychain::getKeychainQuery("none", std::nullopt)),
            KeychainStatus::Other)
      << "the injected failure is still pending";

  // No item yet and the add fails: still nothing, and false.
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::saveValue(Value("v"), "fresh"));
  EXPECT_TRUE(PushKeychain::loadValueForKey("fresh").isNull());

  // An item of the same service and account with another accessibility is
  // replaced, not duplicated.
  Dictionary foreign{{std::string(kClass), Value(kClassGenericPassword)},
                     {std::string(kAttrService), Value("legacy")},
                     {std::string(kAttrAccount), Value("legacy")},
                     {std::string(kAttrAccessible), Value("ak")},
                     {std::string(kValueData), Value(archive(Value("old")))}};
  ASSERT_EQ(host.keychain->add(foreign, nullptr), KeychainStatus::Success);
  EXPECT_TRUE(PushKeychain::saveValue(Value("new"), "legacy"));
  EXPECT_EQ(PushKeychain::loadValueForKey("legacy"), Value("new"));
  auto legacy = itemsWithAccount(*host.keychain, "legacy");
  ASSERT_EQ(legacy.size(), 1u);
  EXPECT_EQ(legacy[0].get(kAttrAccessible), Value(kAttrAccessibleAfterFirstUnlock));
}

TEST(PushKeychainTest, UnreadableDataLoadsAsAbsent) {
  test::TestHost host;
  Dictionary item = PushKeychain::getKeychainQuery(kKey, std::nullopt);
  item.set(std::string(kValueData), Value(toBytes("not an archive")));
  ASSERT_EQ(host.keychain->add(item, nullptr), KeychainStatus::Success);

  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_TRUE(host.log->lines().empty());

  host.setLogging(true);
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  ASSERT_EQ(host.log->lines().size(), 1u);
  const std::string prefix = "Unarchive of " + std::string(kKey) + " failed: ";
  EXPECT_EQ(host.log->lines()[0].rfind(prefix, 0), 0u) << host.log->lines()[0];
  EXPECT_GT(host.log->lines()[0].size(), prefix.size());

  // A truncated archive is refused the same way.
  Bytes truncated = archive(Value("0123456789"));
  truncated.resize(truncated.size() - 3);
  item.set(std::string(kValueData), Value(truncated));
  ASSERT_TRUE(PushKeychain::deleteValueForKey(kKey));
  ASSERT_EQ(host.keychain->add(item, nullptr), KeychainStatus::Success);
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_EQ(host.log->count("Unarchive of "), 2u);

  // Any other search failure is absent without a line.
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_EQ(host.log->lines().size(), 2u);
}

TEST(PushKeychainTest, AccessGroupsAndBundleSeed) {
  test::TestHost host;
  EXPECT_EQ(PushKeychain::getBundleSeedIdentifier(), std::string(kSeed));
  // The probe item was added once and the answer is cached: a failing
  // keychain no longer matters.
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_EQ(PushKeychain::getBundleSeedIdentifier(), std::string(kSeed));
  EXPECT_TRUE(PushKeychain::loadValueForKey("anything").isNull());  // consumes the failure

  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("group.shared"), "TESTSEED42.group.shared");
  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("TESTSEED42.group.shared"),
            "TESTSEED42.group.shared");
  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("xTESTSEED42y"), "xTESTSEED42y");

  EXPECT_TRUE(PushKeychain::saveValue(Value("grouped"), kKey, "group.shared"));
  auto items = itemsWithAccount(*host.keychain, kKey);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].get(kAttrAccessGroup), Value("TESTSEED42.group.shared"));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey, "group.shared"), Value("grouped"));
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey, "group.other").isNull());
  EXPECT_EQ(PushKeychain::getKeychainQuery(kKey, "group.shared").get(kAttrAccessGroup),
            Value("TESTSEED42.group.shared"));
  EXPECT_FALSE(PushKeychain::getKeychainQuery(kKey, std::nullopt).contains(kAttrAccessGroup));
  EXPECT_TRUE(PushKeychain::deleteValueForKey(kKey, "group.shared"));
}

TEST(PushKeychainTest, BundleSeedFailuresAreRetried) {
  test::TestHost host;
  // Each call tries again, so each needs its own failure.
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::getBundleSeedIdentifier().has_value());
  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("group.shared"), "group.shared");

  // Not found, then the add fails: still absent, nothing cached.
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::getBundleSeedIdentifier().has_value());
  EXPECT_TRUE(itemsWithAccount(*host.keychain, "bundleSeedID").empty());

  // A probe item left by an earlier run is found and its group used.
  Dictionary probe{{std::string(kClass), Value(kClassGenericPassword)},
                   {std::string(kAttrAccount), Value("bundleSeedID")},
                   {std::string(kAttrService), Value("")},
                   {std::string(kAttrAccessGroup), Value("EARLIER77.com.example")}};
  ASSERT_EQ(host.keychain->add(probe, nullptr), KeychainStatus::Success);
  EXPECT_EQ(PushKeychain::getBundleSeedIdentifier(), "EARLIER77");
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
}

TEST(PushKeychainTest, BundleSeedFromManyThreads) {
  test::TestHost host;
  std::vector<std::optional<std::string>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = PushKeychain::getBundleSeedIdentifier(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& seed : seen) EXPECT_EQ(seed, std::string(kSeed));
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
}

// Fails the data search that follows a successful attribute search.
class DataSearchFailingKeychain : public MemoryKeychain {
 public:
  using MemoryKeychain::MemoryKeychain;
  KeychainStatus copyMatching(const Dictionary& query, Value* result) override {
    if (query.get(kReturnData) == Value(true)) return KeychainStatus::Other;
    return MemoryKeychain::copyMatching(query, result);
  }
};

Dictionary legacyItem(std::string_view generic, std::string_view account, std::string_view data) {
  return Dictionary{{std::string(kClass), Value(kClassGenericPassword)},
                    {std::string(kAttrGeneric), Value(generic)},
                    {std::string(kAttrAccount), Value(account)},
                    {std::string(kValueData), Value(toBytes(data))}};
}

TEST(PushKeychainItemWrapperTest, ReadsAnItemOrPreparesOne) {
  test::TestHost host;
  PushKeychainItemWrapper missing(std::string(kKey), std::nullopt);
  EXPECT_FALSE(missing.creationError().has_value());
  EXPECT_EQ(missing.objectForKey(kAttrAccount), Value(""));
  EXPECT_EQ(missing.objectForKey(kAttrLabel), Value(""));
  EXPECT_EQ(missing.objectForKey(kAttrDescription), Value(""));
  EXPECT_EQ(missing.objectForKey(kValueData), Value(""));
  EXPECT_EQ(missing.objectForKey(kAttrGeneric), Value(kKey));
  EXPECT_TRUE(missing.objectForKey(kAttrService).isNull());
  EXPECT_EQ(missing.genericPasswordQuery().get(kMatchLimit), Value(kMatchLimitOne));
  EXPECT_EQ(missing.genericPasswordQuery().get(kReturnAttributes), Value(true));
  EXPECT_TRUE(host.keychain->items().empty()) << "creating a wrapper writes nothing";

  ASSERT_EQ(host.keychain->add(legacyItem(kKey, "OLD-UUID", "secret"), nullptr),
            KeychainStatus::Success);
  PushKeychainItemWrapper existing(std::string(kKey), std::string("ignored.group"));
  EXPECT_FALSE(existing.creationError().has_value());
  EXPECT_EQ(existing.objectForKey(kAttrAccount), Value("OLD-UUID"));
  EXPECT_EQ(existing.objectForKey(kValueData), Value("secret"));
  EXPECT_FALSE(existing.keychainItemData().contains(kReturnData));
}

TEST(PushKeychainItemWrapperTest, WritesThroughSetObject) {
  test::TestHost host;
  PushKeychainItemWrapper wrapper("ident", std::nullopt);
  EXPECT_FALSE(wrapper.setObject(Value("acct-1"), kAttrAccount).has_value());
  ASSERT_EQ(host.keychain->items().size(), 1u);
  EXPECT_EQ(PushKeychainItemWrapper("ident", std::nullopt).objectForKey(kAttrAccount),
            Value("acct-1"));

  // A second change updates the same item.
  EXPECT_FALSE(wrapper.setObject(Value("payload"), kValueData).has_value());
  ASSERT_EQ(host.keychain->items().size(), 1u);
  PushKeychainItemWrapper reread("ident", std::nullopt);
  EXPECT_EQ(reread.objectForKey(kValueData), Value("payload"));
  EXPECT_EQ(reread.objectForKey(kAttrAccount), Value("acct-1"));

  // Null or unchanged values are ignored: even a failing keychain is not
  // reached.
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_FALSE(wrapper.setObject(Value(), kAttrLabel).has_value());
  EXPECT_FALSE(wrapper.setObject(Value("acct-1"), kAttrAccount).has_value());
  EXPECT_EQ(wrapper.objectForKey(kAttrLabel), Value(""));
  Value unused;
  EXPECT_EQ(host.keychain->copyMatching(wrapper.genericPasswordQuery(), &unused),
            KeychainStatus::Other)
      << "the injected failure is still pending";

  EXPECT_FALSE(reread.resetKeychainItem().has_value());
  EXPECT_EQ(reread.objectForKey(kAttrAccount), Value(""));
}

TEST(PushKeychainItemWrapperTest, FailuresAreErrorValues) {
  test::TestHost host;
  host.setLogging(true);
  const std::string domain(PushKeychainItemWrapper::kErrorDomain);

  // Add failure.
  PushKeychainItemWrapper fresh("fresh", std::nullopt);
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  auto addError = fresh.setObject(Value("acct"), kAttrAccount);
  ASSERT_TRUE(addError.has_value());
  EXPECT_EQ(addError->domain, domain);
  EXPECT_EQ(addError->code, static_cast<std::int64_t>(KeychainStatus::Other));
  EXPECT_EQ(addError->description, "Couldn't add the Keychain Item.");
  EXPECT_TRUE(host.keychain->items().empty());
  EXPECT_EQ(host.log->count("Couldn't add the Keychain Item."), 1u);

  // Update failure: the item keeps its old attributes.
  ASSERT_EQ(host.keychain->add(legacyItem("old", "A", "d"), nullptr), KeychainStatus::Success);
  PushKeychainItemWrapper old("old", std::nullopt);
  host.keychain->failNext(Op::Update, KeychainStatus::Param);
  auto updateError = old.setObject(Value("B"), kAttrAccount);
  ASSERT_TRUE(updateError.has_value());
  EXPECT_EQ(updateError->domain, domain);
  EXPECT_EQ(updateError->code, static_cast<std::int64_t>(KeychainStatus::Param));
  EXPECT_EQ(updateError->description, "Couldn't update the Keychain Item.");
  EXPECT_EQ(PushKeychainItemWrapper("old", std::nullopt).objectForKey(kAttrAccount), Value("A"));

  // Delete failure during a reset: the item stays.
  host.keychain->failNext(Op::Remove, KeychainStatus::Other);
  auto deleteError = old.resetKeychainItem();
  ASSERT_TRUE(deleteError.has_value());
  EXPECT_EQ(deleteError->description, "Problem deleting current dictionary.");
  EXPECT_EQ(host.keychain->items().size(), 1u);
  // Reset of an item that is already gone is no failure.
  ASSERT_EQ(host.keychain->remove(Dictionary{{std::string(kClass), Value(kClassGenericPassword)}}),
            KeychainStatus::Success);
  EXPECT_FALSE(old.resetKeychainItem().has_value());

  // The data search after a found item fails.
  auto failing = std::make_shared<DataSearchFailingKeychain>();
  ASSERT_EQ(failing->add(legacyItem("broken", "acct", "x"), nullptr), KeychainStatus::Success);
  host.host->keychain = failing;
  PushKeychainItemWrapper broken("broken", std::nullopt);
  ASSERT_TRUE(broken.creationError().has_value());
  EXPECT_EQ(broken.creationError()->domain, domain);
  EXPECT_EQ(broken.creationError()->code, static_cast<std::int64_t>(KeychainStatus::Other));
  EXPECT_EQ(broken.creationError()->description,
            "Serious error, no matching item found in the keychain.\n");
  EXPECT_FALSE(broken.keychainItemData().contains(kValueData));
  EXPECT_EQ(host.log->count("Serious error, no matching item found in the keychain."), 1u);
}

}  // namespace
}  // namespace orvo
