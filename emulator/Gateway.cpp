#include "Gateway.h"

#include <random>

namespace orvo::emulator {

std::string randomHex(std::size_t bytes) {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  static const char* digits = "0123456789abcdef";
  std::string text;
  text.reserve(bytes * 2);
  for (std::size_t i = 0; i < bytes; ++i) {
    const auto byte = static_cast<unsigned>(engine() & 0xFF);
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}

std::string Gateway::issueToken(const std::string& name) {
  std::lock_guard lock(state_.mutex);
  if (!name.empty()) {
    const auto rows = state_.db.query("SELECT token FROM tokens WHERE name=?", {name});
    if (!rows.empty()) return rows[0]["token"].get<std::string>();
  }
  // 32 bytes, written as the platform writes a device token.
  const std::string token = randomHex(32);
  state_.db.run("INSERT INTO tokens(token, name, created_at) VALUES(?,?,?)",
                {token, name.empty() ? Json(nullptr) : Json(name), state_.nowMs()});
  return token;
}

bool Gateway::knownToken(const std::string& token) {
  std::lock_guard lock(state_.mutex);
  return !state_.db.query("SELECT 1 FROM tokens WHERE token=?", {token}).empty();
}

SendOutcome Gateway::send(const OutgoingMessage& message) {
  auto& db = state_.db;
  const auto now = state_.nowMs();
  SendOutcome outcome;
  outcome.messageKey = randomHex(16);
  outcome.reserved = message.reserveAt && *message.reserveAt > now;
  db.run(
      "INSERT INTO messages(message_key, app_id, sender, sender_psid, target_kind, target, "
      "message, ext, badge, silent, service_code, reserve_at, created_at, state) "
      "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
      {outcome.messageKey, message.appId, message.sender, message.senderPsid, message.targetKind,
       message.target, message.message, message.ext,
       message.badge ? Json(*message.badge) : Json(nullptr), message.silent ? 1 : 0,
       message.serviceCode, message.reserveAt ? Json(*message.reserveAt) : Json(nullptr), now,
       outcome.reserved ? "reserved" : "sent"});
  outcome.seqno = db.lastInsertId();
  if (!outcome.reserved) outcome.targets = fanOut(outcome.seqno, outcome.messageKey, message, now);
  return outcome;
}

int Gateway::fanOut(std::int64_t seqno, const std::string& messageKey,
                    const OutgoingMessage& message, std::int64_t now) {
  auto& db = state_.db;
  std::vector<Json> devices;
  const char* columns = "SELECT d.app_id, d.device_id, d.psid, d.cuid, d.badge FROM devices d ";
  if (message.targetKind == "CUID") {
    devices = db.query(
        std::string(columns) + "WHERE d.app_id=? AND d.cuid=? AND d.registered=1 AND d.psid<>''",
        {message.appId, message.target});
  } else if (message.targetKind == "PSID") {
    devices = db.query(
        std::string(columns) + "WHERE d.psid=? AND (?='' OR d.app_id=?) AND d.registered=1",
        {message.target, message.appId, message.appId});
  } else if (message.targetKind == "GROUP") {
    devices = db.query(std::string(columns) +
                           "JOIN group_members g ON g.app_id=d.app_id AND g.cuid=d.cuid "
                           "WHERE d.app_id=? AND g.group_seq=? AND d.registered=1 AND d.psid<>''",
                       {message.appId, message.target});
  } else {
    devices = db.query(
        std::string(columns) + "WHERE (?='' OR d.app_id=?) AND d.registered=1 AND d.psid<>''",
        {message.appId, message.appId});
  }
  const std::string sendDate = compactDate(now);
  for (const auto& device : devices) {
    const std::string token = device["psid"].get<std::string>();
    Json orv = {{"psid", token},
                {"messageuniquekey", messageKey},
                {"seqno", std::to_string(seqno)},
                {"senddate", sendDate},
                {"db_in", "Y"},
                {"sender", message.sender},
                {"ext", message.ext}};
    Json aps = Json::object();
    if (message.silent) {
      aps["content-available"] = 1;
      orv["batch"] = 1;
    } else {
      const std::int64_t badge =
          message.badge ? *message.badge : device["badge"].get<std::int64_t>() + 1;
      db.run("UPDATE devices SET badge=? WHERE app_id=? AND device_id=?",
             {badge, device["app_id"], device["device_id"]});
      aps = {{"alert", message.message}, {"badge", badge}, {"sound", "default"}};
    }
    const Json payload = {{"aps", aps}, {"orv", orv}};
    db.run(
        "INSERT INTO deliveries(seqno, token, app_id, device_id, cuid, payload, state, queued_at) "
        "VALUES(?,?,?,?,?,?, 'queued', ?)",
        {seqno, token, device["app_id"], device["device_id"], device["cuid"], payload.dump(), now});
  }
  deliveriesQueued += static_cast<long long>(devices.size());
  return static_cast<int>(devices.size());
}

int Gateway::releaseDue() {
  int released = 0;
  {
    std::lock_guard lock(state_.mutex);
    const auto now = state_.nowMs();
    const auto due = state_.db.query(
        "SELECT * FROM messages WHERE state='reserved' AND reserve_at<=? ORDER BY seqno", {now});
    if (due.empty()) return 0;
    state_.db.exec("BEGIN");
    for (const auto& row : due) {
      OutgoingMessage message;
      message.appId = row["app_id"].get<std::string>();
      message.targetKind = row["target_kind"].get<std::string>();
      message.target = row["target"].get<std::string>();
      message.message = row["message"].get<std::string>();
      message.ext = row["ext"].get<std::string>();
      message.sender = row["sender"].get<std::string>();
      if (row["badge"].is_number_integer()) message.badge = row["badge"].get<std::int64_t>();
      message.silent = row["silent"].get<int>() != 0;
      fanOut(row["seqno"].get<std::int64_t>(), row["message_key"].get<std::string>(), message, now);
      state_.db.run("UPDATE messages SET state='sent' WHERE seqno=?", {row["seqno"]});
      ++released;
    }
    state_.db.exec("COMMIT");
  }
  wake();
  return released;
}

void Gateway::wake() {
  {
    std::lock_guard lock(waitMutex_);
    ++generation_;
  }
  changed_.notify_all();
}

std::vector<StreamEvent> Gateway::take(const std::string& token, std::int64_t after) {
  std::lock_guard lock(state_.mutex);
  std::vector<StreamEvent> events;
  const auto rows = state_.db.query(
      "SELECT id, payload, state FROM deliveries WHERE token=? AND (state='queued' OR id>?) "
      "ORDER BY id LIMIT 256",
      {token, after});
  if (rows.empty()) return events;
  const auto now = state_.nowMs();
  for (const auto& row : rows) {
    events.push_back({row["id"].get<std::int64_t>(), row["payload"].get<std::string>()});
    if (row["state"] == "queued")
      state_.db.run("UPDATE deliveries SET state='sent', sent_at=? WHERE id=?", {now, row["id"]});
  }
  return events;
}

std::uint64_t Gateway::claimStream(const std::string& token) {
  std::uint64_t stream;
  {
    std::lock_guard lock(waitMutex_);
    stream = ++nextStream_;
    streamOwner_[token] = stream;
    ++generation_;
  }
  changed_.notify_all();
  return stream;
}

std::vector<StreamEvent> Gateway::next(const std::string& token, std::uint64_t stream,
                                       std::int64_t after, std::chrono::milliseconds wait,
                                       bool& superseded) {
  std::uint64_t seen;
  auto owned = [&] {
    const auto found = streamOwner_.find(token);
    return found != streamOwner_.end() && found->second == stream;
  };
  {
    std::lock_guard lock(waitMutex_);
    seen = generation_;
    superseded = !owned();
  }
  if (superseded || stopping_) return {};
  auto events = take(token, after);
  if (!events.empty()) return events;
  {
    std::unique_lock lock(waitMutex_);
    changed_.wait_for(lock, wait, [&] { return generation_ != seen || stopping_.load(); });
    superseded = !owned();
  }
  if (superseded || stopping_) return {};
  return take(token, after);
}

void Gateway::requeue(const std::vector<std::int64_t>& ids) {
  {
    std::lock_guard lock(state_.mutex);
    for (const auto id : ids)
      state_.db.run(
          "UPDATE deliveries SET state='queued', sent_at=NULL WHERE id=? AND state='sent'", {id});
  }
  wake();
}

void Gateway::stop() {
  stopping_ = true;
  wake();
}

}  // namespace orvo::emulator
