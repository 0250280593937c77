/// @file
/// A keychain in memory whose next calls can be made to fail, for tests.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvo/platform/ItemListKeychain.h"

namespace orvo {

/// The keychain in memory, with scripted failures.
class MemoryKeychain : public ItemListKeychain {
 public:
  /// Items without a group go to defaultAccessGroup.
  explicit MemoryKeychain(std::string defaultAccessGroup = "ORVOSEED01.orvo.default");

  KeychainStatus copyMatching(const Dictionary& query, Value* result) override;
  KeychainStatus add(const Dictionary& attributes, Value* result) override;
  KeychainStatus update(const Dictionary& query, const Dictionary& changes) override;
  KeychainStatus remove(const Dictionary& query) override;

  /// The next call of that kind answers status without changing anything.
  enum class Operation { CopyMatching, Add, Update, Remove };
  /// Makes the next call of that operation answer status.
  void failNext(Operation operation, KeychainStatus status);

 private:
  std::optional<KeychainStatus> takeFailure(Operation operation);

  std::mutex mutex_;
  std::map<Operation, std::vector<KeychainStatus>> failures_;
};

}  // namespace orvo
