// A thin RAII layer over one SQLite connection: statements are prepared once
// and cached by their text, values go in and out as nlohmann::json.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace orvo::emulator {

using Json = nlohmann::json;

class Database {
 public:
  // ":memory:" or a file path; a file is opened in WAL mode with synchronous=FULL.
  bool open(const std::string& path, std::string& error);
  // Lets go of the file (and removes its -wal and -shm when they hold nothing).
  void close();
  ~Database();

  // Runs statements that return nothing (schema, pragmas, transactions).
  bool exec(const std::string& sql, std::string* error = nullptr);

  // One statement with positional parameters; rows come back as objects keyed
  // by column name. Integers stay integers, NULL is null.
  std::vector<Json> query(const std::string& sql, const std::vector<Json>& params = {});
  // A row of the statement each() is stepping, read by column index.
  class Row {
   public:
    explicit Row(sqlite3_stmt* statement) : statement_(statement) {}
    int columns() const { return sqlite3_column_count(statement_); }
    const char* name(int column) const { return sqlite3_column_name(statement_, column); }
    // As query() gives it.
    Json value(int column) const;
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string text(int column) const;

   private:
    sqlite3_stmt* statement_;
  };
  // query() without building an object per row, for callers that read many.
  void each(const std::string& sql, const std::vector<Json>& params,
            const std::function<void(const Row&)>& visit);
  // The same for statements that change rows; returns the changed row count, -1 on error.
  long long run(const std::string& sql, const std::vector<Json>& params = {});
  // run() for a statement made from its data, which is not kept for next time.
  long long runOnce(const std::string& sql, const std::vector<Json>& params);
  long long lastInsertId() const;
  bool inTransaction() const;
  const std::string& lastError() const { return lastError_; }

  std::vector<std::string> tables();
  // The texts of the statements prepared so far.
  std::vector<std::string> prepared() const;
  // SQLite's quick check of the whole file: empty when it holds, else its first finding.
  std::string quickCheck();

  // Writes kept in memory reach the tables through `settle`, which runs before
  // each statement, so that nothing reads the tables without them. It does not
  // run inside a transaction (a rollback would take its writes along) nor
  // while a Deferred is alive.
  void settleWith(std::function<void()> settle) { settle_ = std::move(settle); }
  // Moves on before each statement that is not Deferred: what was read at an
  // earlier epoch may have changed since.
  std::uint64_t epoch() const { return epoch_; }
  // For statements that touch nothing `settle` writes.
  class Deferred {
   public:
    explicit Deferred(Database& db) : db_(db) { ++db_.deferred_; }
    ~Deferred() { --db_.deferred_; }
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;

   private:
    Database& db_;
  };

 private:
  void settle();

  sqlite3_stmt* prepare(const std::string& sql);
  bool bindAll(sqlite3_stmt* statement, const std::vector<Json>& params);
  void finish(sqlite3_stmt* statement);

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> cache_;
  std::string lastError_;
  std::function<void()> settle_;
  int deferred_ = 0;
  std::uint64_t epoch_ = 0;
};

}  // namespace orvo::emulator
