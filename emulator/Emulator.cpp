#include "Emulator.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "Console.h"
#include "Faults.h"
#include "Gateway.h"
#include "Receiver.h"
#include "SampleImage.h"
#include "State.h"

namespace orvo::emulator {

bool isLoopbackAddress(const std::string& address) {
  if (address == "localhost" || address == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr std::size_t kAnswerShown = 4096;
constexpr std::size_t kMaxRequestBody = 64 * 1024 * 1024;

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

// The connection a request came on. The HTTP library does not hand its socket
// to handlers, and the reset and timeout faults must act on it.
int findConnection(int localPort, int remotePort) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    if (portOf(local) == localPort && portOf(peer) == remotePort) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

void closeConnection(const httplib::Request& request) {
  const int fd = findConnection(request.local_port, request.remote_port);
  if (fd < 0) return;
  linger abrupt{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
  shutdown(fd, SHUT_RDWR);
}

std::string clockTime() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  char full[40];
  std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(ms.count() % 1000));
  return full;
}

std::string mimeFor(const std::filesystem::path& path) {
  auto extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
  if (extension == ".png") return "image/png";
  if (extension == ".jpg" || extension == ".jpeg") return "image/jpeg";
  if (extension == ".gif") return "image/gif";
  return "application/octet-stream";
}

void sendJson(httplib::Response& response, const Json& json, int status = 200) {
  response.status = status;
  // The journal holds what clients sent, which need not be valid UTF-8.
  response.set_content(json.dump(-1, ' ', false, Json::error_handler_t::replace), kJsonType);
}

void sendError(httplib::Response& response, int status, const std::string& message) {
  sendJson(response, {{"error", message}}, status);
}

bool parseJsonBody(const httplib::Request& request, httplib::Response& response, Json& into) {
  into = Json::parse(request.body.empty() ? std::string("{}") : request.body, nullptr, false);
  if (into.is_discarded()) {
    sendError(response, 400, "the body is not JSON");
    return false;
  }
  return true;
}

// The record after "log=" leaves "&", "+" and "=" unescaped, so the whole
// rest of the body is the value; form parsing would cut it at the last "=".
std::optional<std::string> wholeLog(const std::string& body) {
  static const std::string prefix = "log=";
  if (body.rfind(prefix, 0) != 0) return std::nullopt;
  return httplib::detail::decode_url(body.substr(prefix.size()), false);
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

}  // namespace

struct Emulator::Impl {
  explicit Impl(EmulatorOptions o)
      : options(std::move(o)),
        gateway(state),
        receiver(state, gateway, ReceiverOptions{options.receiverVersion, options.authTtl}) {}

  EmulatorOptions options;
  State state;
  Gateway gateway;
  Receiver receiver;
  Faults faults;
  httplib::Server server;
  std::thread serving;
  std::thread scheduler;
  std::atomic<bool> stopping{false};
  std::mutex stopMutex;
  std::condition_variable stopped;
  std::atomic<bool> serverEnded{false};
  int boundPort = 0;

  // Journal and counters.
  std::mutex journalMutex;
  // Entries do not change once recorded: readers take them and write them
  // out after letting go of the lock.
  std::deque<std::shared_ptr<const Json>> journal;
  long long journalNextId = 1;
  long long journalDropped = 0;
  std::map<std::pair<std::string, std::string>, long long> requestCounts;
  std::condition_variable journalGrew;  // wakes the journal streams
  long long journalClears = 0;
  // Application state as the simulated devices report it, by push service ID;
  // guarded by state.mutex.
  std::map<std::string, std::string> appStates;
  std::mutex outputMutex;
  bool flushFailed = false;  // guarded by state.mutex

  bool start(std::string& error);
  // A kept state gets what sends hold in memory every scheduler tick, so a
  // crash loses at most that tick's; in memory it waits for a read.
  bool persistent() const { return options.statePath != ":memory:"; }
  void flushDeliveries();
  void routes();
  void record(Json entry);
  Answer guarded(const std::function<Answer()>& handle);
  void serve(const httplib::Request& request, httplib::Response& response,
             const std::string& endpoint, const Form& form, const std::function<Answer()>& handle);
  Answer handleLog(const Form& form);
  Answer handleReport(const std::string& path, const std::string& body);
  void serveImage(const httplib::Request& request, httplib::Response& response);
  void serveStream(const httplib::Request& request, httplib::Response& response);
  void serveJournalStream(const httplib::Request& request, httplib::Response& response);
  void clearJournal();
  void admin();
  Json deliveriesOf(long long seqno);
};

Emulator::Emulator(EmulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() { stop(); }

int Emulator::port() const { return impl_->boundPort; }

std::string Emulator::url() const {
  const std::string host = impl_->options.address.find(':') != std::string::npos
                               ? "[" + impl_->options.address + "]"
                           : impl_->options.address == "0.0.0.0" ? std::string("127.0.0.1")
                                                                 : impl_->options.address;
  return "http://" + host + ":" + std::to_string(impl_->boundPort);
}

bool Emulator::start(std::string& error) { return impl_->start(error); }

bool Emulator::Impl::start(std::string& error) {
  if (!options.listenAny && !isLoopbackAddress(options.address)) {
    error = "refusing to listen on " + options.address +
            ", which is not a loopback address (give --listen-any to allow it)";
    return false;
  }
  if (!state.open(options.statePath, error)) {
    error = "cannot open the state " + options.statePath + ": " + error;
    return false;
  }
  if (!options.faults.is_null() && !faults.add(options.faults, error)) {
    error = "bad fault rule: " + error;
    return false;
  }
  // A client that goes away mid-answer must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  const auto threads = options.threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_keep_alive_max_count(100000);
  // An idle kept-alive connection holds stop() until it times out.
  server.set_keep_alive_timeout(5);
  server.set_payload_max_length(kMaxRequestBody);
  server.set_tcp_nodelay(true);
  routes();
  boundPort = options.port == 0
                  ? server.bind_to_any_port(options.address)
                  : (server.bind_to_port(options.address, options.port) ? options.port : -1);
  if (boundPort <= 0) {
    error = "cannot listen on " + options.address + ":" + std::to_string(options.port);
    return false;
  }
  serving = std::thread([this] {
    server.listen_after_bind();
    std::lock_guard lock(stopMutex);
    serverEnded = true;
    stopped.notify_all();
  });
  scheduler = std::thread([this] {
    while (!stopping) {
      gateway.releaseDue();
      if (persistent()) flushDeliveries();
      std::unique_lock lock(stopMutex);
      stopped.wait_for(lock, std::chrono::milliseconds(20), [this] { return stopping.load(); });
    }
  });
  // The socket is bound already; wait until the accept loop runs, so a
  // request made right after start() is served.
  while (!server.is_running() && !serverEnded)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void Emulator::stop() {
  auto& impl = *impl_;
  if (impl.stopping.exchange(true)) return;
  impl.gateway.stop();
  {
    std::lock_guard lock(impl.stopMutex);
    impl.stopped.notify_all();
  }
  {
    std::lock_guard lock(impl.journalMutex);
    impl.journalGrew.notify_all();
  }
  impl.server.stop();
  if (impl.serving.joinable()) impl.serving.join();
  if (impl.scheduler.joinable()) impl.scheduler.join();
  // Every send that was answered is in the file for the next start.
  if (impl.persistent()) impl.flushDeliveries();
}

void Emulator::Impl::flushDeliveries() {
  std::lock_guard lock(state.mutex);
  if (gateway.flush()) {
    flushFailed = false;
  } else if (!flushFailed) {
    flushFailed = true;
    std::lock_guard output(outputMutex);
    std::cerr << "cannot write deliveries to " << options.statePath << ": " << state.db.lastError()
              << " (kept in memory, tried again)" << std::endl;
  }
}

void Emulator::wait() {
  std::unique_lock lock(impl_->stopMutex);
  impl_->stopped.wait(lock, [this] { return impl_->serverEnded.load(); });
}

void Emulator::Impl::record(Json entry) {
  if (!options.quiet) {
    std::string line;
    if (options.jsonLog) {
      line = entry.dump(-1, ' ', false, Json::error_handler_t::replace);
    } else {
      std::ostringstream text;
      text << clockTime() << "  " << entry["method"].get<std::string>() << " "
           << entry["endpoint"].get<std::string>() << " -> " << entry["status"];
      if (!entry["result_code"].get<std::string>().empty())
        text << " " << entry["result_code"].get<std::string>();
      text << "  " << entry["duration_ms"].get<double>() << " ms";
      if (entry.contains("fault"))
        text << "  [fault " << entry["fault"]["effect"].get<std::string>() << "]";
      for (const auto& note : entry["notes"]) text << "\n    ! " << note.get<std::string>();
      line = text.str();
    }
    std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
  }
  std::lock_guard lock(journalMutex);
  ++requestCounts[{entry["endpoint"].get<std::string>(), entry["result_code"].get<std::string>()}];
  entry["id"] = journalNextId++;
  journal.push_back(std::make_shared<const Json>(std::move(entry)));
  while (journal.size() > options.journalCapacity) {
    journal.pop_front();
    ++journalDropped;
  }
  journalGrew.notify_all();
}

void Emulator::Impl::clearJournal() {
  std::lock_guard lock(journalMutex);
  journal.clear();
  journalDropped = 0;
  ++journalClears;
  journalGrew.notify_all();
}

// The journal as it grows: one "request" event per entry, "cleared" when it is
// emptied. A client that reconnects with Last-Event-ID gets what it missed.
void Emulator::Impl::serveJournalStream(const httplib::Request& request,
                                        httplib::Response& response) {
  const std::string last = request.has_header("Last-Event-ID")
                               ? request.get_header_value("Last-Event-ID")
                               : request.get_param_value("after");
  long long asked = -1;
  if (!last.empty()) {
    char* end = nullptr;
    asked = std::strtoll(last.c_str(), &end, 10);
    if (*end != '\0' || asked < 0)
      return sendError(response, 400, "Last-Event-ID must be a journal entry id");
  }
  auto cursor = std::make_shared<long long>(0);
  auto clears = std::make_shared<long long>(0);
  auto greeting = std::make_shared<std::string>(": connected\n\n");
  {
    std::lock_guard lock(journalMutex);
    *clears = journalClears;
    *cursor = journalNextId - 1;
    if (asked > *cursor) {
      // An id this run never gave: the client's list is of an emulator that
      // was restarted, so it starts again from this run's first entry.
      *greeting += "event: cleared\ndata: {}\n\n";
      *cursor = 0;
    } else if (asked >= 0) {
      *cursor = asked;
    }
  }
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream", [this, cursor, clears, greeting](std::size_t, httplib::DataSink& sink) {
        std::string text;
        if (!greeting->empty()) {
          // Headers go out with the first bytes; a browser counts the stream
          // open only then.
          text.swap(*greeting);
          return sink.write(text.data(), text.size());
        }
        std::vector<std::shared_ptr<const Json>> fresh;
        {
          std::unique_lock lock(journalMutex);
          journalGrew.wait_for(lock, options.heartbeat, [&] {
            return stopping || journalClears != *clears ||
                   (!journal.empty() && (*journal.back())["id"].get<long long>() > *cursor);
          });
          if (stopping) {
            lock.unlock();
            sink.done();
            return true;
          }
          if (journalClears != *clears) {
            *clears = journalClears;
            text += "event: cleared\ndata: {}\n\n";
          }
          auto from = journal.end();
          while (from != journal.begin() && (**std::prev(from))["id"].get<long long>() > *cursor)
            --from;
          fresh.assign(from, journal.end());
        }
        for (const auto& entry : fresh) {
          *cursor = (*entry)["id"].get<long long>();
          // Form values are the client's bytes; bad UTF-8 must not end the stream.
          text += "id: " + std::to_string(*cursor) + "\nevent: request\ndata: " +
                  entry->dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
        }
        if (text.empty()) text = ": ping\n\n";
        return sink.write(text.data(), text.size());
      });
}

// A handler that fails answers 500 and leaves the state as it was.
Answer Emulator::Impl::guarded(const std::function<Answer()>& handle) {
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

void Emulator::Impl::serve(const httplib::Request& request, httplib::Response& response,
                           const std::string& endpoint, const Form& form,
                           const std::function<Answer()>& handle) {
  const auto started = std::chrono::steady_clock::now();
  auto field = [&](const char* key) {
    const auto found = form.find(key);
    return found == form.end() ? std::string() : found->second;
  };
  // The journal keeps every request, so it keeps only the head of a long value.
  Json shownForm = Json::object();
  for (const auto& [key, value] : form)
    shownForm[key] = value.size() > kAnswerShown ? value.substr(0, kAnswerShown) + "..." : value;
  Json entry = {{"time", isoDate(state.nowMs())},
                {"method", request.method},
                {"path", request.path},
                {"endpoint", endpoint},
                {"form", shownForm},
                {"client", request.remote_addr + ":" + std::to_string(request.remote_port)}};
  Answer answer;
  bool answered = true;
  const auto fault = faults.match(endpoint, request.path, field("PSID"), field("CUID"));
  if (fault) {
    entry["fault"] = fault->toJson();
    const auto& effect = fault->effect;
    auto random = fault->random;
    if (effect == "latency") {
      std::this_thread::sleep_for(std::chrono::milliseconds(fault->ms));
      answer = guarded(handle);
    } else if (effect == "timeout") {
      // Hold without answering until the client gives up (or the hold ends).
      const int fd = findConnection(request.local_port, request.remote_port);
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault->ms);
      while (fd >= 0 && !stopping && std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLRDHUP, 0};
        if (poll(&watch, 1, 50) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
      }
      closeConnection(request);
      answered = false;
    } else if (effect == "reset") {
      closeConnection(request);
      answered = false;
    } else if (effect == "status") {
      answer.status = fault->status;
      answer.body = fault->body;
      answer.contentType = "text/plain";
    } else if (effect == "garbage") {
      // Starts with a byte no JSON text can start with.
      answer.body.assign(1, '\xff');
      for (long long i = 1; i < fault->bytes; ++i)
        answer.body += static_cast<char>(random() & 0xFF);
    } else if (effect == "truncate") {
      answer = guarded(handle);
      answer.body.resize(answer.body.size() / 2);
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
      const auto size = static_cast<std::size_t>(fault->bytes);
      response.status = 200;
      response.set_content_provider(
          size, kJsonType, [size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            static const std::string prefix =
                "{\"HEADER\":{\"RESULT_CODE\":\"0000\"},\"BODY\":{\"PAD\":\"";
            std::string chunk;
            const std::size_t piece = std::min<std::size_t>(length, 64 * 1024);
            for (std::size_t i = 0; i < piece; ++i) {
              const std::size_t at = offset + i;
              chunk += at < prefix.size() ? prefix[at] : (at + 3 >= size ? '}' : 'x');
            }
            return sink.write(chunk.data(), chunk.size());
          });
      answer.status = 200;
      answer.body = "(" + std::to_string(size) + " bytes)";
      answered = false;
    }
  } else {
    answer = guarded(handle);
  }
  if (answered) {
    response.status = answer.status;
    response.set_content(answer.body, answer.contentType);
  }
  entry["status"] = answered || fault->effect == "huge_body" ? answer.status : 0;
  entry["result_code"] = answer.resultCode;
  entry["answer"] =
      answer.body.size() > kAnswerShown ? answer.body.substr(0, kAnswerShown) + "..." : answer.body;
  if (!answer.body.empty() && !Json::accept(entry["answer"].get<std::string>()))
    entry["answer"] = Json(nullptr);
  entry["notes"] = answer.notes;
  entry["duration_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  record(std::move(entry));
}

Answer Emulator::Impl::handleLog(const Form& form) {
  const auto found = form.find("log");
  Answer answer;
  if (found == form.end()) {
    answer = envelopeAnswer(result::kBadRequest);
    answer.notes.push_back("putAppLog.ctl: missing log");
    return answer;
  }
  const Json record = Json::parse(found->second, nullptr, false);
  if (record.is_discarded() || !record.is_object()) {
    answer = envelopeAnswer(result::kBadRequest);
    answer.notes.push_back("putAppLog.ctl: log is not a JSON object");
    return answer;
  }
  {
    std::lock_guard lock(state.mutex);
    state.db.run("INSERT INTO logs(at, record) VALUES(?,?)", {state.nowMs(), record.dump()});
  }
  answer = envelopeAnswer(result::kSuccess);
  for (const char* key :
       {"lib-version", "deviceid", "cuid", "psid", "time", "retry count", "error"})
    if (!record.contains(key))
      answer.notes.push_back(std::string("putAppLog.ctl: record without ") + key);
  return answer;
}

Answer Emulator::Impl::handleReport(const std::string& path, const std::string& body) {
  Answer answer;
  auto refuse = [&](const std::string& message) {
    answer.status = 400;
    answer.body = Json{{"code", "400"}, {"message", message}}.dump();
    answer.notes.push_back(path + ": " + message);
    return answer;
  };
  const Json report = Json::parse(body, nullptr, false);
  if (report.is_discarded() || !report.is_object()) return refuse("the body is not a JSON object");
  const bool session = path == "/mobile/last-session";
  const std::vector<std::string> required =
      session ? std::vector<std::string>{"appId", "cuid"} : std::vector<std::string>{"id", "cuid"};
  for (const auto& key : required)
    if (!report.contains(key) || !report[key].is_string())
      return refuse("missing " + key + " (a string)");
  std::lock_guard lock(state.mutex);
  if (!session &&
      !state.db
           .query("SELECT 1 FROM reports WHERE kind='purchase' AND purchase_id=? AND cuid=?",
                  {report["id"], report["cuid"]})
           .empty())
    answer.notes.push_back(path + ": purchase " + report["id"].get<std::string>() +
                           " was already reported");
  state.db.run(
      "INSERT INTO reports(kind, app_id, cuid, purchase_id, body, at) VALUES(?,?,?,?,?,?)",
      {session ? "session" : "purchase", session ? report["appId"] : Json(nullptr), report["cuid"],
       session ? Json(nullptr) : report["id"], report.dump(), state.nowMs()});
  answer.body = Json{{"result", "ok"}, {"id", state.db.lastInsertId()}}.dump();
  return answer;
}

void Emulator::Impl::serveImage(const httplib::Request& request, httplib::Response& response) {
  const std::string name = request.matches[1];
  Form form;
  serve(request, response, "images", form, [&] {
    Answer answer;
    if (name == "sample.png") {
      answer.body.assign(reinterpret_cast<const char*>(kSampleImagePng), sizeof kSampleImagePng);
      answer.contentType = "image/png";
      return answer;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path root =
        options.assetsDir.empty() ? fs::path() : fs::canonical(options.assetsDir, error);
    const fs::path file = root.empty() ? fs::path() : fs::weakly_canonical(root / name, error);
    // Only files inside the assets folder: "../" must not reach the rest of the disk.
    const auto relative = file.lexically_relative(root).string();
    if (root.empty() || error || relative.empty() || relative.rfind("..", 0) == 0 ||
        !fs::is_regular_file(file, error)) {
      answer.status = 404;
      answer.contentType = "text/plain";
      answer.body = "no image " + name;
      answer.notes.push_back("images: no file " + name + " in the assets folder");
      return answer;
    }
    std::ifstream in(file, std::ios::binary);
    answer.body.assign(std::istreambuf_iterator<char>(in), {});
    answer.contentType = mimeFor(file);
    return answer;
  });
}

void Emulator::Impl::serveStream(const httplib::Request& request, httplib::Response& response) {
  const std::string token = request.get_param_value("token");
  if (token.empty() || !gateway.knownToken(token)) {
    sendError(response, 404, "unknown device token; ask POST /__gateway/devices for one");
    return;
  }
  std::int64_t after = LLONG_MAX;
  const std::string last = request.has_header("Last-Event-ID")
                               ? request.get_header_value("Last-Event-ID")
                               : request.get_param_value("after");
  if (!last.empty()) {
    try {
      after = std::stoll(last);
    } catch (...) {
      sendError(response, 400, "Last-Event-ID must be a delivery number");
      return;
    }
  }
  record({{"time", isoDate(state.nowMs())},
          {"method", "GET"},
          {"path", request.path},
          {"endpoint", "__gateway/stream"},
          {"form", {{"token", token}, {"after", last}}},
          {"client", request.remote_addr + ":" + std::to_string(request.remote_port)},
          {"status", 200},
          {"result_code", ""},
          {"answer", nullptr},
          {"notes", Json::array()},
          {"duration_ms", 0.0}});
  ++gateway.openStreams;
  const auto stream = gateway.claimStream(token);
  auto cursor = std::make_shared<std::int64_t>(after);
  auto greeted = std::make_shared<bool>(false);
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, token, stream, cursor, greeted](std::size_t, httplib::DataSink& sink) {
        if (!*greeted) {
          *greeted = true;
          // Lets the device know it is connected before anything is sent.
          static const std::string hello = ": connected\n\n";
          return sink.write(hello.data(), hello.size());
        }
        bool superseded = false;
        auto events = gateway.next(token, stream, *cursor, options.heartbeat, superseded);
        if (gateway.stopping() || superseded) {
          sink.done();
          return true;
        }
        if (events.empty()) {
          static const std::string ping = ": ping\n\n";
          return sink.write(ping.data(), ping.size());
        }
        for (std::size_t i = 0; i < events.size(); ++i) {
          const auto& event = events[i];
          const std::string text = "id: " + std::to_string(event.id) +
                                   "\nevent: notification\ndata: " + event.payload + "\n\n";
          if (!sink.write(text.data(), text.size())) {
            std::vector<std::int64_t> unsent;
            for (std::size_t j = i; j < events.size(); ++j) unsent.push_back(events[j].id);
            gateway.requeue(unsent);
            return false;
          }
          *cursor = event.id;
          ++gateway.eventsStreamed;
        }
        return true;
      },
      [this](bool) { --gateway.openStreams; });
}

Json Emulator::Impl::deliveriesOf(long long seqno) {
  Json list = Json::array();
  for (auto& row : state.db.query(
           "SELECT d.id, d.token, t.name AS device_name, d.app_id, d.device_id, d.cuid, d.state, "
           "d.queued_at, d.sent_at, d.delivered_at, d.read_at, d.payload FROM deliveries d "
           "LEFT JOIN tokens t ON t.token=d.token WHERE d.seqno=? ORDER BY d.id",
           {seqno})) {
    row["payload"] = Json::parse(row["payload"].get<std::string>(), nullptr, false);
    list.push_back(std::move(row));
  }
  return list;
}

void Emulator::Impl::routes() {
  server.Post(R"(/([A-Za-z_]+\.ctl))",
              [this](const httplib::Request& request, httplib::Response& response) {
                const std::string endpoint = request.matches[1];
                Form form;
                std::vector<std::string> duplicates;
                for (const auto& [key, value] : request.params) {
                  if (!form.emplace(key, value).second &&
                      std::find(duplicates.begin(), duplicates.end(), key) == duplicates.end())
                    duplicates.push_back(key);
                }
                if (endpoint == "putAppLog.ctl") {
                  if (auto log = wholeLog(request.body)) form["log"] = *log;
                  serve(request, response, endpoint, form, [&] { return handleLog(form); });
                  return;
                }
                serve(request, response, endpoint, form, [&] {
                  if (!Receiver::isEndpoint(endpoint)) {
                    Answer answer = envelopeAnswer(result::kNotFound);
                    answer.status = 404;
                    answer.notes.push_back(endpoint + ": no such receiver endpoint");
                    return answer;
                  }
                  return receiver.handle(endpoint, form, duplicates);
                });
              });
  for (const char* path : {"/mobile/last-session", "/mobile/purchase"}) {
    server.Post(path, [this, path](const httplib::Request& request, httplib::Response& response) {
      Form form;
      const Json body = Json::parse(request.body, nullptr, false);
      if (body.is_object())
        for (const auto& [key, value] : body.items())
          form[key] = value.is_string() ? value.get<std::string>() : value.dump();
      // Reports name the user in lower case; let fault selectors find it.
      if (form.count("cuid")) form["CUID"] = form["cuid"];
      serve(request, response, path + 1, form, [&] { return handleReport(path, request.body); });
    });
  }
  server.Get(R"(/images/(.+))",
             [this](const httplib::Request& request, httplib::Response& response) {
               serveImage(request, response);
             });
  server.Post("/__gateway/devices",
              [this](const httplib::Request& request, httplib::Response& response) {
                Json body;
                if (!parseJsonBody(request, response, body)) return;
                const std::string name = body.is_object() ? body.value("name", "") : "";
                sendJson(response, {{"token", gateway.issueToken(name)}, {"name", name}});
              });
  server.Get("/__gateway/stream",
             [this](const httplib::Request& request, httplib::Response& response) {
               serveStream(request, response);
             });
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    const auto page = consoleFile("index.html");
    response.set_header("Cache-Control", "no-cache");
    response.set_content(page->body.data(), page->body.size(), std::string(page->contentType));
  });
  server.Get(R"(/console/([A-Za-z0-9_.-]+))", [](const httplib::Request& request,
                                                 httplib::Response& response) {
    const auto file = consoleFile(std::string(request.matches[1]));
    if (!file) return sendError(response, 404, "no such console file");
    response.set_header("Cache-Control", "no-cache");
    response.set_content(file->body.data(), file->body.size(), std::string(file->contentType));
  });
  server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
    sendJson(response, {{"status", "ok"}});
  });
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    std::ostringstream text;
    text << "# HELP orvo_emulator_requests_total Requests served, by endpoint and result code.\n"
            "# TYPE orvo_emulator_requests_total counter\n";
    long long journalSize, dropped;
    {
      std::lock_guard lock(journalMutex);
      for (const auto& [key, count] : requestCounts)
        text << "orvo_emulator_requests_total{endpoint=\"" << escapeLabel(key.first)
             << "\",result_code=\"" << escapeLabel(key.second) << "\"} " << count << "\n";
      journalSize = static_cast<long long>(journal.size());
      dropped = journalDropped;
    }
    long long queued = 0;
    {
      std::lock_guard lock(state.mutex);
      const auto rows = state.db.query("SELECT COUNT(*) AS n FROM deliveries WHERE state='queued'");
      if (!rows.empty()) queued = rows[0]["n"].get<long long>();
    }
    text << "# HELP orvo_emulator_deliveries_total Payloads queued for devices.\n"
            "# TYPE orvo_emulator_deliveries_total counter\n"
         << "orvo_emulator_deliveries_total " << gateway.deliveriesQueued.load() << "\n"
         << "# HELP orvo_emulator_events_streamed_total Payloads written to device streams.\n"
            "# TYPE orvo_emulator_events_streamed_total counter\n"
         << "orvo_emulator_events_streamed_total " << gateway.eventsStreamed.load() << "\n"
         << "# HELP orvo_emulator_queue_depth Payloads waiting for their device.\n"
            "# TYPE orvo_emulator_queue_depth gauge\n"
         << "orvo_emulator_queue_depth " << queued << "\n"
         << "# HELP orvo_emulator_open_streams Devices connected to the gateway.\n"
            "# TYPE orvo_emulator_open_streams gauge\n"
         << "orvo_emulator_open_streams " << gateway.openStreams.load() << "\n"
         << "# HELP orvo_emulator_journal_entries Requests held in the journal.\n"
            "# TYPE orvo_emulator_journal_entries gauge\n"
         << "orvo_emulator_journal_entries " << journalSize << "\n"
         << "# HELP orvo_emulator_journal_dropped_total Requests dropped from the full journal.\n"
            "# TYPE orvo_emulator_journal_dropped_total counter\n"
         << "orvo_emulator_journal_dropped_total " << dropped << "\n"
         << "# HELP orvo_emulator_faults_injected_total Requests a fault rule acted on.\n"
            "# TYPE orvo_emulator_faults_injected_total counter\n"
         << "orvo_emulator_faults_injected_total " << faults.injected() << "\n";
    response.set_content(text.str(), "text/plain; version=0.0.4");
  });
  admin();
}

