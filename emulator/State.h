// Everything the emulated service remembers, in one SQLite database guarded by
// one mutex, and the emulator's clock, which tests can move forward.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Database.h"

namespace orvo::emulator {

// The mark of an emulator's state file (SQLite's application_id): "orvE".
inline constexpr std::int32_t kStateFileMark = 0x6f727645;

class State {
 public:
  // ":memory:" or a file. A file that is there already must carry the mark
  // and pass SQLite's quick check; anything else is refused, untouched. A
  // new one is made readable by its owner alone, as are its -wal and -shm.
  bool open(const std::string& path, std::string& error);

  // Milliseconds since the epoch on the emulator's clock: real time plus the
  // offset that POST /__admin/clock added.
  std::int64_t nowMs() const;
  // False, with nothing moved, when the offset would pass the longest duration.
  bool advance(std::chrono::milliseconds by);
  std::int64_t offsetMs() const { return offset_.load(); }

  // Whole state as {"tables": {name: [rows]}, "clock_offset_ms": n}. Import
  // checks every row against its table first, then replaces everything in
  // one transaction: a bad snapshot changes nothing.
  Json snapshot();
  bool restore(Json snapshot, std::string& error);
  void reset();

  // Callers hold `mutex` around every use of `db`.
  std::mutex mutex;
  Database db;
  // Acknowledgements and reads received per delivery, repeats included (in
  // memory only), under `mutex`.
  std::map<std::int64_t, std::pair<long long, long long>> acknowledgements;

 private:
  bool createSchema(std::string& error);
  // Why this snapshot cannot be imported; empty when it can. Makes the JSON
  // columns compact.
  std::string refusal(Json& snapshot);
  std::atomic<std::int64_t> offset_{0};
};

// "yyyyMMddHHmmss" in UTC: the date form of payloads and of reservations.
std::string compactDate(std::int64_t ms);
// Accepts "yyyyMMddHHmmss", "yyyy-MM-dd HH:mm:ss" and "yyyy-MM-ddTHH:mm:ss[Z]",
// all read as UTC; false for anything else and for a date that does not
// exist (February 31st), which is never moved to another.
bool parseDate(const std::string& text, std::int64_t& ms);
std::string isoDate(std::int64_t ms);

}  // namespace orvo::emulator
