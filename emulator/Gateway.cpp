#include "Gateway.h"

#include "Faults.h"

#include <deque>
#include <random>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

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

namespace {

// The payloads of one message differ only in the device's token and badge: the
// JSON is written once, with "" and 0 in their places, and each device's
// values are put in. Quotes inside written strings are escaped, so the key
// patterns match only the keys.
class PayloadText {
 public:
  explicit PayloadText(const Json& payload) : text_(payload.dump()) {
    static constexpr std::string_view psid = R"("psid":)", badge = R"("badge":)";
    psidAt_ = text_.find(std::string(psid) + R"("")") + psid.size();
    const auto badgeKey = text_.find(std::string(badge) + "0");
    badgeAt_ = badgeKey == std::string::npos ? std::string::npos : badgeKey + badge.size();
  }

  std::string with(const std::string& token, std::int64_t badge) const {
    const std::string tokenText = Json(token).dump();
    const std::string badgeText = std::to_string(badge);
    struct Hole {
      std::size_t at, size;
      const std::string* value;
    };
    Hole holes[2] = {{psidAt_, 2, &tokenText}, {badgeAt_, 1, &badgeText}};
    const int count = badgeAt_ == std::string::npos ? 1 : 2;
    if (count == 2 && holes[1].at < holes[0].at) std::swap(holes[0], holes[1]);
    std::string text;
    text.reserve(text_.size() + tokenText.size() + badgeText.size());
    std::size_t from = 0;
    for (int i = 0; i < count; ++i) {
      text.append(text_, from, holes[i].at - from).append(*holes[i].value);
      from = holes[i].at + holes[i].size;
    }
    return text.append(text_, from);
  }

 private:
  std::string text_;
  std::size_t psidAt_, badgeAt_;
};

}  // namespace

struct Gateway::Unflushed {
  struct Device {
    std::int64_t row;
    std::string token;
    Json appId, deviceId, cuid;
  };
  using Devices = std::vector<Device>;
  // One fan-out: the deliveries numbered from `firstId`, one per device.
  struct Message {
    std::int64_t seqno, queuedAt, firstId;
    PayloadText payload;
    std::shared_ptr<const Devices> devices;
    std::vector<std::int64_t> badges;  // by device; none for a silent message
    std::vector<std::int64_t> sentAt;  // by device; 0 while still queued
  };
  std::deque<Message> messages;  // not moved as it grows, under the state lock
  std::unordered_map<std::int64_t, std::int64_t> badges;  // by the device's rowid
  std::int64_t nextId = 0;                                // of a delivery, once one is kept
  long long queued = 0;                                   // deliveries kept that no stream took yet

  // A connected device's deliveries still kept, for its stream to take
  // without a query. Only once the stream has read the table: until then,
  // or after its deliveries were written out queued, it reads the table.
  struct Inbox {
    bool fromTable = true;
    std::vector<std::pair<Message*, std::size_t>> kept;
  };
  std::unordered_map<std::string, Inbox> inboxes;

  // The devices a target resolved to, with their stored badges, while no
  // statement that could change them ran.
  struct Target {
    std::shared_ptr<const Devices> devices;
    std::vector<std::int64_t> storedBadges;
    std::shared_ptr<const std::vector<std::string>> tokens;  // for the streams to wake
  };
  std::map<std::tuple<std::string, std::string, std::string>, Target> targets;
  std::uint64_t targetsEpoch = 0;
};

Gateway::Gateway(State& state) : state_(state), unflushed_(std::make_unique<Unflushed>()) {
  state_.db.settleWith([this] { flush(); });
}

Gateway::~Gateway() = default;

