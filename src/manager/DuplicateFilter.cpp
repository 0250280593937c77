#include "manager/DuplicateFilter.h"

#include <utility>

#include "orvo/PushNotification.h"

namespace orvo {
namespace {

// Stored as [key, seen at, key, seen at, ...], oldest first.
Array flatten(const std::deque<std::pair<std::string, double>>& order) {
  Array stored;
  stored.reserve(order.size() * 2);
  for (const auto& [key, when] : order) {
    stored.emplace_back(key);
    stored.emplace_back(when);
  }
  return stored;
}

}  // namespace

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

void DuplicateFilter::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (!host_ || !host_->settings) return;
  const Value stored = host_->settings->get(kStoreKey);
  const Array* list = stored.asArray();
  if (!list) return;
  for (std::size_t i = 0; i + 1 < list->size(); i += 2) {
    const std::string* key = (*list)[i].asString();
    const double* when = (*list)[i + 1].asReal();
    if (!key || !when || seen_.contains(*key)) continue;
    order_.emplace_back(*key, *when);
    seen_.emplace(*key, *when);
  }
}

void DuplicateFilter::forgetOldLocked(double now) {
  const double oldest = now - settings_.windowSeconds;
  while (!order_.empty() && (order_.front().second < oldest ||
                             order_.size() > static_cast<std::size_t>(settings_.maxEntries))) {
    seen_.erase(order_.front().first);
    order_.pop_front();
  }
}

bool DuplicateFilter::seen(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadLocked();
  forgetOldLocked(now());
  return seen_.contains(key);
}

void DuplicateFilter::remember(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadLocked();
  const double at = now();
  if (seen_.contains(key)) return;
  order_.emplace_back(key, at);
  seen_.emplace(key, at);
  forgetOldLocked(at);
  if (host_ && host_->settings) {
    host_->settings->set(kStoreKey, flatten(order_));
    host_->settings->synchronize();
  }
}

}  // namespace orvo
