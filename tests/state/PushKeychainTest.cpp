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

// A generic password item with the given attributes.
Dictionary genp(std::initializer_list<std::pair<std::string_view, Value>> attributes) {
  Dictionary item{{std::string(kClass), kClassGenericPassword}};
  for (const auto& [name, value] : attributes) item.set(std::string(name), value);
  return item;
}

TEST(PushKeychainTest, SaveLoadReplaceDelete) {
  test::TestHost host;
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_FALSE(PushKeychain::deleteValueForKey(kKey));
  EXPECT_TRUE(PushKeychain::saveValue("first", kKey));
  EXPECT_TRUE(PushKeychain::saveValue("second", kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("second"));
  auto items = itemsWithAccount(*host.keychain, kKey);
  ASSERT_EQ(items.size(), 1u);
  items[0].erase(kAttrAccessGroup);  // the keychain's default
  // clang-format off
  EXPECT_EQ(items[0], genp({{kAttrService, kKey}, {kAttrAccount, kKey},
                            {kValueData, archive("second")},
                            {kAttrAccessible, kAttrAccessibleAfterFirstUnlock}}));
  // clang-format on

  // Values other than strings survive the archive.
  Dictionary nested{{"a", 1}, {"b", Array{true, "x"}}};
  EXPECT_TRUE(PushKeychain::saveValue(nested, "other"));
  EXPECT_TRUE(PushKeychain::deleteValueForKey(kKey));
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_FALSE(PushKeychain::deleteValueForKey(kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey("other"), Value(nested));
}

TEST(PushKeychainTest, FailedSaveKeepsTheEarlierValue) {
  test::TestHost host;
  ASSERT_TRUE(PushKeychain::saveValue("kept", kKey));
  host.keychain->failNext(Op::Update, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::saveValue("lost", kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("kept"));

  // A save never deletes, so a failing delete does not matter.
  host.keychain->failNext(Op::Remove, KeychainStatus::Other);
  EXPECT_TRUE(PushKeychain::saveValue("next", kKey));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey), Value("next"));
  EXPECT_EQ(host.keychain->remove(genp({})), KeychainStatus::Other) << "still pending";

  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::saveValue("v", "fresh"));
  EXPECT_TRUE(PushKeychain::loadValueForKey("fresh").isNull());

  // An item of the same service and account with another accessibility is
  // replaced, not duplicated.
  // clang-format off
  ASSERT_EQ(host.keychain->add(genp({{kAttrService, "legacy"}, {kAttrAccount, "legacy"},
                                     {kAttrAccessible, "ak"}, {kValueData, archive("old")}}),
                               nullptr),
            KeychainStatus::Success);
  // clang-format on
  EXPECT_TRUE(PushKeychain::saveValue("new", "legacy"));
  EXPECT_EQ(PushKeychain::loadValueForKey("legacy"), Value("new"));
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
    Dictionary item = PushKeychain::getKeychainQuery(kKey, std::nullopt);
    item.set(std::string(kValueData), data);
    PushKeychain::deleteValueForKey(kKey);
    ASSERT_EQ(host.keychain->add(item, nullptr), KeychainStatus::Success);
    host.setLogging(false);
    EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
    EXPECT_TRUE(host.log->lines().empty());
    host.setLogging(true);
    EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
    ASSERT_EQ(host.log->lines().size(), 1u);
    EXPECT_TRUE(host.log->lines()[0].starts_with(prefix)) << host.log->lines()[0];
    EXPECT_GT(host.log->lines()[0].size(), prefix.size());
    host.log->clear();
  }
  // Any other search failure is absent without a line.
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey).isNull());
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushKeychainTest, AccessGroupsAndBundleSeed) {
  test::TestHost host;
  // Each failed attempt tries again; not found and then a failing add caches
  // nothing either.
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::getBundleSeedIdentifier().has_value());
  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("group.shared"), "group.shared");
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  EXPECT_FALSE(PushKeychain::getBundleSeedIdentifier().has_value());
  EXPECT_TRUE(itemsWithAccount(*host.keychain, "bundleSeedID").empty());

  // Many threads, one probe item, one answer; cached, so a failing keychain
  // no longer matters.
  std::vector<std::optional<std::string>> seen(8);
  std::vector<std::thread> threads;
  for (auto& seed : seen)
    threads.emplace_back([&seed] { seed = PushKeychain::getBundleSeedIdentifier(); });
  for (auto& thread : threads) thread.join();
  for (const auto& seed : seen) EXPECT_EQ(seed, std::string(kSeed));
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_EQ(PushKeychain::getBundleSeedIdentifier(), std::string(kSeed));
  EXPECT_TRUE(PushKeychain::loadValueForKey("anything").isNull());  // consumes the failure

  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("group.shared"), "TESTSEED42.group.shared");
  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("TESTSEED42.group.shared"),
            "TESTSEED42.group.shared");
  EXPECT_EQ(PushKeychain::getFullAppleIdentifier("xTESTSEED42y"), "xTESTSEED42y");
  EXPECT_TRUE(PushKeychain::saveValue("grouped", kKey, "group.shared"));
  EXPECT_EQ(itemsWithAccount(*host.keychain, kKey).at(0).get(kAttrAccessGroup),
            Value("TESTSEED42.group.shared"));
  EXPECT_EQ(PushKeychain::loadValueForKey(kKey, "group.shared"), Value("grouped"));
  EXPECT_TRUE(PushKeychain::loadValueForKey(kKey, "group.other").isNull());
  EXPECT_FALSE(PushKeychain::getKeychainQuery(kKey, std::nullopt).contains(kAttrAccessGroup));
  EXPECT_TRUE(PushKeychain::deleteValueForKey(kKey, "group.shared"));
}

