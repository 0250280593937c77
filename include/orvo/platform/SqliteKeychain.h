/// @file
/// The desktop keychain: an SQLite file of its own, apart from the
/// application's data.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "orvo/Export.h"
#include "orvo/platform/ItemListKeychain.h"
#include "orvo/platform/LogSink.h"

namespace orvo {

/// The keychain in an SQLite file of its own, keychain.db in `directory`
/// (directory mode 0700, file mode 0600). Every change is durable when the
/// call returns; a change that cannot be written is undone and reported as
/// KeychainStatus::Other. The file is read, read-only, at the first call and
/// opened for writing at the first change; items() shows it after either.
class ORVO_PUSH_API SqliteKeychain : public ItemListKeychain {
 public:
  /// The keychain file in directory (mode 0600), items without a group in
  /// defaultAccessGroup; failures are logged to log.
  SqliteKeychain(std::string directory, std::string defaultAccessGroup,
                 std::shared_ptr<LogSink> log);
  ~SqliteKeychain() override;
  SqliteKeychain(const SqliteKeychain&) = delete;
  SqliteKeychain& operator=(const SqliteKeychain&) = delete;

  KeychainStatus copyMatching(const Dictionary& query, Value* result) override;
  KeychainStatus add(const Dictionary& attributes, Value* result) override;
  KeychainStatus update(const Dictionary& query, const Dictionary& changes) override;
  KeychainStatus remove(const Dictionary& query) override;

  /// Opens the file for writing if it is not yet: false when it cannot be.
  bool isPersistent() const;

 protected:
  bool persist(const std::vector<Dictionary>& items) override;

 private:
  void ensureLoaded() const;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo
