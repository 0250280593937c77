#include "Receiver.h"

#include <algorithm>
#include <optional>
#include <set>

#include "Limits.h"

namespace orvo::emulator {
namespace {

std::string joined(const Keys& keys) {
  std::string text;
  for (const auto& key : keys) text += (text.empty() ? "" : ", ") + key;
  return text;
}

// Calls whose CUID names a user; an acknowledgement may carry an empty one
// (the service extension's does) and is matched by its PSID.
bool namesUser(const std::string& endpoint) {
  return endpoint == "rcv_register_user.ctl" ||
         endpoint == "new_rcv_register_service_and_user.ctl" ||
         endpoint == "rcv_register_usergroup_user.ctl" ||
         endpoint == "rcv_delete_usergroup_user.ctl" || endpoint == "rcv_register_message.ctl";
}

std::string shown(const std::string& value) {
  constexpr std::size_t kShown = 80;
  return "\"" + (value.size() > kShown ? value.substr(0, kShown) + "..." : value) + "\"";
}

}  // namespace

Answer envelopeAnswer(const std::string& code, Json body) {
  Answer answer;
  answer.resultCode = code;
  answer.envelope = {{"HEADER", {{"RESULT_CODE", code}}}, {"BODY", std::move(body)}};
  answer.body = answer.envelope.dump();
  return answer;
}

bool Receiver::isEndpoint(const std::string& endpoint) {
  return std::find(receiverEndpoints().begin(), receiverEndpoints().end(), endpoint) !=
         receiverEndpoints().end();
}

const std::vector<std::string>& Receiver::endpoints() { return receiverEndpoints(); }

std::string Receiver::versionFor(const std::string& appId, bool* known) {
  if (!appId.empty()) {
    const auto rows = state_.db.query("SELECT receiver_version FROM apps WHERE app_id=?", {appId});
    if (known) *known = !rows.empty();
    if (!rows.empty() && rows[0]["receiver_version"].is_string())
      return rows[0]["receiver_version"].get<std::string>();
  }
  return options_.receiverVersion;
}

void Receiver::setVersion(const std::string& appId, const std::string& version) {
  state_.db.run(
      "INSERT INTO apps(app_id, receiver_version) VALUES(?,?) "
      "ON CONFLICT(app_id) DO UPDATE SET receiver_version=excluded.receiver_version",
      {appId, version});
}

namespace {

// One request on its way through the receiver; the state lock is held.
struct Call {
  Database& db;
  const std::string& endpoint;
  const Form& form;
  std::string appId;
  std::string version;
  std::vector<std::string> notes;

  std::string get(const std::string& key) const {
    const auto found = form.find(key);
    return found == form.end() ? std::string() : found->second;
  }
  bool has(const std::string& key) const { return form.count(key) != 0; }
  std::string deviceId() const { return has("DEVICE_ID") ? get("DEVICE_ID") : get("DVC_ID"); }
  void note(const std::string& text) { notes.push_back(endpoint + ": " + text); }

  Answer fail(const char* code, const std::string& text) {
    note(text);
    Answer answer = envelopeAnswer(code);
    answer.notes = std::move(notes);
    return answer;
  }
  Answer succeed(Json body = Json::object()) {
    Answer answer = envelopeAnswer(result::kSuccess, std::move(body));
    answer.notes = std::move(notes);
    return answer;
  }

