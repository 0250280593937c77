#include "State.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <set>

#include "Input.h"
#include "Limits.h"
#include "Receiver.h"

namespace orvo::emulator {
namespace {

// Columns the emulator's own code reads are NOT NULL, so an imported row
// cannot leave one empty.
constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS apps(app_id TEXT NOT NULL PRIMARY KEY, receiver_version TEXT);
CREATE TABLE IF NOT EXISTS tokens(token TEXT NOT NULL PRIMARY KEY, name TEXT, created_at INTEGER);
CREATE INDEX IF NOT EXISTS tokens_name ON tokens(name);
CREATE TABLE IF NOT EXISTS devices(
  app_id TEXT NOT NULL, device_id TEXT NOT NULL, psid TEXT NOT NULL DEFAULT '', cuid TEXT,
  cname TEXT, phone TEXT, mode TEXT, device_type TEXT, pnsid TEXT, model TEXT, os_version TEXT,
  app_version TEXT, registered INTEGER NOT NULL DEFAULT 0, badge INTEGER NOT NULL DEFAULT 0,
  registered_at INTEGER, last_seen INTEGER, dropped INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(app_id, device_id));
CREATE INDEX IF NOT EXISTS devices_psid ON devices(psid);
CREATE INDEX IF NOT EXISTS devices_device ON devices(device_id);
CREATE INDEX IF NOT EXISTS devices_cuid ON devices(app_id, cuid);
CREATE TABLE IF NOT EXISTS users(
  app_id TEXT NOT NULL, cuid TEXT NOT NULL, name TEXT, phone TEXT, created_at INTEGER,
  PRIMARY KEY(app_id, cuid));
CREATE TABLE IF NOT EXISTS group_members(
  app_id TEXT NOT NULL, group_seq TEXT NOT NULL, cuid TEXT NOT NULL, joined_at INTEGER,
  PRIMARY KEY(app_id, group_seq, cuid));
CREATE TABLE IF NOT EXISTS alive(
  app_id TEXT NOT NULL, device_id TEXT NOT NULL, day TEXT NOT NULL,
  PRIMARY KEY(app_id, device_id, day));
CREATE TABLE IF NOT EXISTS auth_keys(
  key TEXT NOT NULL PRIMARY KEY, app_id TEXT, cuid TEXT, psid TEXT, issued_at INTEGER,
  expires_at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS auth_binding ON auth_keys(psid, cuid);
CREATE TABLE IF NOT EXISTS messages(
  seqno INTEGER PRIMARY KEY AUTOINCREMENT, message_key TEXT NOT NULL, app_id TEXT NOT NULL,
  sender TEXT NOT NULL, sender_psid TEXT, sender_cuid TEXT, target_kind TEXT NOT NULL,
  target TEXT NOT NULL, message TEXT NOT NULL, ext TEXT NOT NULL, badge INTEGER,
  silent INTEGER NOT NULL DEFAULT 0, service_code TEXT, reserve_at INTEGER, created_at INTEGER,
  state TEXT NOT NULL);
-- The scheduler looks for due reservations every 20 ms: it must not read every message.
CREATE INDEX IF NOT EXISTS messages_reserved ON messages(state, reserve_at) WHERE state='reserved';
CREATE INDEX IF NOT EXISTS messages_key ON messages(message_key);
-- The history the background pruning takes, oldest first.
CREATE INDEX IF NOT EXISTS messages_age ON messages(created_at) WHERE state='sent';
CREATE TABLE IF NOT EXISTS deliveries(
  id INTEGER PRIMARY KEY AUTOINCREMENT, seqno INTEGER NOT NULL, token TEXT NOT NULL,
  app_id TEXT, device_id TEXT, cuid TEXT, payload TEXT NOT NULL, state TEXT NOT NULL,
  queued_at INTEGER, sent_at INTEGER, delivered_at INTEGER, read_at INTEGER);
CREATE INDEX IF NOT EXISTS deliveries_token ON deliveries(token, id);
-- A device's stream asks for what is still queued for it at every send.
CREATE INDEX IF NOT EXISTS deliveries_queued ON deliveries(token, id) WHERE state='queued';
CREATE INDEX IF NOT EXISTS deliveries_message ON deliveries(seqno, token);
-- A bare index on the state made SQLite read every queued row of every
-- device for one device's queue: a fan-out cost the square of its devices.
DROP INDEX IF EXISTS deliveries_state;
CREATE INDEX IF NOT EXISTS deliveries_age ON deliveries(queued_at) WHERE state<>'queued';
CREATE TABLE IF NOT EXISTS reports(
  id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, app_id TEXT, cuid TEXT,
  purchase_id TEXT, body TEXT NOT NULL, at INTEGER);
CREATE INDEX IF NOT EXISTS reports_purchase ON reports(purchase_id, cuid) WHERE kind='purchase';
CREATE TABLE IF NOT EXISTS logs(id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER,
  record TEXT NOT NULL);
)SQL";

// Values the code chooses among, and columns that hold JSON text.
const std::map<std::string, std::vector<std::string>> kChoices = {
    {"messages.state", {"sent", "reserved"}},
    {"messages.target_kind", {"CUID", "PSID", "GROUP", "ALL"}},
    {"deliveries.state", {"queued", "sent", "delivered", "read"}},
    {"reports.kind", {"session", "purchase"}}};
const std::set<std::string> kJsonColumns = {"deliveries.payload", "reports.body", "logs.record"};

std::int64_t realNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A path as an SQLite URI names it.
std::string uriOf(const std::string& path) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#')
      uri += c == '%' ? "%25" : c == '?' ? "%3f" : "%23";
    else
      uri += c;
  }
  return uri;
}

