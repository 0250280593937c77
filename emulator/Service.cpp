#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "Console.h"
#include "Input.h"
#include "Limits.h"
#include "ServiceImpl.h"

namespace orvo::emulator {

bool isLoopbackAddress(const std::string& address) {
  if (address == "localhost" || address == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr std::size_t kShown = 4096;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Compares every byte, so the time taken says nothing of how much matched.
bool sameSecret(const std::string& given, const std::string& secret) {
  unsigned char differ = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < secret.size(); ++i)
    differ |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
  return differ == 0;
}

std::string escapeLabel(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

bool isReceiverPath(const std::string& path) {
  static constexpr std::string_view suffix = ".ctl";
  if (path.size() <= 1 + suffix.size() || path[0] != '/' ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  return std::all_of(path.begin() + 1, path.end() - static_cast<long>(suffix.size()), [](char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
  });
}

HttpResponse notAllowed(const std::string& path, const char* methods) {
  HttpResponse response = errorResponse(405, path + " takes " + methods);
  response.headers.emplace_back("Allow", methods);
  return response;
}

}  // namespace

std::string shortened(const std::string& text) {
  return text.size() > kShown ? text.substr(0, kShown) + "..." : text;
}

Answer refusedEnvelope(const std::string& note) {
  Answer answer = envelopeAnswer(result::kBadRequest);
  answer.notes.push_back(note);
  return answer;
}

HttpResponse jsonResponse(const Json& json, int status) {
  HttpResponse response;
  response.status = status;
  response.contentType = kJsonType;
  // The journal holds what clients sent, which need not be valid UTF-8.
  response.body = json.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

HttpResponse errorResponse(int status, const std::string& message) {
  return jsonResponse({{"error", message}}, status);
}

Service::Impl::Impl(EmulatorOptions o)
    : options(std::move(o)),
      gateway(state),
      receiver(state, gateway, ReceiverOptions{options.receiverVersion, options.authTtl}),
      journal(Journal::Options{options.journalCapacity, limits::kJournalBytes, options.quiet,
                               options.jsonLog}) {
  gateway.limitQueue(options.queueCap);
}

Service::Service(EmulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Service::~Service() = default;

const EmulatorOptions& Service::options() const { return impl_->options; }
Gateway& Service::gateway() { return impl_->gateway; }
Journal& Service::journal() { return impl_->journal; }
State& Service::state() { return impl_->state; }

bool Service::open(std::string& error) {
  auto& impl = *impl_;
  if (!impl.state.open(impl.options.statePath, error)) return false;
  impl.gateway.setFaults(&impl.faults);
  if (!impl.options.faults.is_null() && !impl.faults.add(impl.options.faults, error)) {
    error = "bad fault rule: " + error;
    return false;
  }
  if (impl.options.listenAny && impl.options.adminToken.empty())
    impl.options.adminToken = randomHex(16);
  return true;
}

void Service::listening(int port) {
  const std::string address = lower(impl_->options.address);
  std::vector<std::string> hosts = {address.find(':') != std::string::npos ? "[" + address + "]"
                                                                           : address};
  // The other names a browser on this machine reaches the address by.
  if (address == "localhost") {
    hosts.insert(hosts.end(), {"127.0.0.1", "[::1]"});
  } else {
    hosts.push_back("localhost");
  }
  auto& names = impl_->hostNames;
  names.clear();
  for (const auto& host : hosts) {
    names.push_back(host + ":" + std::to_string(port));
    if (port == 80) names.push_back(host);
  }
}

std::size_t Service::bodyLimit(const std::string& method, const std::string& path) {
  return method == "POST" && path == "/__admin/snapshot" ? limits::kSnapshotBody : limits::kBody;
}

HttpResponse Service::handle(const HttpRequest& request) {
  try {
    return impl_->route(request);
  } catch (const std::exception& failure) {
    // Nothing a client sends should get here; if it does, the state stays as it was.
    {
      std::lock_guard lock(impl_->state.mutex);
      if (impl_->state.db.inTransaction()) impl_->state.db.exec("ROLLBACK");
    }
    return errorResponse(500, std::string("internal error: ") + failure.what());
  }
}

void Service::tick() {
  auto& impl = *impl_;
  impl.gateway.releaseDue();
  const auto now = std::chrono::steady_clock::now();
  if (now >= impl.nextPrune) {
    // Once a second is often enough for history kept hours.
    impl.nextPrune = now + std::chrono::seconds(1);
    impl.gateway.prune(impl.state.nowMs() - impl.options.retain.count());
  }
  flush();
  impl.recordDrops();
}

void Service::Impl::recordDrops() {
  std::vector<QueueDrop> drops;
  {
    std::lock_guard lock(state.mutex);
    drops = gateway.takeDrops();
  }
  for (const auto& drop : drops)
    journal.record(
        {{"time", isoDate(state.nowMs())},
         {"method", "-"},
         {"path", ""},
         {"endpoint", "__gateway/queue"},
         {"form", {{"PSID", drop.token}, {"APP_ID", drop.appId}, {"DEVICE_ID", drop.deviceId}}},
         {"client", ""},
         {"status", 0},
         {"result_code", ""},
         {"answer", nullptr},
         {"notes",
          {"the queue of device " + drop.deviceId + " (" + drop.appId + ") is full (" +
           std::to_string(gateway.queueCap()) + " payloads): dropped " +
           std::to_string(drop.count) + ", the oldest"}},
         {"duration_ms", 0.0}});
}

void Service::flush() {
  auto& impl = *impl_;
  if (impl.options.statePath == ":memory:") return;
  std::lock_guard lock(impl.state.mutex);
  if (impl.gateway.flush()) {
    impl.flushFailed = false;
  } else if (!impl.flushFailed) {
    impl.flushFailed = true;
    impl.journal.warn("cannot write deliveries to " + impl.options.statePath + ": " +
                      impl.state.db.lastError() + " (kept in memory, tried again)");
  }
}

void Service::stop() {
  impl_->gateway.stop();
  impl_->journal.stop();
}

HttpResponse Service::Impl::route(const HttpRequest& request) {
  const std::string& path = request.path;
  const bool reads = request.method == "GET" || request.method == "HEAD";
  if (path.rfind("/__admin/", 0) == 0) {
    if (auto refused = door(request, false)) return *refused;
    return admin(request);
  }
  if (path == "/" || path.rfind("/console/", 0) == 0) {
    if (auto refused = door(request, true)) return *refused;
    return reads ? console(request) : notAllowed(path, "GET");
  }
  if (path == "/healthz") return reads ? jsonResponse({{"status", "ok"}}) : notAllowed(path, "GET");
  if (path == "/metrics") return reads ? metrics() : notAllowed(path, "GET");
  if (path == "/__gateway/devices")
    return request.method == "POST" ? gatewayDevices(request) : notAllowed(path, "POST");
  if (path == "/__gateway/stream") return reads ? gatewayStream(request) : notAllowed(path, "GET");
  if (path == "/mobile/last-session" || path == "/mobile/purchase")
    return request.method == "POST" ? report(request) : notAllowed(path, "POST");
  if (path.rfind("/images/", 0) == 0) return reads ? image(request) : notAllowed(path, "GET");
  if (isReceiverPath(path))
    return request.method == "POST" ? receiverCall(request, path.substr(1))
                                    : notAllowed(path, "POST");
  return errorResponse(404, "no such path " + quoted(Json(path)));
}

std::optional<HttpResponse> Service::Impl::door(const HttpRequest& request, bool console) {
  const std::string* host = request.header("Host");
  // Beyond loopback the names others use are not known; the token stands in.
  if (!options.listenAny &&
      (!host || std::find(hostNames.begin(), hostNames.end(), lower(*host)) == hostNames.end())) {
    std::string names;
    for (const auto& name : hostNames) names += (names.empty() ? "" : ", ") + name;
    return errorResponse(403, "the Host header " + (host ? quoted(Json(*host)) : "(none)") +
                                  " is not a name of this emulator (" + names +
                                  "): only its own pages may use the admin API and console");
  }
  if (const auto* origin = request.header("Origin");
      origin && (!host || lower(*origin) != "http://" + lower(*host)))
    return errorResponse(403, "a request from the page at " + quoted(Json(*origin)) +
                                  " is refused: only the emulator's own pages may use the admin "
                                  "API and console");
  if (console) return std::nullopt;
  // A page of another site can send a form or plain text without asking
  // first; JSON it cannot.
  const bool writes =
      request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
  if (writes && !isMediaType(request.header("Content-Type"), "application/json"))
    return errorResponse(415, "the admin API takes Content-Type: application/json on " +
                                  request.method + " " + request.path);
  if (!options.adminToken.empty()) {
    std::string given;
    const auto* authorization = request.header("Authorization");
    if (authorization && authorization->rfind("Bearer ", 0) == 0)
      given = authorization->substr(7);
    else if (const auto* param = request.param("admin_token"))
      given = *param;
    if (!sameSecret(given, options.adminToken))
      return errorResponse(401,
                           "the admin API needs the token printed at start: "
                           "\"Authorization: Bearer TOKEN\" or ?admin_token=TOKEN");
  }
  return std::nullopt;
}

Answer Service::Impl::guarded(const std::function<Answer()>& handle) {
  try {
    return handle();
  } catch (const std::exception& error) {
    {
      std::lock_guard lock(state.mutex);
      if (state.db.inTransaction()) state.db.exec("ROLLBACK");
    }
    Answer answer;
    answer.status = 500;
    answer.contentType = "text/plain";
    answer.body = "internal error";
    answer.notes.push_back(std::string("internal error: ") + error.what());
    return answer;
  }
}

HttpResponse Service::Impl::serve(const HttpRequest& request, const std::string& endpoint,
                                  const Form& form, std::function<Answer()> handle) {
  const auto started = std::chrono::steady_clock::now();
  auto field = [&](const char* key) {
    const auto found = form.find(key);
    return found == form.end() ? std::string() : found->second;
  };
  Json shownForm = Json::object();
  for (const auto& [key, value] : form) shownForm[key] = shortened(value);
  Json entry = {{"time", isoDate(state.nowMs())},
                {"method", request.method},
                {"path", shortened(request.path)},
                {"endpoint", endpoint},
                {"form", shownForm},
                {"client", request.client}};
  // The library's request identifier, when its tracing is on: the same one
  // its log lines carry.
  if (const std::string* id = request.header("X-Orvo-Request-Id"))
    entry["request_id"] = shortened(*id);
  HttpResponse response;
  Answer answer;
  bool answered = true;
  const auto fault = faults.match(endpoint, request.path, field("PSID"), field("CUID"));
  if (!fault) return finish(std::move(entry), guarded(handle), std::move(response), true, started);
  entry["fault"] = fault->toJson();
  const auto& effect = fault->effect;
  auto random = fault->random;
  if (effect == "latency") {
    // Carried out after the wait: a client that gives up first finds it not done.
    response.kind = HttpResponse::Kind::Delay;
    response.holdMs = fault->ms;
    response.then = [this, entry = std::move(entry), handle = std::move(handle), started] {
      return finish(entry, guarded(handle), HttpResponse(), true, started);
    };
    return response;
  } else if (effect == "timeout") {
    response.kind = HttpResponse::Kind::Hold;
    response.holdMs = fault->ms;
    answered = false;
  } else if (effect == "reset") {
    response.kind = HttpResponse::Kind::Reset;
    answered = false;
  } else if (effect == "status") {
    answer.status = fault->status;
    answer.body = fault->body;
    answer.contentType = "text/plain";
  } else if (effect == "garbage") {
    // Starts with a byte no JSON text can start with.
    answer.body.assign(1, '\xff');
    for (long long i = 1; i < fault->bytes; ++i) answer.body += static_cast<char>(random() & 0xFF);
  } else if (effect == "truncate") {
    answer = guarded(handle);
    answer.body.resize(answer.body.size() / 2);
  } else if (effect == "retry_after") {
    answer.status = 429;
    answer.body = "too many requests";
    answer.contentType = "text/plain";
    response.headers.emplace_back("Retry-After", std::to_string(fault->seconds));
  } else if (effect == "result_code") {
    answer = envelopeAnswer(fault->resultCode);
  } else if (effect == "no_header") {
    answer.envelope = {{"BODY", Json::object()}};
    answer.body = answer.envelope.dump();
  } else if (effect == "no_body") {
    answer.envelope = {{"HEADER", {{"RESULT_CODE", result::kSuccess}}}};
    answer.resultCode = result::kSuccess;
    answer.body = answer.envelope.dump();
  } else if (effect == "huge_body") {
    response.kind = HttpResponse::Kind::HugeBody;
    response.status = 200;
    response.contentType = kJsonType;
    response.bytes = fault->bytes;
    answer.status = 200;
    answer.body = "(" + std::to_string(fault->bytes) + " bytes)";
    answered = false;
  }
  return finish(std::move(entry), answer, std::move(response), answered, started);
}

HttpResponse Service::Impl::finish(Json entry, const Answer& answer, HttpResponse response,
                                   bool answered, std::chrono::steady_clock::time_point started) {
  if (answered) {
    response.status = answer.status;
    response.body = answer.body;
    response.contentType = answer.contentType;
  }
  entry["status"] = answered || response.kind == HttpResponse::Kind::HugeBody ? answer.status : 0;
  entry["result_code"] = answer.resultCode;
  entry["answer"] = shortened(answer.body);
  if (!answer.body.empty() && !Json::accept(entry["answer"].get<std::string>()))
    entry["answer"] = Json(nullptr);
  entry["notes"] = answer.notes;
  if (!answer.caller.is_null()) entry["caller"] = answer.caller;
  entry["duration_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  journal.record(std::move(entry));
  return response;
}

HttpResponse Service::Impl::gatewayDevices(const HttpRequest& request) {
  std::string error;
  auto body = parseJson(request.body.empty() ? std::string("{}") : request.body, error);
  if (!body) return errorResponse(400, error);
  Shape shape(*body, "the device");
  const std::string name = shape.text("name", limits::kName).value_or("");
  if (!shape.check(error)) return errorResponse(400, error);
  return jsonResponse({{"token", gateway.issueToken(name)}, {"name", name}});
}

HttpResponse Service::Impl::gatewayStream(const HttpRequest& request) {
  const auto* token = request.param("token");
  if (!token || token->empty() || token->size() > limits::kName || !gateway.knownToken(*token))
    return errorResponse(404, "unknown device token; ask POST /__gateway/devices for one");
  const std::string* last = request.header("Last-Event-ID");
  if (!last) last = request.param("after");
  HttpResponse response;
  response.kind = HttpResponse::Kind::GatewayStream;
  response.token = *token;
  response.after = INT64_MAX;
  if (last && !last->empty()) {
    std::int64_t after = 0;
    if (!parseCount(*last, after))
      return errorResponse(400,
                           "Last-Event-ID must be a delivery number, not " + quoted(Json(*last)));
    response.after = after;
  }
  journal.record({{"time", isoDate(state.nowMs())},
                  {"method", "GET"},
                  {"path", request.path},
                  {"endpoint", "__gateway/stream"},
                  {"form", {{"token", *token}, {"after", last ? shortened(*last) : ""}}},
                  {"client", request.client},
                  {"status", 200},
                  {"result_code", ""},
                  {"answer", nullptr},
                  {"notes", Json::array()},
                  {"duration_ms", 0.0}});
  return response;
}

HttpResponse Service::Impl::console(const HttpRequest& request) {
  const auto file = consoleFile(request.path == "/" ? std::string_view("index.html")
                                                    : std::string_view(request.path).substr(9));
  if (!file) return errorResponse(404, "no such console file");
  HttpResponse response;
  response.body.assign(file->body);
  response.contentType = std::string(file->contentType);
  response.headers.emplace_back("Cache-Control", "no-cache");
  return response;
}

HttpResponse Service::Impl::metrics() {
  std::ostringstream text;
  text << "# HELP orvo_emulator_requests_total Requests served, by endpoint and result code.\n"
          "# TYPE orvo_emulator_requests_total counter\n";
  const auto counts = journal.counts();
  for (const auto& [key, count] : counts.requests)
    text << "orvo_emulator_requests_total{endpoint=\"" << escapeLabel(key.first)
         << "\",result_code=\"" << escapeLabel(key.second) << "\"} " << count << "\n";
  long long queued = 0;
  {
    std::lock_guard lock(state.mutex);
    // Counted where they are: writing out a fan-out still being streamed
    // would send its remaining devices to the table.
    const Database::Deferred deferred(state.db);
    const auto rows = state.db.query("SELECT COUNT(*) AS n FROM deliveries WHERE state='queued'");
    if (!rows.empty()) queued = rows[0]["n"].get<long long>();
    queued += gateway.queuedInMemory();
  }
  const auto fanOut = gateway.lastFanOut();
  text << "# HELP orvo_emulator_deliveries_total Payloads queued for devices.\n"
          "# TYPE orvo_emulator_deliveries_total counter\n"
       << "orvo_emulator_deliveries_total " << gateway.deliveriesQueued.load() << "\n"
       << "# HELP orvo_emulator_events_streamed_total Payloads written to device streams.\n"
          "# TYPE orvo_emulator_events_streamed_total counter\n"
       << "orvo_emulator_events_streamed_total " << gateway.eventsStreamed.load() << "\n"
       << "# HELP orvo_emulator_last_fanout_targets Devices the latest send was queued for.\n"
          "# TYPE orvo_emulator_last_fanout_targets gauge\n"
       << "orvo_emulator_last_fanout_targets " << fanOut.targets << "\n"
       << "# HELP orvo_emulator_last_fanout_written Payloads of the latest send written to "
          "streams.\n"
          "# TYPE orvo_emulator_last_fanout_written gauge\n"
       << "orvo_emulator_last_fanout_written " << fanOut.written << "\n"
       << "# HELP orvo_emulator_last_fanout_seconds From the latest send's acceptance to the "
          "last of its payloads written.\n"
          "# TYPE orvo_emulator_last_fanout_seconds gauge\n"
       << "orvo_emulator_last_fanout_seconds " << fanOut.seconds << "\n"
       << "# HELP orvo_emulator_queue_depth Payloads waiting for their device.\n"
          "# TYPE orvo_emulator_queue_depth gauge\n"
       << "orvo_emulator_queue_depth " << queued << "\n"
       << "# HELP orvo_emulator_open_streams Devices connected to the gateway.\n"
          "# TYPE orvo_emulator_open_streams gauge\n"
       << "orvo_emulator_open_streams " << gateway.openStreams.load() << "\n"
       << "# HELP orvo_emulator_queue_dropped_total Payloads a full device queue let go of.\n"
          "# TYPE orvo_emulator_queue_dropped_total counter\n"
       << "orvo_emulator_queue_dropped_total " << gateway.queueDropped.load() << "\n"
       << "# HELP orvo_emulator_pruned_total Rows of sent history pruned past --retain.\n"
          "# TYPE orvo_emulator_pruned_total counter\n"
       << "orvo_emulator_pruned_total " << gateway.pruned.load() << "\n"
       << "# HELP orvo_emulator_journal_entries Requests held in the journal.\n"
          "# TYPE orvo_emulator_journal_entries gauge\n"
       << "orvo_emulator_journal_entries " << counts.entries << "\n"
       << "# HELP orvo_emulator_journal_dropped_total Requests dropped from the full journal.\n"
          "# TYPE orvo_emulator_journal_dropped_total counter\n"
       << "orvo_emulator_journal_dropped_total " << counts.dropped << "\n"
       << "# HELP orvo_emulator_faults_injected_total Requests a fault rule acted on.\n"
          "# TYPE orvo_emulator_faults_injected_total counter\n"
       << "orvo_emulator_faults_injected_total " << faults.injected() << "\n";
  HttpResponse response;
  response.body = text.str();
  response.contentType = "text/plain; version=0.0.4";
  return response;
}

}  // namespace orvo::emulator
