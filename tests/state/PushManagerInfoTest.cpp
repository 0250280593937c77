#include "orvo/PushManagerInfo.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "orvo/PushKeychain.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using Op = MemoryKeychain::Operation;

constexpr std::string_view kKey16 = "0123456789abcdef";
constexpr std::string_view kOtherKey16 = "fedcba9876543210";
const std::string kUUIDKey = std::string(test::TestHost::kBundleIdentifier) + ".uuid";
constexpr std::string_view kRealPSIDKey = "REAL.PushManagerKeyPushServiceID";
constexpr std::string_view kDevPSIDKey = "DEV.PushManagerKeyPushServiceID";

std::set<std::string> storedKeys(const MemorySettingsStore& settings) {
  std::set<std::string> keys;
  for (const auto& [key, value] : settings.snapshot()) keys.insert(key);
  return keys;
}

void fillIdentity(PushManagerInfo& info, const std::string& suffix) {
  info.setClientUID("uid-" + suffix);
  info.setClientName("name-" + suffix);
  info.setGroupSequenceNumber("group-" + suffix);
  info.setPushServiceID("psid-" + suffix);
  info.setPhoneNumber("010" + suffix);
  info.setPushServiceLastDate(Date{1000.0});
}

TEST(PushManagerInfoTest, FreshInstallDefaults) {
  test::TestHost host;
  PushManagerInfo info(true);
  EXPECT_TRUE(info.useStorage());
  EXPECT_FALSE(info.isEncrypted());
  EXPECT_EQ(info.mode(), "REAL");
  EXPECT_FALSE(info.useCachedPushToken());
  EXPECT_EQ(info.clientUID(), "GUEST");
  EXPECT_EQ(info.clientName(), "GUEST");
  EXPECT_EQ(info.tempClientUID(), "TMP0GUEST");
  EXPECT_EQ(info.groupSequenceNumber(), "");
  EXPECT_EQ(info.pushServiceID(), "");
  EXPECT_EQ(info.phoneNumber(), "00000000000");
  EXPECT_EQ(info.pushServiceLastDate(), Date{0.0});
  EXPECT_EQ(info.encryptVersion(), "");
  EXPECT_FALSE(info.hasData());
  EXPECT_FALSE(info.isValidated());
  EXPECT_TRUE(PushManagerInfo(false).isValidated());
  EXPECT_TRUE(host.settings->snapshot().empty()) << "defaults are not written back";

  EXPECT_EQ(info.deviceType(), "I");
  EXPECT_EQ(info.pushServiceType(), "APNS");
  EXPECT_EQ(info.deviceModel(), "TestPhone");
  EXPECT_EQ(info.osVersion(), "17.0");
  EXPECT_EQ(info.applicationVersion(), "7");
}

