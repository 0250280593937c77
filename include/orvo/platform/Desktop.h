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
// returns when it is durable. The file is read, read-only, at the first use
// and opened for writing at the first write. A file that cannot be opened or
// read is reported once to the log and left untouched; the store then keeps
// its values in memory for the rest of the process.
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

  // Opens the file for writing if it is not yet: false once the store has
  // fallen back to memory.
  bool isPersistent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The keychain in an SQLite file of its own, keychain.db in `directory`
// (directory mode 0700, file mode 0600). Every change is durable when the
// call returns; a change that cannot be written is undone and reported as
// KeychainStatus::Other. The file is read, read-only, at the first call and
// opened for writing at the first change; items() shows it after either.
class SqliteKeychain : public ItemListKeychain {
 public:
  SqliteKeychain(std::string directory, std::string defaultAccessGroup,
                 std::shared_ptr<LogSink> log);
  ~SqliteKeychain() override;
  SqliteKeychain(const SqliteKeychain&) = delete;
  SqliteKeychain& operator=(const SqliteKeychain&) = delete;

  KeychainStatus copyMatching(const Dictionary& query, Value* result) override;
  KeychainStatus add(const Dictionary& attributes, Value* result) override;
  KeychainStatus update(const Dictionary& query, const Dictionary& changes) override;
  KeychainStatus remove(const Dictionary& query) override;

  // Opens the file for writing if it is not yet: false when it cannot be.
  bool isPersistent() const;

 protected:
  bool persist(const std::vector<Dictionary>& items) override;

 private:
  void ensureLoaded() const;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo
