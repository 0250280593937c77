// The application's settings store: values by key, made durable on demand.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "orvo/Value.h"

namespace orvo {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The value under key, or a null Value when there is none.
  virtual Value get(std::string_view key) const = 0;
  // Storing a null Value removes the key.
  virtual void set(std::string_view key, const Value& value) = 0;
  virtual void remove(std::string_view key) = 0;
  // Returns once every earlier set and remove is durable; false when that
  // could not be done (the values stay readable in this process).
  virtual bool synchronize() = 0;
};

// Keeps everything in memory for the life of the object. Also the fallback of
// the desktop store when its file cannot be used.
class MemorySettingsStore : public SettingsStore {
 public:
  Value get(std::string_view key) const override;
  void set(std::string_view key, const Value& value) override;
  void remove(std::string_view key) override;
  bool synchronize() override;

  // Test helpers.
  std::map<std::string, Value, std::less<>> snapshot() const;
  std::size_t synchronizeCount() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Value, std::less<>> values_;
  std::size_t synchronizeCount_ = 0;
};

}  // namespace orvo
