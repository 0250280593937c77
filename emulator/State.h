// Everything the emulated service remembers, in one SQLite database guarded by
// one mutex, and the emulator's clock, which tests can move forward.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "Database.h"

namespace orvo::emulator {

class State {
 public:
  bool open(const std::string& path, std::string& error);

  // Milliseconds since the epoch on the emulator's clock: real time plus the
  // offset that POST /__admin/clock added.
  std::int64_t nowMs() const;
  void advance(std::chrono::milliseconds by);
  std::int64_t offsetMs() const { return offset_.load(); }

  // Whole state as {"tables": {name: [rows]}, "clock_offset_ms": n}; import
  // replaces everything in one transaction, so a bad snapshot changes nothing.
  Json snapshot();
  bool restore(const Json& snapshot, std::string& error);
  void reset();

  // Callers hold `mutex` around every use of `db`.
  std::mutex mutex;
  Database db;

 private:
  bool createSchema(std::string& error);
  std::atomic<std::int64_t> offset_{0};
};

// "yyyyMMddHHmmss" in UTC: the date form of payloads and of reservations.
std::string compactDate(std::int64_t ms);
// Accepts "yyyyMMddHHmmss", "yyyy-MM-dd HH:mm:ss" and "yyyy-MM-ddTHH:mm:ss[Z]",
// all read as UTC; false for anything else.
bool parseDate(const std::string& text, std::int64_t& ms);
std::string isoDate(std::int64_t ms);

}  // namespace orvo::emulator
