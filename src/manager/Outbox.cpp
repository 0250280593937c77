#include "manager/Outbox.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "foundation/Log.h"
#include "orvo/PushErrors.h"
#include "orvo/platform/RunLoop.h"

namespace orvo {
namespace {

// An entry's record: {"id", "lane", "operation", "arguments", "created"}.
// The single-key form of an earlier version: {"next": id, "entries": [record, ...]}.
constexpr std::string_view kLegacyNextKey = "next";
constexpr std::string_view kLegacyEntriesKey = "entries";
constexpr std::string_view kIDKey = "id";
constexpr std::string_view kLaneKey = "lane";
constexpr std::string_view kOperationKey = "operation";
constexpr std::string_view kArgumentsKey = "arguments";
constexpr std::string_view kCreatedKey = "created";

constexpr std::string_view kDroppedLine = "PushManager - outbox dropped %@ #%@ (%@)";
constexpr std::string_view kUnreadableLine = "PushManager - outbox entry not readable, dropped: %@";
constexpr std::string_view kNotDurableLine =
    "PushManager - outbox could not be made durable; kept in memory";
constexpr std::string_view kTooOld = "older than the outbox's max-age";
constexpr std::string_view kTooMany = "beyond the outbox's max-entries";
constexpr std::string_view kDroppedText = "dropped from the outbox: %@";

ErrorInfo droppedError(std::string_view why) {
  return libraryError(0, logging::format(kDroppedText, {why}));
}

std::string entryKey(std::int64_t id) {
  return std::string(Outbox::kEntryKeyPrefix) + std::to_string(id);
}

const std::int64_t* recordID(const Value& record) {
  const Dictionary* fields = record.asDictionary();
  const Value* id = fields ? fields->find(kIDKey) : nullptr;
  return id ? id->asInt() : nullptr;
}

}  // namespace

Outbox::Outbox(std::shared_ptr<const Host> host, OutboxSettings settings, Attempt attempt,
               Finished finished)
    : host_(std::move(host)),
      settings_(settings),
      attempt_(std::move(attempt)),
      finished_(std::move(finished)) {
  jitter_ = [engine = std::make_shared<std::minstd_rand>(std::random_device{}())] {
    return std::uniform_real_distribution<double>(0.0, 1.0)(*engine);
  };
  if (auto loop = std::dynamic_pointer_cast<RunLoop>(host_ ? host_->mainQueue : nullptr)) {
    std::weak_ptr<RunLoop> weak = loop;
    scheduler_ = [weak](std::chrono::milliseconds delay, std::function<void()> task) {
      if (auto alive = weak.lock()) alive->postAfter(delay, std::move(task));
    };
  }
}

void Outbox::setJitter(std::function<double()> jitter) {
  std::lock_guard lock(mutex_);
  if (jitter) jitter_ = std::move(jitter);
}

void Outbox::setScheduler(Scheduler scheduler) {
  std::lock_guard lock(mutex_);
  scheduler_ = std::move(scheduler);
}

double Outbox::now() const {
  if (host_ && host_->clock) return host_->clock->now().secondsSince1970;
  return SystemClock().now().secondsSince1970;
}

void Outbox::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (!host_ || !host_->settings) return;
  SettingsStore& store = *host_->settings;
  if (const Value legacy = store.get(kLegacyKey); !legacy.isNull()) migrateLocked(legacy);
  if (const Value next = store.get(kNextKey); next.asInt()) {
    nextID_ = std::max<std::int64_t>(1, *next.asInt());
  }
  bool dropped = false;
  for (const std::string& key : store.keys(kEntryKeyPrefix)) {
    const Value stored = store.get(key);
    const std::int64_t* id = recordID(stored);
    // A record under another entry's key could never be removed: dropped.
    if (!id || key != entryKey(*id) || !takeLocked(stored)) {
      logging::always(logging::format(kUnreadableLine, {describe(stored)}));
      store.remove(key);
      dropped = true;
    }
  }
  for (auto& [name, lane] : lanes_) {
    std::sort(lane.entries.begin(), lane.entries.end(),
              [](const Entry& a, const Entry& b) { return a.id < b.id; });
  }
  if (dropped) commitLocked();
}

