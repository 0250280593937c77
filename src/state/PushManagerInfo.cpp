#include "orvo/PushManagerInfo.h"

#include <tuple>

#include "orvo/PushKeychain.h"
#include "orvo/platform/Host.h"
#include "state/ProcessState.h"

namespace orvo {
namespace {

constexpr std::string_view kGuest = "GUEST";
constexpr std::string_view kNoPhoneNumber = "00000000000";
constexpr std::string_view kTempClientUIDPrefix = "TMP0";
constexpr std::string_view kUUIDSuffix = ".uuid";
constexpr std::string_view kBundleVersionKey = "CFBundleVersion";
constexpr std::string_view kModeReal = "REAL";
constexpr std::string_view kModeDev = "DEV";

// jsonObject keys.
constexpr std::string_view kJsonEncrypted = "ENCRYPTED";
constexpr std::string_view kJsonEncryptVersion = "ENCRYPT_VERSION";
constexpr std::string_view kJsonClientUID = "CLIENT_UID";
constexpr std::string_view kJsonClientName = "CLIENT_NAME";
constexpr std::string_view kJsonGroupSequenceNumber = "GROUP_SEQUENCE_NUMBER";
constexpr std::string_view kJsonDeviceUUID = "DEVICE_UUID";
constexpr std::string_view kJsonPushServiceID = "PUSH_SERVICE_ID";
constexpr std::string_view kJsonApplicationID = "APPLICATION_ID";
constexpr std::string_view kJsonPhoneNumber = "PHONE_NUMBER";
constexpr std::string_view kJsonEncVer = "ENC_VER";
constexpr std::string_view kJsonCUID = "CUID";
constexpr std::string_view kJsonCName = "CNAME";
constexpr std::string_view kJsonGroupSeq = "GROUPSEQ";
constexpr std::string_view kJsonUUID = "UUID";
constexpr std::string_view kJsonPSID = "PSID";
constexpr std::string_view kJsonAppID = "APPID";
constexpr std::string_view kJsonPhoneNum = "PHONENUM";

std::mutex& customHostMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<std::string>& customHostSlot() {
  static std::optional<std::string> host;
  return host;
}

void setCustomHost(std::optional<std::string> host) {
  std::lock_guard lock(customHostMutex());
  customHostSlot() = std::move(host);
}

std::optional<std::string> customHost() {
  std::lock_guard lock(customHostMutex());
  return customHostSlot();
}

std::shared_ptr<SettingsStore> settingsStore() {
  auto host = Host::current();
  return host ? host->settings : nullptr;
}

// A stored value of another type than the field's reads as nothing stored.
std::optional<std::string> storedString(const SettingsStore& settings, std::string_view key) {
  Value value = settings.get(key);
  if (std::string* text = value.asString()) return std::move(*text);
  return std::nullopt;
}

std::string deviceUUIDKeyName() {
  auto host = Host::current();
  std::string identifier = host && host->bundle ? host->bundle->identifier() : std::string();
  return identifier + std::string(kUUIDSuffix);
}

}  // namespace

namespace detail {
void resetInfoProcessState() { setCustomHost(std::nullopt); }
}  // namespace detail

PushManagerInfo::PushManagerInfo(bool useStorage)
    : config_(PushManagerConfig::sharedConfig()), useStorage_(useStorage) {}

PushManagerInfo::PushManagerInfo(bool useStorage, std::optional<std::string> customHost)
    : PushManagerInfo(useStorage) {
  setCustomHost(std::move(customHost));
}

PushManagerInfo::PushManagerInfo(PushEncryptor encryptor)
    : config_(PushManagerConfig::sharedConfig()),
      useStorage_(true),
      encryptor_(std::move(encryptor)) {
  auto settings = settingsStore();
  if (!settings) return;
  // The plain layout goes; the mode-prefixed push-service IDs and the
  // keychain stay, so the device UUID comes back from the keychain.
  settings->remove(deviceUUIDKeyName());
  for (std::string_view key :
       {kClientUIDKey, kClientNameKey, kGroupSequenceNumberKey, kPushServiceIDKey, kPhoneNumberKey,
        kPushServiceLastDateKey, kDataStructVersionKey}) {
    settings->remove(key);
  }
  settings->set(kEncryptVersionKey, Value(encryptor_->encryptVersion()));
  settings->synchronize();
}

// --- storage access ---

std::optional<std::string> PushManagerInfo::getStorageDataByKey(std::string_view keyName) const {
  auto settings = settingsStore();
  if (!settings) return std::nullopt;
  if (!encryptor_) return storedString(*settings, keyName);
  auto storedKey = encryptor_->encryptValue(keyName);
  if (!storedKey) return std::nullopt;
  auto cipherText = storedString(*settings, *storedKey);
  if (!cipherText) return std::nullopt;
  return encryptor_->decryptValue(*cipherText);
}

void PushManagerInfo::setStorageData(std::optional<std::string> value,
                                     std::string_view keyName) const {
  auto settings = settingsStore();
  if (!settings) return;
  if (!encryptor_) {
    if (value) {
      settings->set(keyName, Value(std::move(*value)));
    } else {
      settings->remove(keyName);
    }
    settings->synchronize();
    return;
  }
  auto storedKey = encryptor_->encryptValue(keyName);
  if (!storedKey) return;
  std::optional<std::string> cipherText = value ? encryptor_->encryptValue(*value) : std::nullopt;
  if (cipherText) {
    settings->set(*storedKey, Value(std::move(*cipherText)));
  } else {
    settings->remove(*storedKey);
  }
  settings->synchronize();
}

std::string PushManagerInfo::pushServiceIDKeyName() const {
  std::lock_guard lock(mutex_);
  return mode_ + "." + std::string(kPushServiceIDKey);
}

std::optional<std::string> PushManagerInfo::readIdentity(
    std::string_view keyName, const std::optional<std::string>& memory) const {
  std::lock_guard lock(mutex_);
  return useStorage_ ? getStorageDataByKey(keyName) : memory;
}

void PushManagerInfo::writeIdentity(std::string_view keyName, std::optional<std::string>& memory,
                                    std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  if (useStorage_) {
    setStorageData(std::move(value), keyName);
  } else {
    memory = std::move(value);
  }
}

// --- in-memory fields ---

std::string PushManagerInfo::mode() const {
  std::lock_guard lock(mutex_);
  return mode_;
}

void PushManagerInfo::setMode(std::string mode) {
  std::lock_guard lock(mutex_);
  mode_ = std::move(mode);
}

std::optional<std::string> PushManagerInfo::authKey() const {
  std::lock_guard lock(mutex_);
  return authKey_;
}

void PushManagerInfo::setAuthKey(std::optional<std::string> authKey) {
  std::lock_guard lock(mutex_);
  authKey_ = std::move(authKey);
}

bool PushManagerInfo::useCachedPushToken() const {
  std::lock_guard lock(mutex_);
  return useCachedPushToken_;
}

void PushManagerInfo::setUseCachedPushToken(bool use) {
  std::lock_guard lock(mutex_);
  useCachedPushToken_ = use;
}

std::optional<Date> PushManagerInfo::appAliveLastDate() const {
  std::lock_guard lock(mutex_);
  return appAliveLastDate_;
}

void PushManagerInfo::setAppAliveLastDate(std::optional<Date> date) {
  std::lock_guard lock(mutex_);
  appAliveLastDate_ = date;
}

std::optional<Dictionary> PushManagerInfo::launchOptions() const {
  std::lock_guard lock(mutex_);
  return launchOptions_;
}

void PushManagerInfo::setLaunchOptions(std::optional<Dictionary> options) {
  std::lock_guard lock(mutex_);
  launchOptions_ = std::move(options);
}

std::optional<std::string> PushManagerInfo::customDeviceUUID() const {
  std::lock_guard lock(mutex_);
  return customDeviceUUID_;
}

// --- identity fields ---

std::string PushManagerInfo::clientUID() const {
  return readIdentity(kClientUIDKey, memClientUID_).value_or(std::string(kGuest));
}

void PushManagerInfo::setClientUID(std::optional<std::string> value) {
  writeIdentity(kClientUIDKey, memClientUID_, std::move(value));
}

std::string PushManagerInfo::clientName() const {
  return readIdentity(kClientNameKey, memClientName_).value_or(std::string(kGuest));
}

void PushManagerInfo::setClientName(std::optional<std::string> value) {
  writeIdentity(kClientNameKey, memClientName_, std::move(value));
}

std::string PushManagerInfo::groupSequenceNumber() const {
  return readIdentity(kGroupSequenceNumberKey, memGroupSequenceNumber_).value_or(std::string());
}

void PushManagerInfo::setGroupSequenceNumber(std::optional<std::string> value) {
  writeIdentity(kGroupSequenceNumberKey, memGroupSequenceNumber_, std::move(value));
}

std::string PushManagerInfo::pushServiceID() const {
  std::lock_guard lock(mutex_);
  return readIdentity(pushServiceIDKeyName(), memPushServiceID_).value_or(std::string());
}

void PushManagerInfo::setPushServiceID(std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  writeIdentity(pushServiceIDKeyName(), memPushServiceID_, std::move(value));
}

std::string PushManagerInfo::phoneNumber() const {
  if (!usePhoneNumber()) return std::string();
  return readIdentity(kPhoneNumberKey, memPhoneNumber_).value_or(std::string(kNoPhoneNumber));
}

void PushManagerInfo::setPhoneNumber(std::optional<std::string> value) {
  writeIdentity(kPhoneNumberKey, memPhoneNumber_, std::move(value));
}

// The last date is one plain key for every kind of record.
Date PushManagerInfo::pushServiceLastDate() const {
  auto settings = settingsStore();
  if (!settings) return Date{};
  Value value = settings->get(kPushServiceLastDateKey);
  if (const Date* date = value.asDate()) return *date;
  return Date{};
}

void PushManagerInfo::setPushServiceLastDate(std::optional<Date> value) {
  auto settings = settingsStore();
  if (!settings) return;
  if (value) {
    settings->set(kPushServiceLastDateKey, Value(*value));
  } else {
    settings->remove(kPushServiceLastDateKey);
  }
  settings->synchronize();
}

void PushManagerInfo::setEncryptVersion(std::optional<std::string> version) {
  auto settings = settingsStore();
  if (!settings) return;
  if (version) {
    settings->set(kEncryptVersionKey, Value(std::move(*version)));
  } else {
    settings->remove(kEncryptVersionKey);
  }
  settings->synchronize();
}

// --- derived ---

std::string PushManagerInfo::tempClientUID() const {
  return std::string(kTempClientUIDPrefix) + clientUID();
}

std::string PushManagerInfo::deviceUUID() const {
  // Held throughout so that concurrent first calls make one UUID.
  std::lock_guard lock(mutex_);
  if (customDeviceUUID_ && !customDeviceUUID_->empty()) return *customDeviceUUID_;

  const std::string key = deviceUUIDKeyName();
  if (auto stored = getStorageDataByKey(key); stored && !stored->empty()) return *stored;

  // Reinstalled: the keychain kept it.
  Value kept = PushKeychain::loadValueForKey(key);
  if (const std::string* uuid = kept.asString(); uuid && !uuid->empty()) {
    setStorageData(*uuid, key);
    return *uuid;
  }

  auto settings = settingsStore();
  if (settings) {
    if (auto plain = storedString(*settings, key); plain && !plain->empty()) return *plain;
  }

  // The earlier keychain layout kept it as an account attribute.
  PushKeychainItemWrapper wrapper(key, std::nullopt);
  Value account = wrapper.objectForKey(keychain::kAttrAccount);
  if (const std::string* uuid = account.asString(); uuid && !uuid->empty()) {
    PushKeychain::saveValue(Value(*uuid), key);
    setStorageData(*uuid, key);
    return *uuid;
  }

  auto host = Host::current();
  if (!host || !host->device) return std::string();
  std::string fresh = host->device->newUUID();
  PushKeychain::saveValue(Value(fresh), key);
  setStorageData(fresh, key);
  return fresh;
}

std::string PushManagerInfo::deviceModel() const {
  auto host = Host::current();
  return host && host->device ? host->device->model() : std::string();
}

std::string PushManagerInfo::osVersion() const {
  auto host = Host::current();
  return host && host->device ? host->device->systemVersion() : std::string();
}

std::optional<std::string> PushManagerInfo::applicationVersion() const {
  auto host = Host::current();
  if (!host || !host->bundle) return std::nullopt;
  Value version = host->bundle->infoValue(kBundleVersionKey);
  if (const std::string* text = version.asString()) return *text;
  return std::nullopt;
}

std::string PushManagerInfo::host() const {
  if (auto custom = customHost()) return *custom;
  return config_->host();
}

std::string PushManagerInfo::receiverVersion() const { return config_->receiverVersion(); }
std::string PushManagerInfo::receiverDebugVersion() const {
  return config_->receiverDebugVersion();
}
std::string PushManagerInfo::applicationID() const { return config_->applicationID(); }
std::string PushManagerInfo::logServerHost() const { return config_->logServerHost(); }
std::string PushManagerInfo::xeltHost() const { return config_->xeltHost(); }
std::string PushManagerInfo::customerCode() const { return config_->customerCode(); }
std::string PushManagerInfo::policy() const { return config_->policy(); }
bool PushManagerInfo::useLog() const { return config_->useLog(); }
bool PushManagerInfo::useGranted() const { return config_->useGranted(); }
bool PushManagerInfo::usePhoneNumber() const { return config_->usePhoneNumber(); }

std::string PushManagerInfo::encryptVersion() const {
  if (encryptor_) return encryptor_->encryptVersion();
  auto settings = settingsStore();
  if (!settings) return std::string();
  return storedString(*settings, kEncryptVersionKey).value_or(std::string());
}

bool PushManagerInfo::hasData() const {
  std::lock_guard lock(mutex_);
  return getStorageDataByKey(kClientUIDKey).has_value();
}

bool PushManagerInfo::isValidated() const { return !useStorage_ || hasData(); }

// --- maintenance ---

void PushManagerInfo::resetStorageData() {
  std::lock_guard lock(mutex_);
  setClientUID(std::nullopt);
  setClientName(std::nullopt);
  setGroupSequenceNumber(std::nullopt);
  setPushServiceID(std::nullopt);
  setPhoneNumber(std::nullopt);
  setPushServiceLastDate(std::nullopt);
}

void PushManagerInfo::resetPushServiceLastDate() { setPushServiceLastDate(std::nullopt); }

void PushManagerInfo::resetPushToken() { setPushServiceID(std::nullopt); }

std::string PushManagerInfo::resetDeviceUUID() {
  std::lock_guard lock(mutex_);
  const std::string key = deviceUUIDKeyName();
  customDeviceUUID_.reset();
  setStorageData(std::nullopt, key);
  if (auto settings = settingsStore()) {
    settings->remove(key);
    settings->synchronize();
  }
  PushKeychain::deleteValueForKey(key);
  return key;
}

void PushManagerInfo::migrationFromInfo(PushManagerInfo& old) {
  if (!isEncrypted() || &old == this) return;
  // The old record is read call by call and never locked together with this
  // one, so two migrations in opposite directions cannot deadlock.
  if (old.hasData()) {
    std::string clientUID = old.clientUID();
    std::string clientName = old.clientName();
    std::string groupSequenceNumber = old.groupSequenceNumber();
    std::string pushServiceID = old.pushServiceID();
    std::string phoneNumber = old.phoneNumber();
    const Date lastDate = old.pushServiceLastDate();
    setClientUID(std::move(clientUID));
    setClientName(std::move(clientName));
    setGroupSequenceNumber(std::move(groupSequenceNumber));
    setPushServiceID(std::move(pushServiceID));
    setPhoneNumber(std::move(phoneNumber));
    setPushServiceLastDate(lastDate);
  }
  // Whatever the old record still holds under another version's keys goes,
  // client UID or not; the shared last date goes with it.
  if (old.encryptVersion() != encryptVersion()) old.resetStorageData();
}

Dictionary PushManagerInfo::jsonObject() const {
  std::lock_guard lock(mutex_);
  const std::string version = encryptVersion();
  const std::string uid = clientUID();
  const std::string name = clientName();
  const std::string group = groupSequenceNumber();
  const std::string uuid = deviceUUID();
  const std::string psid = pushServiceID();
  const std::string appID = applicationID();
  const std::string phone = phoneNumber();
  Dictionary json;
  json.set(std::string(kJsonEncrypted), Value(isEncrypted()));
  for (auto [longName, shortName, value] :
       {std::tuple{kJsonEncryptVersion, kJsonEncVer, &version},
        std::tuple{kJsonClientUID, kJsonCUID, &uid}, std::tuple{kJsonClientName, kJsonCName, &name},
        std::tuple{kJsonGroupSequenceNumber, kJsonGroupSeq, &group},
        std::tuple{kJsonDeviceUUID, kJsonUUID, &uuid},
        std::tuple{kJsonPushServiceID, kJsonPSID, &psid},
        std::tuple{kJsonApplicationID, kJsonAppID, &appID},
        std::tuple{kJsonPhoneNumber, kJsonPhoneNum, &phone}}) {
    json.set(std::string(longName), Value(*value));
    json.set(std::string(shortName), Value(*value));
  }
  return json;
}

// --- change operations ---

void PushManagerInfo::changePhoneNumber(std::optional<std::string> phoneNumber) {
  setPhoneNumber(std::move(phoneNumber));
}

void PushManagerInfo::changeHost(std::string host) { config_->setHost(std::move(host)); }

void PushManagerInfo::changeReceiverVersion(std::string version) {
  config_->setReceiverVersion(PushManagerConfig::stripEnterpriseSuffix(std::move(version)));
}

void PushManagerInfo::changeMode(std::string_view mode) {
  if (mode == kModeDev || mode == kModeReal) setMode(std::string(mode));
}

void PushManagerInfo::changexeltHost(std::string host) { config_->setXeltHost(std::move(host)); }

void PushManagerInfo::changeProjectID(std::string projectID) {
  config_->setApplicationID(std::move(projectID));
}

void PushManagerInfo::changeGranted(bool granted) { config_->setUseGranted(granted); }

void PushManagerInfo::changeusePhoneNumber(bool use) { config_->setUsePhoneNumber(use); }

void PushManagerInfo::changeLog(bool useLog) { config_->setUseLog(useLog); }

void PushManagerInfo::changeDeviceUUID(std::optional<std::string> uuid) {
  std::lock_guard lock(mutex_);
  customDeviceUUID_ = std::move(uuid);
}

}  // namespace orvo