  // The device a request speaks for: by device ID within the application, else by PSID.
  Json device() {
    const std::string id = deviceId();
    if (!id.empty() && !appId.empty()) {
      auto rows = db.query("SELECT * FROM devices WHERE app_id=? AND device_id=?", {appId, id});
      if (!rows.empty()) return rows[0];
    }
    const std::string psid = get("PSID");
    if (!psid.empty()) {
      auto rows = db.query(
          "SELECT * FROM devices WHERE psid=? AND (?='' OR app_id=?) "
          "ORDER BY registered DESC, registered_at DESC LIMIT 1",
          {psid, appId, appId});
      if (!rows.empty()) return rows[0];
    }
    return nullptr;
  }
  std::string deviceNotFound() const {
    if (!deviceId().empty())
      return "no device " + shown(deviceId()) + " of APP_ID " + shown(appId) + " is registered";
    return "no device with PSID " + shown(get("PSID")) + " is registered";
  }
};

}  // namespace

Answer Receiver::handle(const std::string& endpoint, const Form& form,
                        const std::vector<std::string>& duplicates) {
  std::unique_lock lock(state_.mutex);
  auto& db = state_.db;
  // A send reads no delivery and no badge but those of its own fan-out, which
  // sees what earlier sends kept in memory: their rows can wait.
  std::optional<Database::Deferred> deferred;
  if (endpoint == "rcv_register_message.ctl") deferred.emplace(db);
  Call call{db, endpoint, form, {}, {}, {}};
  const auto now = state_.nowMs();

  // Which application speaks decides the version its keys are checked against.
  for (const char* key : {"APP_ID", "CBSID", "CBS_ID"})
    if (call.appId.empty()) call.appId = call.get(key);
  if (call.appId.empty() && !call.get("PSID").empty()) {
    const auto rows =
        db.query("SELECT app_id FROM devices WHERE psid=? LIMIT 1", {call.get("PSID")});
    if (!rows.empty()) call.appId = rows[0]["app_id"].get<std::string>();
  }
  if (call.appId.empty() && !call.get("AUTHKEY").empty()) {
    const auto rows = db.query("SELECT app_id FROM auth_keys WHERE key=?", {call.get("AUTHKEY")});
    if (!rows.empty() && rows[0]["app_id"].is_string())
      call.appId = rows[0]["app_id"].get<std::string>();
  }
  bool knownApp = false;
  call.version = versionFor(call.appId, &knownApp);
  const std::string& r = call.version;

  for (const auto& [key, value] : form)
    if (!validUtf8(key) || !validUtf8(value))
      return call.fail(result::kBadRequest, "malformed " +
                                                (validUtf8(key) ? key : std::string("key")) +
                                                " (not UTF-8 once percent-decoded)");
  for (const auto& [key, value] : form) {
    if (key.size() > limits::kFieldName)
      return call.fail(result::kBadRequest, "malformed key (a field name longer than " +
                                                std::to_string(limits::kFieldName) + " bytes)");
    if (value.size() > limits::kText)
      return call.fail(result::kBadRequest, "malformed " + key + " (longer than " +
                                                std::to_string(limits::kText) + " bytes)");
  }
  for (const auto& key : duplicates)
    call.note("key " + key + " given more than once (the first counts)");

  if (endpoint == "rcv_register_message.ctl" && compareVersions("3.5", r) == 1)
    return call.fail(result::kNotAvailable,
                     "not available at receiver version " + r + " (3.5 or later)");

  // The closest key set: fewest missing keys, then fewest extra ones.
  const auto sets = keySets(endpoint, r);
  const Keys* chosen = nullptr;
  Keys missing, extra;
  for (const auto& set : sets) {
    Keys setMissing, setExtra;
    for (const auto& key : set)
      if (!call.has(key)) setMissing.push_back(key);
    for (const auto& [key, value] : form)
      if (std::find(set.begin(), set.end(), key) == set.end()) setExtra.push_back(key);
    if (!chosen || setMissing.size() < missing.size() ||
        (setMissing.size() == missing.size() && setExtra.size() < extra.size())) {
      chosen = &set;
      missing = std::move(setMissing);
      extra = std::move(setExtra);
    }
  }
  for (const auto& key : extra) call.note("unknown key " + key + " (accepted)");
  if (!missing.empty()) return call.fail(result::kBadRequest, "missing " + joined(missing));

  const bool needsAuth = chosen && versionAbove(r, "3.0") &&
                         std::find(chosen->begin(), chosen->end(), "AUTHKEY") != chosen->end();
  if (needsAuth) {
    const std::string key = call.get("AUTHKEY");
    const auto rows = db.query("SELECT * FROM auth_keys WHERE key=?", {key});
    if (key.empty()) return call.fail(result::kAuthRefused, "empty AUTHKEY");
    if (rows.empty()) return call.fail(result::kAuthRefused, "unknown AUTHKEY " + shown(key));
    if (rows[0]["expires_at"].get<std::int64_t>() <= now)
      return call.fail(result::kAuthRefused,
                       "expired AUTHKEY " + shown(key) + " (expired " +
                           isoDate(rows[0]["expires_at"].get<std::int64_t>()) + ")");
    const auto boundPsid = rows[0]["psid"].is_string() ? rows[0]["psid"].get<std::string>() : "";
    if (call.has("PSID") && boundPsid != call.get("PSID"))
      call.note("AUTHKEY was issued for PSID " + shown(boundPsid) + ", not " +
                shown(call.get("PSID")) + " (accepted)");
  }
  for (const auto& [key, value] : form)
    if (auto problem = malformation(key, value); !problem.empty())
      return call.fail(result::kBadRequest,
                       "malformed " + key + " " + shown(value) + " (" + problem + ")");
  if (namesUser(endpoint) && call.has("CUID") && call.get("CUID").empty())
    return call.fail(result::kBadRequest, "malformed CUID \"\" (a non-empty value expected)");

  if (!call.appId.empty() && !knownApp)
    db.run("INSERT OR IGNORE INTO apps(app_id, receiver_version) VALUES(?, NULL)", {call.appId});

  // --- the calls ---
  if (endpoint == "asking_authorization.ctl") {
    // One key per device registration (application and PSID; application
    // and client UID before the device has a PSID): asking again renews it
    // and binds it to the client UID presented. A call refused for an
    // expired key is resent with the same form, so renewing that very key is
    // what lets the resend through.
    const Json app = call.appId.empty() ? Json(nullptr) : Json(call.appId);
    const std::string psid = call.get("PSID");
    const auto existing =
        psid.empty() ? db.query(
                           "SELECT key FROM auth_keys WHERE app_id IS ? AND psid='' AND cuid=? "
                           "ORDER BY issued_at DESC LIMIT 1",
                           {app, call.get("CUID")})
                     : db.query(
                           "SELECT key FROM auth_keys WHERE app_id IS ? AND psid=? "
                           "ORDER BY issued_at DESC LIMIT 1",
                           {app, psid});
    const auto expires = now + options_.authTtl.count();
    if (!existing.empty()) {
      const std::string key = existing[0]["key"].get<std::string>();
      db.run("UPDATE auth_keys SET expires_at=?, cuid=? WHERE key=?",
             {expires, call.get("CUID"), key});
      return call.succeed({{"AUTHKEY", key}});
    }
    const std::string key = randomHex(16);
    db.run(
        "INSERT INTO auth_keys(key, app_id, cuid, psid, issued_at, expires_at) "
        "VALUES(?,?,?,?,?,?)",
        {key, app, call.get("CUID"), call.get("PSID"), now, expires});
    return call.succeed({{"AUTHKEY", key}});
  }

  auto registerDevice = [&]() {
    const std::string psid = call.get("PSID");
    if (psid.empty())
      call.note("empty PSID: the device is registered but cannot receive messages");
    else if (db.query("SELECT 1 FROM tokens WHERE token=?", {psid}).empty())
      call.note("PSID " + shown(psid) + " was not issued by this gateway (accepted)");
    auto text = [&](const char* a, const char* b) -> Json {
      if (call.has(a)) return call.get(a);
      if (b && call.has(b)) return call.get(b);
      return nullptr;
    };
    db.run(
        "INSERT INTO devices(app_id, device_id, psid, cuid, phone, mode, device_type, pnsid, "
        "model, os_version, app_version, registered, registered_at, last_seen) "
        "VALUES(?,?,?,?,?,?,?,?,?,?,?,1,?,?) ON CONFLICT(app_id, device_id) DO UPDATE SET "
        "psid=excluded.psid, cuid=excluded.cuid, phone=COALESCE(excluded.phone, phone), "
        "mode=COALESCE(excluded.mode, mode), device_type=COALESCE(excluded.device_type, "
        "device_type), pnsid=COALESCE(excluded.pnsid, pnsid), model=COALESCE(excluded.model, "
        "model), os_version=COALESCE(excluded.os_version, os_version), "
        "app_version=COALESCE(excluded.app_version, app_version), registered=1, "
        "registered_at=excluded.registered_at, last_seen=excluded.last_seen",
        {call.appId, call.deviceId(), psid, call.get("CUID"), text("PHONENUM", nullptr),
         text("APNS_MODE", nullptr), text("DEVICE_TYPE", "DVC_TYP"), text("PNSID", "PNS_ID"),
         text("DEVICE_MD", nullptr), text("OS_VER", nullptr), text("APP_VER", nullptr), now, now});
  };
  auto registerUser = [&](const std::string& cuid, const std::string& name,
                          const std::string& phone) {
    db.run(
        "INSERT INTO users(app_id, cuid, name, phone, created_at) VALUES(?,?,?,?,?) "
        "ON CONFLICT(app_id, cuid) DO UPDATE SET name=excluded.name, phone=excluded.phone",
        {call.appId, cuid, name, phone, now});
  };

  if (endpoint == "rcv_register_service.ctl") {
    if (call.deviceId().empty()) return call.fail(result::kBadRequest, "empty DEVICE_ID");
    registerDevice();
    return call.succeed();
  }
  if (endpoint == "new_rcv_register_service_and_user.ctl") {
    if (call.deviceId().empty()) return call.fail(result::kBadRequest, "empty DEVICE_ID");
    registerDevice();
    registerUser(call.get("CUID"), call.get("CNAME"), call.get("PHONENUM"));
    db.run("UPDATE devices SET cname=? WHERE app_id=? AND device_id=?",
           {call.get("CNAME"), call.appId, call.deviceId()});
    return call.succeed({{"PSID", call.get("PSID")}, {"CUID", call.get("CUID")}});
  }

  if (endpoint == "rcv_register_user.ctl") {
    const std::string name = call.has("CNAME") ? call.get("CNAME") : call.get("USER_NM");
    const std::string phone = call.has("PHONENUM") ? call.get("PHONENUM") : call.get("USER_HP");
    const Json device = call.device();
    if (call.appId.empty() && device.is_object()) call.appId = device["app_id"].get<std::string>();
    registerUser(call.get("CUID"), name, phone);
    if (device.is_object())
      db.run("UPDATE devices SET cuid=?, cname=?, last_seen=? WHERE app_id=? AND device_id=?",
             {call.get("CUID"), name, now, device["app_id"], device["device_id"]});
    else if (call.has("PSID") || call.has("DEVICE_ID"))
      call.note(call.deviceNotFound() + ": the user is stored without a device");
    return call.succeed();
  }

  if (endpoint == "rcv_register_usergroup_user.ctl" ||
      endpoint == "rcv_delete_usergroup_user.ctl") {
    const std::string group = call.get("GROUPSEQ");
    const std::string cuid = call.get("CUID");
    if (group.empty()) return call.fail(result::kBadRequest, "empty GROUPSEQ");
    if (cuid == "GUEST") return call.fail(result::kBadRequest, "the guest cannot be in a group");
    const Json device = call.device();
    if (!device.is_object()) return call.fail(result::kNotFound, call.deviceNotFound());
    const Json app = device["app_id"];
    if (endpoint == "rcv_register_usergroup_user.ctl") {
      db.run(
          "INSERT OR IGNORE INTO group_members(app_id, group_seq, cuid, joined_at) "
          "VALUES(?,?,?,?)",
          {app, group, cuid, now});
    } else if (db.run("DELETE FROM group_members WHERE app_id=? AND group_seq=? AND cuid=?",
                      {app, group, cuid}) == 0) {
      call.note("CUID " + shown(cuid) + " was not in group " + shown(group));
    }
    return call.succeed();
  }

  if (endpoint == "rcv_init_badgeNo.ctl") {
    const Json device = call.device();
    if (!device.is_object()) return call.fail(result::kNotFound, call.deviceNotFound());
    std::int64_t badge = 0;
    parseInteger(call.get("BADGENO"), badge);
    if (badge < 0) return call.fail(result::kBadRequest, "negative BADGENO");
    db.run("UPDATE devices SET badge=?, last_seen=? WHERE app_id=? AND device_id=?",
           {std::min<std::int64_t>(badge, 1000), now, device["app_id"], device["device_id"]});
    return call.succeed();
  }

  if (endpoint == "rcv_register_message.ctl") {
    OutgoingMessage message;
    message.appId = call.appId;
    message.targetKind = call.get("TARGET");
    message.target = message.targetKind == "PSID" ? call.get("PSID") : call.get("CUID");
    message.message = call.get("MESSAGE");
    message.ext = call.get("EXT");
    message.sender = call.get("SENDERCODE");
    message.senderPsid = call.get("PSID");
    // The CUID names the recipient; the sender is the user of the sending device.
    if (!message.senderPsid.empty()) {
      const auto rows = db.query(
          "SELECT cuid FROM devices WHERE psid=? AND app_id=? ORDER BY registered DESC LIMIT 1",
          {message.senderPsid, call.appId});
      if (!rows.empty() && rows[0]["cuid"].is_string())
        message.senderCuid = rows[0]["cuid"].get<std::string>();
    }
    message.serviceCode = call.get("SERVICECODE");
    if (call.has("BADGENO")) {
      std::int64_t badge = 0;
      parseInteger(call.get("BADGENO"), badge);
      message.badge = badge;
    }
    if (!call.get("RESERVEDATE").empty()) {
      std::int64_t at = 0;
      parseDate(call.get("RESERVEDATE"), at);
      message.reserveAt = at;
    }
    const auto outcome = gateway_.send(message);
    if (!outcome.reserved && outcome.targets == 0)
      call.note("no registered device of " + message.targetKind + " " + shown(message.target) +
                ": nothing delivered");
    deferred.reset();
    lock.unlock();
    gateway_.wake();
    Answer answer = call.succeed({{"SEQNO", std::to_string(outcome.seqno)},
                                  {"MESSAGEUNIQUEKEY", outcome.messageKey},
                                  {"TARGETS", outcome.targets},
                                  {"RESERVED", outcome.reserved ? "Y" : "N"}});
    if (!message.senderPsid.empty())
      answer.caller = {{"cuid", message.senderCuid}, {"psid", message.senderPsid}};
    return answer;
  }

  // The remaining calls speak for a registered device.
  const Json device = call.device();
  if (!device.is_object() && endpoint == "rcv_get_service.ctl") {
    // Asking about a device is how a client learns it must register.
    call.note(call.deviceNotFound() + ": answered not registered");
    return call.succeed({{"ISREGISTERED", "N"}});
  }
  if (!device.is_object()) return call.fail(result::kNotFound, call.deviceNotFound());
  const Json app = device["app_id"], deviceId = device["device_id"];
  db.run("UPDATE devices SET last_seen=? WHERE app_id=? AND device_id=?", {now, app, deviceId});

  if (endpoint == "rcv_get_service.ctl") {
    std::string registered = "Y";
    const std::string cuid = device["cuid"].is_string() ? device["cuid"].get<std::string>() : "";
    if (device["registered"].get<int>() == 0) {
      registered = "N";
    } else if (!cuid.empty() && cuid != call.get("CUID")) {
      registered = "C";
      call.note("the device is registered for CUID " + shown(cuid));
    }
    return call.succeed({{"ISREGISTERED", registered}});
  }
  if (endpoint == "rcv_appAlive.ctl") {
    db.run("INSERT OR IGNORE INTO alive(app_id, device_id, day) VALUES(?,?,?)",
           {app, deviceId, compactDate(now).substr(0, 8)});
    return call.succeed();
  }
  if (endpoint == "rcv_delete_service.ctl") {
    db.run("UPDATE devices SET registered=0 WHERE app_id=? AND device_id=?", {app, deviceId});
    return call.succeed();
  }
  if (endpoint == "rcv_delete_user.ctl") {
    db.run("UPDATE devices SET cuid=?, cname=? WHERE app_id=? AND device_id=?",
           {call.get("CUID"), call.get("CNAME"), app, deviceId});
    return call.succeed();
  }

  // Acknowledgement and read: the delivery of one message to this device.
  const std::string token = device["psid"].get<std::string>();
  std::vector<Json> rows;
  if (!call.get("SEQNO").empty()) {
    rows = db.query("SELECT * FROM deliveries WHERE seqno=? AND token=?",
                    {std::stoll(call.get("SEQNO")), token});
  } else if (!call.get("MESSAGEUNIQUEKEY").empty()) {
    rows = db.query(
        "SELECT d.* FROM deliveries d JOIN messages m ON m.seqno=d.seqno "
        "WHERE m.message_key=? AND d.token=?",
        {call.get("MESSAGEUNIQUEKEY"), token});
  }
  if (rows.empty())
    return call.fail(result::kNotFound, "no message SEQNO " + shown(call.get("SEQNO")) +
                                            " was delivered to PSID " + shown(token));
  const Json delivery = rows[0];
  const std::string was = delivery["state"].get<std::string>();
  auto& counts = state_.acknowledgements[delivery["id"].get<std::int64_t>()];
  if (endpoint == "rcv_register_sent_ack.ctl") {
    ++counts.first;
    if (was == "queued" || was == "sent")
      db.run("UPDATE deliveries SET state='delivered', delivered_at=? WHERE id=?",
             {now, delivery["id"]});
    else
      call.note("message SEQNO " + call.get("SEQNO") + " was already " + was);
    return call.succeed();
  }
  // Read.
  ++counts.second;
  if (was != "read")
    db.run(
        "UPDATE deliveries SET state='read', read_at=?, delivered_at=COALESCE(delivered_at, ?) "
        "WHERE id=?",
        {now, now, delivery["id"]});
  else
    call.note("message SEQNO " + call.get("SEQNO") + " was already read");
  std::int64_t badge = -1;
  if (call.has("BADGENO")) parseInteger(call.get("BADGENO"), badge);
  if (badge >= 0) {
    db.run("UPDATE devices SET badge=? WHERE app_id=? AND device_id=?",
           {std::min<std::int64_t>(badge, 1000), app, deviceId});
  } else if (was != "read") {
    // Left to the server: one unread message fewer.
    db.run("UPDATE devices SET badge=MAX(badge-1, 0) WHERE app_id=? AND device_id=?",
           {app, deviceId});
  }
  return call.succeed();
}

}  // namespace orvo::emulator