void Emulator::Impl::admin() {
  using Request = httplib::Request;
  using Response = httplib::Response;

  auto matches = [](const Json& entry, const Json& filter) {
    for (const char* key : {"endpoint", "result_code", "method", "path"})
      if (filter.contains(key) && filter[key] != entry[key]) return false;
    for (const char* key : {"PSID", "CUID"}) {
      const std::string lower = key == std::string("PSID") ? "psid" : "cuid";
      if (filter.contains(lower) &&
          (!entry["form"].contains(key) || entry["form"][key] != filter[lower]))
        return false;
    }
    if (filter.contains("fault") && filter["fault"].is_boolean() &&
        filter["fault"].get<bool>() != entry.contains("fault"))
      return false;
    if (filter.contains("has_notes") && filter["has_notes"].is_boolean() &&
        filter["has_notes"].get<bool>() == entry["notes"].empty())
      return false;
    return true;
  };
  auto filterFrom = [](const Request& request) {
    Json filter = Json::object();
    for (const char* key : {"endpoint", "result_code", "method", "path", "psid", "cuid"})
      if (request.has_param(key)) filter[key] = request.get_param_value(key);
    return filter;
  };

  server.Get(
      "/__admin/requests", [this, matches, filterFrom](const Request& request, Response& response) {
        const Json filter = filterFrom(request);
        std::size_t limit = SIZE_MAX;
        if (request.has_param("limit"))
          limit = std::strtoull(request.get_param_value("limit").c_str(), nullptr, 10);
        // The newest `limit` entries, oldest first.
        std::vector<std::shared_ptr<const Json>> chosen;
        std::size_t total = 0;
        long long dropped = 0;
        {
          std::lock_guard lock(journalMutex);
          for (auto it = journal.rbegin(); it != journal.rend() && chosen.size() < limit; ++it)
            if (matches(**it, filter)) chosen.push_back(*it);
          total = journal.size();
          dropped = journalDropped;
        }
        Json list = Json::array();
        for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) list.push_back(**it);
        sendJson(response, {{"requests", list},
                            {"total", total},
                            {"dropped", dropped},
                            {"capacity", options.journalCapacity}});
      });
  server.Delete("/__admin/requests", [this](const Request&, Response& response) {
    clearJournal();
    sendJson(response, {{"cleared", true}});
  });
  server.Get("/__admin/requests/stream", [this](const Request& request, Response& response) {
    serveJournalStream(request, response);
  });
  server.Post("/__admin/requests/count",
              [this, matches](const Request& request, Response& response) {
                Json filter;
                if (!parseJsonBody(request, response, filter)) return;
                if (!filter.is_object())
                  return sendError(response, 400, "the filter must be a JSON object");
                std::lock_guard lock(journalMutex);
                long long count = 0;
                for (const auto& entry : journal) count += matches(*entry, filter) ? 1 : 0;
                sendJson(response, {{"count", count}});
              });

  server.Get("/__admin/devices", [this](const Request&, Response& response) {
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
    sendJson(response, {{"devices", rows}});
  });
  // The library does not tell the server its application state; a simulated
  // device does, here, so the console can show it.
  server.Post("/__admin/devices/state", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    if (!body.is_object() || !body.contains("psid") || !body["psid"].is_string() ||
        !body.contains("state") || !body["state"].is_string())
      return sendError(response, 400, "expected {\"psid\": text, \"state\": text}");
    if (!gateway.knownToken(body["psid"]))
      return sendError(response, 404, "no device with that psid");
    std::lock_guard lock(state.mutex);
    appStates[body["psid"]] = body["state"];
    sendJson(response, body);
  });
  server.Get("/__admin/tokens", [this](const Request&, Response& response) {
    std::lock_guard lock(state.mutex);
    sendJson(response, {{"tokens", state.db.query("SELECT * FROM tokens ORDER BY created_at")}});
  });
  server.Get("/__admin/users", [this](const Request&, Response& response) {
    std::lock_guard lock(state.mutex);
    sendJson(response, {{"users", state.db.query("SELECT * FROM users ORDER BY created_at")}});
  });
  server.Get("/__admin/groups", [this](const Request&, Response& response) {
    std::lock_guard lock(state.mutex);
    Json groups = Json::array();
    std::map<std::pair<std::string, std::string>, Json> members;
    for (const auto& row :
         state.db.query("SELECT * FROM group_members ORDER BY app_id, group_seq, joined_at"))
      members[{row["app_id"].get<std::string>(), row["group_seq"].get<std::string>()}].push_back(
          row["cuid"]);
    for (const auto& [key, list] : members)
      groups.push_back({{"app_id", key.first}, {"group_seq", key.second}, {"members", list}});
    sendJson(response, {{"groups", groups}});
  });
  server.Get("/__admin/messages", [this](const Request& request, Response& response) {
    std::unique_lock lock(state.mutex);
    Json list = Json::array();
    for (auto& row : state.db.query("SELECT * FROM messages ORDER BY seqno")) {
      row["deliveries"] = deliveriesOf(row["seqno"].get<long long>());
      bool keep = true;
      for (const char* key : {"cuid", "psid"}) {
        if (!request.has_param(key)) continue;
        const std::string wanted = request.get_param_value(key);
        const std::string column = key == std::string("cuid") ? "cuid" : "token";
        keep = std::any_of(row["deliveries"].begin(), row["deliveries"].end(), [&](const Json& d) {
          return d[column].is_string() && d[column].get<std::string>() == wanted;
        });
        if (!keep) break;
      }
      if (keep) list.push_back(std::move(row));
    }
    lock.unlock();
    sendJson(response, {{"messages", list}});
  });
  server.Get("/__admin/reports", [this](const Request&, Response& response) {
    std::lock_guard lock(state.mutex);
    auto rows = state.db.query("SELECT * FROM reports ORDER BY id");
    for (auto& row : rows)
      row["body"] = Json::parse(row["body"].get<std::string>(), nullptr, false);
    sendJson(response, {{"reports", rows}});
  });
  server.Get("/__admin/logs", [this](const Request&, Response& response) {
    std::lock_guard lock(state.mutex);
    auto rows = state.db.query("SELECT * FROM logs ORDER BY id");
    for (auto& row : rows)
      row["record"] = Json::parse(row["record"].get<std::string>(), nullptr, false);
    sendJson(response, {{"logs", rows}});
  });
  server.Get("/__admin/apps", [this](const Request&, Response& response) {
    std::lock_guard lock(state.mutex);
    auto rows = state.db.query("SELECT app_id FROM apps ORDER BY app_id");
    for (auto& row : rows)
      row["receiver_version"] = receiver.versionFor(row["app_id"].get<std::string>());
    sendJson(response, {{"apps", rows}, {"default_receiver_version", options.receiverVersion}});
  });
  server.Post("/__admin/apps", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    if (!body.is_object() || !body.contains("app_id") || !body["app_id"].is_string() ||
        !body.contains("receiver_version") || !body["receiver_version"].is_string())
      return sendError(response, 400,
                       "expected {\"app_id\": text, \"receiver_version\": text such as \"4.0\"}");
    std::lock_guard lock(state.mutex);
    receiver.setVersion(body["app_id"], body["receiver_version"]);
    sendJson(response, body);
  });
  server.Post("/__admin/settings", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    if (body.contains("auth_ttl_ms")) {
      if (!body["auth_ttl_ms"].is_number_integer() || body["auth_ttl_ms"].get<long long>() < 0)
        return sendError(response, 400, "auth_ttl_ms must be a whole number of milliseconds");
      std::lock_guard lock(state.mutex);
      receiver.setAuthTtl(std::chrono::milliseconds(body["auth_ttl_ms"].get<long long>()));
    }
    std::lock_guard lock(state.mutex);
    sendJson(response, {{"auth_ttl_ms", receiver.options().authTtl.count()},
                        {"receiver_version", options.receiverVersion}});
  });

  server.Post("/__admin/send", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    if (!body.is_object()) return sendError(response, 400, "the body must be a JSON object");
    OutgoingMessage message;
    message.sender = "admin";
    message.appId = body.value("app_id", "");
    message.message = body.value("message", "");
    message.ext = body.value("ext", "");
    message.silent = body.value("silent", false);
    if (body.contains("badge")) {
      if (!body["badge"].is_number_integer())
        return sendError(response, 400, "badge must be an integer");
      message.badge = body["badge"].get<std::int64_t>();
    }
    if (body.contains("reserve_date")) {
      std::int64_t at = 0;
      if (!body["reserve_date"].is_string() || !parseDate(body["reserve_date"], at))
        return sendError(response, 400,
                         "reserve_date must be yyyyMMddHHmmss or yyyy-MM-ddTHH:mm:ss (UTC)");
      message.reserveAt = at;
    }
    std::unique_lock lock(state.mutex);
    if (body.contains("user")) {
      message.targetKind = "CUID";
      message.target = body.value("user", "");
    } else if (body.contains("group")) {
      message.targetKind = "GROUP";
      message.target =
          body["group"].is_string() ? body["group"].get<std::string>() : body["group"].dump();
    } else if (body.contains("device")) {
      // A token, a device name given to the gateway, or a device ID.
      const std::string device = body.value("device", "");
      message.targetKind = "PSID";
      auto rows =
          state.db.query("SELECT token FROM tokens WHERE token=? OR name=?", {device, device});
      if (rows.empty())
        rows = state.db.query("SELECT psid AS token FROM devices WHERE device_id=?", {device});
      if (rows.empty()) return sendError(response, 404, "no device " + device);
      message.target = rows[0]["token"].get<std::string>();
    } else if (body.value("all", false)) {
      message.targetKind = "ALL";
    } else {
      return sendError(response, 400, "say who receives it: user, group, device or all: true");
    }
    if (message.appId.empty() && message.targetKind != "ALL" && message.targetKind != "PSID") {
      const auto apps = state.db.query("SELECT app_id FROM apps");
      if (apps.size() != 1)
        return sendError(response, 400,
                         "app_id is needed when there is not exactly one application");
      message.appId = apps[0]["app_id"].get<std::string>();
    }
    const auto outcome = gateway.send(message);
    lock.unlock();
    gateway.wake();
    sendJson(response, {{"seqno", outcome.seqno},
                        {"message_key", outcome.messageKey},
                        {"targets", outcome.targets},
                        {"reserved", outcome.reserved}});
  });

  server.Get("/__admin/faults", [this](const Request&, Response& response) {
    sendJson(response, {{"faults", faults.list()}, {"effects", Faults::vocabulary()}});
  });
  server.Post("/__admin/faults", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    std::string error;
    Json added = Json::array();
    if (!faults.add(body, error, &added)) return sendError(response, 400, error);
    sendJson(response, {{"added", added}});
  });
  server.Delete("/__admin/faults", [this](const Request&, Response& response) {
    faults.clear();
    sendJson(response, {{"cleared", true}});
  });
  server.Delete(R"(/__admin/faults/([^/]+))", [this](const Request& request, Response& response) {
    if (!faults.remove(request.matches[1])) return sendError(response, 404, "no such fault rule");
    sendJson(response, {{"removed", std::string(request.matches[1])}});
  });

  server.Post("/__admin/clock", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    long long by = 0;
    if (body.contains("advance_ms") && body["advance_ms"].is_number_integer())
      by = body["advance_ms"].get<long long>();
    else if (body.contains("advance_seconds") && body["advance_seconds"].is_number())
      by = static_cast<long long>(body["advance_seconds"].get<double>() * 1000);
    else
      return sendError(response, 400, "expected {\"advance_ms\": n} or {\"advance_seconds\": n}");
    if (by < 0) return sendError(response, 400, "the clock only moves forward");
    state.advance(std::chrono::milliseconds(by));
    const int released = gateway.releaseDue();
    sendJson(
        response,
        {{"now", isoDate(state.nowMs())}, {"offset_ms", state.offsetMs()}, {"released", released}});
  });
  server.Get("/__admin/clock", [this](const Request&, Response& response) {
    sendJson(response, {{"now", isoDate(state.nowMs())}, {"offset_ms", state.offsetMs()}});
  });
  server.Post("/__admin/reset", [this](const Request&, Response& response) {
    state.reset();
    {
      std::lock_guard lock(state.mutex);
      appStates.clear();
    }
    faults.clear();
    clearJournal();
    sendJson(response, {{"reset", true}});
  });
  server.Get("/__admin/snapshot",
             [this](const Request&, Response& response) { sendJson(response, state.snapshot()); });
  server.Post("/__admin/snapshot", [this](const Request& request, Response& response) {
    Json body;
    if (!parseJsonBody(request, response, body)) return;
    std::string error;
    if (!state.restore(body, error)) return sendError(response, 400, error);
    gateway.wake();
    sendJson(response, {{"imported", true}});
  });
}

}  // namespace orvo::emulator
