#include <filesystem>
#include <mutex>
#include <utility>

#include "foundation/Archive.h"
#include "orvo/platform/PrivateFiles.h"
#include "orvo/platform/SqliteKeychain.h"
#include "platform/SqliteDatabase.h"

namespace orvo {
namespace {

constexpr std::string_view kFileName = "keychain.db";

constexpr std::string_view kTable = "items";
constexpr std::string_view kSchema =
    "CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, item BLOB NOT NULL)";
constexpr std::string_view kSelectAll = "SELECT id, item FROM items ORDER BY id";
constexpr std::string_view kDeleteOne = "DELETE FROM items WHERE id = ?1";
constexpr std::string_view kInsert = "INSERT INTO items(item) VALUES(?1)";

constexpr std::string_view kCannotUseLine = "SqliteKeychain: cannot use the keychain database ";
constexpr std::string_view kCannotUseTail = "; keychain items are kept in memory for this process";
constexpr std::string_view kSkippedItemLine = "SqliteKeychain: skipped the unreadable item ";
constexpr std::string_view kWriteFailedLine = "SqliteKeychain: could not write the keychain to ";
constexpr std::string_view kNotAnItem = "not an attribute dictionary";

}  // namespace

struct SqliteKeychain::Impl {
  std::string directory;
  std::string path;
  std::shared_ptr<LogSink> log;
  std::once_flag loaded;

  // Guards the members below. Taken after the item list's lock, never
  // before it.
  std::mutex mutex;
  bool failed = false;                           // in memory only from now on
  std::unique_ptr<platform::SqliteDatabase> db;  // the connection for writing
  // Rows this keychain wrote or read; unreadable rows are never touched.
  std::vector<std::int64_t> rowIds;

  void write(std::string_view line) const {
    if (log) log->write(line);
  }

  void fail(const std::string& error) {
    failed = true;
    db.reset();
    rowIds.clear();
    write(std::string(kCannotUseLine) + path + ": " + error + std::string(kCannotUseTail));
  }

  // The stored items; without a connection for writing yet, read through a
  // read-only one that creates and changes nothing.
  std::vector<Dictionary> read() {
    std::lock_guard lock(mutex);
    if (failed) return {};
    std::string error;
    const bool writing = db != nullptr;
    if (!writing) db = platform::SqliteDatabase::openForReading(path, kTable, error);
    std::vector<Dictionary> items;
    if (db) items = load(error);
    if (!writing) db.reset();
    if (!error.empty()) fail(error);
    return items;
  }

  // With `mutex` held: true once the file is open for writing.
  bool ensureWritable() {
    if (failed) return false;
    if (db) return true;
    std::string error;
    if (createPrivateDirectory(directory, error) &&
        platform::createPrivateDatabaseFile(path, error)) {
      db = platform::SqliteDatabase::open(path, kSchema, error);
    }
    if (!db) fail(error);
    return db != nullptr;
  }

  std::vector<Dictionary> load(std::string& error) {
    std::vector<Dictionary> items;
    platform::SqliteStatement select(db->handle(), kSelectAll);
    int rc = SQLITE_ERROR;
    while (select.ok() && (rc = select.step()) == SQLITE_ROW) {
      std::int64_t id = select.columnInt(0);
      auto value = unarchive(select.columnBlob(1));
      if (!value || !value.value().isDictionary()) {
        std::string why = value ? std::string(kNotAnItem) : describe(value.error());
        write(std::string(kSkippedItemLine) + std::to_string(id) + " in " + path + ": " + why);
        continue;
      }
      items.push_back(std::move(*value.value().asDictionary()));
      rowIds.push_back(id);
    }
    if (rc != SQLITE_DONE) {
      error = db->errorMessage();
      db.reset();
      rowIds.clear();
      items.clear();
    }
    return items;
  }

  // The message is taken at the failing step: finalizing the other
  // statements would replace it.
  bool rewrite(const std::vector<Dictionary>& items, std::vector<std::int64_t>& newIds,
               std::string& error) {
    auto fail = [&] {
      error = db->errorMessage();
      return false;
    };
    if (!db->exec("BEGIN IMMEDIATE")) return fail();
    platform::SqliteStatement erase(db->handle(), kDeleteOne);
    platform::SqliteStatement insert(db->handle(), kInsert);
    if (!erase.ok() || !insert.ok()) return fail();
    for (std::int64_t id : rowIds) {
      erase.reset();
      if (!erase.bindInt(1, id) || erase.step() != SQLITE_DONE) return fail();
    }
    for (const Dictionary& item : items) {
      Bytes bytes = archive(Value(item));
      insert.reset();
      if (!insert.bindBlob(1, bytes.data(), bytes.size()) || insert.step() != SQLITE_DONE) {
        return fail();
      }
      newIds.push_back(sqlite3_last_insert_rowid(db->handle()));
    }
    return db->exec("COMMIT") || fail();
  }
};

SqliteKeychain::SqliteKeychain(std::string directory, std::string defaultAccessGroup,
                               std::shared_ptr<LogSink> log)
    : ItemListKeychain(std::move(defaultAccessGroup)), impl_(std::make_unique<Impl>()) {
  impl_->path = (std::filesystem::path(directory) / kFileName).string();
  impl_->directory = std::move(directory);
  impl_->log = std::move(log);
}

SqliteKeychain::~SqliteKeychain() = default;

void SqliteKeychain::ensureLoaded() const {
  std::call_once(impl_->loaded, [this] {
    // Installed outside `mutex`, which is only ever taken after the item
    // list's lock. The list is this keychain's copy of the file, filled on
    // first need, so a const caller may fill it too.
    std::vector<Dictionary> items = impl_->read();
    const_cast<SqliteKeychain*>(this)->setItems(std::move(items));
  });
}

KeychainStatus SqliteKeychain::copyMatching(const Dictionary& query, Value* result) {
  ensureLoaded();
  return ItemListKeychain::copyMatching(query, result);
}

KeychainStatus SqliteKeychain::add(const Dictionary& attributes, Value* result) {
  ensureLoaded();
  return ItemListKeychain::add(attributes, result);
}

KeychainStatus SqliteKeychain::update(const Dictionary& query, const Dictionary& changes) {
  ensureLoaded();
  return ItemListKeychain::update(query, changes);
}

KeychainStatus SqliteKeychain::remove(const Dictionary& query) {
  ensureLoaded();
  return ItemListKeychain::remove(query);
}

bool SqliteKeychain::isPersistent() const {
  ensureLoaded();
  std::lock_guard lock(impl_->mutex);
  return impl_->ensureWritable();
}

bool SqliteKeychain::persist(const std::vector<Dictionary>& items) {
  std::lock_guard lock(impl_->mutex);
  // A file that cannot be used leaves the keychain in memory, where changes
  // succeed.
  if (!impl_->ensureWritable()) return true;
  std::vector<std::int64_t> newIds;
  std::string error;
  if (impl_->rewrite(items, newIds, error)) {
    impl_->rowIds = std::move(newIds);
    return true;
  }
  impl_->db->exec("ROLLBACK");
  impl_->write(std::string(kWriteFailedLine) + impl_->path + ": " + error);
  return false;
}

}  // namespace orvo
