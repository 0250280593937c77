#include "orvo/testing/MemorySettingsStore.h"

namespace orvo {

Value MemorySettingsStore::get(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  return it == values_.end() ? Value() : it->second;
}

void MemorySettingsStore::set(std::string_view key, const Value& value) {
  if (value.isNull()) {
    remove(key);
    return;
  }
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) {
    values_.emplace(std::string(key), value);
  } else {
    it->second = value;
  }
}

void MemorySettingsStore::remove(std::string_view key) {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it != values_.end()) values_.erase(it);
}

std::vector<std::string> MemorySettingsStore::keys(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> found;
  for (auto it = values_.lower_bound(prefix); it != values_.end() && it->first.starts_with(prefix);
       ++it) {
    found.push_back(it->first);
  }
  return found;
}

bool MemorySettingsStore::synchronize() {
  std::lock_guard lock(mutex_);
  ++synchronizeCount_;
  return true;
}

std::map<std::string, Value, std::less<>> MemorySettingsStore::snapshot() const {
  std::lock_guard lock(mutex_);
  return values_;
}

std::size_t MemorySettingsStore::synchronizeCount() const {
  std::lock_guard lock(mutex_);
  return synchronizeCount_;
}

}  // namespace orvo