void Outbox::migrateLocked(const Value& legacy) {
  SettingsStore& store = *host_->settings;
  const Dictionary* root = legacy.asDictionary();
  const Value* next = root ? root->find(kLegacyNextKey) : nullptr;
  if (next && next->asInt()) store.set(kNextKey, *next);
  const Array* entries = root ? root->getArray(kLegacyEntriesKey) : nullptr;
  for (const Value& record : entries ? *entries : Array{}) {
    if (const std::int64_t* id = recordID(record)) {
      store.set(entryKey(*id), record);
    } else {
      logging::always(logging::format(kUnreadableLine, {describe(record)}));
    }
  }
  // In the same transaction as the entries: a kill leaves one form or the other.
  store.remove(kLegacyKey);
  commitLocked();
}

bool Outbox::takeLocked(const Value& stored) {
  auto record = std::make_shared<const Value>(stored);
  const Dictionary& fields = *record->asDictionary();
  const Value* createdValue = fields.find(kCreatedKey);
  const std::string* lane = fields.getString(kLaneKey);
  const std::string* operation = fields.getString(kOperationKey);
  const Dictionary* arguments = fields.getDictionary(kArgumentsKey);
  const double* created = createdValue ? createdValue->asReal() : nullptr;
  if (!lane || !operation || !arguments || !created) return false;
  const std::int64_t id = *recordID(*record);
  lanes_[*lane].entries.push_back(Entry{id,
                                        *lane,
                                        *operation,
                                        std::shared_ptr<const Dictionary>(record, arguments),
                                        *created,
                                        0,
                                        0,
                                        {}});
  nextID_ = std::max(nextID_, id + 1);
  return true;
}

void Outbox::writeLocked(std::int64_t id, const Value& record) {
  if (host_ && host_->settings) host_->settings->set(entryKey(id), record);
}

void Outbox::eraseLocked(std::int64_t id) {
  if (!host_ || !host_->settings) return;
  host_->settings->remove(entryKey(id));
  host_->settings->set(kNextKey, nextID_);
}

bool Outbox::commitLocked() {
  if (!host_ || !host_->settings) return false;
  if (host_->settings->synchronize()) return true;
  logging::always(kNotDurableLine);
  return false;
}

OutboxReport Outbox::reportOf(const Entry& entry, bool success, bool dropped,
                              std::optional<ErrorInfo> error) const {
  return OutboxReport{entry.id, entry.operation,  *entry.arguments, success,
                      dropped,  std::move(error), entry.attempts};
}

void Outbox::pruneLocked(std::vector<OutboxReport>& dropped, std::vector<First>& failed) {
  const double oldest = now() - settings_.maxAgeSeconds;
  auto drop = [&](Lane& lane, std::deque<Entry>::iterator it, std::string_view why) {
    logging::always(logging::format(kDroppedLine, {it->operation, std::to_string(it->id), why}));
    eraseLocked(it->id);
    if (it->first) {
      failed.push_back(std::move(it->first));
    } else {
      dropped.push_back(reportOf(*it, false, true, droppedError(why)));
    }
    return lane.entries.erase(it);
  };
  std::size_t count = 0;
  for (auto& [name, lane] : lanes_) {
    // The entry under way stays: its answer is still to come.
    auto it = lane.entries.begin();
    if (lane.inFlight && it != lane.entries.end()) ++it;
    while (it != lane.entries.end()) {
      it = it->created < oldest ? drop(lane, it, kTooOld) : std::next(it);
    }
    count += lane.entries.size();
  }
  while (count > static_cast<std::size_t>(settings_.maxEntries)) {
    Lane* target = nullptr;
    std::deque<Entry>::iterator victim;
    for (auto& [name, lane] : lanes_) {
      auto it = lane.entries.begin();
      if (lane.inFlight && it != lane.entries.end()) ++it;
      if (it != lane.entries.end() && (!target || it->id < victim->id)) {
        target = &lane;
        victim = it;
      }
    }
    if (!target) break;
    drop(*target, victim, kTooMany);
    --count;
  }
}

