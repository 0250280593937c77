#include "orvo/PushManagerInfo.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "orvo/PushKeychain.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace std::string_literals;
using Op = MemoryKeychain::Operation;
using Keys = std::set<std::string>;
using I = PushManagerInfo;

constexpr std::string_view kKey16 = "0123456789abcdef";
constexpr std::string_view kOtherKey16 = "fedcba9876543210";
const std::string kUUIDKey = std::string(test::TestHost::kBundleIdentifier) + ".uuid";
const std::string kRealPSIDKey = "REAL.PushManagerKeyPushServiceID";
const std::string kMadeUUID = "00000000-0000-4000-8000-000000000001";  // the double's first
// Client UID, name, group, push-service ID, phone number and last date of a fresh record.
const std::string kGuest = "GUEST|GUEST|||00000000000|0";

std::string identity(const PushManagerInfo& i) {
  return i.clientUID() + "|" + i.clientName() + "|" + i.groupSequenceNumber() + "|" +
         i.pushServiceID() + "|" + i.phoneNumber() + "|" +
         std::to_string(static_cast<long long>(i.pushServiceLastDate().secondsSince1970));
}

void fillIdentity(PushManagerInfo& info, const std::string& suffix) {
  info.setClientUID("uid-" + suffix);
  info.setClientName("name-" + suffix);
  info.setGroupSequenceNumber("group-" + suffix);
  info.setPushServiceID("psid-" + suffix);
  info.setPhoneNumber("010" + suffix);
  info.setPushServiceLastDate(Date{1000.0});
}

Keys storedKeys(const MemorySettingsStore& settings) {
  Keys keys;
  for (const auto& [key, value] : settings.snapshot()) keys.insert(key);
  return keys;
}

TEST(PushManagerInfoTest, FreshDefaultsThenDurablePlainWrites) {
  test::TestHost host;
  I info(true);
  EXPECT_EQ(identity(info) + "|" + info.mode() + "|" + info.tempClientUID() + "|" +
                info.encryptVersion() + "|" + info.deviceModel() + "|" + info.osVersion() + "|" +
                info.applicationVersion().value_or("-"),
            kGuest + "|REAL|TMP0GUEST||TestPhone|17.0|7");
  EXPECT_FALSE(info.hasData() || info.isValidated());
  EXPECT_TRUE(I(false).isValidated());
  EXPECT_TRUE(host.settings->snapshot().empty()) << "defaults are not written back";

  // clang-format off
  const std::tuple<std::function<void()>, std::string, Value> writes[] = {
      {[&] { info.setClientUID("uid-1"); }, "PushManagerKeyClientUID", "uid-1"},
      {[&] { info.setClientName("name-1"); }, "PushManagerKeyClientName", "name-1"},
      {[&] { info.setGroupSequenceNumber("7"); }, "PushManagerKeyGroupSequenceNumber", "7"},
      {[&] { info.setPushServiceID("token-real"); }, kRealPSIDKey, "token-real"},
      {[&] { info.setPhoneNumber("01012345678"); }, "PushManagerKeyPhoneNumber", "01012345678"},
      {[&] { info.setPushServiceLastDate(Date{1234}); }, "PushManagerKeyPushServiceLastDate",
       Date{1234}},
      {[&] { info.setEncryptVersion("v9"); }, "PushManagerKeyEncryptVersion", "v9"}};
  // clang-format on
  for (const auto& [write, key, stored] : writes) {
    const std::size_t syncs = host.settings->synchronizeCount();
    write();
    EXPECT_GT(host.settings->synchronizeCount(), syncs) << key;
    EXPECT_EQ(host.settings->get(key), stored) << key;
  }
  // Another record over the same store sees it all.
  I again(true);
  EXPECT_EQ(identity(again), "uid-1|name-1|7|token-real|01012345678|1234");
  EXPECT_EQ(again.tempClientUID() + again.encryptVersion(), "TMP0uid-1v9");
  EXPECT_TRUE(again.hasData() && again.isValidated());
  const std::size_t syncs = host.settings->synchronizeCount();
  info.resetStorageData();
  EXPECT_GT(host.settings->synchronizeCount(), syncs);
  // Absent deletes; every field falls back to its default.
  EXPECT_EQ(storedKeys(*host.settings), Keys{"PushManagerKeyEncryptVersion"});
  EXPECT_EQ(identity(info), kGuest);
  // A stored empty text is a value, not the default.
  info.setClientName("");
  EXPECT_EQ(info.clientName(), "");
  info.setPushServiceLastDate(Date{5.0});
  info.resetPushServiceLastDate();
  info.setPushServiceID("t");
  info.resetPushToken();
  info.setEncryptVersion(std::nullopt);
  EXPECT_EQ(storedKeys(*host.settings), Keys{"PushManagerKeyClientName"});
}