TEST(PushManagerInfoTest, PlainWritesAreStoredAndDurable) {
  test::TestHost host;
  PushManagerInfo info(true);
  std::size_t syncs = host.settings->synchronizeCount();
  auto expectDurable = [&](const char* what) {
    EXPECT_GT(host.settings->synchronizeCount(), syncs) << what;
    syncs = host.settings->synchronizeCount();
  };

  info.setClientUID("uid-1");
  expectDurable("client UID");
  info.setClientName("name-1");
  expectDurable("client name");
  info.setGroupSequenceNumber("7");
  expectDurable("group");
  info.setPushServiceID("token-real");
  expectDurable("push service ID");
  info.setPhoneNumber("01012345678");
  expectDurable("phone");
  info.setPushServiceLastDate(Date{1234.5});
  expectDurable("last date");
  info.setEncryptVersion("v9");
  expectDurable("encrypt version");

  auto snapshot = host.settings->snapshot();
  EXPECT_EQ(snapshot["PushManagerKeyClientUID"], Value("uid-1"));
  EXPECT_EQ(snapshot["PushManagerKeyClientName"], Value("name-1"));
  EXPECT_EQ(snapshot["PushManagerKeyGroupSequenceNumber"], Value("7"));
  EXPECT_EQ(snapshot[std::string(kRealPSIDKey)], Value("token-real"));
  EXPECT_EQ(snapshot["PushManagerKeyPhoneNumber"], Value("01012345678"));
  EXPECT_EQ(snapshot["PushManagerKeyPushServiceLastDate"], Value(Date{1234.5}));
  EXPECT_EQ(snapshot["PushManagerKeyEncryptVersion"], Value("v9"));

  // Another record over the same store sees it all.
  PushManagerInfo again(true);
  EXPECT_EQ(again.clientUID(), "uid-1");
  EXPECT_EQ(again.tempClientUID(), "TMP0uid-1");
  EXPECT_EQ(again.pushServiceID(), "token-real");
  EXPECT_EQ(again.pushServiceLastDate(), Date{1234.5});
  EXPECT_EQ(again.encryptVersion(), "v9");
  EXPECT_TRUE(again.hasData());
  EXPECT_TRUE(again.isValidated());

  // A stored empty text is a value, not the default.
  info.setClientName("");
  EXPECT_EQ(info.clientName(), "");

  // Absent deletes; every field falls back to its default.
  info.resetStorageData();
  expectDurable("reset");
  EXPECT_EQ(storedKeys(*host.settings), std::set<std::string>{"PushManagerKeyEncryptVersion"});
  EXPECT_EQ(info.clientUID(), "GUEST");
  EXPECT_EQ(info.phoneNumber(), "00000000000");
  EXPECT_EQ(info.pushServiceLastDate(), Date{0.0});

  info.setPushServiceLastDate(Date{5.0});
  info.resetPushServiceLastDate();
  EXPECT_EQ(info.pushServiceLastDate(), Date{0.0});
  info.setPushServiceID("t");
  info.resetPushToken();
  EXPECT_EQ(info.pushServiceID(), "");
  info.setEncryptVersion(std::nullopt);
  EXPECT_TRUE(host.settings->snapshot().empty());
}

TEST(PushManagerInfoTest, ValuesOfAnotherTypeReadAsAbsent) {
  test::TestHost host;
  host.settings->set("PushManagerKeyClientUID", Value(42));
  host.settings->set("PushManagerKeyClientName", Value(true));
  host.settings->set("PushManagerKeyPhoneNumber", Value(Array{Value("1")}));
  host.settings->set(kRealPSIDKey, Value(toBytes("token")));
  host.settings->set("PushManagerKeyPushServiceLastDate", Value("2024-01-01"));
  host.settings->set("PushManagerKeyEncryptVersion", Value(3));
  host.settings->set(kUUIDKey, Value(Dictionary{}));

  PushManagerInfo info(true);
  EXPECT_EQ(info.clientUID(), "GUEST");
  EXPECT_EQ(info.clientName(), "GUEST");
  EXPECT_EQ(info.phoneNumber(), "00000000000");
  EXPECT_EQ(info.pushServiceID(), "");
  EXPECT_EQ(info.pushServiceLastDate(), Date{0.0});
  EXPECT_EQ(info.encryptVersion(), "");
  EXPECT_FALSE(info.hasData());
  // The UUID under a dictionary is no UUID: a fresh one replaces it.
  EXPECT_EQ(info.deviceUUID(), "00000000-0000-4000-8000-000000000001");
  EXPECT_EQ(host.settings->get(kUUIDKey), Value("00000000-0000-4000-8000-000000000001"));

  // A date stored as a number is no date either.
  host.settings->set("PushManagerKeyPushServiceLastDate", Value(1000.0));
  EXPECT_EQ(info.pushServiceLastDate(), Date{0.0});
}

