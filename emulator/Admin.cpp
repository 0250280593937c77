// The admin API: what a test, orvo-sim or the console reads and changes.
// Every body is checked against its shape before anything changes; a
// refusal names the field.
#include <algorithm>
#include <climits>

#include "Input.h"
#include "Limits.h"
#include "ServiceImpl.h"

namespace orvo::emulator {
namespace {

constexpr std::int64_t kLargestBadge = INT32_MAX;

// Refuses a parameter the route does not know; the admin token is no criterion.
std::optional<HttpResponse> unknownParam(const HttpRequest& request,
                                         std::initializer_list<const char*> known) {
  for (const auto& field : request.query) {
    const std::string& key = field.first;
    if (key == "admin_token" ||
        std::any_of(known.begin(), known.end(), [&](const char* name) { return key == name; }))
      continue;
    std::string list;
    for (const char* name : known) list += (list.empty() ? "" : ", ") + std::string(name);
    return errorResponse(400, "unknown parameter " + quoted(Json(key)) + " of " + request.path +
                                  (list.empty() ? " (it takes none)" : " (known: " + list + ")"));
  }
  return std::nullopt;
}

// Text the state holds as JSON: the value, or the text itself when an
// imported row holds something else, so the answer stays JSON.
Json storedJson(const Json& column) {
  if (!column.is_string()) return column;
  std::string error;
  auto value = parseJson(column.get_ref<const std::string&>(), error);
  return value ? std::move(*value) : column;
}

}  // namespace

HttpResponse Service::Impl::admin(const HttpRequest& request) {
  const std::string path = request.path.substr(std::string("/__admin/").size());
  const std::string& method = request.method;
  const bool reads = method == "GET" || method == "HEAD";
  Json body = Json::object();
  if (method == "POST") {
    std::string error;
    auto parsed =
        request.body.empty() ? std::optional<Json>(Json::object()) : parseJson(request.body, error);
    if (!parsed) return errorResponse(400, error);
    body = std::move(*parsed);
  }
  auto takes = [&](const char* methods) {
    HttpResponse response = errorResponse(405, request.path + " takes " + methods);
    response.headers.emplace_back("Allow", methods);
    return response;
  };
  auto list = [&](const char* name, const std::string& sql) {
    if (auto refused = unknownParam(request, {})) return *refused;
    std::unique_lock lock(state.mutex);
    auto rows = state.db.query(sql);
    lock.unlock();
    return jsonResponse({{name, rows}});
  };

  if (path == "requests" || path == "requests/stream" || path == "requests/count")
    return requests(request, body);
  if (path == "devices") return reads ? devices() : takes("GET");
  if (path == "devices/state") return method == "POST" ? devicesState(body) : takes("POST");
  if (path == "devices/doctor")
    return reads || method == "POST" ? devicesDoctor(request, body) : takes("GET, POST");
  if (path == "devices/doctor/request") return method == "POST" ? askDoctor(body) : takes("POST");
  if (path == "tokens")
    return reads ? list("tokens", "SELECT * FROM tokens ORDER BY created_at") : takes("GET");
  if (path == "users")
    return reads ? list("users", "SELECT * FROM users ORDER BY created_at") : takes("GET");
  if (path == "groups") return reads ? groups() : takes("GET");
  if (path == "messages") return reads ? messages(request) : takes("GET");
  if (path == "reports" || path == "logs") {
    if (!reads) return takes("GET");
    if (auto refused = unknownParam(request, {})) return *refused;
    const bool reports = path == "reports";
    std::unique_lock lock(state.mutex);
    auto rows = state.db.query(reports ? "SELECT * FROM reports ORDER BY id"
                                       : "SELECT * FROM logs ORDER BY id");
    lock.unlock();
    for (auto& row : rows)
      row[reports ? "body" : "record"] = storedJson(row[reports ? "body" : "record"]);
    return jsonResponse({{path, rows}});
  }
  if (path == "apps") return reads || method == "POST" ? apps(request, body) : takes("GET, POST");
  if (path == "settings") return method == "POST" ? settings(body) : takes("POST");
  if (path == "send") return method == "POST" ? send(body) : takes("POST");
  if (path == "faults" || path.rfind("faults/", 0) == 0) return faultRules(request, body);
  if (path == "clock") return reads || method == "POST" ? clock(request, body) : takes("GET, POST");
  if (path == "reset") return method == "POST" ? reset(body) : takes("POST");
  if (path == "snapshot")
    return reads || method == "POST" ? snapshot(request, std::move(body)) : takes("GET, POST");
  return errorResponse(404, "no such admin path " + quoted(Json(request.path)));
}

HttpResponse Service::Impl::requests(const HttpRequest& request, const Json& body) {
  const std::string& method = request.method;
  const bool reads = method == "GET" || method == "HEAD";
  if (request.path == "/__admin/requests/count") {
    if (method != "POST") return errorResponse(405, request.path + " takes POST");
    std::string error;
    const auto filter = JournalFilter::fromJson(body, error);
    if (!filter) return errorResponse(400, error);
    return jsonResponse({{"count", journal.count(*filter)}});
  }
  if (request.path == "/__admin/requests/stream") {
    if (!reads) return errorResponse(405, request.path + " takes GET");
    if (auto refused = unknownParam(request, {"after"})) return *refused;
    const std::string* last = request.header("Last-Event-ID");
    if (!last) last = request.param("after");
    HttpResponse response;
    response.kind = HttpResponse::Kind::JournalStream;
    response.after = -1;
    if (last && !last->empty() && !parseCount(*last, response.after))
      return errorResponse(400,
                           "Last-Event-ID must be a journal entry id, not " + quoted(Json(*last)));
    return response;
  }
  if (method == "DELETE") {
    journal.clear();
    return jsonResponse({{"cleared", true}});
  }
  if (!reads) return errorResponse(405, request.path + " takes GET, DELETE");
  if (auto refused = unknownParam(
          request, {"endpoint", "result_code", "method", "path", "psid", "cuid", "limit"}))
    return *refused;
  std::int64_t limit = INT64_MAX;
  if (const auto* text = request.param("limit"); text && (!parseCount(*text, limit) || limit < 1))
    return errorResponse(400, "limit must be a whole number from 1, not " + quoted(Json(*text)));
  const auto listing =
      journal.newest(JournalFilter::fromQuery(request), static_cast<std::size_t>(limit));
  Json entries = Json::array();
  for (const auto& entry : listing.entries) entries.push_back(*entry);
  return jsonResponse({{"requests", entries},
                       {"total", listing.total},
                       {"dropped", listing.dropped},
                       {"capacity", journal.capacity()}});
}

HttpResponse Service::Impl::devices() {
  std::unique_lock lock(state.mutex);
  auto rows = state.db.query(
      "SELECT d.*, t.name AS device_name, "
      "(SELECT COUNT(*) FROM deliveries q WHERE q.token=d.psid AND q.state='queued') AS queued "
      "FROM devices d LEFT JOIN tokens t ON t.token=d.psid ORDER BY d.registered_at");
  for (auto& row : rows) {
    Json days = Json::array();
    for (const auto& day :
         state.db.query("SELECT day FROM alive WHERE app_id=? AND device_id=? ORDER BY day",
                        {row["app_id"], row["device_id"]}))
      days.push_back(day["day"]);
    row["alive_days"] = days;
    const auto reported =
        appStates.find(row["psid"].is_string() ? row["psid"].get<std::string>() : std::string());
    row["app_state"] = reported == appStates.end() ? Json(nullptr) : Json(reported->second);
  }
  // Written out without holding up the sends.
  lock.unlock();
  return jsonResponse({{"devices", rows}});
}

// The library does not tell the server its application state; a simulated
// device does, here, so the console can show it.
HttpResponse Service::Impl::devicesState(const Json& body) {
  Shape shape(body, "the device state");
  shape.require("psid");
  shape.require("state");
  const auto psid = shape.text("psid", limits::kName);
  const auto reported = shape.text("state", limits::kName);
  std::string error;
  if (!shape.check(error)) return errorResponse(400, error);
  if (!gateway.knownToken(*psid)) return errorResponse(404, "no device with that psid");
  std::lock_guard lock(state.mutex);
  appStates[*psid] = *reported;
  return jsonResponse(body);
}

// A device sends its push-doctor report when asked: by orvo-sim doctor NAME,
// or by the console through its gateway stream (askDoctor). The report says
// which request it answers, so the asker can tell it from an older one.
HttpResponse Service::Impl::devicesDoctor(const HttpRequest& request, const Json& body) {
  if (request.method != "POST") {
    if (auto refused = unknownParam(request, {"psid", "format"})) return *refused;
    const std::string* psid = request.param("psid");
    if (!psid) return errorResponse(400, "give the device's psid: ?psid=...");
    const std::string* format = request.param("format");
    if (format && *format != "json" && *format != "text")
      return errorResponse(400, "format must be json or text, not " + quoted(Json(*format)));
    std::lock_guard lock(state.mutex);
    const auto found = doctorReports.find(*psid);
    if (found == doctorReports.end())
      return errorResponse(404,
                           "no report from this device yet; ask for one with: orvo-sim doctor "
                           "NAME, or POST /__admin/devices/doctor/request");
    const DoctorReport& kept = found->second;
    if (format && *format == "json")
      return jsonResponse({{"psid", *psid},
                           {"reported_at", isoDate(kept.at)},
                           {"request", kept.request},
                           {"text", kept.text},
                           {"report", kept.report}});
    HttpResponse response;
    response.status = 200;
    response.contentType = "text/plain; charset=utf-8";
    response.body = "Reported " + isoDate(kept.at) +
                    (kept.request.is_null() ? "" : ", answering request " + kept.request.dump()) +
                    "\n\n" + kept.text;
    return response;
  }
  Shape shape(body, "the doctor's report");
  shape.require("psid");
  shape.require("text");
  const auto psid = shape.text("psid", limits::kName);
  const auto text = shape.text("text", limits::kDocument);
  const Json* report = shape.any("report");
  if (report && !report->is_object()) shape.refuse("\"report\" must be an object");
  const auto answering = shape.integer("request", 1, INT64_MAX);
  // A number never asked for would pass for the answer to a later request.
  if (answering && *answering > doctorRequests.load())
    shape.refuse("\"request\" " + std::to_string(*answering) + " was never asked of a device");
  std::string error;
  if (!shape.check(error)) return errorResponse(400, error);
  if (!gateway.knownToken(*psid)) return errorResponse(404, "no device with that psid");
  std::lock_guard lock(state.mutex);
  doctorReports[*psid] = {*text, report ? *report : Json(nullptr), state.nowMs(),
                          answering ? Json(*answering) : Json(nullptr)};
  return jsonResponse({{"psid", *psid}, {"stored", true}});
}

// Asks a running device for a fresh report over its gateway stream, with an
// event of its own: no delivery, so nothing is journalled, counted or replayed.
HttpResponse Service::Impl::askDoctor(const Json& body) {
  Shape shape(body, "the doctor request");
  shape.require("psid");
  const auto psid = shape.text("psid", limits::kName);
  std::string error;
  if (!shape.check(error)) return errorResponse(400, error);
  if (!gateway.knownToken(*psid)) return errorResponse(404, "no device with that psid");
  const std::int64_t number = ++doctorRequests;
  if (!gateway.signal(*psid, "doctor", Json{{"request", number}}.dump()))
    return errorResponse(409,
                         "the device has no open gateway stream, so it cannot be asked; start it "
                         "with orvo-sim run NAME");
  return jsonResponse({{"psid", *psid}, {"request", number}}, 202);
}

HttpResponse Service::Impl::groups() {
  std::unique_lock lock(state.mutex);
  const auto rows =
      state.db.query("SELECT * FROM group_members ORDER BY app_id, group_seq, joined_at");
  lock.unlock();
  std::map<std::pair<std::string, std::string>, Json> members;
  for (const auto& row : rows)
    members[{row["app_id"].get<std::string>(), row["group_seq"].get<std::string>()}].push_back(
        row["cuid"]);
  Json groups = Json::array();
  for (const auto& [key, list] : members)
    groups.push_back({{"app_id", key.first}, {"group_seq", key.second}, {"members", list}});
  return jsonResponse({{"groups", groups}});
}

Json Service::Impl::deliveriesOf(long long seqno) {
  Json list = Json::array();
  for (auto& row : state.db.query(
           "SELECT d.id, d.token, t.name AS device_name, d.app_id, d.device_id, d.cuid, d.state, "
           "d.queued_at, d.sent_at, d.delivered_at, d.read_at, d.payload FROM deliveries d "
           "LEFT JOIN tokens t ON t.token=d.token WHERE d.seqno=? ORDER BY d.id",
           {seqno})) {
    row["payload"] = storedJson(row["payload"]);
    const auto counted = state.acknowledgements.find(row["id"].get<std::int64_t>());
    row["acks"] = counted == state.acknowledgements.end() ? 0 : counted->second.first;
    row["reads"] = counted == state.acknowledgements.end() ? 0 : counted->second.second;
    list.push_back(std::move(row));
  }
  return list;
}

HttpResponse Service::Impl::messages(const HttpRequest& request) {
  if (auto refused = unknownParam(request, {"cuid", "psid"})) return *refused;
  std::unique_lock lock(state.mutex);
  Json list = Json::array();
  // The sender's device by the name it took at the gateway.
  for (auto& row : state.db.query("SELECT m.*, t.name AS sender_device FROM messages m "
                                  "LEFT JOIN tokens t ON t.token=m.sender_psid ORDER BY m.seqno")) {
    row["deliveries"] = deliveriesOf(row["seqno"].get<long long>());
    // Acknowledgements and reads beyond the first of each delivery.
    long long repeatedAcks = 0;
    long long repeatedReads = 0;
    for (const auto& d : row["deliveries"]) {
      repeatedAcks += std::max(0LL, d["acks"].get<long long>() - 1);
      repeatedReads += std::max(0LL, d["reads"].get<long long>() - 1);
    }
    row["repeated_acks"] = repeatedAcks;
    row["repeated_reads"] = repeatedReads;
    bool keep = true;
    for (const char* key : {"cuid", "psid"}) {
      const auto* wanted = request.param(key);
      if (!wanted) continue;
      const std::string column = key == std::string("cuid") ? "cuid" : "token";
      keep = std::any_of(row["deliveries"].begin(), row["deliveries"].end(), [&](const Json& d) {
        return d[column].is_string() && d[column].get<std::string>() == *wanted;
      });
      if (!keep) break;
    }
    if (keep) list.push_back(std::move(row));
  }
  lock.unlock();
  return jsonResponse({{"messages", list}});
}

HttpResponse Service::Impl::apps(const HttpRequest& request, const Json& body) {
  if (request.method == "POST") {
    Shape shape(body, "the application");
    shape.require("app_id");
    shape.require("receiver_version");
    const auto app = shape.text("app_id", limits::kName);
    const auto version = shape.text("receiver_version", limits::kName);
    if (app && app->empty()) shape.refuse("\"app_id\" must not be empty");
    if (version && !isVersionText(*version))
      shape.refuse("\"receiver_version\" must be a version such as \"4.0\", not " +
                   quoted(Json(*version)));
    std::string error;
    if (!shape.check(error)) return errorResponse(400, error);
    std::lock_guard lock(state.mutex);
    receiver.setVersion(*app, *version);
    return jsonResponse(body);
  }
  if (auto refused = unknownParam(request, {})) return *refused;
  std::lock_guard lock(state.mutex);
  auto rows = state.db.query("SELECT app_id FROM apps ORDER BY app_id");
  for (auto& row : rows)
    row["receiver_version"] = receiver.versionFor(row["app_id"].get<std::string>());
  return jsonResponse({{"apps", rows}, {"default_receiver_version", options.receiverVersion}});
}

HttpResponse Service::Impl::settings(const Json& body) {
  Shape shape(body, "the settings");
  const auto ttl = shape.integer("auth_ttl_ms", 0, limits::kDurationMs);
  std::string error;
  if (!shape.check(error)) return errorResponse(400, error);
  std::lock_guard lock(state.mutex);
  if (ttl) receiver.setAuthTtl(std::chrono::milliseconds(*ttl));
  return jsonResponse({{"auth_ttl_ms", receiver.options().authTtl.count()},
                       {"receiver_version", options.receiverVersion}});
}

HttpResponse Service::Impl::send(const Json& body) {
  Shape shape(body, "the send");
  OutgoingMessage message;
  message.sender = "admin";
  const auto user = shape.text("user", limits::kName);
  const auto group = shape.text("group", limits::kName);
  const auto device = shape.text("device", limits::kName);
  const auto all = shape.flag("all");
  message.appId = shape.text("app_id", limits::kName).value_or("");
  message.message = shape.text("message").value_or("");
  message.ext = shape.text("ext").value_or("");
  message.silent = shape.flag("silent").value_or(false);
  message.badge = shape.integer("badge", 0, kLargestBadge);
  if (auto date = shape.text("reserve_date", limits::kName)) {
    std::int64_t at = 0;
    if (!parseDate(*date, at))
      shape.refuse(
          "\"reserve_date\" must be a date that exists, yyyyMMddHHmmss or "
          "yyyy-MM-ddTHH:mm:ss (UTC), not " +
          quoted(Json(*date)));
    message.reserveAt = at;
  }
  const int targets =
      (user ? 1 : 0) + (group ? 1 : 0) + (device ? 1 : 0) + (all.value_or(false) ? 1 : 0);
  if (targets != 1)
    shape.refuse(targets == 0
                     ? "say who receives it: \"user\", \"group\", \"device\" or \"all\": true"
                     : "give only one of \"user\", \"group\", \"device\" and \"all\"");
  if (message.message.empty() && !message.silent)
    shape.refuse("\"message\" is missing: a send that is not silent needs its text");
  std::string error;
  if (!shape.check(error)) return errorResponse(400, error);

  std::unique_lock lock(state.mutex);
  if (user) {
    message.targetKind = "CUID";
    message.target = *user;
  } else if (group) {
    message.targetKind = "GROUP";
    message.target = *group;
  } else if (device) {
    // A token, a device name given to the gateway, or a device ID.
    message.targetKind = "PSID";
    auto rows =
        state.db.query("SELECT token FROM tokens WHERE token=? OR name=?", {*device, *device});
    if (rows.empty())
      rows = state.db.query("SELECT psid AS token FROM devices WHERE device_id=?", {*device});
    if (rows.empty()) return errorResponse(404, "no device " + quoted(Json(*device)));
    message.target = rows[0]["token"].get<std::string>();
  } else {
    message.targetKind = "ALL";
  }
  if (message.appId.empty() && message.targetKind != "ALL" && message.targetKind != "PSID") {
    const auto apps = state.db.query("SELECT app_id FROM apps");
    if (apps.size() != 1)
      return errorResponse(400, "\"app_id\" is needed when there is not exactly one application");
    message.appId = apps[0]["app_id"].get<std::string>();
  }
  const auto outcome = gateway.send(message);
  lock.unlock();
  gateway.wake();
  return jsonResponse({{"seqno", outcome.seqno},
                       {"message_key", outcome.messageKey},
                       {"targets", outcome.targets},
                       {"reserved", outcome.reserved}});
}

HttpResponse Service::Impl::faultRules(const HttpRequest& request, const Json& body) {
  if (auto refused = unknownParam(request, {})) return *refused;
  if (request.path.rfind("/__admin/faults/", 0) == 0) {
    if (request.method != "DELETE") return errorResponse(405, request.path + " takes DELETE");
    const std::string id = request.path.substr(std::string("/__admin/faults/").size());
    if (!faults.remove(id)) return errorResponse(404, "no fault rule " + quoted(Json(id)));
    return jsonResponse({{"removed", id}});
  }
  if (request.method == "GET" || request.method == "HEAD")
    return jsonResponse({{"faults", faults.list()}, {"effects", Faults::vocabulary()}});
  if (request.method == "DELETE") {
    faults.clear();
    return jsonResponse({{"cleared", true}});
  }
  if (request.method != "POST")
    return errorResponse(405, request.path + " takes GET, POST, DELETE");
  std::string error;
  Json added = Json::array();
  if (!faults.add(body, error, &added)) return errorResponse(400, error);
  return jsonResponse({{"added", added}});
}

HttpResponse Service::Impl::clock(const HttpRequest& request, const Json& body) {
  if (request.method == "POST") {
    Shape shape(body, "the clock");
    const auto ms = shape.integer("advance_ms", 0, limits::kDurationMs);
    const auto seconds =
        shape.number("advance_seconds", 0, static_cast<double>(limits::kDurationMs / 1000));
    if (shape.has("advance_ms") == shape.has("advance_seconds"))
      shape.refuse("give one of \"advance_ms\" and \"advance_seconds\"");
    std::string error;
    if (!shape.check(error)) return errorResponse(400, error);
    const auto by = ms ? *ms : static_cast<std::int64_t>(*seconds * 1000);
    if (!state.advance(std::chrono::milliseconds(by)))
      return errorResponse(400, "the clock would be more than " +
                                    std::to_string(limits::kDurationMs) +
                                    " ms ahead; POST /__admin/reset sets it back");
    const int released = gateway.releaseDue();
    return jsonResponse(
        {{"now", isoDate(state.nowMs())}, {"offset_ms", state.offsetMs()}, {"released", released}});
  }
  if (auto refused = unknownParam(request, {})) return *refused;
  return jsonResponse({{"now", isoDate(state.nowMs())}, {"offset_ms", state.offsetMs()}});
}

HttpResponse Service::Impl::reset(const Json& body) {
  Shape shape(body, "the reset");
  std::string error;
  if (!shape.check(error)) return errorResponse(400, error);
  state.reset();
  {
    std::lock_guard lock(state.mutex);
    appStates.clear();
    doctorReports.clear();
    // As the emulator started: its clock, its auth-key lifetime.
    receiver.setAuthTtl(options.authTtl);
  }
  faults.clear();
  journal.clear();
  return jsonResponse({{"reset", true}});
}

HttpResponse Service::Impl::snapshot(const HttpRequest& request, Json body) {
  if (request.method == "POST") {
    std::string error;
    if (!state.restore(std::move(body), error)) return errorResponse(400, error);
    gateway.wakeAll();
    return jsonResponse({{"imported", true}});
  }
  if (auto refused = unknownParam(request, {})) return *refused;
  return jsonResponse(state.snapshot());
}

}  // namespace orvo::emulator