void Outbox::tell(std::vector<OutboxReport> reports, std::vector<First> failed) {
  for (auto& first : failed) first(OutboxFirst::Failed, 0, Value());
  if (!finished_) return;
  for (const auto& report : reports) finished_(report);
}

std::int64_t Outbox::add(std::string_view lane, std::string_view operation, Dictionary arguments,
                         First first) {
  std::vector<OutboxReport> dropped;
  std::vector<First> failed;
  std::int64_t id = 0;
  bool queuedBehind = false;
  {
    std::lock_guard lock(mutex_);
    loadLocked();
    id = nextID_++;
    const double created = now();
    // The record is built once: the store copies it, the entry points into it.
    Dictionary fields;
    fields.set(std::string(kIDKey), id);
    fields.set(std::string(kLaneKey), std::string(lane));
    fields.set(std::string(kOperationKey), std::string(operation));
    fields.set(std::string(kArgumentsKey), Value(std::move(arguments)));
    fields.set(std::string(kCreatedKey), created);
    auto record = std::make_shared<const Value>(std::move(fields));
    writeLocked(id, *record);
    Lane& target = lanes_[std::string(lane)];
    target.entries.push_back(
        Entry{id, std::string(lane), std::string(operation),
              std::shared_ptr<const Dictionary>(
                  record, record->asDictionary()->getDictionary(kArgumentsKey)),
              created, 0, 0, std::move(first)});
    pruneLocked(dropped, failed);
    commitLocked();
    // Behind a lane that waits for a retry, the entry outlives its turn.
    if (target.waiting && !target.entries.empty() && target.entries.back().id == id &&
        target.entries.back().first) {
      first = std::move(target.entries.back().first);
      target.entries.back().first = nullptr;
      queuedBehind = true;
    }
  }
  tell(std::move(dropped), std::move(failed));
  if (queuedBehind) first(OutboxFirst::Queued, id, Value());
  pump(std::string(lane));
  return id;
}

void Outbox::resume() {
  std::vector<std::string> names;
  std::vector<OutboxReport> dropped;
  std::vector<First> failed;
  {
    std::lock_guard lock(mutex_);
    loadLocked();
    pruneLocked(dropped, failed);
    if (!dropped.empty() || !failed.empty()) commitLocked();
    for (const auto& [name, lane] : lanes_) names.push_back(name);
  }
  tell(std::move(dropped), std::move(failed));
  for (const auto& name : names) pump(name);
}

std::size_t Outbox::depth() const {
  std::lock_guard lock(mutex_);
  const_cast<Outbox*>(this)->loadLocked();
  std::size_t count = 0;
  for (const auto& [name, lane] : lanes_) count += lane.entries.size();
  return count;
}

std::optional<double> Outbox::oldestAgeSeconds() const {
  std::lock_guard lock(mutex_);
  const_cast<Outbox*>(this)->loadLocked();
  std::optional<double> created;
  for (const auto& [name, lane] : lanes_) {
    if (!lane.entries.empty()) {
      const double first = lane.entries.front().created;
      created = created ? std::min(*created, first) : first;
    }
  }
  if (!created) return std::nullopt;
  return std::max(0.0, now() - *created);
}