TEST(PushManagerInfoTest, PushServiceIDFollowsMode) {
  test::TestHost host;
  PushManagerInfo stored(true);
  stored.changeMode("DEV");
  EXPECT_EQ(stored.mode(), "DEV");
  stored.setPushServiceID("dev-token");
  EXPECT_EQ(host.settings->get(kDevPSIDKey), Value("dev-token"));
  stored.changeMode("REAL");
  EXPECT_EQ(stored.pushServiceID(), "");
  stored.setPushServiceID("real-token");
  stored.changeMode("dev");  // not a mode: ignored
  stored.changeMode("");
  EXPECT_EQ(stored.mode(), "REAL");
  EXPECT_EQ(stored.pushServiceID(), "real-token");
  stored.changeMode("DEV");
  EXPECT_EQ(stored.pushServiceID(), "dev-token");

  PushManagerInfo memory(false);
  memory.changeMode("DEV");
  memory.setPushServiceID("mem-token");
  memory.changeMode("REAL");
  EXPECT_EQ(memory.pushServiceID(), "mem-token");
  EXPECT_EQ(host.settings->get(kDevPSIDKey), Value("dev-token"));
  EXPECT_EQ(host.settings->get(kRealPSIDKey), Value("real-token"));
}

TEST(PushManagerInfoTest, PhoneNumberSwitch) {
  test::TestHost host;
  PushManagerInfo info(true);
  info.changePhoneNumber("01099998888");
  EXPECT_EQ(info.phoneNumber(), "01099998888");
  info.changeusePhoneNumber(false);
  EXPECT_FALSE(info.usePhoneNumber());
  EXPECT_EQ(info.phoneNumber(), "");
  EXPECT_EQ(PushManagerInfo(true).phoneNumber(), "") << "the switch is shared configuration";
  EXPECT_EQ(host.settings->get("PushManagerKeyPhoneNumber"), Value("01099998888"));
  info.changeusePhoneNumber(true);
  EXPECT_EQ(info.phoneNumber(), "01099998888");
}

TEST(PushManagerInfoTest, InMemoryRecordKeepsOnlyUUIDAndLastDate) {
  test::TestHost host;
  std::string uuid;
  {
    PushManagerInfo memory(false);
    fillIdentity(memory, "m");
    EXPECT_EQ(memory.clientUID(), "uid-m");
    EXPECT_EQ(memory.phoneNumber(), "010m");
    uuid = memory.deviceUUID();
    EXPECT_EQ(storedKeys(*host.settings),
              (std::set<std::string>{kUUIDKey, "PushManagerKeyPushServiceLastDate"}));
    // hasData reads the settings store, whatever useStorage says.
    EXPECT_FALSE(memory.hasData());
    host.settings->set("PushManagerKeyClientUID", Value("stored"));
    EXPECT_TRUE(memory.hasData());
    EXPECT_EQ(memory.clientUID(), "uid-m");
    host.settings->remove("PushManagerKeyClientUID");
  }
  PushManagerInfo replacement(false);
  EXPECT_EQ(replacement.clientUID(), "GUEST");
  EXPECT_EQ(replacement.groupSequenceNumber(), "");
  EXPECT_EQ(replacement.deviceUUID(), uuid);
  EXPECT_EQ(replacement.pushServiceLastDate(), Date{1000.0});
}

