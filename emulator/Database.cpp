#include "Database.h"

namespace orvo::emulator {

bool Database::open(const std::string& path, std::string& error) {
  // SQLite counts every allocation under a process-wide lock unless told not
  // to before its first use; the emulator reads no such statistics. Later
  // calls (SQLite already in use in this process) change nothing.
  static const int untracked = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  (void)untracked;
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    error = db_ ? sqlite3_errmsg(db_) : "cannot open the state file";
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  if (path != ":memory:") {
    // A kept state must survive a crash of the emulator or of the machine.
    if (!exec("PRAGMA journal_mode=WAL", &error) || !exec("PRAGMA synchronous=FULL", &error))
      return false;
  }
  return exec("PRAGMA foreign_keys=ON", &error);
}

Database::~Database() { close(); }

void Database::close() {
  for (auto& [sql, statement] : cache_) sqlite3_finalize(statement);
  cache_.clear();
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

void Database::settle() {
  if (deferred_ > 0) return;
  ++epoch_;
  if (!settle_ || inTransaction()) return;
  // Its own statements must not call it again.
  const Deferred settling(*this);
  settle_();
}

bool Database::exec(const std::string& sql, std::string* error) {
  settle();
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  lastError_ = message ? message : "unknown SQLite error";
  sqlite3_free(message);
  if (error) *error = lastError_;
  return false;
}

std::vector<std::string> Database::prepared() const {
  std::vector<std::string> texts;
  for (const auto& [sql, statement] : cache_) texts.push_back(sql);
  return texts;
}

sqlite3_stmt* Database::prepare(const std::string& sql) {
  settle();
  if (auto found = cache_.find(sql); found != cache_.end()) {
    sqlite3_reset(found->second);
    sqlite3_clear_bindings(found->second);
    return found->second;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK) {
    lastError_ = sqlite3_errmsg(db_);
    return nullptr;
  }
  cache_.emplace(sql, statement);
  return statement;
}

void Database::finish(sqlite3_stmt* statement) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

bool Database::bindAll(sqlite3_stmt* statement, const std::vector<Json>& params) {
  int index = 1;
  for (const auto& value : params) {
    int rc = SQLITE_OK;
    if (value.is_null()) {
      rc = sqlite3_bind_null(statement, index);
    } else if (value.is_boolean()) {
      rc = sqlite3_bind_int64(statement, index, value.get<bool>() ? 1 : 0);
    } else if (value.is_number_integer()) {
      rc = sqlite3_bind_int64(statement, index, value.get<long long>());
    } else if (value.is_number()) {
      rc = sqlite3_bind_double(statement, index, value.get<double>());
    } else if (value.is_string()) {
      // Not copied: the caller's values outlive the statement's run, and
      // finish() unbinds them.
      const auto& text = value.get_ref<const std::string&>();
      rc = sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_STATIC);
    } else {
      const std::string text = value.dump();
      rc = sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
    }
    if (rc != SQLITE_OK) {
      lastError_ = sqlite3_errmsg(db_);
      return false;
    }
    ++index;
  }
  return true;
}

Json Database::Row::value(int column) const {
  switch (sqlite3_column_type(statement_, column)) {
    case SQLITE_INTEGER:
      return static_cast<long long>(sqlite3_column_int64(statement_, column));
    case SQLITE_FLOAT:
      return sqlite3_column_double(statement_, column);
    case SQLITE_NULL:
      return nullptr;
    default:
      return text(column);
  }
}

std::string Database::Row::text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return std::string(text ? text : "",
                     static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

void Database::each(const std::string& sql, const std::vector<Json>& params,
                    const std::function<void(const Row&)>& visit) {
  sqlite3_stmt* statement = prepare(sql);
  if (!statement || !bindAll(statement, params)) return;
  const Row row(statement);
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) visit(row);
  if (rc != SQLITE_DONE) lastError_ = sqlite3_errmsg(db_);
  finish(statement);
}

std::vector<Json> Database::query(const std::string& sql, const std::vector<Json>& params) {
  std::vector<Json> rows;
  each(sql, params, [&rows](const Row& row) {
    Json object = Json::object();
    for (int i = 0, columns = row.columns(); i < columns; ++i) object[row.name(i)] = row.value(i);
    rows.push_back(std::move(object));
  });
  return rows;
}

long long Database::run(const std::string& sql, const std::vector<Json>& params) {
  sqlite3_stmt* statement = prepare(sql);
  if (!statement || !bindAll(statement, params)) return -1;
  const int rc = sqlite3_step(statement);
  finish(statement);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    lastError_ = sqlite3_errmsg(db_);
    return -1;
  }
  return sqlite3_changes(db_);
}

long long Database::runOnce(const std::string& sql, const std::vector<Json>& params) {
  settle();
  sqlite3_stmt* statement = nullptr;
  long long changed = -1;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) ==
          SQLITE_OK &&
      bindAll(statement, params)) {
    const int rc = sqlite3_step(statement);
    changed = rc == SQLITE_DONE || rc == SQLITE_ROW ? sqlite3_changes(db_) : -1;
  }
  if (changed < 0) lastError_ = sqlite3_errmsg(db_);
  sqlite3_finalize(statement);
  return changed;
}

bool Database::inTransaction() const { return db_ && sqlite3_get_autocommit(db_) == 0; }

long long Database::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }

std::string Database::quickCheck() {
  std::string finding;
  char* message = nullptr;
  const int rc = sqlite3_exec(
      db_, "PRAGMA quick_check",
      [](void* into, int, char** values, char**) {
        auto& text = *static_cast<std::string*>(into);
        if (text.empty() && values[0]) text = values[0];
        return 0;
      },
      &finding, &message);
  if (rc != SQLITE_OK) finding = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return finding == "ok" ? std::string() : finding.empty() ? "no answer" : finding;
}

std::vector<std::string> Database::tables() {
  std::vector<std::string> names;
  for (const auto& row :
       query("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
             "ORDER BY name"))
    names.push_back(row["name"].get<std::string>());
  return names;
}

}  // namespace orvo::emulator
