#include "manager/DuplicateFilter.h"

#include <utility>

#include "orvo/PushNotification.h"

namespace orvo {
namespace {}  // namespace

DuplicateFilter::DuplicateFilter(std::shared_ptr<const Host> host, DuplicateFilterSettings settings)
    : host_(std::move(host)), settings_(settings) {}

std::optional<std::string> DuplicateFilter::messageKey(const Dictionary& payload) {
  const Dictionary* orv = payload.getDictionary(payload_keys::kOrv);
  if (!orv) return std::nullopt;
  if (const std::string* key = orv->getString(payload_keys::kMessageUniqueKey);
      key && !key->empty()) {
    return *key;
  }
  const Value* seqNo = orv->find(payload_keys::kSeqNo);
  if (!seqNo || seqNo->isNull()) return std::nullopt;
  std::string text = describe(*seqNo);
  if (text.empty()) return std::nullopt;
  return "#" + text;
}

double DuplicateFilter::now() const {
  if (host_ && host_->clock) return host_->clock->now().secondsSince1970;
  return SystemClock().now().secondsSince1970;
}

// Stored as [key, seen at, stage, key, seen at, stage, ...], oldest first.
void DuplicateFilter::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (!host_ || !host_->settings) return;
  const Value stored = host_->settings->get(kStoreKey);
  const Array* list = stored.asArray();
  if (!list) return;
  for (std::size_t i = 0; i + 2 < list->size(); i += 3) {
    const std::string* key = (*list)[i].asString();
    const double* when = (*list)[i + 1].asReal();
    const std::int64_t* stage = (*list)[i + 2].asInt();
    if (!key || !when || !stage || *stage < 1 || *stage > 2 || seen_.contains(*key)) continue;
    order_.push_back(*key);
    seen_.emplace(*key, Seen{*when, static_cast<Stage>(*stage)});
  }
}

void DuplicateFilter::forgetOldLocked(double now) {
  const double oldest = now - settings_.windowSeconds;
  while (!order_.empty() && (seen_[order_.front()].when < oldest ||
                             order_.size() > static_cast<std::size_t>(settings_.maxEntries))) {
    seen_.erase(order_.front());
    order_.pop_front();
  }
}

DuplicateFilter::Stage DuplicateFilter::stage(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadLocked();
  forgetOldLocked(now());
  if (underWay_.contains(key)) return Stage::Delivered;
  const auto found = seen_.find(key);
  return found == seen_.end() ? Stage::Unseen : found->second.stage;
}

void DuplicateFilter::mark(const std::string& key, Stage stage) {
  std::lock_guard lock(mutex_);
  loadLocked();
  const double at = now();
  if (stage == Stage::Delivered) {
    underWay_.erase(key);
  } else if (stage == Stage::Acknowledged &&
             !(seen_.contains(key) && seen_[key].stage == Stage::Delivered)) {
    underWay_.insert(key);
  }
  auto found = seen_.find(key);
  if (found != seen_.end() && found->second.stage >= stage) return;
  if (found == seen_.end()) {
    order_.push_back(key);
    seen_.emplace(key, Seen{at, stage});
  } else {
    found->second.stage = stage;
  }
  forgetOldLocked(at);
  if (!host_ || !host_->settings) return;
  Array stored;
  stored.reserve(order_.size() * 3);
  for (const auto& each : order_) {
    const Seen& seen = seen_[each];
    stored.emplace_back(each);
    stored.emplace_back(seen.when);
    stored.emplace_back(static_cast<std::int64_t>(seen.stage));
  }
  host_->settings->set(kStoreKey, Value(std::move(stored)));
  host_->settings->synchronize();
}

}  // namespace orvo
