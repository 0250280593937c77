#include "orvo/testing/MemoryKeychain.h"

#include <utility>

namespace orvo {

MemoryKeychain::MemoryKeychain(std::string defaultAccessGroup)
    : ItemListKeychain(std::move(defaultAccessGroup)) {}

KeychainStatus MemoryKeychain::copyMatching(const Dictionary& query, Value* result) {
  if (auto failure = takeFailure(Operation::CopyMatching)) return *failure;
  return ItemListKeychain::copyMatching(query, result);
}

KeychainStatus MemoryKeychain::add(const Dictionary& attributes, Value* result) {
  if (auto failure = takeFailure(Operation::Add)) return *failure;
  return ItemListKeychain::add(attributes, result);
}

KeychainStatus MemoryKeychain::update(const Dictionary& query, const Dictionary& changes) {
  if (auto failure = takeFailure(Operation::Update)) return *failure;
  return ItemListKeychain::update(query, changes);
}

KeychainStatus MemoryKeychain::remove(const Dictionary& query) {
  if (auto failure = takeFailure(Operation::Remove)) return *failure;
  return ItemListKeychain::remove(query);
}

void MemoryKeychain::failNext(Operation operation, KeychainStatus status) {
  std::lock_guard lock(mutex_);
  failures_[operation].push_back(status);
}

std::optional<KeychainStatus> MemoryKeychain::takeFailure(Operation operation) {
  std::lock_guard lock(mutex_);
  auto it = failures_.find(operation);
  if (it == failures_.end() || it->second.empty()) return std::nullopt;
  KeychainStatus status = it->second.front();
  it->second.erase(it->second.begin());
  return status;
}

}  // namespace orvo
