/// @file
/// The device keychain: generic-password items described by attribute
/// dictionaries, searched, added, updated and deleted with status codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// A keychain call's outcome, with the platform's codes.
enum class KeychainStatus : std::int32_t {
  Success = 0,
  ItemNotFound = -25300,
  DuplicateItem = -25299,
  Param = -50,
  Other = -2070,
};

// Attribute and control names of keychain dictionaries.
/// Attribute and control names of keychain dictionaries, as the platform
/// spells them: the item class (generic password), its service, account,
/// generic attribute, label, description, access group and accessibility, its
/// data (v_Data), the match limit and what a search returns.
namespace keychain {
/// The attribute and control names.
/// @{
inline constexpr std::string_view kClass = "class";
inline constexpr std::string_view kClassGenericPassword = "genp";
inline constexpr std::string_view kAttrService = "svce";
inline constexpr std::string_view kAttrAccount = "acct";
inline constexpr std::string_view kAttrGeneric = "gena";
inline constexpr std::string_view kAttrLabel = "labl";
inline constexpr std::string_view kAttrDescription = "desc";
inline constexpr std::string_view kAttrAccessGroup = "agrp";
inline constexpr std::string_view kAttrAccessible = "pdmn";
inline constexpr std::string_view kAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr std::string_view kValueData = "v_Data";
inline constexpr std::string_view kMatchLimit = "m_Limit";
inline constexpr std::string_view kMatchLimitOne = "m_LimitOne";
inline constexpr std::string_view kMatchLimitAll = "m_LimitAll";
inline constexpr std::string_view kReturnData = "r_Data";
inline constexpr std::string_view kReturnAttributes = "r_Attributes";
/// @}
}  // namespace keychain

/// The device keychain: items of attributes and data, matched by query.
class ORVO_PUSH_API Keychain {
 public:
  virtual ~Keychain() = default;
  /// Finds items whose attributes equal every attribute of the query. The
  /// result, when asked for, is the data bytes (r_Data only), the attributes
  /// (r_Attributes, with v_Data too when both are asked), or an array of those
  /// for m_LimitAll.
  virtual KeychainStatus copyMatching(const Dictionary& query, Value* result) = 0;
  /// Adds one item; v_Data holds its data. An item with the same class,
  /// service, account and access group gives DuplicateItem. Without an access
  /// group the item gets the keychain's default group. r_Attributes asks for
  /// the stored attributes in result.
  virtual KeychainStatus add(const Dictionary& attributes, Value* result) = 0;
  /// Changes every matching item in one step: all or nothing.
  /// @{
  virtual KeychainStatus update(const Dictionary& query, const Dictionary& changes) = 0;
  virtual KeychainStatus remove(const Dictionary& query) = 0;
  /// @}
};

}  // namespace orvo
