// The durable queue of operations that must reach a server even when the
// network or the process fails them: written to the settings store before
// the first attempt, retried with capped exponential backoff and full
// jitter, in order within each lane, and resumed at the next start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/PushManagerConfig.h"
#include "orvo/PushManagerDelegate.h"
#include "orvo/Value.h"
#include "orvo/platform/Host.h"

namespace orvo {

// What one attempt came to.
struct OutboxVerdict {
  enum class Kind { Done, Final, Retry };
  Kind kind = Kind::Done;
  std::optional<ErrorInfo> error = std::nullopt;
  // The server's Retry-After, when it gave one: the retry waits at least
  // this, up to the settings' maxDelay.
  std::optional<double> retryAfterSeconds = std::nullopt;
  // A refused auth key that the transport's own resend did not cure.
  bool authFailure = false;
  // What the caller's completion gets beside the flag (a report's answer).
  Value result = Value();
};

// How an entry's caller hears of it: the first attempt's outcome, or that
// the entry stays queued. Called once; absent for entries of an earlier run.
enum class OutboxFirst { Succeeded, Failed, Queued };

class Outbox : public std::enable_shared_from_this<Outbox> {
 public:
  // Each entry under its own key, so that writing one costs one durable field
  // write whatever the queue holds; the next id beside them.
  static constexpr std::string_view kEntryKeyPrefix = "PushManagerKeyOutbox/";
  static constexpr std::string_view kNextKey = "PushManagerKeyOutboxNext";
  // The whole queue under one key, as an earlier version kept it: read once
  // and moved to the keys above.
  static constexpr std::string_view kLegacyKey = "PushManagerKeyOutbox";
  // A refused auth key ends the entry on this many attempts in a row.
  static constexpr int kAuthFailureLimit = 3;

  using Done = std::function<void(OutboxVerdict)>;
  // Runs one attempt of the entry's operation; `done` exactly once.
  using Attempt = std::function<void(const std::string& operation, const Dictionary& arguments,
                                     std::int32_t attempt, Done done)>;
  using First = std::function<void(OutboxFirst first, std::int64_t id, const Value& result)>;
  using Finished = std::function<void(const OutboxReport& report)>;
  using Scheduler = std::function<void(std::chrono::milliseconds delay, std::function<void()>)>;

  Outbox(std::shared_ptr<const Host> host, OutboxSettings settings, Attempt attempt,
         Finished finished);

  // Written durably, then attempted unless its lane is busy. Returns its id.
  std::int64_t add(std::string_view lane, std::string_view operation, Dictionary arguments,
                   First first);
  // Loads what an earlier run left and attempts the head of each lane.
  void resume();

  // Drops every entry unsent; callers still waiting for a first outcome hear
  // Failed. Returns how many were dropped.
  std::size_t clear();

  std::size_t depth() const;
  std::optional<double> oldestAgeSeconds() const;

  // Uniform in [0, 1); default: a random engine.
  void setJitter(std::function<double()> jitter);
  // Default: the main queue's postAfter when it is an orvo::RunLoop.
  void setScheduler(Scheduler scheduler);

 private:
  struct Entry {
    std::int64_t id = 0;
    std::string lane;
    std::string operation;
    // Shared with the attempt under way rather than copied: payloads are large.
    // Points into the stored record it was read from or written as.
    std::shared_ptr<const Dictionary> arguments;
    double created = 0;
    std::int32_t attempts = 0;
    std::int32_t authFailures = 0;
    First first;
  };
  struct Lane {
    std::deque<Entry> entries;
    bool inFlight = false;
    bool waiting = false;
  };

  double now() const;
  // Reads what an earlier run left, once; with mutex_ held.
  void loadLocked();
  // Moves the single-key queue of an earlier version to one key per entry.
  void migrateLocked(const Value& legacy);
  // Loads one stored entry; false when it is not readable.
  bool takeLocked(const Value& stored);
  // The store's changes for one entry, made durable by commitLocked; with
  // mutex_ held. Removal records the next id, so that ids never come back.
  void writeLocked(std::int64_t id, const Value& record);
  void eraseLocked(std::int64_t id);
  // False when the store could not make the changes durable.
  bool commitLocked();
  // Drops entries past the bounds; with mutex_ held. The reports go out later.
  void pruneLocked(std::vector<OutboxReport>& dropped, std::vector<First>& failed);
  void pump(const std::string& lane);
  void finish(const std::string& lane, std::int64_t id, OutboxVerdict verdict);
  std::chrono::milliseconds delayFor(const Entry& entry, const OutboxVerdict& verdict);
  OutboxReport reportOf(const Entry& entry, bool success, bool dropped,
                        std::optional<ErrorInfo> error) const;
  void tell(std::vector<OutboxReport> reports, std::vector<First> failed);

  const std::shared_ptr<const Host> host_;
  const OutboxSettings settings_;
  const Attempt attempt_;
  const Finished finished_;

  mutable std::mutex mutex_;
  std::map<std::string, Lane> lanes_;
  std::int64_t nextID_ = 1;
  bool loaded_ = false;
  std::function<double()> jitter_;
  Scheduler scheduler_;
};

}  // namespace orvo
