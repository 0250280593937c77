#include "State.h"

#include <ctime>
#include <regex>

namespace orvo::emulator {
namespace {

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS apps(app_id TEXT PRIMARY KEY, receiver_version TEXT);
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, name TEXT, created_at INTEGER);
CREATE TABLE IF NOT EXISTS devices(
  app_id TEXT NOT NULL, device_id TEXT NOT NULL, psid TEXT, cuid TEXT, cname TEXT, phone TEXT,
  mode TEXT, device_type TEXT, pnsid TEXT, model TEXT, os_version TEXT, app_version TEXT,
  registered INTEGER NOT NULL DEFAULT 0, badge INTEGER NOT NULL DEFAULT 0,
  registered_at INTEGER, last_seen INTEGER, PRIMARY KEY(app_id, device_id));
CREATE INDEX IF NOT EXISTS devices_psid ON devices(psid);
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
  key TEXT PRIMARY KEY, app_id TEXT, cuid TEXT, psid TEXT, issued_at INTEGER, expires_at INTEGER);
CREATE INDEX IF NOT EXISTS auth_binding ON auth_keys(psid, cuid);
CREATE TABLE IF NOT EXISTS messages(
  seqno INTEGER PRIMARY KEY AUTOINCREMENT, message_key TEXT, app_id TEXT, sender TEXT,
  sender_psid TEXT, target_kind TEXT, target TEXT, message TEXT, ext TEXT, badge INTEGER,
  silent INTEGER NOT NULL DEFAULT 0, service_code TEXT, reserve_at INTEGER, created_at INTEGER,
  state TEXT);
-- The scheduler looks for due reservations every 20 ms: it must not read every message.
CREATE INDEX IF NOT EXISTS messages_reserved ON messages(state, reserve_at) WHERE state='reserved';
CREATE TABLE IF NOT EXISTS deliveries(
  id INTEGER PRIMARY KEY AUTOINCREMENT, seqno INTEGER NOT NULL, token TEXT NOT NULL,
  app_id TEXT, device_id TEXT, cuid TEXT, payload TEXT, state TEXT NOT NULL,
  queued_at INTEGER, sent_at INTEGER, delivered_at INTEGER, read_at INTEGER);
CREATE INDEX IF NOT EXISTS deliveries_token ON deliveries(token, id);
-- A device's stream asks for what is still queued for it at every send.
CREATE INDEX IF NOT EXISTS deliveries_queued ON deliveries(token, id) WHERE state='queued';
CREATE INDEX IF NOT EXISTS deliveries_message ON deliveries(seqno, token);
CREATE INDEX IF NOT EXISTS deliveries_state ON deliveries(state);
CREATE TABLE IF NOT EXISTS reports(
  id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT, app_id TEXT, cuid TEXT, purchase_id TEXT,
  body TEXT, at INTEGER);
CREATE TABLE IF NOT EXISTS logs(id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER, record TEXT);
)SQL";

std::int64_t realNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool State::open(const std::string& path, std::string& error) {
  std::lock_guard lock(mutex);
  if (!db.open(path, error) || !createSchema(error)) return false;
  const auto rows = db.query("SELECT value FROM meta WHERE key='clock_offset_ms'");
  if (!rows.empty()) offset_ = std::stoll(rows[0]["value"].get<std::string>());
  return true;
}

bool State::createSchema(std::string& error) { return db.exec(kSchema, &error); }

std::int64_t State::nowMs() const { return realNowMs() + offset_.load(); }

void State::advance(std::chrono::milliseconds by) {
  offset_ += by.count();
  std::lock_guard lock(mutex);
  db.run("INSERT OR REPLACE INTO meta(key, value) VALUES('clock_offset_ms', ?)",
         {std::to_string(offset_.load())});
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

bool State::restore(const Json& snapshot, std::string& error) {
  if (!snapshot.is_object() || snapshot.value("format", "") != "orvo-emulator-snapshot" ||
      !snapshot.contains("tables") || !snapshot["tables"].is_object()) {
    error =
        "not an orvo-emulator snapshot (expected {\"format\": \"orvo-emulator-snapshot\", "
        "\"tables\": {...}})";
    return false;
  }
  std::lock_guard lock(mutex);
  const auto known = db.tables();
  for (const auto& [table, rows] : snapshot["tables"].items()) {
    if (std::find(known.begin(), known.end(), table) == known.end() || table == "meta") {
      error = "unknown table in snapshot: " + table;
      return false;
    }
    if (!rows.is_array()) {
      error = "table " + table + " is not an array of rows";
      return false;
    }
  }
  db.exec("BEGIN IMMEDIATE");
  for (const auto& table : known)
    if (table != "meta") db.run("DELETE FROM \"" + table + "\"");
  for (const auto& [table, rows] : snapshot["tables"].items()) {
    for (const auto& row : rows) {
      if (!row.is_object() || row.empty()) {
        error = "table " + table + " holds a row that is not an object";
        db.exec("ROLLBACK");
        return false;
      }
      std::string columns, marks;
      std::vector<Json> values;
      for (const auto& [column, value] : row.items()) {
        // Column names go into the statement text, so only plain names pass.
        if (column.empty() || column.find_first_not_of("abcdefghijklmnopqrstuvwxyz_0123456789") !=
                                  std::string::npos) {
          error = "bad column name in snapshot: " + column;
          db.exec("ROLLBACK");
          return false;
        }
        columns += (columns.empty() ? "" : ",") + column;
        marks += marks.empty() ? "?" : ",?";
        values.push_back(value);
      }
      if (db.run("INSERT INTO \"" + table + "\"(" + columns + ") VALUES(" + marks + ")", values) <
          0) {
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
  if (!std::regex_match(text, match, compact) && !std::regex_match(text, match, spaced))
    return false;
  std::tm utc{};
  utc.tm_year = std::stoi(match[1]) - 1900;
  utc.tm_mon = std::stoi(match[2]) - 1;
  utc.tm_mday = std::stoi(match[3]);
  utc.tm_hour = std::stoi(match[4]);
  utc.tm_min = std::stoi(match[5]);
  utc.tm_sec = std::stoi(match[6]);
  if (utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 ||
      utc.tm_min > 59 || utc.tm_sec > 60)
    return false;
  ms = static_cast<std::int64_t>(timegm(&utc)) * 1000;
  return true;
}

}  // namespace orvo::emulator