// What is at `path` before SQLite opens it for writing: an emulator's state
// file, an empty one, or nothing (then made, owner-only). Anything else is
// refused, and read without a byte written, not even a -wal or -shm.
bool prepareFile(const std::string& path, std::string& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return error = "cannot read " + path + ": " + std::strerror(errno), false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return error = "cannot create " + path + ": " + std::strerror(errno), false;
    // The umask may take bits away; the owner must be able to write.
    const bool owned = fchmod(fd, 0600) == 0;
    close(fd);
    if (!owned)
      return error = "cannot set the mode of " + path + ": " + std::strerror(errno), false;
    return true;
  }
  if (S_ISDIR(info.st_mode)) return error = path + " is a folder, not a state file", false;
  if (!S_ISREG(info.st_mode)) return error = path + " is not a regular file", false;
  if (info.st_size == 0) {
    // Empty, unless what it holds is still in its write-ahead log.
    struct stat log {};
    if (stat((path + "-wal").c_str(), &log) == 0 && log.st_size > 0)
      return error = path + " is not an orvo-emulator state file (its content is in " + path +
                     "-wal); it was left as it is",
             false;
    chmod(path.c_str(), 0600);
    return true;
  }
  sqlite3* probe = nullptr;
  std::int64_t mark = 0, tables = 0;
  std::string problem;
  if (sqlite3_open_v2((uriOf(path) + "?mode=ro&immutable=1").c_str(), &probe,
                      SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
    auto number = [&](const char* sql, std::int64_t& into) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(probe, sql, -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW)
        into = sqlite3_column_int64(statement, 0);
      else if (problem.empty())
        problem = sqlite3_errmsg(probe);
      sqlite3_finalize(statement);
    };
    number("PRAGMA application_id", mark);
    number("SELECT COUNT(*) FROM sqlite_master", tables);
  } else {
    problem = probe ? sqlite3_errmsg(probe) : "cannot open it";
  }
  sqlite3_close(probe);
  if (!problem.empty())
    return error = path + " is not an SQLite database the emulator can read (" + problem +
                   "); it was left as it is",
           false;
  if (mark != kStateFileMark && tables > 0)
    return error = path + " is not an orvo-emulator state file (it holds " +
                   std::to_string(tables) + " schema entries and not the emulator's mark); " +
                   "it was left as it is",
           false;
  // The emulator's own, perhaps written before its files were kept private.
  for (const char* suffix : {"", "-wal", "-shm"}) chmod((path + suffix).c_str(), 0600);
  return true;
}

bool isInteger(const Json& value) {
  return value.is_number_integer() &&
         !(value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX);
}

}  // namespace

bool State::open(const std::string& path, std::string& error) {
  std::lock_guard lock(mutex);
  const bool file = path != ":memory:";
  if (file && !prepareFile(path, error)) return false;
  if (!db.open(path, error)) {
    error = "cannot open the state " + path + ": " + error;
    db.close();
    return false;
  }
  if (file) {
    if (const auto finding = db.quickCheck(); !finding.empty()) {
      error = "the state file " + path + " is damaged (SQLite's quick check: " + finding +
              "); move it away or give another --state";
      db.close();
      return false;
    }
    const auto marked = db.query("PRAGMA application_id");
    // Into the file itself at once, not only the write-ahead log.
    if ((marked.empty() || marked[0].begin()->get<std::int64_t>() != kStateFileMark) &&
        (!db.exec("PRAGMA application_id=" + std::to_string(kStateFileMark), &error) ||
         !db.exec("PRAGMA wal_checkpoint(TRUNCATE)", &error)))
      return false;
  }
  if (!createSchema(error)) return false;
  const auto rows = db.query("SELECT value FROM meta WHERE key='clock_offset_ms'");
  if (!rows.empty()) {
    std::int64_t offset = 0;
    if (!rows[0]["value"].is_string() || !parseCount(rows[0]["value"].get<std::string>(), offset) ||
        offset > limits::kDurationMs) {
      error = "the state " + path + " holds a clock offset that is not a number of milliseconds";
      return false;
    }
    offset_ = offset;
  }
  return true;
}