TEST(PushManagerInfoTest, ValuesOfAnotherTypeReadAsAbsent) {
  test::TestHost host;
  // clang-format off
  for (const auto& [key, value] : std::initializer_list<std::pair<std::string, Value>>{
           {"PushManagerKeyClientUID", 42}, {"PushManagerKeyClientName", true},
           {"PushManagerKeyPhoneNumber", Array{"1"}}, {kRealPSIDKey, toBytes("token")},
           {"PushManagerKeyPushServiceLastDate", 1000.0}, {"PushManagerKeyEncryptVersion", 3},
           {kUUIDKey, Dictionary{}}}) {
    host.settings->set(key, value);
  }
  // clang-format on
  I info(true);
  EXPECT_EQ(identity(info) + "|" + info.encryptVersion(), kGuest + "|");
  EXPECT_FALSE(info.hasData());
  // The UUID under a dictionary is no UUID: a fresh one replaces it.
  EXPECT_EQ(info.deviceUUID(), kMadeUUID);
  EXPECT_EQ(host.settings->get(kUUIDKey), Value(kMadeUUID));
}

TEST(PushManagerInfoTest, PushServiceIDFollowsModeAndPhoneNumberSwitch) {
  test::TestHost host;
  I stored(true), memory(false);
  stored.changeMode("DEV");
  stored.setPushServiceID("dev-token");
  stored.changeMode("REAL");
  EXPECT_EQ(stored.pushServiceID(), "");
  stored.setPushServiceID("real-token");
  stored.changeMode("dev");  // not a mode: ignored
  stored.changeMode("");
  EXPECT_EQ(stored.mode() + " " + stored.pushServiceID(), "REAL real-token");
  stored.changeMode("DEV");
  EXPECT_EQ(stored.mode() + " " + stored.pushServiceID(), "DEV dev-token");
  // An in-memory record keeps one push-service ID whatever the mode.
  memory.changeMode("DEV");
  memory.setPushServiceID("mem-token");
  memory.changeMode("REAL");
  EXPECT_EQ(memory.pushServiceID(), "mem-token");
  EXPECT_EQ(host.settings->get("DEV.PushManagerKeyPushServiceID"), Value("dev-token"));
  EXPECT_EQ(host.settings->get(kRealPSIDKey), Value("real-token"));

  stored.changePhoneNumber("01099998888");
  EXPECT_EQ(stored.phoneNumber(), "01099998888");
  stored.changeusePhoneNumber(false);
  EXPECT_FALSE(stored.usePhoneNumber());
  EXPECT_EQ(I(true).phoneNumber(), "") << "the switch is shared configuration";
  EXPECT_EQ(host.settings->get("PushManagerKeyPhoneNumber"), Value("01099998888"));
  stored.changeusePhoneNumber(true);
  EXPECT_EQ(stored.phoneNumber(), "01099998888");
}

TEST(PushManagerInfoTest, InMemoryRecordKeepsOnlyUUIDAndLastDate) {
  test::TestHost host;
  std::string uuid;
  {
    I memory(false);
    fillIdentity(memory, "m");
    EXPECT_EQ(identity(memory), "uid-m|name-m|group-m|psid-m|010m|1000");
    uuid = memory.deviceUUID();
    EXPECT_EQ(storedKeys(*host.settings), (Keys{kUUIDKey, "PushManagerKeyPushServiceLastDate"}));
    // hasData reads the settings store, whatever useStorage says.
    EXPECT_FALSE(memory.hasData());
    host.settings->set("PushManagerKeyClientUID", "stored");
    EXPECT_TRUE(memory.hasData());
    EXPECT_EQ(memory.clientUID(), "uid-m");
    host.settings->remove("PushManagerKeyClientUID");
  }
  I replacement(false);
  EXPECT_EQ(identity(replacement), "GUEST|GUEST|||00000000000|1000");
  EXPECT_EQ(replacement.deviceUUID(), uuid);
}

