/// @file
/// The device's identity at the push service, kept in memory, in the settings
/// store, or enciphered in it; and the one read point for configuration values
/// and device facts.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/PushEncryptor.h"
#include "orvo/PushManagerConfig.h"
#include "orvo/Value.h"

namespace orvo {

/// The device's record: its identity at the receiver (client UID and name,
/// group, push service ID, phone number), the auth key and the dates of the
/// last calls, kept in memory or in the settings store, optionally enciphered.
/// Safe to read and write from any thread.
class ORVO_PUSH_API PushManagerInfo {
 public:
  /// Settings-store key names.
  /// @{
  static constexpr std::string_view kClientUIDKey = "PushManagerKeyClientUID";
  static constexpr std::string_view kClientNameKey = "PushManagerKeyClientName";
  static constexpr std::string_view kGroupSequenceNumberKey = "PushManagerKeyGroupSequenceNumber";
  static constexpr std::string_view kPushServiceIDKey = "PushManagerKeyPushServiceID";
  static constexpr std::string_view kPhoneNumberKey = "PushManagerKeyPhoneNumber";
  static constexpr std::string_view kPushServiceLastDateKey = "PushManagerKeyPushServiceLastDate";
  static constexpr std::string_view kEncryptVersionKey = "PushManagerKeyEncryptVersion";
  static constexpr std::string_view kDataStructVersionKey = "PushManagerKeyDataStructVersion";
  /// @}

  /// In memory (false) or in the settings store (true).
  explicit PushManagerInfo(bool useStorage);
  /// As above, and sets the process-wide custom host (absent clears it).
  PushManagerInfo(bool useStorage, std::optional<std::string> customHost);
  /// Enciphered in the settings store; clears the plain layout first.
  /// @{
  explicit PushManagerInfo(PushEncryptor encryptor);
  PushManagerInfo(const PushManagerInfo&) = delete;
  PushManagerInfo& operator=(const PushManagerInfo&) = delete;
  /// @}

  /// Whether the record lives in the settings store.
  bool useStorage() const { return useStorage_; }
  /// Whether the stored fields are enciphered.
  bool isEncrypted() const { return encryptor_.has_value(); }
  /// The configuration the record was made with.
  std::shared_ptr<PushManagerConfig> config() const { return config_; }

  /// In-memory fields.
  /// @{
  std::string mode() const;
  void setMode(std::string mode);
  std::optional<std::string> authKey() const;
  void setAuthKey(std::optional<std::string> authKey);
  bool useCachedPushToken() const;
  void setUseCachedPushToken(bool use);
  std::optional<Date> appAliveLastDate() const;
  void setAppAliveLastDate(std::optional<Date> date);
  std::optional<Dictionary> launchOptions() const;
  void setLaunchOptions(std::optional<Dictionary> options);
  std::optional<std::string> customDeviceUUID() const;
  /// @}

  /// Identity fields. Reads fall back to the defaults; a setter given absent
  /// deletes the stored value; every persisted write is durable on return.
  /// @{
  std::string clientUID() const;
  void setClientUID(std::optional<std::string> value);
  std::string clientName() const;
  void setClientName(std::optional<std::string> value);
  std::string groupSequenceNumber() const;
  void setGroupSequenceNumber(std::optional<std::string> value);
  std::string pushServiceID() const;
  void setPushServiceID(std::optional<std::string> value);
  std::string phoneNumber() const;
  void setPhoneNumber(std::optional<std::string> value);
  Date pushServiceLastDate() const;
  void setPushServiceLastDate(std::optional<Date> value);
  void setEncryptVersion(std::optional<std::string> version);
  /// @}

  /// Derived.
  /// @{
  std::string tempClientUID() const;
  std::string deviceUUID() const;
  std::string deviceType() const { return "I"; }
  std::string pushServiceType() const { return "APNS"; }
  std::string deviceModel() const;
  std::string osVersion() const;
  std::optional<std::string> applicationVersion() const;
  std::string host() const;
  std::string receiverVersion() const;
  std::string receiverDebugVersion() const;
  std::string applicationID() const;
  std::string logServerHost() const;
  std::string xeltHost() const;
  std::string customerCode() const;
  std::string policy() const;
  bool useLog() const;
  bool useGranted() const;
  bool usePhoneNumber() const;
  std::string encryptVersion() const;
  bool hasData() const;
  bool isValidated() const;
  /// @}

  /// Maintenance.
  /// @{
  void resetStorageData();
  void resetPushServiceLastDate();
  void resetPushToken();
  /// Forgets the device UUID in the settings store and the keychain (so the
  /// next one is fresh); returns the keychain item's name.
  std::string resetDeviceUUID();
  /// @}
  /// May reset the old record's stored data, hence not const.
  /// @{
  void migrationFromInfo(PushManagerInfo& old);
  Dictionary jsonObject() const;
  /// @}

  /// Change operations for the application.
  /// @{
  void changePhoneNumber(std::optional<std::string> phoneNumber);
  void changeHost(std::string host);
  void changeReceiverVersion(std::string version);
  void changeMode(std::string_view mode);
  void changexeltHost(std::string host);
  void changeProjectID(std::string projectID);
  void changeGranted(bool granted);
  void changeusePhoneNumber(bool use);
  void changeLog(bool useLog);
  void changeDeviceUUID(std::optional<std::string> uuid);
  /// @}

  /// The one way persisted identity fields are read and written (plain or
  /// enciphered, whatever useStorage says).
  /// @{
  std::optional<std::string> getStorageDataByKey(std::string_view keyName) const;
  void setStorageData(std::optional<std::string> value, std::string_view keyName) const;
  /// @}

 private:
  std::string pushServiceIDKeyName() const;
  std::optional<std::string> readIdentity(std::string_view keyName,
                                          const std::optional<std::string>& memory) const;
  void writeIdentity(std::string_view keyName, std::optional<std::string>& memory,
                     std::optional<std::string> value);

  std::shared_ptr<PushManagerConfig> config_;
  const bool useStorage_;
  const std::optional<PushEncryptor> encryptor_;

  mutable std::recursive_mutex mutex_;
  std::string mode_ = "REAL";
  std::optional<std::string> authKey_;
  bool useCachedPushToken_ = false;
  std::optional<Date> appAliveLastDate_;
  std::optional<Dictionary> launchOptions_;
  std::optional<std::string> customDeviceUUID_;
  /// In-memory copies of the identity fields when useStorage is off.
  /// @{
  std::optional<std::string> memClientUID_;
  std::optional<std::string> memClientName_;
  std::optional<std::string> memGroupSequenceNumber_;
  std::optional<std::string> memPushServiceID_;
  std::optional<std::string> memPhoneNumber_;
  /// @}
};

}  // namespace orvo
