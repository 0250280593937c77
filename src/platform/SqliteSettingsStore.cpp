#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "foundation/Archive.h"
#include "orvo/platform/SqliteSettingsStore.h"
#include "platform/SqliteDatabase.h"

namespace orvo {
namespace {

constexpr std::string_view kTable = "settings";
constexpr std::string_view kSchema =
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value BLOB NOT NULL)";
constexpr std::string_view kSelectAll = "SELECT key, value FROM settings";
constexpr std::string_view kUpsert = "INSERT OR REPLACE INTO settings(key, value) VALUES(?1, ?2)";
constexpr std::string_view kDelete = "DELETE FROM settings WHERE key = ?1";

constexpr std::string_view kCannotUseLine =
    "SqliteSettingsStore: cannot use the settings database ";
constexpr std::string_view kCannotUseTail = "; settings are kept in memory for this process";
constexpr std::string_view kSkippedRowLine =
    "SqliteSettingsStore: skipped the unreadable value of ";
constexpr std::string_view kWriteFailedLine =
    "SqliteSettingsStore: could not write the settings to ";
constexpr std::string_view kWriteFailedTail = "; the changes are kept for the next synchronize";

using ValueMap = std::map<std::string, Value, std::less<>>;

}  // namespace

struct SqliteSettingsStore::Impl {
  std::string path;
  std::shared_ptr<LogSink> log;

  mutable std::mutex mutex;
  // The file is read at the first use and opened for writing at the first
  // write, so that a process that only reads (the service extension) neither
  // creates nor changes anything; every member below is guarded by `mutex`.
  bool loaded = false;
  bool failed = false;                           // in memory only from now on
  std::unique_ptr<platform::SqliteDatabase> db;  // the connection for writing
  ValueMap cache;
  // The latest change per key since the last successful write; nullopt removes.
  std::map<std::string, std::optional<Value>, std::less<>> pending;

  void write(std::string_view line) const {
    if (log) log->write(line);
  }

  void fail(const std::string& error) {
    failed = true;
    db.reset();
    pending.clear();
    write(std::string(kCannotUseLine) + path + ": " + error + std::string(kCannotUseTail));
  }

  // With the lock held. Without a connection for writing yet, the file is
  // read through a read-only one that creates and changes nothing. A file
  // that cannot be used leaves nothing of it in the cache.
  void ensureLoaded() {
    if (loaded || failed) return;
    loaded = true;
    std::string error;
    const bool writing = db != nullptr;
    if (!writing) db = platform::SqliteDatabase::openForReading(path, kTable, error);
    if (db && !load(error)) cache.clear();
    if (!writing) db.reset();
    if (!error.empty()) fail(error);
  }

  // With the lock held: true once the file is open for writing.
  bool ensureWritable() {
    if (failed) return false;
    if (db) return true;
    std::string error;
    if (platform::createPrivateDatabaseFile(path, error))
      db = platform::SqliteDatabase::open(path, kSchema, error);
    if (!db) {
      fail(error);
      return false;
    }
    ensureLoaded();
    return !failed;
  }

  bool load(std::string& error) {
    platform::SqliteStatement select(db->handle(), kSelectAll);
    int rc = SQLITE_ERROR;
    while (select.ok() && (rc = select.step()) == SQLITE_ROW) {
      std::string key(select.columnText(0));
      // Left in the file: a later version may be able to read it.
      auto value = unarchive(select.columnBlob(1));
      if (!value) {
        write(std::string(kSkippedRowLine) + "\"" + key + "\" in " + path + ": " +
              describe(value.error()));
        continue;
      }
      cache.insert_or_assign(std::move(key), std::move(value).value());
    }
    if (rc != SQLITE_DONE) {
      error = db->errorMessage();
      return false;
    }
    return true;
  }

  // Writes every pending change in one transaction; with the lock held.
  bool flush() {
    if (pending.empty()) return !failed;
    if (!ensureWritable()) return false;
    std::string error;
    if (writePending(error)) {
      pending.clear();
      return true;
    }
    db->exec("ROLLBACK");
    write(std::string(kWriteFailedLine) + path + ": " + error + std::string(kWriteFailedTail));
    return false;
  }

  // The message is taken at the failing step: finalizing the other
  // statement would replace it.
  bool writePending(std::string& error) {
    auto fail = [&] {
      error = db->errorMessage();
      return false;
    };
    if (!db->exec("BEGIN IMMEDIATE")) return fail();
    platform::SqliteStatement upsert(db->handle(), kUpsert);
    platform::SqliteStatement erase(db->handle(), kDelete);
    if (!upsert.ok() || !erase.ok()) return fail();
    for (const auto& [key, change] : pending) {
      if (change) {
        Bytes bytes = archive(*change);
        upsert.reset();
        if (!upsert.bindText(1, key) || !upsert.bindBlob(2, bytes.data(), bytes.size()) ||
            upsert.step() != SQLITE_DONE) {
          return fail();
        }
      } else {
        erase.reset();
        if (!erase.bindText(1, key) || erase.step() != SQLITE_DONE) return fail();
      }
    }
    return db->exec("COMMIT") || fail();
  }

  void change(std::string_view key, std::optional<Value> value) {
    std::lock_guard lock(mutex);
    ensureLoaded();
    if (value) {
      cache.insert_or_assign(std::string(key), *value);
    } else if (auto it = cache.find(key); it != cache.end()) {
      cache.erase(it);
    }
    if (!failed) pending.insert_or_assign(std::string(key), std::move(value));
  }
};

SqliteSettingsStore::SqliteSettingsStore(std::string path, std::shared_ptr<LogSink> log)
    : impl_(std::make_unique<Impl>()) {
  impl_->path = std::move(path);
  impl_->log = std::move(log);
}

SqliteSettingsStore::~SqliteSettingsStore() {
  std::lock_guard lock(impl_->mutex);
  impl_->flush();
}

Value SqliteSettingsStore::get(std::string_view key) const {
  std::lock_guard lock(impl_->mutex);
  impl_->ensureLoaded();
  auto it = impl_->cache.find(key);
  return it == impl_->cache.end() ? Value() : it->second;
}

void SqliteSettingsStore::set(std::string_view key, const Value& value) {
  if (value.isNull()) {
    impl_->change(key, std::nullopt);
  } else {
    impl_->change(key, value);
  }
}

void SqliteSettingsStore::remove(std::string_view key) { impl_->change(key, std::nullopt); }

std::vector<std::string> SqliteSettingsStore::keys(std::string_view prefix) const {
  std::lock_guard lock(impl_->mutex);
  impl_->ensureLoaded();
  std::vector<std::string> found;
  const ValueMap& cache = impl_->cache;
  for (auto it = cache.lower_bound(prefix); it != cache.end() && it->first.starts_with(prefix);
       ++it) {
    found.push_back(it->first);
  }
  return found;
}

bool SqliteSettingsStore::synchronize() {
  std::lock_guard lock(impl_->mutex);
  // Nothing pending: the answer still says whether the file can be used.
  impl_->ensureLoaded();
  return impl_->flush();
}

bool SqliteSettingsStore::isPersistent() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->ensureWritable();
}

}  // namespace orvo
