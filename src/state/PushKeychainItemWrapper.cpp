#include "foundation/Log.h"
#include "orvo/PushKeychain.h"
#include "orvo/platform/Host.h"

namespace orvo {
namespace {

using namespace keychain;

constexpr std::string_view kDeleteFailed = "Problem deleting current dictionary.";
constexpr std::string_view kNoMatchingItem =
    "Serious error, no matching item found in the keychain.\n";
constexpr std::string_view kAddFailed = "Couldn't add the Keychain Item.";
constexpr std::string_view kUpdateFailed = "Couldn't update the Keychain Item.";

std::shared_ptr<Keychain> currentKeychain() {
  auto host = Host::current();
  return host ? host->keychain : nullptr;
}

ErrorInfo failure(KeychainStatus status, std::string_view message) {
  ErrorInfo error{std::string(PushKeychainItemWrapper::kErrorDomain),
                  static_cast<std::int64_t>(status),
                  std::string(message),
                  {}};
  logging::trace(describe(error));
  return error;
}

ErrorInfo noKeychain(std::string_view message) { return failure(KeychainStatus::Other, message); }

// The wrapper's attributes as the keychain takes them: the generic-password
// class, and the value data as bytes.
Dictionary keychainForm(const Dictionary& data) {
  Dictionary form = data;
  form.set(std::string(kClass), Value(kClassGenericPassword));
  if (Value* value = form.find(kValueData)) {
    if (const std::string* text = value->asString()) *value = Value(toBytes(*text));
  }
  return form;
}

}  // namespace

PushKeychainItemWrapper::PushKeychainItemWrapper(std::string identifier,
                                                 std::optional<std::string> /*accessGroup*/) {
  genericPasswordQuery_.set(std::string(kClass), Value(kClassGenericPassword));
  genericPasswordQuery_.set(std::string(kAttrGeneric), Value(identifier));
  genericPasswordQuery_.set(std::string(kMatchLimit), Value(kMatchLimitOne));
  genericPasswordQuery_.set(std::string(kReturnAttributes), Value(true));

  auto keychain = currentKeychain();
  Value found;
  const Dictionary query = genericPasswordQuery_;
  if (keychain && keychain->copyMatching(query, &found) == KeychainStatus::Success &&
      found.isDictionary()) {
    Dictionary converted;
    creationError_ = secItemFormatToDictionary(*found.asDictionary(), converted);
    keychainItemData_ = std::move(converted);
    return;
  }
  creationError_ = resetKeychainItem();
  keychainItemData_.set(std::string(kAttrGeneric), Value(std::move(identifier)));
}

Value PushKeychainItemWrapper::objectForKey(std::string_view attribute) const {
  return keychainItemData_.get(attribute);
}

std::optional<ErrorInfo> PushKeychainItemWrapper::setObject(const Value& value,
                                                            std::string_view attribute) {
  if (value.isNull()) return std::nullopt;
  const Value* current = keychainItemData_.find(attribute);
  if (current && *current == value) return std::nullopt;
  keychainItemData_.set(std::string(attribute), value);
  return writeToKeychain();
}

std::optional<ErrorInfo> PushKeychainItemWrapper::resetKeychainItem() {
  // An empty dictionary would describe every generic password: never delete
  // by it.
  if (!keychainItemData_.empty()) {
    auto keychain = currentKeychain();
    if (!keychain) return noKeychain(kDeleteFailed);
    KeychainStatus status = keychain->remove(keychainForm(keychainItemData_));
    if (status != KeychainStatus::Success && status != KeychainStatus::ItemNotFound) {
      return failure(status, kDeleteFailed);
    }
  }
  for (std::string_view attribute : {kAttrAccount, kAttrLabel, kAttrDescription, kValueData}) {
    keychainItemData_.set(std::string(attribute), Value(""));
  }
  return std::nullopt;
}

std::optional<ErrorInfo> PushKeychainItemWrapper::secItemFormatToDictionary(
    const Dictionary& attributes, Dictionary& converted) {
  converted = attributes;
  converted.set(std::string(kReturnData), Value(true));
  converted.set(std::string(kClass), Value(kClassGenericPassword));

  auto keychain = currentKeychain();
  Value data;
  KeychainStatus status =
      keychain ? keychain->copyMatching(converted, &data) : KeychainStatus::Other;
  converted.erase(kReturnData);
  if (status != KeychainStatus::Success || !data.isBytes()) {
    return failure(status == KeychainStatus::Success ? KeychainStatus::Other : status,
                   kNoMatchingItem);
  }
  converted.set(std::string(kValueData), Value(toString(*data.asBytes())));
  return std::nullopt;
}

std::optional<ErrorInfo> PushKeychainItemWrapper::writeToKeychain() {
  auto keychain = currentKeychain();
  if (!keychain) return noKeychain(kAddFailed);

  Value found;
  const Dictionary query = genericPasswordQuery_;
  if (keychain->copyMatching(query, &found) == KeychainStatus::Success && found.isDictionary()) {
    Dictionary match = *found.asDictionary();
    match.set(std::string(kClass), query.get(kClass));
    Dictionary changes = keychainForm(keychainItemData_);
    changes.erase(kClass);
    changes.erase(kAttrAccessGroup);
    KeychainStatus status = keychain->update(match, changes);
    if (status != KeychainStatus::Success) return failure(status, kUpdateFailed);
    return std::nullopt;
  }
  KeychainStatus status = keychain->add(keychainForm(keychainItemData_), nullptr);
  if (status != KeychainStatus::Success) return failure(status, kAddFailed);
  return std::nullopt;
}

}  // namespace orvo
