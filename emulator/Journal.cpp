#include "Journal.h"

#include <algorithm>
#include <ctime>
#include <iostream>
#include <sstream>

#include "Input.h"

namespace orvo::emulator {
namespace {

const char* const kTextCriteria[] = {"endpoint", "result_code", "method", "path", "psid", "cuid"};

std::string clockTime() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  char full[40];
  std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms.count() % 1000));
  return full;
}

// What an entry holds, roughly: its texts, which the serving layer has
// already cut short, and a share for the rest.
std::size_t sizeOf(const Json& entry) {
  std::size_t size = 256;
  for (const auto& [key, value] : entry.items()) {
    if (value.is_string()) size += value.get_ref<const std::string&>().size();
    if (value.is_object() || value.is_array())
      for (const auto& [name, item] : value.items())
        size += name.size() + (item.is_string() ? item.get_ref<const std::string&>().size() : 16);
  }
  return size;
}

std::string lineOf(const Json& entry) {
  std::ostringstream text;
  text << clockTime() << "  " << entry["method"].get<std::string>() << " "
       << entry["endpoint"].get<std::string>() << " -> " << entry["status"];
  if (!entry["result_code"].get<std::string>().empty())
    text << " " << entry["result_code"].get<std::string>();
  text << "  " << entry["duration_ms"].get<double>() << " ms";
  if (entry.contains("request_id"))
    text << "  [request " << entry["request_id"].get<std::string>() << "]";
  if (entry.contains("fault"))
    text << "  [fault " << entry["fault"]["effect"].get<std::string>() << "]";
  for (const auto& note : entry["notes"]) text << "\n    ! " << note.get<std::string>();
  return text.str();
}

}  // namespace

std::optional<JournalFilter> JournalFilter::fromJson(const Json& body, std::string& error) {
  Shape shape(body, "the count's criteria");
  JournalFilter filter;
  for (const char* key : kTextCriteria)
    if (auto value = shape.text(key)) filter.texts[key] = *value;
  filter.fault = shape.flag("fault");
  filter.hasNotes = shape.flag("has_notes");
  if (!shape.check(error)) return std::nullopt;
  return filter;
}

JournalFilter JournalFilter::fromQuery(const HttpRequest& request) {
  JournalFilter filter;
  for (const char* key : kTextCriteria)
    if (const auto* value = request.param(key)) filter.texts[key] = *value;
  return filter;
}

bool JournalFilter::matches(const Json& entry) const {
  for (const auto& [key, wanted] : texts) {
    if (key == "psid" || key == "cuid") {
      const auto& form = entry["form"];
      const auto found = form.find(key == "psid" ? "PSID" : "CUID");
      if (found == form.end() || *found != wanted) return false;
    } else if (entry[key] != wanted) {
      return false;
    }
  }
  if (fault && *fault != entry.contains("fault")) return false;
  if (hasNotes && *hasNotes == entry["notes"].empty()) return false;
  return true;
}

void Journal::record(Json entry) {
  if (!options_.quiet) {
    const std::string line = options_.jsonLog
                                 ? entry.dump(-1, ' ', false, Json::error_handler_t::replace)
                                 : lineOf(entry);
    std::lock_guard lock(outputMutex_);
    std::cout << line << std::endl;
  }
  const std::size_t size = sizeOf(entry);
  {
    std::lock_guard lock(mutex_);
    keep(std::move(entry), size);
  }
  if (changed_) changed_();
}

void Journal::keep(Json entry, std::size_t size) {
  ++requestCounts_[{entry["endpoint"].get<std::string>(), entry["result_code"].get<std::string>()}];
  entry["id"] = nextId_++;
  entries_.push_back(std::make_shared<const Json>(std::move(entry)));
  sizes_.push_back(size);
  bytes_ += size;
  while (entries_.size() > options_.capacity ||
         (bytes_ > options_.maxBytes && entries_.size() > 1)) {
    entries_.pop_front();
    bytes_ -= sizes_.front();
    sizes_.pop_front();
    ++dropped_;
  }
}

void Journal::warn(const std::string& line) {
  std::lock_guard lock(outputMutex_);
  std::cerr << line << std::endl;
}

Journal::Listing Journal::newest(const JournalFilter& filter, std::size_t limit) {
  Listing listing;
  {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend() && listing.entries.size() < limit; ++it)
      if (filter.matches(**it)) listing.entries.push_back(*it);
    listing.total = entries_.size();
    listing.dropped = dropped_;
  }
  std::reverse(listing.entries.begin(), listing.entries.end());
  return listing;
}

long long Journal::count(const JournalFilter& filter) {
  std::lock_guard lock(mutex_);
  long long count = 0;
  for (const auto& entry : entries_) count += filter.matches(*entry) ? 1 : 0;
  return count;
}

void Journal::clear() {
  {
    std::lock_guard lock(mutex_);
    entries_.clear();
    sizes_.clear();
    bytes_ = 0;
    dropped_ = 0;
    ++clears_;
  }
  if (changed_) changed_();
}

std::string Journal::open(long long asked, Cursor& cursor) {
  std::string greeting = ": connected\n\n";
  std::lock_guard lock(mutex_);
  cursor.clears = clears_;
  cursor.after = nextId_ - 1;
  if (asked > cursor.after) {
    // An id this run never gave: the client's list is of an emulator that
    // was restarted, so it starts again from this run's first entry.
    greeting += "event: cleared\ndata: {}\n\n";
    cursor.after = 0;
  } else if (asked >= 0) {
    cursor.after = asked;
  }
  return greeting;
}

std::optional<std::string> Journal::poll(Cursor& cursor) {
  std::string text;
  std::vector<std::shared_ptr<const Json>> fresh;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return std::nullopt;
    if (clears_ != cursor.clears) {
      cursor.clears = clears_;
      text += "event: cleared\ndata: {}\n\n";
    }
    auto from = entries_.end();
    while (from != entries_.begin() && (**std::prev(from))["id"].get<long long>() > cursor.after)
      --from;
    fresh.assign(from, entries_.end());
  }
  for (const auto& entry : fresh) {
    cursor.after = (*entry)["id"].get<long long>();
    // Form values are the client's bytes; bad UTF-8 must not end the stream.
    text += "id: " + std::to_string(cursor.after) + "\nevent: request\ndata: " +
            entry->dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
  }
  return text;
}

void Journal::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (changed_) changed_();
}

Journal::Counts Journal::counts() {
  std::lock_guard lock(mutex_);
  return {requestCounts_, static_cast<long long>(entries_.size()), dropped_};
}

}  // namespace orvo::emulator