TEST(PushManagerInfoTest, DeviceUUIDSources) {
  test::TestHost host;
  // Neither store: a new UUID, kept in the keychain and the settings store.
  I info(true);
  EXPECT_EQ(info.deviceUUID(), kMadeUUID);
  EXPECT_EQ(info.deviceUUID(), kMadeUUID);
  EXPECT_EQ(host.settings->get(kUUIDKey), Value(kMadeUUID));
  EXPECT_EQ(PushKeychain::loadValueForKey(kUUIDKey), Value(kMadeUUID));
  // A custom UUID wins while non-empty.
  info.changeDeviceUUID("custom");
  EXPECT_EQ(info.deviceUUID(), "custom");
  info.changeDeviceUUID("");
  EXPECT_EQ(info.deviceUUID(), kMadeUUID);
  // Reinstalled: the settings store is empty or holds an empty text, the
  // keychain kept the UUID.
  host.settings->set(kUUIDKey, "");
  EXPECT_EQ(I(true).deviceUUID(), kMadeUUID);
  EXPECT_EQ(host.settings->get(kUUIDKey), Value(kMadeUUID));
  // Only the earlier layout holds one.
  host.settings->remove(kUUIDKey);
  ASSERT_TRUE(PushKeychain::deleteValueForKey(kUUIDKey));
  PushKeychainItemWrapper legacy(kUUIDKey, std::nullopt);
  ASSERT_FALSE(legacy.setObject("LEGACY-UUID", keychain::kAttrAccount).has_value());
  EXPECT_EQ(I(true).deviceUUID(), "LEGACY-UUID");
  EXPECT_EQ(PushKeychain::loadValueForKey(kUUIDKey), Value("LEGACY-UUID"));
  EXPECT_EQ(host.settings->get(kUUIDKey), Value("LEGACY-UUID"));
  EXPECT_EQ(host.device->uuidsMade(), 1);
}

TEST(PushManagerInfoTest, DeviceUUIDPlainFallbackAndFailingKeychain) {
  {
    test::TestHost host;
    I info(PushEncryptor(std::string(kKey16), "enc-1"));
    host.settings->set(kUUIDKey, "PLAIN-UUID");
    const auto before = host.settings->snapshot();
    EXPECT_EQ(info.deviceUUID(), "PLAIN-UUID");
    EXPECT_EQ(host.settings->snapshot(), before) << "nothing is written";
    EXPECT_TRUE(PushKeychain::loadValueForKey(kUUIDKey).isNull());
  }
  test::TestHost host;
  const std::string queued = "11111111-2222-4333-8444-555555555555";
  host.device->queueUUID(queued);
  // The add of the new item fails: the UUID is still stored and returned.
  host.keychain->failNext(Op::Add, KeychainStatus::Other);
  EXPECT_EQ(I(true).deviceUUID(), queued);
  EXPECT_TRUE(PushKeychain::loadValueForKey(kUUIDKey).isNull());
  EXPECT_EQ(I(true).deviceUUID(), queued);
  // A keychain whose searches fail acts as an empty one: a new UUID, which
  // then replaces the kept one.
  ASSERT_TRUE(PushKeychain::saveValue("KEPT", kUUIDKey));
  host.settings->remove(kUUIDKey);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  host.keychain->failNext(Op::CopyMatching, KeychainStatus::Other);
  const std::string second = "00000000-0000-4000-8000-000000000002";
  EXPECT_EQ(I(true).deviceUUID(), second);
  EXPECT_EQ(PushKeychain::loadValueForKey(kUUIDKey), Value(second));
}