TEST(PushManagerInfoTest, DeviceUUIDSources) {
  test::TestHost host;
  const std::string made = "00000000-0000-4000-8000-000000000001";

  // Neither store: a new UUID, kept in the keychain and the settings store.
  PushManagerInfo info(true);
  const std::string uuid = info.deviceUUID();
  EXPECT_EQ(uuid, made);
  EXPECT_EQ(uuid.size(), 36u);
  EXPECT_EQ(info.deviceUUID(), uuid);
  EXPECT_EQ(host.device->uuidsMade(), 1);
  EXPECT_EQ(host.settings->get(kUUIDKey), Value(uuid));
  EXPECT_EQ(PushKeychain::loadValueForKey(kUUIDKey), Value(uuid));

  // A custom UUID wins while non-empty.
  info.changeDeviceUUID("custom");
  EXPECT_EQ(info.deviceUUID(), "custom");
  info.changeDeviceUUID("");
  EXPECT_EQ(info.deviceUUID(), uuid);
  info.changeDeviceUUID(std::nullopt);

  // Reinstalled: the settings store is empty, the keychain kept the UUID.
  host.settings->remove(kUUIDKey);
  EXPECT_EQ(PushManagerInfo(true).deviceUUID(), uuid);
  EXPECT_EQ(host.settings->get(kUUIDKey), Value(uuid));
  // A stored empty text does not count either.
  host.settings->set(kUUIDKey, Value(""));
  EXPECT_EQ(PushManagerInfo(true).deviceUUID(), uuid);
  EXPECT_EQ(host.device->uuidsMade(), 1);

  // Only the earlier layout holds one.
  host.settings->remove(kUUIDKey);
  ASSERT_TRUE(PushKeychain::deleteValueForKey(kUUIDKey));
  PushKeychainItemWrapper legacy(kUUIDKey, std::nullopt);
  ASSERT_FALSE(legacy.setObject(Value("LEGACY-UUID"), keychain::kAttrAccount).has_value());
  EXPECT_EQ(PushManagerInfo(true).deviceUUID(), "LEGACY-UUID");
  EXPECT_EQ(PushKeychain::loadValueForKey(kUUIDKey), Value("LEGACY-UUID"));
  EXPECT_EQ(host.settings->get(kUUIDKey), Value("LEGACY-UUID"));
  EXPECT_EQ(host.device->uuidsMade(), 1);
}

TEST(PushManagerInfoTest, DeviceUUIDWhenTheKeychainFails) {
  test::TestHost host;
  host.device->queueUUID("11111111-2222-4333-8444-555555555555");
  // The add of the new item fails: the UUID is still stored and returned.
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  PushManagerInfo info(true);
  EXPECT_EQ(info.deviceUUID(), "11111111-2222-4333-8444-555555555555");
  EXPECT_TRUE(PushKeychain::loadValueForKey(kUUIDKey).isNull());
  EXPECT_EQ(PushManagerInfo(true).deviceUUID(), "11111111-2222-4333-8444-555555555555");

  // A keychain whose searches fail acts as an empty one: a new UUID, which
  // then replaces the kept one.
  ASSERT_TRUE(PushKeychain::saveValue(Value("KEPT"), kUUIDKey));
  host.settings->remove(kUUIDKey);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  EXPECT_EQ(PushManagerInfo(true).deviceUUID(), "00000000-0000-4000-8000-000000000002");
  EXPECT_EQ(PushKeychain::loadValueForKey(kUUIDKey), Value("00000000-0000-4000-8000-000000000002"));
}

