#include "platform/SqliteDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "orvo/platform/PrivateFiles.h"

namespace orvo::platform {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr std::string_view kNotARegularFile = "not a regular file";
constexpr std::string_view kReadOnly = "the file cannot be written";
constexpr std::string_view kWalRefused = "the database refused journal_mode=WAL";
constexpr std::string_view kSynchronousRefused = "the database refused synchronous=FULL";
constexpr std::string_view kCheckFailed = "integrity check failed: ";
constexpr int kSynchronousFull = 2;
constexpr std::string_view kTableExists =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1";

}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) {
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

void SqliteStatement::reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool SqliteStatement::bindText(int index, std::string_view text) {
  return sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8) == SQLITE_OK;
}

bool SqliteStatement::bindBlob(int index, const void* data, std::size_t size) {
  // A zero-length blob still has to be a blob, not NULL.
  static const char kEmpty = 0;
  return sqlite3_bind_blob64(statement_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT) ==
         SQLITE_OK;
}

bool SqliteStatement::bindInt(int index, std::int64_t value) {
  return sqlite3_bind_int64(statement_, index, value) == SQLITE_OK;
}

int SqliteStatement::step() { return statement_ ? sqlite3_step(statement_) : SQLITE_MISUSE; }

std::string_view SqliteStatement::columnText(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  if (!text) return {};
  return {text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

std::string_view SqliteStatement::columnBlob(int column) const {
  const auto* blob = static_cast<const char*>(sqlite3_column_blob(statement_, column));
  if (!blob) return {};
  return {blob, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

std::int64_t SqliteStatement::columnInt(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::string& path,
                                                     std::string_view schema, std::string& error) {
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) {
    error = kNotARegularFile;
    return nullptr;
  }

  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  std::unique_ptr<SqliteDatabase> db(new SqliteDatabase(raw));
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  if (sqlite3_db_readonly(raw, "main") == 1) {
    error = kReadOnly;
    return nullptr;
  }

  // Reads only, so that a damaged or foreign file is refused before any
  // pragma or schema statement could write to it.
  if (existed && st.st_size > 0 && !db->check(error)) return nullptr;

  {
    SqliteStatement wal(raw, "PRAGMA journal_mode=WAL");
    if (wal.step() != SQLITE_ROW) {
      error = db->errorMessage();
      return nullptr;
    }
    std::string mode(wal.columnText(0));
    for (char& c : mode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (mode != "wal") {
      error = kWalRefused;
      return nullptr;
    }
  }
  if (!db->exec("PRAGMA synchronous=FULL")) {
    error = db->errorMessage();
    return nullptr;
  }
  {
    SqliteStatement sync(raw, "PRAGMA synchronous");
    if (sync.step() != SQLITE_ROW || sync.columnInt(0) != kSynchronousFull) {
      error = kSynchronousRefused;
      return nullptr;
    }
  }
  if (!db->exec(schema)) {
    error = db->errorMessage();
    return nullptr;
  }
  if (!existed) {
    syncDirectory(std::filesystem::path(path).parent_path().string());
  }
  return db;
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::openForReading(const std::string& path,
                                                               std::string_view table,
                                                               std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    error = kNotARegularFile;
    return nullptr;
  }
  if (st.st_size == 0) return nullptr;
  // What open() would refuse is refused here too, so that a reader and a
  // writer of the same file agree on whether it can be used.
  if (::access(path.c_str(), W_OK) != 0) {
    error = kReadOnly;
    return nullptr;
  }

  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
  std::unique_ptr<SqliteDatabase> db(new SqliteDatabase(raw));
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  if (!db->check(error)) return nullptr;
  SqliteStatement exists(raw, kTableExists);
  if (!exists.bindText(1, table)) {
    error = db->errorMessage();
    return nullptr;
  }
  const int step = exists.step();
  if (step == SQLITE_DONE) return nullptr;
  if (step != SQLITE_ROW) {
    error = db->errorMessage();
    return nullptr;
  }
  return db;
}

bool SqliteDatabase::check(std::string& error) {
  if (!exec("SELECT count(*) FROM sqlite_master")) {
    error = errorMessage();
    return false;
  }
  SqliteStatement quickCheck(db_, "PRAGMA quick_check");
  if (quickCheck.step() != SQLITE_ROW) {
    error = errorMessage();
    return false;
  }
  if (quickCheck.columnText(0) != "ok") {
    error = std::string(kCheckFailed) + std::string(quickCheck.columnText(0));
    return false;
  }
  return true;
}

SqliteDatabase::~SqliteDatabase() {
  if (db_) sqlite3_close_v2(db_);
}

bool SqliteDatabase::exec(std::string_view sql) {
  std::string text(sql);
  return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string SqliteDatabase::errorMessage() const { return sqlite3_errmsg(db_); }

bool createPrivateDatabaseFile(const std::string& path, std::string& error) {
  if (!createPrivateFile(path, error)) return false;
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string journal = path + suffix;
    if (::access(journal.c_str(), F_OK) == 0 && !createPrivateFile(journal, error)) return false;
  }
  return true;
}

bool createDirectories(const std::string& path, mode_t mode, std::string& error) {
  if (path.empty()) return true;
  std::filesystem::path full = std::filesystem::path(path).lexically_normal();
  std::filesystem::path current;
  for (const auto& part : full) {
    current /= part;
    if (part.empty() || part == current.root_path()) continue;
    struct stat st {};
    if (::stat(current.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        error = current.string() + ": " + std::strerror(ENOTDIR);
        return false;
      }
      continue;
    }
    if (::mkdir(current.c_str(), mode) != 0 && errno != EEXIST) {
      error = current.string() + ": " + std::strerror(errno);
      return false;
    }
    // The umask may have taken bits away.
    ::chmod(current.c_str(), mode);
    syncDirectory(current.parent_path().string());
  }
  return true;
}

void syncDirectory(const std::string& path) {
  int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace orvo::platform