bool Gateway::flush() {
  auto& kept = *unflushed_;
  auto& db = state_.db;
  if (kept.messages.empty() && kept.badges.empty()) return true;
  if (db.inTransaction()) return false;
  // The stored badges are about to change.
  kept.targets.clear();
  bool written = db.exec("BEGIN");
  for (const auto& message : kept.messages) {
    const auto& devices = *message.devices;
    for (std::size_t i = 0; written && i < devices.size(); ++i) {
      const auto& device = devices[i];
      const std::int64_t badge = message.badges.empty() ? 0 : message.badges[i];
      const std::int64_t sentAt = message.sentAt[i];
      written = db.run(
                    "INSERT INTO deliveries(id, seqno, token, app_id, device_id, cuid, payload, "
                    "state, queued_at, sent_at) VALUES(?,?,?,?,?,?,?,?,?,?)",
                    {message.firstId + static_cast<std::int64_t>(i), message.seqno, device.token,
                     device.appId, device.deviceId, device.cuid,
                     message.payload.with(device.token, badge), sentAt ? "sent" : "queued",
                     message.queuedAt, sentAt ? Json(sentAt) : Json(nullptr)}) == 1;
    }
  }
  for (const auto& [row, badge] : kept.badges)
    written = written && db.run("UPDATE devices SET badge=? WHERE rowid=?", {badge, row}) >= 0;
  // A connected device takes its payloads as they come; one that is not
  // would keep every send made to it.
  std::unordered_set<std::string> idle;
  {
    std::lock_guard lock(waitMutex_);
    for (const auto& message : kept.messages)
      for (const auto& device : *message.devices)
        if (!streamOwner_.count(device.token)) idle.insert(device.token);
  }
  const auto dropsBefore = drops_.size();
  for (const auto& token : idle) written = written && capQueue(token);
  if (written && db.exec("COMMIT")) {
    for (auto drop = drops_.begin() + static_cast<long>(dropsBefore); drop != drops_.end(); ++drop)
      queueDropped += drop->count;
    // What the streams did not take is in the table now, and only there.
    for (auto& [token, inbox] : kept.inboxes)
      if (!inbox.kept.empty()) {
        inbox.kept.clear();
        inbox.fromTable = true;
      }
    kept.messages.clear();
    kept.badges.clear();
    kept.queued = 0;
    return true;
  }
  db.exec("ROLLBACK");
  drops_.resize(dropsBefore);
  return false;
}

bool Gateway::capQueue(const std::string& token) {
  auto& db = state_.db;
  const auto over = db.query(
      "SELECT id, app_id, device_id FROM deliveries WHERE token=? AND state='queued' "
      "ORDER BY id DESC LIMIT -1 OFFSET ?",
      {token, static_cast<std::int64_t>(queueCap_)});
  if (over.empty()) return true;
  std::map<std::pair<std::string, std::string>, long long> byDevice;
  for (const auto& row : over) {
    if (db.run("DELETE FROM deliveries WHERE id=?", {row["id"]}) != 1) return false;
    ++byDevice[{row["app_id"].is_string() ? row["app_id"].get<std::string>() : "",
                row["device_id"].is_string() ? row["device_id"].get<std::string>() : ""}];
  }
  for (const auto& [device, count] : byDevice) {
    if (db.run("UPDATE devices SET dropped=dropped+? WHERE app_id=? AND device_id=?",
               {count, device.first, device.second}) < 0)
      return false;
    drops_.push_back({token, device.first, device.second, count});
  }
  return true;
}

long long Gateway::queuedInMemory() const { return unflushed_->queued; }

std::vector<QueueDrop> Gateway::takeDrops() {
  std::vector<QueueDrop> drops;
  drops.swap(drops_);
  return drops;
}

long long Gateway::prune(std::int64_t before) {
  std::lock_guard lock(state_.mutex);
  auto& db = state_.db;
  // In slices, so that requests wait for no long delete.
  const auto deliveries = db.run(
      "DELETE FROM deliveries WHERE id IN (SELECT id FROM deliveries WHERE state<>'queued' AND "
      "queued_at<? LIMIT 5000)",
      {before});
  const auto messages = db.run(
      "DELETE FROM messages WHERE seqno IN (SELECT seqno FROM messages m WHERE m.state='sent' AND "
      "m.created_at<? AND NOT EXISTS (SELECT 1 FROM deliveries d WHERE d.seqno=m.seqno) "
      "LIMIT 5000)",
      {before});
  const long long removed = std::max(0LL, deliveries) + std::max(0LL, messages);
  pruned += removed;
  return removed;
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
  const auto accepted = std::chrono::steady_clock::now();
  auto& db = state_.db;
  const auto now = state_.nowMs();
  SendOutcome outcome;
  outcome.messageKey = randomHex(16);
  outcome.reserved = message.reserveAt && *message.reserveAt > now;
  db.run(
      "INSERT INTO messages(message_key, app_id, sender, sender_psid, sender_cuid, target_kind, "
      "target, message, ext, badge, silent, service_code, reserve_at, created_at, state) "
      "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
      {outcome.messageKey, message.appId, message.sender, message.senderPsid,
       message.senderCuid.empty() ? Json(nullptr) : Json(message.senderCuid), message.targetKind,
       message.target, message.message, message.ext,
       message.badge ? Json(*message.badge) : Json(nullptr), message.silent ? 1 : 0,
       message.serviceCode, message.reserveAt ? Json(*message.reserveAt) : Json(nullptr), now,
       outcome.reserved ? "reserved" : "sent"});
  outcome.seqno = db.lastInsertId();
  if (!outcome.reserved)
    outcome.targets = fanOut(outcome.seqno, outcome.messageKey, message, now, accepted);
  return outcome;
}

