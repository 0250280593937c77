#include <algorithm>
#include <utility>

#include "orvo/platform/ItemListKeychain.h"

namespace orvo {
namespace {

using namespace keychain;

bool isControlKey(std::string_view key) {
  return key == kMatchLimit || key == kReturnData || key == kReturnAttributes;
}

bool isTrue(const Value& value) {
  if (const bool* b = value.asBool()) return *b;
  if (const std::int64_t* i = value.asInt()) return *i != 0;
  return false;
}

// Attributes as they are kept: no control keys, the data as bytes, and a
// null meaning "no such attribute". False when the data is not bytes or text.
bool normalize(const Dictionary& in, Dictionary& out) {
  for (const auto& [key, value] : in) {
    if (isControlKey(key) || value.isNull()) continue;
    if (key == kValueData) {
      if (const std::string* text = value.asString()) {
        out.set(key, Value(toBytes(*text)));
        continue;
      }
      if (!value.isBytes()) return false;
    }
    out.set(key, value);
  }
  return true;
}

bool matches(const Dictionary& query, const Dictionary& item) {
  for (const auto& [key, value] : query) {
    if (isControlKey(key) || key == kValueData) continue;
    const Value* own = item.find(key);
    if (own ? !(*own == value) : !value.isNull()) return false;
  }
  return true;
}

bool samePrimaryKey(const Dictionary& a, const Dictionary& b) {
  for (std::string_view key : {kClass, kAttrService, kAttrAccount, kAttrAccessGroup}) {
    if (!(a.get(key) == b.get(key))) return false;
  }
  return true;
}

// What a search or an add hands back for one item.
Value resultFor(const Dictionary& item, bool returnData, bool returnAttributes) {
  Value data = item.get(kValueData);
  if (!data.isBytes()) data = Value(Bytes{});
  if (!returnAttributes) return data;
  Dictionary attributes = item;
  attributes.erase(kClass);
  if (returnData) {
    attributes.set(std::string(kValueData), std::move(data));
  } else {
    attributes.erase(kValueData);
  }
  return Value(std::move(attributes));
}

}  // namespace

ItemListKeychain::ItemListKeychain(std::string defaultAccessGroup)
    : defaultAccessGroup_(std::move(defaultAccessGroup)) {}

KeychainStatus ItemListKeychain::copyMatching(const Dictionary& query, Value* result) {
  std::lock_guard lock(mutex_);
  if (!query.contains(kClass)) return KeychainStatus::Param;

  std::vector<const Dictionary*> found;
  for (const Dictionary& item : items_) {
    if (matches(query, item)) found.push_back(&item);
  }
  if (found.empty()) return KeychainStatus::ItemNotFound;

  const bool returnData = isTrue(query.get(kReturnData));
  const bool returnAttributes = isTrue(query.get(kReturnAttributes));
  if (!result || (!returnData && !returnAttributes)) return KeychainStatus::Success;

  if (query.get(kMatchLimit).stringOr("") == kMatchLimitAll) {
    Array all;
    all.reserve(found.size());
    for (const Dictionary* item : found) {
      all.push_back(resultFor(*item, returnData, returnAttributes));
    }
    *result = Value(std::move(all));
  } else {
    *result = resultFor(*found.front(), returnData, returnAttributes);
  }
  return KeychainStatus::Success;
}

KeychainStatus ItemListKeychain::add(const Dictionary& attributes, Value* result) {
  std::lock_guard lock(mutex_);
  if (!attributes.contains(kClass)) return KeychainStatus::Param;

  Dictionary item;
  if (!normalize(attributes, item)) return KeychainStatus::Param;
  if (!item.contains(kAttrAccessGroup)) {
    item.set(std::string(kAttrAccessGroup), Value(defaultAccessGroup_));
  }
  for (const Dictionary& existing : items_) {
    if (samePrimaryKey(existing, item)) return KeychainStatus::DuplicateItem;
  }

  items_.push_back(item);
  if (!persist(items_)) {
    items_.pop_back();
    return KeychainStatus::Other;
  }

  const bool returnData = isTrue(attributes.get(kReturnData));
  const bool returnAttributes = isTrue(attributes.get(kReturnAttributes));
  if (result && (returnData || returnAttributes)) {
    *result = resultFor(item, returnData, returnAttributes);
  }
  return KeychainStatus::Success;
}

KeychainStatus ItemListKeychain::update(const Dictionary& query, const Dictionary& changes) {
  std::lock_guard lock(mutex_);
  if (!query.contains(kClass) || changes.contains(kClass)) return KeychainStatus::Param;

  // Nulls in the changes remove the attribute, so they are applied apart.
  Dictionary additions;
  if (!normalize(changes, additions)) return KeychainStatus::Param;
  std::vector<std::string> removals;
  for (const auto& [key, value] : changes) {
    if (value.isNull() && !isControlKey(key)) removals.push_back(key);
  }

  std::vector<Dictionary> updated = items_;
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < updated.size(); ++i) {
    if (!matches(query, updated[i])) continue;
    for (const auto& [key, value] : additions) updated[i].set(key, value);
    for (const std::string& key : removals) updated[i].erase(key);
    changed.push_back(i);
  }
  if (changed.empty()) return KeychainStatus::ItemNotFound;

  for (std::size_t i : changed) {
    for (std::size_t j = 0; j < updated.size(); ++j) {
      if (i != j && samePrimaryKey(updated[i], updated[j])) return KeychainStatus::DuplicateItem;
    }
  }

  std::swap(items_, updated);
  if (!persist(items_)) {
    std::swap(items_, updated);
    return KeychainStatus::Other;
  }
  return KeychainStatus::Success;
}

KeychainStatus ItemListKeychain::remove(const Dictionary& query) {
  std::lock_guard lock(mutex_);
  if (!query.contains(kClass)) return KeychainStatus::Param;

  std::vector<Dictionary> kept;
  kept.reserve(items_.size());
  for (const Dictionary& item : items_) {
    if (!matches(query, item)) kept.push_back(item);
  }
  if (kept.size() == items_.size()) return KeychainStatus::ItemNotFound;

  std::swap(items_, kept);
  if (!persist(items_)) {
    std::swap(items_, kept);
    return KeychainStatus::Other;
  }
  return KeychainStatus::Success;
}

std::vector<Dictionary> ItemListKeychain::items() const {
  std::lock_guard lock(mutex_);
  return items_;
}

void ItemListKeychain::setItems(std::vector<Dictionary> items) {
  std::lock_guard lock(mutex_);
  items_ = std::move(items);
}

bool ItemListKeychain::persist(const std::vector<Dictionary>&) { return true; }

}  // namespace orvo