TEST(PushManagerInfoTest, EncryptedRecordLayout) {
  test::TestHost host;
  for (const char* key :
       {"PushManagerKeyClientUID", "PushManagerKeyClientName", "PushManagerKeyGroupSequenceNumber",
        "PushManagerKeyPushServiceID", "PushManagerKeyPhoneNumber",
        "PushManagerKeyPushServiceLastDate", "PushManagerKeyDataStructVersion"}) {
    host.settings->set(key, "plain");
  }
  host.settings->set(kUUIDKey, "plain-uuid");
  host.settings->set(kRealPSIDKey, "kept");
  ASSERT_TRUE(PushKeychain::saveValue("KEYCHAIN-UUID", kUUIDKey));
  const std::size_t syncs = host.settings->synchronizeCount();

  // Creating the record clears the plain layout, durably, except the plain
  // push-service ID under its mode, which it never reads.
  PushEncryptor encryptor(std::string(kKey16), "enc-1");
  I info(encryptor);
  EXPECT_TRUE(info.isEncrypted() && info.useStorage());
  EXPECT_GT(host.settings->synchronizeCount(), syncs);
  EXPECT_EQ(storedKeys(*host.settings), (Keys{kRealPSIDKey, "PushManagerKeyEncryptVersion"}));
  EXPECT_EQ(host.settings->get("PushManagerKeyEncryptVersion"), Value("enc-1"));
  EXPECT_EQ(identity(info) + "|" + info.encryptVersion(), kGuest + "|enc-1");

  fillIdentity(info, "e");
  EXPECT_EQ(info.deviceUUID(), "KEYCHAIN-UUID");
  EXPECT_EQ(identity(info), "uid-e|name-e|group-e|psid-e|010e|1000");
  EXPECT_TRUE(info.hasData());
  // Only the last date and the version are plain (and the untouched old
  // push-service ID); every other key is the name as lower-case cipher text,
  // and so is its value (which the identity above read back).
  Keys expected{"PushManagerKeyPushServiceLastDate", "PushManagerKeyEncryptVersion", kRealPSIDKey};
  for (const std::string& name : {"PushManagerKeyClientUID"s, "PushManagerKeyClientName"s,
                                  "PushManagerKeyGroupSequenceNumber"s, kRealPSIDKey,
                                  "PushManagerKeyPhoneNumber"s, kUUIDKey}) {
    expected.insert(encryptor.encryptValue(name).value());
  }
  EXPECT_EQ(storedKeys(*host.settings), expected);
  EXPECT_EQ(host.settings->get(*encryptor.encryptValue("PushManagerKeyPhoneNumber")),
            Value(*encryptor.encryptValue("010e")));
  EXPECT_EQ(host.settings->get(kRealPSIDKey), Value("kept"));
  EXPECT_EQ(host.settings->get("PushManagerKeyPushServiceLastDate"), Value(Date{1000.0}));

  // Another key reads nothing back; a damaged value reads as the default.
  I stranger(PushEncryptor(std::string(kOtherKey16), "enc-1"));
  EXPECT_FALSE(stranger.hasData());
  const std::string uidKey = *encryptor.encryptValue("PushManagerKeyClientUID");
  for (Value damaged : {Value("zz-not-hex"), Value(17),
                        Value(*PushEncryptor(std::string(kOtherKey16), "x").encryptValue("u"))}) {
    host.settings->set(uidKey, damaged);
    EXPECT_EQ(info.clientUID(), "GUEST");
  }
  // A key that cannot encipher: reads are absent, writes do nothing.
  I broken(PushEncryptor("short", "enc-x"));
  const auto before = host.settings->snapshot();
  broken.setClientUID("ignored");
  EXPECT_EQ(broken.clientUID(), "GUEST");
  EXPECT_EQ(host.settings->snapshot(), before);
}

