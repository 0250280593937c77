/// @file
/// The desktop settings store: an SQLite file.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/SettingsStore.h"

namespace orvo {

/// Settings in one SQLite file (WAL, synchronous=FULL). set and remove change
/// this process's view at once; synchronize writes them in one transaction and
/// returns when it is durable. The file is read, read-only, at the first use
/// and opened for writing at the first write. A file that cannot be opened or
/// read is reported once to the log and left untouched; the store then keeps
/// its values in memory for the rest of the process.
class ORVO_PUSH_API SqliteSettingsStore : public SettingsStore {
 public:
  /// The database at path (mode 0600, WAL); failures are logged to log.
  SqliteSettingsStore(std::string path, std::shared_ptr<LogSink> log);
  ~SqliteSettingsStore() override;
  SqliteSettingsStore(const SqliteSettingsStore&) = delete;
  SqliteSettingsStore& operator=(const SqliteSettingsStore&) = delete;

  Value get(std::string_view key) const override;
  void set(std::string_view key, const Value& value) override;
  void remove(std::string_view key) override;
  std::vector<std::string> keys(std::string_view prefix) const override;
  bool synchronize() override;

  /// Opens the file for writing if it is not yet: false once the store has
  /// fallen back to memory.
  bool isPersistent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo
