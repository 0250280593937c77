#include "Emulator.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "Gateway.h"
#include "Journal.h"
#include "Limits.h"

namespace orvo::emulator {
namespace {

// What the serving layer reads of a body the route does not take, so the
// client still gets its answer; past it, the connection is closed instead.
constexpr std::size_t kDiscarded = 64 * 1024 * 1024;

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

// What the client still sends is not read as another request. Only while it
// is still sending: a socket that has nothing more to read counts as closed
// to this library, which then writes no answer.
void stopReading(const httplib::Request& request) {
  const int fd = findConnection(request.local_port, request.remote_port);
  if (fd >= 0) shutdown(fd, SHUT_RD);
}

void sendError(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content(
      Json{{"error", message}}.dump(-1, ' ', false, Json::error_handler_t::replace),
      "application/json; charset=utf-8");
}

HttpRequest toRequest(const httplib::Request& from, std::string body) {
  HttpRequest request;
  request.method = from.method;
  request.path = from.path;
  for (const auto& [key, value] : from.params) request.query.emplace_back(key, value);
  for (const auto& [key, value] : from.headers) request.headers.emplace_back(key, value);
  request.body = std::move(body);
  request.client = from.remote_addr + ":" + std::to_string(from.remote_port);
  return request;
}

}  // namespace

struct Emulator::Impl {
  explicit Impl(EmulatorOptions options) : service(std::move(options)) {}

  Service service;
  httplib::Server server;
  std::thread serving;
  std::thread scheduler;
  std::atomic<bool> stopping{false};
  std::mutex stopMutex;
  std::condition_variable stopped;
  std::atomic<bool> serverEnded{false};
  int boundPort = 0;

  bool start(std::string& error);
  void routes();
  void handle(const httplib::Request& request, httplib::Response& response, std::string body);
  void gatewayStream(httplib::Response& response, const HttpResponse& answer);
  void journalStream(httplib::Response& response, const HttpResponse& answer);
  // Sleeps up to `ms`, less when the emulator stops.
  void pause(std::int64_t ms);
};

Emulator::Emulator(EmulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() { stop(); }

int Emulator::port() const { return impl_->boundPort; }

std::string Emulator::url() const {
  const auto& address = impl_->service.options().address;
  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]"
                           : address == "0.0.0.0"                 ? std::string("127.0.0.1")
                                                                  : address;
  return "http://" + host + ":" + std::to_string(impl_->boundPort);
}

std::string Emulator::adminToken() const { return impl_->service.options().adminToken; }

bool Emulator::start(std::string& error) { return impl_->start(error); }

bool Emulator::Impl::start(std::string& error) {
  const auto& options = service.options();
  if (!options.listenAny && !isLoopbackAddress(options.address)) {
    error = "refusing to listen on " + options.address +
            ", which is not a loopback address (give --listen-any to allow it)";
    return false;
  }
  if (!service.open(error)) return false;
  // A client that goes away mid-answer must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  const auto threads = options.threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_keep_alive_max_count(100000);
  // An idle kept-alive connection holds stop() until it times out.
  server.set_keep_alive_timeout(5);
  // Bodies of a known length; the handlers count every other kind as it comes.
  server.set_payload_max_length(limits::kSnapshotBody);
  server.set_tcp_nodelay(true);
  routes();
  boundPort = options.port == 0
                  ? server.bind_to_any_port(options.address)
                  : (server.bind_to_port(options.address, options.port) ? options.port : -1);
  if (boundPort <= 0) {
    error = "cannot listen on " + options.address + ":" + std::to_string(options.port);
    return false;
  }
  service.listening(boundPort);
  service.pauseWith([this](std::int64_t ms) { pause(ms); });
  serving = std::thread([this] {
    server.listen_after_bind();
    std::lock_guard lock(stopMutex);
    serverEnded = true;
    stopped.notify_all();
  });
  scheduler = std::thread([this] {
    while (!stopping) {
      service.tick();
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
  impl.service.stop();
  {
    std::lock_guard lock(impl.stopMutex);
    impl.stopped.notify_all();
  }
  impl.server.stop();
  if (impl.serving.joinable()) impl.serving.join();
  if (impl.scheduler.joinable()) impl.scheduler.join();
  // Every send that was answered is in the file for the next start.
  impl.service.flush();
}

void Emulator::wait() {
  std::unique_lock lock(impl_->stopMutex);
  impl_->stopped.wait(lock, [this] { return impl_->serverEnded.load(); });
}

void Emulator::Impl::pause(std::int64_t ms) {
  std::unique_lock lock(stopMutex);
  stopped.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping.load(); });
}

void Emulator::Impl::routes() {
  using httplib::Request;
  using httplib::Response;
  // Before any body is read: this library would read a chunked body of a GET
  // whole, and has no reader for multipart bodies in the handlers below. The
  // body left unread is then taken for requests that make no sense, and
  // refused in turn.
  server.set_pre_routing_handler([](const Request& request, Response& response) {
    const bool takesBody = request.method == "POST" || request.method == "PUT" ||
                           request.method == "PATCH" || request.method == "DELETE";
    const bool hasBody = request.has_header("Transfer-Encoding") ||
                         request.get_header_value<std::uint64_t>("Content-Length") > 0;
    const auto type = request.get_header_value("Content-Type");
    if (hasBody && !takesBody) {
      sendError(response, 400, "a " + request.method + " request carries no body");
    } else if (hasBody && isMediaType(&type, "multipart/form-data")) {
      sendError(response, 415, "the emulator takes no multipart/form-data bodies");
    } else {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  auto withBody = [this](const Request& request, Response& response,
                         const httplib::ContentReader& reader) {
    const std::size_t limit = Service::bodyLimit(request.method, request.path);
    std::string body;
    std::size_t discarded = 0;
    const bool read = reader([&](const char* data, std::size_t length) {
      if (discarded == 0 && body.size() + length <= limit) {
        body.append(data, length);
        return true;
      }
      // Counted as it comes, chunked or not, and let go of.
      if (discarded == 0) std::string().swap(body);
      discarded += length;
      return discarded <= kDiscarded;
    });
    if (discarded > 0 || response.status == 413) {
      sendError(response, 413, "the body is larger than " + std::to_string(limit) + " bytes");
    } else if (!read) {
      sendError(response, 400, "the body could not be read");
    } else {
      return handle(request, response, std::move(body));
    }
    if (!read) stopReading(request);
  };
  server.Post(".*", withBody);
  server.Put(".*", withBody);
  server.Patch(".*", withBody);
  server.Delete(".*", withBody);
  auto withoutBody = [this](const Request& request, Response& response) {
    handle(request, response, {});
  };
  server.Get(".*", withoutBody);
  server.Options(".*", withoutBody);
}

void Emulator::Impl::handle(const httplib::Request& request, httplib::Response& response,
                            std::string body) {
  const HttpResponse answer = service.handle(toRequest(request, std::move(body)));
  using Kind = HttpResponse::Kind;
  switch (answer.kind) {
    case Kind::Body:
      response.status = answer.status;
      for (const auto& [key, value] : answer.headers) response.set_header(key, value);
      response.set_content(answer.body, answer.contentType);
      return;
    case Kind::Reset:
      closeConnection(request);
      return;
    case Kind::Hold: {
      // Hold without answering until the client gives up (or the hold ends).
      const int fd = findConnection(request.local_port, request.remote_port);
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.holdMs);
      while (fd >= 0 && !stopping && std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLRDHUP, 0};
        if (poll(&watch, 1, 50) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
      }
      closeConnection(request);
      return;
    }
    case Kind::HugeBody: {
      const auto size = static_cast<std::size_t>(answer.bytes);
      response.status = 200;
      response.set_content_provider(
          size, answer.contentType,
          [size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
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
      return;
    }
    case Kind::GatewayStream:
      return gatewayStream(response, answer);
    case Kind::JournalStream:
      return journalStream(response, answer);
  }
}

void Emulator::Impl::gatewayStream(httplib::Response& response, const HttpResponse& answer) {
  auto& gateway = service.gateway();
  ++gateway.openStreams;
  const std::string token = answer.token;
  const auto stream = gateway.claimStream(token);
  auto cursor = std::make_shared<std::int64_t>(answer.after);
  auto greeted = std::make_shared<bool>(false);
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, &gateway, token, stream, cursor, greeted](std::size_t, httplib::DataSink& sink) {
        if (!*greeted) {
          *greeted = true;
          // Lets the device know it is connected before anything is sent.
          static const std::string hello = ": connected\n\n";
          return sink.write(hello.data(), hello.size());
        }
        bool superseded = false;
        auto events = gateway.next(token, stream, *cursor, service.options().heartbeat, superseded);
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
      [&gateway](bool) { --gateway.openStreams; });
}

// The journal as it grows: one "request" event per entry, "cleared" when it is
// emptied. A client that reconnects with Last-Event-ID gets what it missed.
void Emulator::Impl::journalStream(httplib::Response& response, const HttpResponse& answer) {
  auto& journal = service.journal();
  auto cursor = std::make_shared<Journal::Cursor>();
  auto greeting = std::make_shared<std::string>(journal.open(answer.after, *cursor));
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, &journal, cursor, greeting](std::size_t, httplib::DataSink& sink) {
        if (!greeting->empty()) {
          // Headers go out with the first bytes; a browser counts the stream
          // open only then.
          std::string text;
          text.swap(*greeting);
          return sink.write(text.data(), text.size());
        }
        const auto text = journal.next(*cursor, service.options().heartbeat);
        if (!text) {
          sink.done();
          return true;
        }
        return sink.write(text->data(), text->size());
      });
}

}  // namespace orvo::emulator
