/// @file
/// Values kept in the device keychain, where they survive a reinstall.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// The library's items in the device keychain.
class ORVO_PUSH_API PushKeychain {
 public:
  /// Stores the value under key, replacing an earlier one in one step: when
  /// the save fails the earlier value is still there.
  static bool saveValue(const Value& value, std::string_view key,
                        std::optional<std::string_view> accessGroup = std::nullopt);
  /// The value, or null when there is none or its data cannot be read.
  static Value loadValueForKey(std::string_view key,
                               std::optional<std::string_view> accessGroup = std::nullopt);
  /// Removes the value; true when it is gone.
  static bool deleteValueForKey(std::string_view key,
                                std::optional<std::string_view> accessGroup = std::nullopt);
  /// The query that finds the item of key in the access group.
  static Dictionary getKeychainQuery(std::string_view key,
                                     std::optional<std::string_view> accessGroup);
  /// The access group with the keychain's bundle seed in front.
  static std::string getFullAppleIdentifier(std::string_view accessGroup);
  /// The keychain's bundle seed (cached for the process), absent when it
  /// cannot be found.
  static std::optional<std::string> getBundleSeedIdentifier();
};

/// One generic-password item found by its generic attribute, as an editable
/// attribute dictionary. Keychain failures become error values and log lines.
class ORVO_PUSH_API PushKeychainItemWrapper {
 public:
  /// The domain of keychain failures.
  static constexpr std::string_view kErrorDomain = "PushKeychainItemWrapper";

  /// One generic-password item, by identifier and access group (absent: the
  /// keychain's default group).
  PushKeychainItemWrapper(std::string identifier, std::optional<std::string> accessGroup);

  /// The item's attribute, or its data for v_Data.
  Value objectForKey(std::string_view attribute) const;
  /// Ignored (no error) when the value is null or unchanged.
  /// @{
  std::optional<ErrorInfo> setObject(const Value& value, std::string_view attribute);
  std::optional<ErrorInfo> resetKeychainItem();
  /// @}

  /// The item's attributes and data as last read or set.
  /// @{
  const Dictionary& keychainItemData() const { return keychainItemData_; }
  void setKeychainItemData(Dictionary data) { keychainItemData_ = std::move(data); }
  /// @}
  /// The query that finds the item.
  /// @{
  const Dictionary& genericPasswordQuery() const { return genericPasswordQuery_; }
  void setGenericPasswordQuery(Dictionary query) { genericPasswordQuery_ = std::move(query); }
  /// @}
  /// The failure met while the wrapper was created, if any.
  const std::optional<ErrorInfo>& creationError() const { return creationError_; }

 private:
  std::optional<ErrorInfo> writeToKeychain();
  std::optional<ErrorInfo> secItemFormatToDictionary(const Dictionary& attributes,
                                                     Dictionary& converted);

  Dictionary keychainItemData_;
  Dictionary genericPasswordQuery_;
  std::optional<ErrorInfo> creationError_;
};

}  // namespace orvo