bool State::createSchema(std::string& error) {
  // A state file of an earlier version lacks the count of dropped payloads.
  const auto columns = db.query("PRAGMA table_info(devices)");
  const bool older = !columns.empty() &&
                     std::none_of(columns.begin(), columns.end(),
                                  [](const Json& column) { return column["name"] == "dropped"; });
  if (older &&
      !db.exec("ALTER TABLE devices ADD COLUMN dropped INTEGER NOT NULL DEFAULT 0", &error))
    return false;
  return db.exec(kSchema, &error);
}

std::int64_t State::nowMs() const { return realNowMs() + offset_.load(); }

bool State::advance(std::chrono::milliseconds by) {
  std::lock_guard lock(mutex);
  const auto offset = offset_.load();
  if (by.count() < 0 || by.count() > limits::kDurationMs - offset) return false;
  offset_ = offset + by.count();
  db.run("INSERT OR REPLACE INTO meta(key, value) VALUES('clock_offset_ms', ?)",
         {std::to_string(offset_.load())});
  return true;
}

Json State::snapshot() {
  std::lock_guard lock(mutex);
  Json tables = Json::object();
  for (const auto& table : db.tables()) {
    if (table == "meta") continue;
    tables[table] = db.query("SELECT * FROM \"" + table + "\"");
  }
  return Json{{"format", "orvo-emulator-snapshot"},
              {"version", 1},
              {"clock_offset_ms", offset_.load()},
              {"tables", tables}};
}

std::string State::refusal(Json& snapshot) {
  Shape shape(snapshot, "the snapshot");
  shape.require("format");
  shape.require("tables");
  const auto format = shape.text("format", limits::kName);
  if (format && *format != "orvo-emulator-snapshot")
    shape.refuse("not an orvo-emulator snapshot (\"format\" is " + quoted(Json(*format)) + ")");
  shape.integer("version", 1, 1);
  shape.integer("clock_offset_ms", 0, limits::kDurationMs);
  const Json* tables = shape.any("tables");
  if (tables && !tables->is_object()) shape.refuse("\"tables\" must be an object of tables");
  std::string error;
  if (!shape.check(error)) return error;
  const auto known = db.tables();
  for (auto& [table, rows] : snapshot["tables"].items()) {
    if (std::find(known.begin(), known.end(), table) == known.end() || table == "meta")
      return "unknown table in snapshot: " + table;
    if (!rows.is_array()) return "table " + table + " is not an array of rows";
    struct Column {
      std::string type;
      bool notNull, required;
    };
    std::map<std::string, Column> columns;
    for (const auto& info : db.query("PRAGMA table_info(\"" + table + "\")")) {
      const bool rowid = info["pk"].get<int>() > 0 && info["type"] == "INTEGER";
      const bool notNull = info["notnull"].get<int>() != 0 || (info["pk"].get<int>() > 0 && !rowid);
      columns[info["name"].get<std::string>()] = {info["type"].get<std::string>(), notNull,
                                                  notNull && info["dflt_value"].is_null()};
    }
    std::size_t index = 0;
    for (auto& row : rows) {
      const std::string where = "table " + table + ", row " + std::to_string(++index) + ": ";
      if (!row.is_object() || row.empty())
        return "table " + table + " holds a row that is not an object";
      for (const auto& [name, column] : columns)
        if (column.required && !row.contains(name)) return where + "\"" + name + "\" is missing";
      for (auto& [name, value] : row.items()) {
        const auto found = columns.find(name);
        if (found == columns.end()) return where + "unknown column " + quoted(Json(name));
        const auto& column = found->second;
        const std::string key = table + "." + name;
        if (value.is_null()) {
          if (column.notNull) return where + "\"" + name + "\" must not be null";
          continue;
        }
        if (column.type == "INTEGER" && !isInteger(value))
          return where + "\"" + name + "\" must be an integer, not " + quoted(value);
        if (column.type == "TEXT") {
          if (!value.is_string())
            return where + "\"" + name + "\" must be a string, not " + quoted(value);
          if (value.get_ref<const std::string&>().size() > limits::kDocument)
            return where + "\"" + name + "\" is longer than " + std::to_string(limits::kDocument) +
                   " bytes";
        }
        if (const auto choice = kChoices.find(key);
            choice != kChoices.end() &&
            std::find(choice->second.begin(), choice->second.end(), value) == choice->second.end())
          return where + "\"" + name + "\" must be one of the emulator's values, not " +
                 quoted(value);
        if (key == "apps.receiver_version" && !isVersionText(value.get<std::string>()))
          return where + "\"" + name + "\" must be a version such as \"4.0\", not " + quoted(value);
        if (kJsonColumns.count(key)) {
          auto parsed = parseJson(value.get<std::string>(), error, "\"" + name + "\"");
          if (!parsed || !parsed->is_object())
            return where + (parsed ? "\"" + name + "\" must hold a JSON object" : error);
          // Compact: a payload goes on one line of a device's event stream.
          value = parsed->dump();
        }
      }
    }
  }
  return {};
}