TEST(PushManagerInfoTest, EncryptedRecordLayout) {
  test::TestHost host;
  for (std::string_view key :
       {"PushManagerKeyClientUID", "PushManagerKeyClientName", "PushManagerKeyGroupSequenceNumber",
        "PushManagerKeyPushServiceID", "PushManagerKeyPhoneNumber",
        "PushManagerKeyPushServiceLastDate", "PushManagerKeyDataStructVersion"}) {
    host.settings->set(key, Value("plain"));
  }
  host.settings->set(kUUIDKey, Value("plain-uuid"));
  host.settings->set(kRealPSIDKey, Value("kept"));
  ASSERT_TRUE(PushKeychain::saveValue(Value("KEYCHAIN-UUID"), kUUIDKey));
  const std::size_t syncs = host.settings->synchronizeCount();

  PushEncryptor encryptor(std::string(kKey16), "enc-1");
  PushManagerInfo info(encryptor);
  EXPECT_TRUE(info.isEncrypted());
  EXPECT_TRUE(info.useStorage());
  EXPECT_GT(host.settings->synchronizeCount(), syncs);
  EXPECT_EQ(storedKeys(*host.settings),
            (std::set<std::string>{std::string(kRealPSIDKey), "PushManagerKeyEncryptVersion"}));
  EXPECT_EQ(host.settings->get("PushManagerKeyEncryptVersion"), Value("enc-1"));
  EXPECT_EQ(info.encryptVersion(), "enc-1");
  EXPECT_EQ(info.pushServiceID(), "") << "the plain mode key is not read";
  EXPECT_EQ(info.clientUID(), "GUEST");

  fillIdentity(info, "e");
  EXPECT_EQ(info.deviceUUID(), "KEYCHAIN-UUID");
  EXPECT_EQ(info.clientUID(), "uid-e");
  EXPECT_EQ(info.pushServiceID(), "psid-e");
  EXPECT_EQ(info.phoneNumber(), "010e");
  EXPECT_TRUE(info.hasData());

  // Only the two plain keys (and the untouched old push-service ID) are
  // readable names; every other key and value is cipher text.
  std::set<std::string> expectedNames{
      "PushManagerKeyClientUID", "PushManagerKeyClientName",  "PushManagerKeyGroupSequenceNumber",
      std::string(kRealPSIDKey), "PushManagerKeyPhoneNumber", kUUIDKey};
  std::set<std::string> decipheredNames;
  for (const auto& [key, value] : host.settings->snapshot()) {
    if (key == "PushManagerKeyPushServiceLastDate" || key == "PushManagerKeyEncryptVersion" ||
        key == kRealPSIDKey) {
      continue;
    }
    auto name = encryptor.decryptValue(key);
    ASSERT_TRUE(name.has_value()) << key;
    decipheredNames.insert(*name);
    ASSERT_TRUE(value.isString());
    EXPECT_TRUE(encryptor.decryptValue(*value.asString()).has_value());
    EXPECT_EQ(key, encryptor.encryptValue(*name)) << "lower-case hexadecimal";
  }
  EXPECT_EQ(decipheredNames, expectedNames);
  EXPECT_EQ(host.settings->get(kRealPSIDKey), Value("kept"));
  EXPECT_EQ(host.settings->get("PushManagerKeyPushServiceLastDate"), Value(Date{1000.0}));

  // Another key reads nothing back; a damaged value reads as the default.
  PushManagerInfo stranger(PushEncryptor(std::string(kOtherKey16), "enc-1"));
  EXPECT_EQ(stranger.clientUID(), "GUEST");
  EXPECT_FALSE(stranger.hasData());
  const std::string uidKey = *encryptor.encryptValue("PushManagerKeyClientUID");
  host.settings->set(uidKey, Value("zz-not-hex"));
  EXPECT_EQ(info.clientUID(), "GUEST");
  host.settings->set(uidKey,
                     Value(*PushEncryptor(std::string(kOtherKey16), "x").encryptValue("u")));
  EXPECT_EQ(info.clientUID(), "GUEST");
  host.settings->set(uidKey, Value(17));
  EXPECT_EQ(info.clientUID(), "GUEST");

  // A key that cannot encipher: reads are absent, writes do nothing.
  PushManagerInfo broken(PushEncryptor("short", "enc-x"));
  const auto before = host.settings->snapshot();
  broken.setClientUID("ignored");
  EXPECT_EQ(broken.clientUID(), "GUEST");
  auto after = host.settings->snapshot();
  after.erase("PushManagerKeyEncryptVersion");
  auto beforeWithoutVersion = before;
  beforeWithoutVersion.erase("PushManagerKeyEncryptVersion");
  EXPECT_EQ(after, beforeWithoutVersion);
}

TEST(PushManagerInfoTest, DeviceUUIDPlainFallbackForEncryptedRecord) {
  test::TestHost host;
  PushManagerInfo info(PushEncryptor(std::string(kKey16), "enc-1"));
  host.settings->set(kUUIDKey, Value("PLAIN-UUID"));
  const auto before = host.settings->snapshot();
  EXPECT_EQ(info.deviceUUID(), "PLAIN-UUID");
  EXPECT_EQ(host.settings->snapshot(), before) << "nothing is written";
  EXPECT_TRUE(PushKeychain::loadValueForKey(kUUIDKey).isNull());
}