int Gateway::fanOut(std::int64_t seqno, const std::string& messageKey,
                    const OutgoingMessage& message, std::int64_t now,
                    std::chrono::steady_clock::time_point accepted) {
  auto& db = state_.db;
  auto& kept = *unflushed_;
  if (kept.targetsEpoch != db.epoch()) kept.targets.clear();
  auto key = std::make_tuple(message.targetKind, message.appId, message.target);
  auto target = kept.targets.find(key);
  if (target == kept.targets.end()) {
    auto devices = std::make_shared<Unflushed::Devices>();
    std::vector<std::int64_t> stored;
    auto add = [&](const Database::Row& row) {
      devices->push_back({row.integer(0), row.text(3), row.value(1), row.value(2), row.value(4)});
      stored.push_back(row.integer(5));
    };
    const char* columns =
        "SELECT d.rowid, d.app_id, d.device_id, d.psid, d.cuid, d.badge FROM devices d ";
    if (message.targetKind == "CUID") {
      db.each(
          std::string(columns) + "WHERE d.app_id=? AND d.cuid=? AND d.registered=1 AND d.psid<>''",
          {message.appId, message.target}, add);
    } else if (message.targetKind == "PSID") {
      db.each(std::string(columns) + "WHERE d.psid=? AND (?='' OR d.app_id=?) AND d.registered=1",
              {message.target, message.appId, message.appId}, add);
    } else if (message.targetKind == "GROUP") {
      db.each(std::string(columns) +
                  "JOIN group_members g ON g.app_id=d.app_id AND g.cuid=d.cuid "
                  "WHERE d.app_id=? AND g.group_seq=? AND d.registered=1 AND d.psid<>''",
              {message.appId, message.target}, add);
    } else {
      db.each(std::string(columns) + "WHERE (?='' OR d.app_id=?) AND d.registered=1 AND d.psid<>''",
              {message.appId, message.appId}, add);
    }
    auto tokens = std::make_shared<std::vector<std::string>>();
    tokens->reserve(devices->size());
    for (const auto& device : *devices) tokens->push_back(device.token);
    // Many targets between two other statements: an emulator, not a cache server.
    if (kept.targets.size() >= 256) kept.targets.clear();
    kept.targetsEpoch = db.epoch();
    target = kept.targets
                 .emplace(std::move(key), Unflushed::Target{std::move(devices), std::move(stored),
                                                            std::move(tokens)})
                 .first;
  }
  const auto& devices = target->second.devices;
  if (devices->empty()) return 0;
  {
    std::lock_guard lock(waitMutex_);
    reached_.push_back(target->second.tokens);
  }
  Json orv = {{"psid", ""},
              {"messageuniquekey", messageKey},
              {"seqno", std::to_string(seqno)},
              {"senddate", compactDate(now)},
              {"db_in", "Y"},
              {"sender", message.sender},
              {"ext", message.ext}};
  Json aps = Json::object();
  if (message.silent) {
    aps["content-available"] = 1;
    orv["batch"] = 1;
  } else {
    aps = {{"alert", message.message}, {"badge", 0}, {"sound", "default"}};
  }
  if (kept.messages.empty()) {
    // AUTOINCREMENT's next number, which the rows then take explicitly.
    const auto rows = db.query(
        "SELECT MAX(COALESCE((SELECT seq FROM sqlite_sequence WHERE name='deliveries'), 0), "
        "COALESCE((SELECT MAX(id) FROM deliveries), 0)) + 1 AS next");
    kept.nextId = rows.empty() ? 1 : rows[0]["next"].get<std::int64_t>();
  }
  auto& queued = kept.messages.emplace_back(Unflushed::Message{
      seqno, now, kept.nextId, PayloadText(Json{{"aps", aps}, {"orv", orv}}), devices, {}, {}});
  const auto count = devices->size();
  queued.sentAt.assign(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const auto inbox = kept.inboxes.find((*devices)[i].token);
    if (inbox != kept.inboxes.end() && !inbox->second.fromTable)
      inbox->second.kept.emplace_back(&queued, i);
  }
  kept.queued += static_cast<long long>(count);
  fanOutEnd_ = 0;  // no write counts until the range is whole
  fanOutFirst_ = kept.nextId;
  fanOutTargets_ = static_cast<long long>(count);
  fanOutWritten_ = 0;
  fanOutAt_ = accepted.time_since_epoch().count();
  fanOutLast_ = fanOutAt_.load();
  kept.nextId += static_cast<std::int64_t>(count);
  fanOutEnd_ = kept.nextId;
  if (!message.silent) {
    queued.badges.reserve(count);
    const auto& stored = target->second.storedBadges;
    for (std::size_t i = 0; i < count; ++i) {
      const auto raised = kept.badges.try_emplace((*devices)[i].row, stored[i]).first;
      raised->second = message.badge ? *message.badge : raised->second + 1;
      queued.badges.push_back(raised->second);
    }
  }
  deliveriesQueued += static_cast<long long>(count);
  return static_cast<int>(count);
}

