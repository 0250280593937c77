#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "foundation/Archive.h"
#include "orvo/platform/Desktop.h"
#include "platform/SqliteDatabase.h"

namespace orvo {
namespace {

constexpr std::string_view kFileName = "keychain.db";
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

constexpr std::string_view kSchema =
    "CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, item BLOB NOT NULL)";
constexpr std::string_view kSelectAll = "SELECT id, item FROM items ORDER BY id";
constexpr std::string_view kDeleteOne = "DELETE FROM items WHERE id = ?1";
constexpr std::string_view kInsert = "INSERT INTO items(item) VALUES(?1)";

constexpr std::string_view kCannotUseLine = "SqliteKeychain: cannot use the keychain database ";
constexpr std::string_view kCannotUseTail = "; keychain items are kept in memory for this process";
constexpr std::string_view kSkippedItemLine = "SqliteKeychain: skipped the unreadable item ";
constexpr std::string_view kWriteFailedLine = "SqliteKeychain: could not write the keychain to ";
constexpr std::string_view kNotARegularFile = "not a regular file";
constexpr std::string_view kNotAnItem = "not an attribute dictionary";

// The directory and the file exist with exactly the keychain's modes, so that
// SQLite never creates the file with the process's default permissions.
bool prepareFiles(const std::string& directory, const std::string& path, std::string& error) {
  if (!platform::createDirectories(directory, kDirectoryMode, error)) return false;
  if (::chmod(directory.c_str(), kDirectoryMode) != 0) {
    error = directory + ": " + std::strerror(errno);
    return false;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    error = kNotARegularFile;
    ::close(fd);
    return false;
  }
  ok = ok && ::fchmod(fd, kFileMode) == 0;
  if (!ok) error = std::strerror(errno);
  ::close(fd);
  return ok;
}

}  // namespace

struct SqliteKeychain::Impl {
  std::string path;
  std::shared_ptr<LogSink> log;
  std::unique_ptr<platform::SqliteDatabase> db;  // null: in memory only
  // Rows this keychain wrote or read; unreadable rows are never touched.
  std::vector<std::int64_t> rowIds;

  void write(std::string_view line) const {
    if (log) log->write(line);
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
    : MemoryKeychain(std::move(defaultAccessGroup)), impl_(std::make_unique<Impl>()) {
  impl_->path = (std::filesystem::path(directory) / kFileName).string();
  impl_->log = std::move(log);

  std::string error;
  if (prepareFiles(directory, impl_->path, error)) {
    impl_->db = platform::SqliteDatabase::open(impl_->path, kSchema, error);
  }
  if (impl_->db) {
    std::vector<Dictionary> items = impl_->load(error);
    if (impl_->db) setItems(std::move(items));
  }
  if (!impl_->db) {
    impl_->write(std::string(kCannotUseLine) + impl_->path + ": " + error +
                 std::string(kCannotUseTail));
  }
}

SqliteKeychain::~SqliteKeychain() = default;

bool SqliteKeychain::isPersistent() const { return impl_->db != nullptr; }

bool SqliteKeychain::persist(const std::vector<Dictionary>& items) {
  if (!impl_->db) return true;
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
