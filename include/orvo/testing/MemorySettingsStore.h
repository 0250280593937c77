/// @file
/// A settings store in memory, for tests.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "orvo/platform/SettingsStore.h"

namespace orvo {

/// Keeps everything in memory for the life of the object.
class MemorySettingsStore : public SettingsStore {
 public:
  Value get(std::string_view key) const override;
  void set(std::string_view key, const Value& value) override;
  void remove(std::string_view key) override;
  std::vector<std::string> keys(std::string_view prefix) const override;
  bool synchronize() override;

  /// Test helpers.
  /// @{
  std::map<std::string, Value, std::less<>> snapshot() const;
  std::size_t synchronizeCount() const;
  /// @}

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Value, std::less<>> values_;
  std::size_t synchronizeCount_ = 0;
};

}  // namespace orvo