int Gateway::releaseDue() {
  int released = 0;
  {
    std::lock_guard lock(state_.mutex);
    // Looking for due messages every 20 ms must not write out what sends
    // keep in memory each time.
    const Database::Deferred deferred(state_.db);
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
      fanOut(row["seqno"].get<std::int64_t>(), row["message_key"].get<std::string>(), message, now,
             std::chrono::steady_clock::now());
      state_.db.run("UPDATE messages SET state='sent' WHERE seqno=?", {row["seqno"]});
      ++released;
    }
    state_.db.exec("COMMIT");
  }
  wake();
  return released;
}

void Gateway::wakeAll() {
  {
    std::lock_guard lock(state_.mutex);
    for (auto& [token, inbox] : unflushed_->inboxes) inbox.fromTable = true;
  }
  if (waker_) waker_({}, true);
}

void Gateway::wake() {
  std::vector<std::shared_ptr<const std::vector<std::string>>> reached;
  {
    std::lock_guard lock(waitMutex_);
    reached.swap(reached_);
  }
  if (!waker_) return;
  for (const auto& tokens : reached) waker_(*tokens, false);
}

void Gateway::echo(const std::string& token, std::vector<StreamEvent>& events,
                   std::chrono::steady_clock::time_point now) {
  if (!faults_) return;
  const auto rule = faults_->matchDelivery(token);
  if (!rule) return;
  if (rule->ms == 0) {
    events.push_back(events.back());
  } else {
    echoes_[token].emplace_back(now + std::chrono::milliseconds(rule->ms), events.back());
  }
}

std::vector<StreamEvent> Gateway::take(const std::string& token, std::int64_t after) {
  std::lock_guard lock(state_.mutex);
  std::vector<StreamEvent> events;
  // The copies the duplicate effect held back, once due.
  const auto steady = std::chrono::steady_clock::now();
  if (auto held = echoes_.find(token); held != echoes_.end()) {
    auto& list = held->second;
    for (auto it = list.begin(); it != list.end();) {
      if (it->first > steady) {
        ++it;
        continue;
      }
      events.push_back(std::move(it->second));
      it = list.erase(it);
    }
    if (list.empty()) echoes_.erase(held);
  }
  const auto now = state_.nowMs();
  auto& kept = *unflushed_;
  auto inbox = kept.inboxes.find(token);
  if (inbox != kept.inboxes.end() && !inbox->second.fromTable) {
    // A fan-out to thousands of connected devices costs each of them no
    // statement: the rows are written once, already sent.
    for (const auto& [message, index] : inbox->second.kept) {
      const std::int64_t badge = message->badges.empty() ? 0 : message->badges[index];
      events.push_back({message->firstId + static_cast<std::int64_t>(index),
                        message->payload.with(token, badge)});
      message->sentAt[index] = now;
      --kept.queued;
      echo(token, events, steady);
    }
    inbox->second.kept.clear();
    return events;
  }
  constexpr std::size_t kBatch = 256;
  std::int64_t lastQueued = 0;
  std::size_t rows = 0;
  state_.db.each(
      // Two index ranges, not a walk through all the device has ever been sent.
      "SELECT id, payload, state FROM deliveries WHERE token=?1 AND state='queued' UNION ALL "
      "SELECT id, payload, state FROM deliveries WHERE token=?1 AND id>?2 AND state<>'queued' "
      "ORDER BY id LIMIT 256",
      {token, after}, [&](const Database::Row& row) {
        ++rows;
        events.push_back({row.integer(0), row.text(1)});
        if (row.text(2) != "queued") return;
        lastQueued = row.integer(0);
        echo(token, events, steady);
      });
  // The queued rows read are every queued one up to the last: one statement
  // marks them all.
  if (lastQueued != 0)
    state_.db.run(
        "UPDATE deliveries SET state='sent', sent_at=?1 WHERE token=?2 AND state='queued' AND "
        "id<=?3",
        {now, token, lastQueued});
  // Once the query wrote out what was kept, the table holds all there is.
  inbox = kept.inboxes.find(token);
  if (inbox != kept.inboxes.end() && rows < kBatch && kept.messages.empty())
    inbox->second.fromTable = false;
  return events;
}

