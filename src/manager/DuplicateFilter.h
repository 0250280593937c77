// Remote payloads already taken in: their message keys within a window,
// bounded in number and kept in the settings store, so that a replayed or
// duplicated delivery is neither acknowledged nor delivered again, across
// relaunches too. A key goes through two stages: acknowledged (the
// acknowledgement was sent or queued) and delivered (the delegate had it),
// so that a process killed between them delivers at the replay without a
// second acknowledgement.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "orvo/PushManagerConfig.h"
#include "orvo/Value.h"
#include "orvo/platform/Host.h"

namespace orvo {

class DuplicateFilter {
 public:
  static constexpr std::string_view kStoreKey = "PushManagerKeySeenMessages";

  enum class Stage : std::int64_t { Unseen = 0, Acknowledged = 1, Delivered = 2 };

  DuplicateFilter(std::shared_ptr<const Host> host, DuplicateFilterSettings settings);

  // The payload's message key ("orv" "messageuniquekey", else "seqno");
  // absent when it has neither: such a payload is never filtered.
  static std::optional<std::string> messageKey(const Dictionary& payload);
  // How far the key got within the window. A key acknowledged by this
  // process and still on its way to the delegate counts as delivered.
  Stage stage(const std::string& key);
  // Moves the key on to `stage` (never back), durably.
  void mark(const std::string& key, Stage stage);

 private:
  struct Seen {
    double when = 0;
    Stage stage = Stage::Unseen;
  };
  double now() const;
  void loadLocked();
  void forgetOldLocked(double now);

  const std::shared_ptr<const Host> host_;
  const DuplicateFilterSettings settings_;
  std::mutex mutex_;
  bool loaded_ = false;
  std::deque<std::string> order_;  // oldest first
  std::unordered_map<std::string, Seen> seen_;
  std::unordered_set<std::string> underWay_;
};

}  // namespace orvo