bool State::restore(Json snapshot, std::string& error) {
  std::lock_guard lock(mutex);
  error = refusal(snapshot);
  if (!error.empty()) return false;
  const auto known = db.tables();
  if (!db.exec("BEGIN IMMEDIATE", &error)) return false;
  for (const auto& table : known)
    if (table != "meta") db.run("DELETE FROM \"" + table + "\"");
  for (const auto& [table, rows] : snapshot["tables"].items()) {
    for (const auto& row : rows) {
      std::string columns, marks;
      std::vector<Json> values;
      // Only the table's own columns get here, so their names are safe in the text.
      for (const auto& [column, value] : row.items()) {
        columns += (columns.empty() ? "\"" : ",\"") + column + "\"";
        marks += marks.empty() ? "?" : ",?";
        values.push_back(value);
      }
      if (db.runOnce("INSERT INTO \"" + table + "\"(" + columns + ") VALUES(" + marks + ")",
                     values) < 0) {
        error = "table " + table + ": " + db.lastError();
        db.exec("ROLLBACK");
        return false;
      }
    }
  }
  const auto offset = snapshot.value("clock_offset_ms", static_cast<std::int64_t>(0));
  db.run("INSERT OR REPLACE INTO meta(key, value) VALUES('clock_offset_ms', ?)",
         {std::to_string(offset)});
  if (!db.exec("COMMIT", &error)) {
    db.exec("ROLLBACK");
    return false;
  }
  offset_ = offset;
  return true;
}

void State::reset() {
  std::lock_guard lock(mutex);
  db.exec("BEGIN IMMEDIATE");
  for (const auto& table : db.tables()) db.run("DELETE FROM \"" + table + "\"");
  // Sequence numbers start again, as on a fresh server.
  db.run("DELETE FROM sqlite_sequence");
  db.exec("COMMIT");
  acknowledgements.clear();
  offset_ = 0;
}

namespace {

std::string utcText(std::int64_t ms, const char* format) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, format, &utc);
  return text;
}

}  // namespace

std::string compactDate(std::int64_t ms) { return utcText(ms, "%Y%m%d%H%M%S"); }

std::string isoDate(std::int64_t ms) {
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms % 1000));
  return utcText(ms, "%Y-%m-%dT%H:%M:%S") + millis;
}

bool parseDate(const std::string& text, std::int64_t& ms) {
  static const std::regex compact(R"((\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2}))");
  static const std::regex spaced(R"((\d{4})-(\d{2})-(\d{2})[ T](\d{2}):(\d{2}):(\d{2})Z?)");
  std::smatch match;
  if (text.size() > 20 ||
      (!std::regex_match(text, match, compact) && !std::regex_match(text, match, spaced)))
    return false;
  std::tm utc{};
  utc.tm_year = std::stoi(match[1]) - 1900;
  utc.tm_mon = std::stoi(match[2]) - 1;
  utc.tm_mday = std::stoi(match[3]);
  utc.tm_hour = std::stoi(match[4]);
  utc.tm_min = std::stoi(match[5]);
  utc.tm_sec = std::stoi(match[6]);
  const std::tm given = utc;
  const std::time_t seconds = timegm(&utc);
  // timegm moves February 31st to March; a date that moved did not exist.
  if (given.tm_year != utc.tm_year || given.tm_mon != utc.tm_mon || given.tm_mday != utc.tm_mday ||
      given.tm_hour != utc.tm_hour || given.tm_min != utc.tm_min || given.tm_sec != utc.tm_sec)
    return false;
  ms = static_cast<std::int64_t>(seconds) * 1000;
  return true;
}

}  // namespace orvo::emulator
