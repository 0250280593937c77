// The SQLite plumbing shared by the desktop settings store and keychain: a
// connection that is checked before anything is written to it, set up so that
// a commit is durable when it returns.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::platform {

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  // Ready to run again with new bindings.
  void reset();
  bool bindText(int index, std::string_view text);
  bool bindBlob(int index, const void* data, std::size_t size);
  bool bindInt(int index, std::int64_t value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  std::string_view columnText(int column) const;
  std::string_view columnBlob(int column) const;
  std::int64_t columnInt(int column) const;

 private:
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteDatabase {
 public:
  // Opens or creates the file, refuses one that is not a sound SQLite
  // database, switches to WAL with synchronous=FULL (read back to be sure)
  // and runs `schema`. Nothing is written to an existing file before it has
  // passed its checks. On failure: null, and `error` says why.
  static std::unique_ptr<SqliteDatabase> open(const std::string& path, std::string_view schema,
                                              std::string& error);
  // Opens an existing file read-only for a process that only reads: the same
  // checks, but no pragma, no schema and nothing created. Null with `error`
  // empty when there is nothing to read (no file, an empty one, or no
  // `table` in it); null with `error` set when the file is unusable,
  // including one that could not be written, as open() would refuse it.
  static std::unique_ptr<SqliteDatabase> openForReading(const std::string& path,
                                                        std::string_view table, std::string& error);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  sqlite3* handle() const { return db_; }
  bool exec(std::string_view sql);
  std::string errorMessage() const;

 private:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}
  // Refuses a file that is not a sound SQLite database, by reading only.
  bool check(std::string& error);
  sqlite3* db_;
};

// The database file `path` made private as createPrivateFile makes a file,
// before SQLite opens it: the journal files SQLite creates take its mode, and
// ones left by an earlier reader are tightened too.
bool createPrivateDatabaseFile(const std::string& path, std::string& error);
// Creates the missing directories of `path` with `mode`. False with `error`
// set when one cannot be made.
bool createDirectories(const std::string& path, mode_t mode, std::string& error);
// Makes a directory's entries durable; best effort.
void syncDirectory(const std::string& path);

}  // namespace orvo::platform
