// Remote payloads already taken in: their message keys within a window,
// bounded in number and kept in the settings store, so that a replayed or
// duplicated delivery is neither acknowledged nor delivered again, across
// relaunches too.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "orvo/PushManagerConfig.h"
#include "orvo/Value.h"
#include "orvo/platform/Host.h"

namespace orvo {

class DuplicateFilter {
 public:
  static constexpr std::string_view kStoreKey = "PushManagerKeySeenMessages";

  DuplicateFilter(std::shared_ptr<const Host> host, DuplicateFilterSettings settings);

  // The payload's message key ("orv" "messageuniquekey", else "seqno");
  // absent when it has neither: such a payload is never filtered.
  static std::optional<std::string> messageKey(const Dictionary& payload);
  // Whether the key was taken in within the window.
  bool seen(const std::string& key);
  // Remembers the key durably from now on.
  void remember(const std::string& key);

 private:
  double now() const;
  void loadLocked();
  void forgetOldLocked(double now);

  const std::shared_ptr<const Host> host_;
  const DuplicateFilterSettings settings_;
  std::mutex mutex_;
  bool loaded_ = false;
  std::deque<std::pair<std::string, double>> order_;  // oldest first
  std::unordered_map<std::string, double> seen_;
};

}  // namespace orvo