std::uint64_t Gateway::claimStream(const std::string& token) {
  std::uint64_t stream;
  {
    // The new stream reads the table first: it may replay what came before.
    std::lock_guard lock(state_.mutex);
    unflushed_->inboxes[token] = {};
  }
  {
    std::lock_guard lock(waitMutex_);
    stream = ++nextStream_;
    streamOwner_[token] = stream;
  }
  // The older stream of this device learns it is superseded.
  if (waker_) waker_({token}, false);
  return stream;
}

std::vector<StreamEvent> Gateway::poll(const std::string& token, std::uint64_t stream,
                                       std::int64_t after, bool& superseded) {
  std::vector<StreamEvent> signals;
  {
    std::lock_guard lock(waitMutex_);
    const auto found = streamOwner_.find(token);
    superseded = found == streamOwner_.end() || found->second != stream;
    if (auto queued = signals_.find(token); !superseded && queued != signals_.end()) {
      signals = std::move(queued->second);
      signals_.erase(queued);
    }
  }
  if (superseded || stopping_) return {};
  auto events = take(token, after);
  if (signals.empty()) return events;
  signals.insert(signals.end(), std::make_move_iterator(events.begin()),
                 std::make_move_iterator(events.end()));
  return signals;
}

bool Gateway::signal(const std::string& token, std::string type, std::string data) {
  {
    std::lock_guard lock(waitMutex_);
    if (!streamOwner_.count(token)) return false;
    signals_[token].push_back({0, std::move(data), std::move(type)});
  }
  if (waker_) waker_({token}, false);
  return true;
}

std::vector<std::string> Gateway::dueEchoes() {
  std::vector<std::string> due;
  std::lock_guard lock(state_.mutex);
  if (echoes_.empty()) return due;
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [token, held] : echoes_)
    for (const auto& [when, event] : held)
      if (when <= now) {
        due.push_back(token);
        break;
      }
  return due;
}

void Gateway::endStream(const std::string& token, std::uint64_t stream) {
  std::lock_guard stateLock(state_.mutex);
  std::lock_guard lock(waitMutex_);
  const auto found = streamOwner_.find(token);
  if (found == streamOwner_.end() || found->second != stream) return;
  streamOwner_.erase(found);
  signals_.erase(token);
  // What its inbox held stays kept, and is written out queued.
  unflushed_->inboxes.erase(token);
}

void Gateway::requeue(const std::string& token, const std::vector<std::int64_t>& ids) {
  {
    std::lock_guard lock(state_.mutex);
    for (const auto id : ids)
      state_.db.run(
          "UPDATE deliveries SET state='queued', sent_at=NULL WHERE id=? AND state='sent'", {id});
    if (auto inbox = unflushed_->inboxes.find(token); inbox != unflushed_->inboxes.end())
      inbox->second.fromTable = true;
  }
  if (waker_) waker_({token}, false);
}

void Gateway::written(std::int64_t id) {
  ++eventsStreamed;
  if (id < fanOutFirst_.load() || id >= fanOutEnd_.load()) return;
  ++fanOutWritten_;
  fanOutLast_ = std::chrono::steady_clock::now().time_since_epoch().count();
}

Gateway::LastFanOut Gateway::lastFanOut() const {
  using Clock = std::chrono::steady_clock;
  const auto span = Clock::duration(fanOutLast_.load() - fanOutAt_.load());
  return {fanOutTargets_.load(), fanOutWritten_.load(),
          std::chrono::duration<double>(span).count()};
}

void Gateway::stop() {
  stopping_ = true;
  wakeAll();
}

}  // namespace orvo::emulator
