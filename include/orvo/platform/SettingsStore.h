/// @file
/// The application's settings store: values by key, made durable on demand.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// The application's settings: Values by key, durable once synchronize returns.
class ORVO_PUSH_API SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  /// The value under key, or a null Value when there is none.
  virtual Value get(std::string_view key) const = 0;
  /// Storing a null Value removes the key.
  /// @{
  virtual void set(std::string_view key, const Value& value) = 0;
  virtual void remove(std::string_view key) = 0;
  /// @}
  /// Returns once every earlier set and remove is durable; false when that
  /// could not be done (the values stay readable in this process).
  virtual bool synchronize() = 0;
  /// The keys that begin with prefix (every key for ""), in byte order,
  /// changes not yet synchronized included. Last, so that the members before
  /// it keep their places.
  virtual std::vector<std::string> keys(std::string_view prefix) const = 0;
};

}  // namespace orvo