TEST(PushManagerInfoTest, Migration) {
  test::TestHost host;
  // Creating an encrypted record clears the plain last date, so every record
  // is made before the old one is filled.
  I old(PushEncryptor(std::string(kKey16), "enc-1"));
  I same(PushEncryptor(std::string(kOtherKey16), "enc-1"));
  I next(PushEncryptor("0123456789abcdef0123456789abcdef", "enc-2"));
  I emptyOld(PushEncryptor("abcdefghijklmnop", "enc-8"));
  I fresh(PushEncryptor("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "enc-9"));
  I plain(true);
  old.changeMode("DEV");
  old.setClientUID("uid-old");
  old.setGroupSequenceNumber("3");
  old.setPushServiceID("old-token");
  old.setPushServiceLastDate(Date{777.0});

  // Only an encrypted record migrates.
  plain.migrationFromInfo(old);
  EXPECT_EQ(plain.clientUID(), "GUEST");
  // Same version: the old values stay; defaults become stored values; the
  // push-service ID is read under the old mode and written under REAL.
  same.migrationFromInfo(old);
  EXPECT_EQ(identity(same), "uid-old|GUEST|3|old-token|00000000000|777");
  EXPECT_EQ(same.getStorageDataByKey("PushManagerKeyClientName"), "GUEST");
  EXPECT_EQ(same.getStorageDataByKey("PushManagerKeyPhoneNumber"), "00000000000");
  same.changeMode("DEV");
  EXPECT_EQ(same.pushServiceID(), "");
  EXPECT_EQ(old.clientUID(), "uid-old");

  // Another version: the old record is cleared, and with it the shared date.
  next.migrationFromInfo(old);
  EXPECT_EQ(identity(next), "uid-old|GUEST|3|old-token|00000000000|0");
  EXPECT_EQ(identity(old), kGuest) << "read under DEV";
  EXPECT_FALSE(old.hasData());
  EXPECT_EQ(same.clientUID(), "uid-old") << "other keys are untouched";

  // An old record without a client UID gives nothing, yet what it holds under
  // another version is cleared all the same; under the same version it stays.
  emptyOld.setGroupSequenceNumber("5");
  I sameAsEmpty(PushEncryptor("ponmlkjihgfedcba", "enc-8"));
  sameAsEmpty.migrationFromInfo(emptyOld);
  EXPECT_EQ(sameAsEmpty.groupSequenceNumber() + "|" + emptyOld.groupSequenceNumber(), "|5");
  fresh.setPushServiceLastDate(Date{9.0});
  fresh.migrationFromInfo(emptyOld);
  EXPECT_EQ(fresh.groupSequenceNumber() + "|" + emptyOld.groupSequenceNumber(), "|");
  EXPECT_EQ(fresh.pushServiceLastDate(), Date{0.0});
}

TEST(PushManagerInfoTest, JsonObject) {
  test::TestHost host;
  I info(PushEncryptor(std::string(kKey16), "enc-7"));
  info.changeProjectID("app-42");
  fillIdentity(info, "j");
  const Dictionary json = info.jsonObject();
  EXPECT_EQ(json.size(), 17u);
  EXPECT_EQ(json.get("ENCRYPTED"), Value(true));
  // clang-format off
  const std::tuple<const char*, const char*, std::string> fields[] = {
      {"ENCRYPT_VERSION", "ENC_VER", "enc-7"}, {"CLIENT_UID", "CUID", "uid-j"},
      {"CLIENT_NAME", "CNAME", "name-j"}, {"GROUP_SEQUENCE_NUMBER", "GROUPSEQ", "group-j"},
      {"DEVICE_UUID", "UUID", kMadeUUID}, {"PUSH_SERVICE_ID", "PSID", "psid-j"},
      {"APPLICATION_ID", "APPID", "app-42"}, {"PHONE_NUMBER", "PHONENUM", "010j"}};
  // clang-format on
  for (const auto& [longName, shortName, value] : fields) {
    EXPECT_EQ(json.get(longName), Value(value)) << longName;
    EXPECT_EQ(json.get(shortName), Value(value)) << shortName;
  }
  EXPECT_EQ(I(false).jsonObject().get("ENCRYPTED"), Value(false));
}

TEST(PushManagerInfoTest, ChangeOperationsAndCustomHost) {
  test::TestHost host;
  I info(true), other(false);
  info.changeHost("https://receiver.example/");
  info.changeReceiverVersion("3.7EE");
  info.changexeltHost("https://xelt.example/");
  info.changeProjectID("project");
  info.changeGranted(false);
  info.changeLog(true);
  // Shared configuration: another record sees every change.
  EXPECT_EQ(other.host() + " " + other.receiverVersion() + " " + other.receiverDebugVersion() +
                " " + other.xeltHost() + " " + other.applicationID() + " " +
                std::to_string(other.useGranted()) + std::to_string(other.useLog()),
            "https://receiver.example/ 3.7 3.7 https://xelt.example/ project 01");

  // A custom host wins over changes for every record until it is cleared.
  I custom(true, std::string("https://custom.example/"));
  EXPECT_EQ(info.host(), "https://custom.example/");
  info.changeHost("https://ignored.example/");
  EXPECT_EQ(I(false).host(), "https://custom.example/");
  I cleared(true, std::nullopt);
  EXPECT_EQ(info.host(), "https://ignored.example/");
  // and until the process ends.
  I(true, std::string("https://custom.example/"));
  test::TestHost next;
  I fresh(true);
  EXPECT_EQ(fresh.host(), "http://127.0.0.1:1/");  // the configuration's own
}

TEST(PushManagerInfoTest, ConcurrentUse) {
  test::TestHost host;
  I info(true);
  std::vector<std::string> uuids(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uuids[t] = info.deviceUUID();
      for (int i = 0; i < 50; ++i) {
        info.setClientUID("uid-" + std::to_string(t));
        info.changeMode(i % 2 ? "DEV" : "REAL");
        info.setPushServiceID("p");
        (void)info.jsonObject();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& uuid : uuids) EXPECT_EQ(uuid, kMadeUUID);
  EXPECT_EQ(host.device->uuidsMade(), 1);
  EXPECT_TRUE(info.clientUID().starts_with("uid-"));
}

}  // namespace
}  // namespace orvo
