#include "orvo/PushKeychain.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "foundation/Archive.h"
#include "foundation/Log.h"
#include "orvo/platform/Host.h"
#include "state/ProcessState.h"

namespace orvo {
namespace {

using namespace keychain;

constexpr std::string_view kUnarchiveFailedFormat = "Unarchive of %@ failed: %@";
constexpr std::string_view kBundleSeedAccount = "bundleSeedID";

std::mutex& seedMutex() {
  static std::mutex mutex;
  return mutex;
}

// Written once under seedMutex(); read without the lock once set.
std::atomic<std::shared_ptr<const std::string>>& cachedSeed() {
  static std::atomic<std::shared_ptr<const std::string>> seed;
  return seed;
}

std::shared_ptr<Keychain> currentKeychain() {
  auto host = Host::current();
  return host ? host->keychain : nullptr;
}

std::string unarchiveFailedLine(std::string_view key, const ErrorInfo& error) {
  return logging::format(kUnarchiveFailedFormat, {key, describe(error)});
}

// The first "."-separated component of the access group an item reports.
std::optional<std::string> seedFromAttributes(const Value& attributes) {
  const Dictionary* dict = attributes.asDictionary();
  if (!dict) return std::nullopt;
  const std::string* group = dict->getString(kAttrAccessGroup);
  if (!group) return std::nullopt;
  return group->substr(0, group->find('.'));
}

}  // namespace

namespace detail {
void resetKeychainProcessState() {
  std::lock_guard lock(seedMutex());
  cachedSeed().store(nullptr);
}
}  // namespace detail

Dictionary PushKeychain::getKeychainQuery(std::string_view key,
                                          std::optional<std::string_view> accessGroup) {
  Dictionary query;
  query.set(std::string(kClass), Value(kClassGenericPassword));
  query.set(std::string(kAttrService), Value(key));
  query.set(std::string(kAttrAccount), Value(key));
  query.set(std::string(kAttrAccessible), Value(kAttrAccessibleAfterFirstUnlock));
  if (accessGroup) {
    query.set(std::string(kAttrAccessGroup), Value(getFullAppleIdentifier(*accessGroup)));
  }
  return query;
}

bool PushKeychain::saveValue(const Value& value, std::string_view key,
                             std::optional<std::string_view> accessGroup) {
  auto keychain = currentKeychain();
  if (!keychain) return false;
  const Dictionary query = getKeychainQuery(key, accessGroup);
  const Value data(archive(value));

  // Replace in place so that a failed save leaves the earlier value; add only
  // when there is none.
  Dictionary changes;
  changes.set(std::string(kValueData), data);
  KeychainStatus status = keychain->update(query, changes);
  if (status == KeychainStatus::Success) return true;
  if (status != KeychainStatus::ItemNotFound) return false;

  Dictionary item = query;
  item.set(std::string(kValueData), data);
  status = keychain->add(item, nullptr);
  if (status != KeychainStatus::DuplicateItem) return status == KeychainStatus::Success;

  // An item with the same service and account but another accessibility (or
  // one added meanwhile): bring it to this layout in one step.
  Dictionary identity = query;
  identity.erase(kAttrAccessible);
  changes.set(std::string(kAttrAccessible), Value(kAttrAccessibleAfterFirstUnlock));
  return keychain->update(identity, changes) == KeychainStatus::Success;
}

Value PushKeychain::loadValueForKey(std::string_view key,
                                    std::optional<std::string_view> accessGroup) {
  auto keychain = currentKeychain();
  if (!keychain) return Value();
  Dictionary query = getKeychainQuery(key, accessGroup);
  query.set(std::string(kReturnData), Value(true));
  query.set(std::string(kMatchLimit), Value(kMatchLimitOne));
  Value result;
  if (keychain->copyMatching(query, &result) != KeychainStatus::Success) return Value();
  const Bytes* data = result.asBytes();
  if (!data) return Value();
  auto value =
      unarchive(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  if (!value) {
    logging::trace(unarchiveFailedLine(key, value.error()));
    return Value();
  }
  return std::move(value).value();
}

bool PushKeychain::deleteValueForKey(std::string_view key,
                                     std::optional<std::string_view> accessGroup) {
  auto keychain = currentKeychain();
  if (!keychain) return false;
  return keychain->remove(getKeychainQuery(key, accessGroup)) == KeychainStatus::Success;
}

std::string PushKeychain::getFullAppleIdentifier(std::string_view accessGroup) {
  auto seed = getBundleSeedIdentifier();
  if (!seed || accessGroup.find(*seed) != std::string_view::npos) return std::string(accessGroup);
  return *seed + "." + std::string(accessGroup);
}

std::optional<std::string> PushKeychain::getBundleSeedIdentifier() {
  if (auto seed = cachedSeed().load()) return *seed;

  std::lock_guard lock(seedMutex());
  if (auto seed = cachedSeed().load()) return *seed;
  auto keychain = currentKeychain();
  if (!keychain) return std::nullopt;

  Dictionary probe;
  probe.set(std::string(kClass), Value(kClassGenericPassword));
  probe.set(std::string(kAttrAccount), Value(kBundleSeedAccount));
  probe.set(std::string(kAttrService), Value(""));
  probe.set(std::string(kReturnAttributes), Value(true));
  Value attributes;
  KeychainStatus status = keychain->copyMatching(probe, &attributes);
  if (status == KeychainStatus::ItemNotFound) status = keychain->add(probe, &attributes);
  if (status != KeychainStatus::Success) return std::nullopt;

  auto seed = seedFromAttributes(attributes);
  if (seed) cachedSeed().store(std::make_shared<const std::string>(*seed));
  return seed;
}

}  // namespace orvo