TEST(PushManagerInfoTest, Migration) {
  test::TestHost host;
  // Creating an encrypted record clears the plain last date, so every record
  // is made before the old one is filled.
  PushManagerInfo old(PushEncryptor(std::string(kKey16), "enc-1"));
  PushManagerInfo same(PushEncryptor(std::string(kOtherKey16), "enc-1"));
  PushManagerInfo next(PushEncryptor("0123456789abcdef0123456789abcdef", "enc-2"));
  PushManagerInfo emptyOld(PushEncryptor("abcdefghijklmnop", "enc-8"));
  PushManagerInfo fresh(PushEncryptor("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "enc-9"));
  PushManagerInfo plain(true);
  old.changeMode("DEV");
  old.setClientUID("uid-old");
  old.setGroupSequenceNumber("3");
  old.setPushServiceID("old-token");
  old.setPushServiceLastDate(Date{777.0});

  // Only an encrypted record migrates.
  plain.migrationFromInfo(old);
  EXPECT_EQ(plain.clientUID(), "GUEST");
  EXPECT_EQ(old.clientUID(), "uid-old");

  // Same version: the old values stay; defaults become stored values.
  same.migrationFromInfo(old);
  EXPECT_EQ(same.clientUID(), "uid-old");
  EXPECT_EQ(same.groupSequenceNumber(), "3");
  EXPECT_EQ(same.pushServiceID(), "old-token") << "read under DEV, written under REAL";
  same.changeMode("DEV");
  EXPECT_EQ(same.pushServiceID(), "");
  EXPECT_EQ(same.getStorageDataByKey("PushManagerKeyClientName"), "GUEST");
  EXPECT_EQ(same.getStorageDataByKey("PushManagerKeyPhoneNumber"), "00000000000");
  EXPECT_EQ(same.pushServiceLastDate(), Date{777.0});
  EXPECT_EQ(old.clientUID(), "uid-old");

  // Another version: the old record is cleared, and with it the shared date.
  next.migrationFromInfo(old);
  EXPECT_EQ(next.clientUID(), "uid-old");
  EXPECT_EQ(next.pushServiceID(), "old-token");
  EXPECT_EQ(old.clientUID(), "GUEST");
  EXPECT_FALSE(old.hasData());
  old.changeMode("DEV");
  EXPECT_EQ(old.pushServiceID(), "");
  EXPECT_EQ(next.pushServiceLastDate(), Date{0.0});
  EXPECT_EQ(same.clientUID(), "uid-old") << "other keys are untouched";

  // An old record without a client UID has nothing to give and loses nothing.
  emptyOld.setGroupSequenceNumber("5");
  fresh.setPushServiceLastDate(Date{9.0});
  fresh.migrationFromInfo(emptyOld);
  EXPECT_EQ(fresh.groupSequenceNumber(), "");
  EXPECT_EQ(emptyOld.groupSequenceNumber(), "5");
  EXPECT_EQ(fresh.pushServiceLastDate(), Date{9.0});
}

TEST(PushManagerInfoTest, JsonObject) {
  test::TestHost host;
  PushManagerInfo info(PushEncryptor(std::string(kKey16), "enc-7"));
  info.changeProjectID("app-42");
  info.setClientUID("uid");
  info.setClientName("name");
  info.setGroupSequenceNumber("9");
  info.setPushServiceID("psid");
  info.setPhoneNumber("0101");
  Dictionary json = info.jsonObject();
  EXPECT_EQ(json.size(), 17u);
  EXPECT_EQ(json.get("ENCRYPTED"), Value(true));
  const std::pair<const char*, const char*> pairs[] = {
      {"ENCRYPT_VERSION", "ENC_VER"}, {"CLIENT_UID", "CUID"},
      {"CLIENT_NAME", "CNAME"},       {"GROUP_SEQUENCE_NUMBER", "GROUPSEQ"},
      {"DEVICE_UUID", "UUID"},        {"PUSH_SERVICE_ID", "PSID"},
      {"APPLICATION_ID", "APPID"},    {"PHONE_NUMBER", "PHONENUM"}};
  for (const auto& [longName, shortName] : pairs) {
    EXPECT_EQ(json.get(longName), json.get(shortName)) << longName;
    EXPECT_TRUE(json.get(longName).isString()) << longName;
  }
  EXPECT_EQ(json.get("ENC_VER"), Value("enc-7"));
  EXPECT_EQ(json.get("CUID"), Value("uid"));
  EXPECT_EQ(json.get("CNAME"), Value("name"));
  EXPECT_EQ(json.get("GROUPSEQ"), Value("9"));
  EXPECT_EQ(json.get("UUID"), Value(info.deviceUUID()));
  EXPECT_EQ(json.get("PSID"), Value("psid"));
  EXPECT_EQ(json.get("APPID"), Value("app-42"));
  EXPECT_EQ(json.get("PHONENUM"), Value("0101"));
  EXPECT_EQ(PushManagerInfo(false).jsonObject().get("ENCRYPTED"), Value(false));
}

TEST(PushManagerInfoTest, ChangeOperationsAndCustomHost) {
  test::TestHost host;
  PushManagerInfo info(true);
  PushManagerInfo other(false);
  info.changeHost("https://receiver.example/");
  info.changeReceiverVersion("3.7EE");
  info.changexeltHost("https://xelt.example/");
  info.changeProjectID("project");
  info.changeGranted(false);
  info.changeLog(true);
  EXPECT_EQ(other.host(), "https://receiver.example/");
  EXPECT_EQ(other.receiverVersion(), "3.7");
  EXPECT_EQ(other.receiverDebugVersion(), "3.7");
  EXPECT_EQ(other.xeltHost(), "https://xelt.example/");
  EXPECT_EQ(other.applicationID(), "project");
  EXPECT_FALSE(other.useGranted());
  EXPECT_TRUE(other.useLog());
  info.changeReceiverVersion("EE");
  EXPECT_EQ(other.receiverVersion(), "EE");

  PushManagerInfo custom(true, std::string("https://custom.example/"));
  EXPECT_EQ(custom.host(), "https://custom.example/");
  EXPECT_EQ(PushManagerInfo(false).host(), "https://custom.example/");
  EXPECT_EQ(info.host(), "https://custom.example/");
  info.changeHost("https://ignored.example/");
  EXPECT_EQ(info.host(), "https://custom.example/");
  PushManagerInfo cleared(true, std::nullopt);
  EXPECT_EQ(info.host(), "https://ignored.example/");
}

TEST(PushManagerInfoTest, CustomHostResetsWithTheProcess) {
  {
    test::TestHost host;
    PushManagerInfo custom(true, std::string("https://custom.example/"));
  }
  test::TestHost host;
  PushManagerInfo info(true);
  EXPECT_EQ(info.host(), info.config()->host());
}

TEST(PushManagerInfoTest, ConcurrentUse) {
  test::TestHost host;
  PushManagerInfo info(true);
  std::vector<std::string> uuids(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uuids[t] = info.deviceUUID();
      for (int i = 0; i < 50; ++i) {
        info.setClientUID("uid-" + std::to_string(t));
        (void)info.clientUID();
        info.changeMode(i % 2 ? "DEV" : "REAL");
        info.setPushServiceID("p");
        (void)info.jsonObject();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& uuid : uuids) EXPECT_EQ(uuid, uuids[0]);
  EXPECT_EQ(host.device->uuidsMade(), 1);
  EXPECT_EQ(info.clientUID().rfind("uid-", 0), 0u);
}

}  // namespace
}  // namespace orvo
