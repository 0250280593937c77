// The desktop implementations of the settings store and the keychain.
#pragma once

#include <memory>
#include <string>

#include "orvo/platform/Keychain.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/SettingsStore.h"

namespace orvo {

// Settings in one SQLite file (WAL, synchronous=FULL). set and remove change
// this process's view at once; synchronize writes them in one transaction and
// returns when it is durable. A file that cannot be opened or read is
// reported once to the log and left untouched; the store then keeps its
// values in memory for the rest of the process.
class SqliteSettingsStore : public SettingsStore {
 public:
  SqliteSettingsStore(std::string path, std::shared_ptr<LogSink> log);
  ~SqliteSettingsStore() override;
  SqliteSettingsStore(const SqliteSettingsStore&) = delete;
  SqliteSettingsStore& operator=(const SqliteSettingsStore&) = delete;

  Value get(std::string_view key) const override;
  void set(std::string_view key, const Value& value) override;
  void remove(std::string_view key) override;
  bool synchronize() override;

  // False once the store has fallen back to memory.
  bool isPersistent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The keychain in an SQLite file of its own, keychain.db in `directory`
// (directory mode 0700, file mode 0600). Every change is durable when the
// call returns; a change that cannot be written is undone and reported as
// KeychainStatus::Other.
class SqliteKeychain : public MemoryKeychain {
 public:
  SqliteKeychain(std::string directory, std::string defaultAccessGroup,
                 std::shared_ptr<LogSink> log);
  ~SqliteKeychain() override;
  SqliteKeychain(const SqliteKeychain&) = delete;
  SqliteKeychain& operator=(const SqliteKeychain&) = delete;

  bool isPersistent() const;

 protected:
  bool persist(const std::vector<Dictionary>& items) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo
