// Every request the emulator answered, newest last, bounded by count and by
// the bytes its entries hold; the request lines it prints; the counts the
// metrics give.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Database.h"
#include "Http.h"

namespace orvo::emulator {

// Which entries a listing or a count takes; an absent criterion takes all.
struct JournalFilter {
  std::map<std::string, std::string> texts;  // endpoint, result_code, method, path, psid, cuid
  std::optional<bool> fault, hasNotes;

  // From a count's JSON body: an unknown criterion or a wrong type is refused.
  static std::optional<JournalFilter> fromJson(const Json& body, std::string& error);
  static JournalFilter fromQuery(const HttpRequest& request);
  bool matches(const Json& entry) const;
};

class Journal {
 public:
  struct Options {
    std::size_t capacity = 10000;
    std::size_t maxBytes = 64 * 1024 * 1024;
    bool quiet = false;
    bool jsonLog = false;
  };
  explicit Journal(Options options) : options_(options) {}

  // Numbers the entry, prints its line unless quiet, and keeps it.
  void record(Json entry);
  // A line on the emulator's error output, not interleaved with request lines.
  void warn(const std::string& line);

  struct Listing {
    std::vector<std::shared_ptr<const Json>> entries;  // oldest first
    std::size_t total = 0;
    long long dropped = 0;
  };
  Listing newest(const JournalFilter& filter, std::size_t limit);
  long long count(const JournalFilter& filter);
  void clear();
  std::size_t capacity() const { return options_.capacity; }

  // The journal as a stream of server-sent events.
  struct Cursor {
    long long after = 0;
    long long clears = 0;
  };
  // Starts a stream after entry `asked` (-1: from now); the text to send first.
  std::string open(long long asked, Cursor& cursor);
  // What came after the cursor, without waiting: empty when nothing did,
  // nullopt once the journal stops.
  std::optional<std::string> poll(Cursor& cursor);
  // Told after each entry, clear and stop, outside the journal's lock. Set
  // before serving starts.
  void onChange(std::function<void()> changed) { changed_ = std::move(changed); }
  void stop();

  struct Counts {
    std::map<std::pair<std::string, std::string>, long long> requests;
    long long entries = 0;
    long long dropped = 0;
  };
  Counts counts();

 private:
  void keep(Json entry, std::size_t size);  // under mutex_

  Options options_;
  std::mutex mutex_;
  std::function<void()> changed_;
  // Entries do not change once recorded: readers take them and write them
  // out after letting go of the lock.
  std::deque<std::shared_ptr<const Json>> entries_;
  std::deque<std::size_t> sizes_;
  std::size_t bytes_ = 0;
  long long nextId_ = 1;
  long long dropped_ = 0;
  long long clears_ = 0;
  bool stopping_ = false;
  std::map<std::pair<std::string, std::string>, long long> requestCounts_;
  std::mutex outputMutex_;
};

}  // namespace orvo::emulator