TEST(PushKeychainTest, BundleSeedFromAnEarlierRun) {
  test::TestHost host;
  // clang-format off
  ASSERT_EQ(host.keychain->add(genp({{kAttrAccount, "bundleSeedID"}, {kAttrService, ""},
                                     {kAttrAccessGroup, "EARLIER77.com.example"}}), nullptr),
            KeychainStatus::Success);
  // clang-format on
  EXPECT_EQ(PushKeychain::getBundleSeedIdentifier(), "EARLIER77");
  EXPECT_EQ(itemsWithAccount(*host.keychain, "bundleSeedID").size(), 1u);
}

// Fails the data search that follows a successful attribute search.
class DataSearchFailingKeychain : public MemoryKeychain {
 public:
  KeychainStatus copyMatching(const Dictionary& query, Value* result) override {
    if (query.get(kReturnData) == Value(true)) return KeychainStatus::Other;
    return MemoryKeychain::copyMatching(query, result);
  }
};

Dictionary legacyItem(std::string_view generic, std::string_view account, std::string_view data) {
  return genp({{kAttrGeneric, generic}, {kAttrAccount, account}, {kValueData, toBytes(data)}});
}

TEST(PushKeychainItemWrapperTest, ReadsPreparesAndWrites) {
  test::TestHost host;
  PushKeychainItemWrapper wrapper("ident", std::nullopt);
  EXPECT_FALSE(wrapper.creationError().has_value());
  for (auto attribute : {kAttrAccount, kAttrLabel, kAttrDescription, kValueData}) {
    EXPECT_EQ(wrapper.objectForKey(attribute), Value("")) << attribute;
  }
  EXPECT_EQ(wrapper.objectForKey(kAttrGeneric), Value("ident"));
  EXPECT_TRUE(wrapper.objectForKey(kAttrService).isNull());
  EXPECT_TRUE(host.keychain->items().empty()) << "creating a wrapper writes nothing";

  // The first change adds the item, the second updates it.
  EXPECT_FALSE(wrapper.setObject("acct-1", kAttrAccount).has_value());
  EXPECT_FALSE(wrapper.setObject("payload", kValueData).has_value());
  ASSERT_EQ(host.keychain->items().size(), 1u);
  PushKeychainItemWrapper reread("ident", std::string("ignored.group"));
  EXPECT_EQ(reread.objectForKey(kValueData), Value("payload"));
  EXPECT_EQ(reread.objectForKey(kAttrAccount), Value("acct-1"));

  // Null or unchanged values are ignored: even a failing keychain is not reached.
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_FALSE(wrapper.setObject(Value(), kAttrLabel).has_value());
  EXPECT_FALSE(wrapper.setObject("acct-1", kAttrAccount).has_value());
  Value unused;
  EXPECT_EQ(host.keychain->copyMatching(wrapper.genericPasswordQuery(), &unused),
            KeychainStatus::Other)
      << "the injected failure is still pending";

  EXPECT_FALSE(reread.resetKeychainItem().has_value());
  EXPECT_EQ(reread.objectForKey(kAttrAccount), Value(""));
  EXPECT_TRUE(host.keychain->items().empty());
}

TEST(PushKeychainItemWrapperTest, FailuresAreErrorValues) {
  test::TestHost host;
  host.setLogging(true);
  auto expectError = [](const std::optional<ErrorInfo>& error, KeychainStatus status,
                        std::string_view description) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, PushKeychainItemWrapper::kErrorDomain);
    EXPECT_EQ(error->code, static_cast<std::int64_t>(status));
    EXPECT_EQ(error->description, description);
  };
  PushKeychainItemWrapper fresh("fresh", std::nullopt);
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  expectError(fresh.setObject("acct", kAttrAccount), KeychainStatus::Other,
              "Couldn't add the Keychain Item.");
  EXPECT_TRUE(host.keychain->items().empty());
  EXPECT_EQ(host.log->count("Couldn't add the Keychain Item."), 1u);

  // Update failure: the item keeps its old attributes.
  ASSERT_EQ(host.keychain->add(legacyItem("old", "A", "d"), nullptr), KeychainStatus::Success);
  PushKeychainItemWrapper old("old", std::nullopt);
  host.keychain->failNext(Op::Update, KeychainStatus::Param);
  expectError(old.setObject("B", kAttrAccount), KeychainStatus::Param,
              "Couldn't update the Keychain Item.");
  EXPECT_EQ(PushKeychainItemWrapper("old", std::nullopt).objectForKey(kAttrAccount), Value("A"));

  // Delete failure during a reset: the item stays. An item already gone is no failure.
  host.keychain->failNext(Op::Remove, KeychainStatus::Other);
  expectError(old.resetKeychainItem(), KeychainStatus::Other,
              "Problem deleting current dictionary.");
  EXPECT_EQ(host.keychain->items().size(), 1u);
  host.keychain->setItems({});
  EXPECT_FALSE(old.resetKeychainItem().has_value());

  // The data search after a found item fails.
  auto failing = std::make_shared<DataSearchFailingKeychain>();
  ASSERT_EQ(failing->add(legacyItem("broken", "acct", "x"), nullptr), KeychainStatus::Success);
  host.host->keychain = failing;
  PushKeychainItemWrapper broken("broken", std::nullopt);
  expectError(broken.creationError(), KeychainStatus::Other,
              "Serious error, no matching item found in the keychain.\n");
  EXPECT_FALSE(broken.keychainItemData().contains(kValueData));
  EXPECT_EQ(host.log->count("Serious error, no matching item found in the keychain."), 1u);
}

}  // namespace
}  // namespace orvo