void Outbox::pump(const std::string& name) {
  std::string operation;
  std::shared_ptr<const Dictionary> arguments;
  std::int64_t id = 0;
  std::int32_t attempt = 0;
  {
    std::lock_guard lock(mutex_);
    Lane& lane = lanes_[name];
    if (lane.inFlight || lane.waiting || lane.entries.empty()) return;
    Entry& head = lane.entries.front();
    lane.inFlight = true;
    attempt = ++head.attempts;
    operation = head.operation;
    arguments = head.arguments;
    id = head.id;
  }
  std::weak_ptr<Outbox> weak = weak_from_this();
  attempt_(operation, *arguments, attempt, [weak, name, id](OutboxVerdict verdict) {
    if (auto self = weak.lock()) self->finish(name, id, std::move(verdict));
  });
}

std::chrono::milliseconds Outbox::delayFor(const Entry& entry, const OutboxVerdict& verdict) {
  const double exponent = std::min(30, std::max(0, entry.attempts - 1));
  const double cap =
      std::min(settings_.maxDelaySeconds, settings_.firstDelaySeconds * std::pow(2.0, exponent));
  double seconds = std::clamp(jitter_(), 0.0, 1.0) * cap;
  if (verdict.retryAfterSeconds) {
    seconds = std::max(seconds, std::min(*verdict.retryAfterSeconds, settings_.maxDelaySeconds));
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000.0)));
}

void Outbox::finish(const std::string& name, std::int64_t id, OutboxVerdict verdict) {
  First first;
  std::optional<OutboxReport> report;
  std::vector<std::pair<First, std::int64_t>> queued;
  std::optional<std::chrono::milliseconds> delay;
  Scheduler scheduler;
  {
    std::lock_guard lock(mutex_);
    Lane& lane = lanes_[name];
    lane.inFlight = false;
    if (lane.entries.empty() || lane.entries.front().id != id) return;
    Entry& head = lane.entries.front();
    if (verdict.kind == OutboxVerdict::Kind::Retry) {
      head.authFailures = verdict.authFailure ? head.authFailures + 1 : 0;
      if (head.authFailures >= kAuthFailureLimit) verdict.kind = OutboxVerdict::Kind::Final;
    }
    if (verdict.kind == OutboxVerdict::Kind::Retry) {
      // Without a way to wait, the lane stays idle until the next
      // operation or start-up pumps it.
      lane.waiting = static_cast<bool>(scheduler_);
      delay = delayFor(head, verdict);
      scheduler = scheduler_;
      for (Entry& entry : lane.entries) {
        if (entry.first) queued.emplace_back(std::move(entry.first), entry.id);
        entry.first = nullptr;
      }
    } else {
      const bool success = verdict.kind == OutboxVerdict::Kind::Done;
      if (head.first) {
        first = std::move(head.first);
      } else {
        report = reportOf(head, success, false, verdict.error);
      }
      eraseLocked(id);
      lane.entries.pop_front();
      commitLocked();
    }
  }
  if (delay) {
    for (auto& [callback, queuedID] : queued) callback(OutboxFirst::Queued, queuedID, Value());
    std::weak_ptr<Outbox> weak = weak_from_this();
    auto wake = [weak, name] {
      auto self = weak.lock();
      if (!self) return;
      {
        std::lock_guard lock(self->mutex_);
        self->lanes_[name].waiting = false;
      }
      self->pump(name);
    };
    if (scheduler) scheduler(*delay, std::move(wake));
    return;
  }
  if (first)
    first(verdict.kind == OutboxVerdict::Kind::Done ? OutboxFirst::Succeeded : OutboxFirst::Failed,
          id, verdict.result);
  if (report && finished_) finished_(*report);
  pump(name);
}

std::size_t Outbox::clear() {
  std::vector<std::pair<First, std::int64_t>> waiting;
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    loadLocked();
    for (auto& [name, lane] : lanes_) {
      count += lane.entries.size();
      for (Entry& entry : lane.entries) {
        if (entry.first) waiting.emplace_back(std::move(entry.first), entry.id);
        eraseLocked(entry.id);
      }
      lane.entries.clear();
    }
    commitLocked();
  }
  for (auto& [first, id] : waiting) first(OutboxFirst::Failed, id, Value());
  return count;
}

}  // namespace orvo
