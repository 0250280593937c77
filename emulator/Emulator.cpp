#include "Emulator.h"

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

#include "Gateway.h"
#include "Journal.h"
#include "Limits.h"
#include "Streams.h"

namespace orvo::emulator {
namespace {

// What the serving layer reads of a body the route does not take, so the
// client still gets its answer; past it, the connection is closed instead.
constexpr std::size_t kDiscarded = 64 * 1024 * 1024;
// Connections past the limit that are still accepted, to be told 503 and to
// leave room for the health check and the admin API.
constexpr unsigned kReserve = 64;
// Descriptors the process keeps for its files, the state and the listener.
constexpr unsigned kOwnDescriptors = 64;
// The memory each connection reads its request line and headers into and
// writes a stream from; a quarter of the library's default, which a held
// stream would hold for nothing (headers past it are answered 431).
constexpr std::size_t kConnectionMemory = 8 * 1024;

// One request on a connection, from its headers to its answer.
struct Exchange {
  std::string body;
  std::size_t limit = 0;
  std::size_t discarded = 0;
  bool answered = false;
  HttpResponse held;  // what a hold or a delay does when it ends
};

MHD_Result answerWith(MHD_Connection* connection, int status, const std::string& body,
                      const std::string& contentType, const Fields& headers = {}) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  if (!contentType.empty()) MHD_add_response_header(response, "Content-Type", contentType.c_str());
  for (const auto& [key, value] : headers)
    MHD_add_response_header(response, key.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result refuse(MHD_Connection* connection, int status, const std::string& message,
                  const Fields& headers = {}) {
  return answerWith(connection, status,
                    Json{{"error", message}}.dump(-1, ' ', false, Json::error_handler_t::replace),
                    "application/json; charset=utf-8", headers);
}

// Closes with a reset rather than a goodbye, as a crashed server would.
MHD_Result resetConnection(MHD_Connection* connection) {
  if (const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    linger abrupt{1, 0};
    setsockopt(info->connect_fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
  }
  return MHD_NO;
}

// The huge_body fault's answer, made as it is read.
ssize_t hugeBody(void* cls, std::uint64_t position, char* buffer, std::size_t max) {
  const auto size = *static_cast<std::uint64_t*>(cls);
  static const std::string prefix = "{\"HEADER\":{\"RESULT_CODE\":\"0000\"},\"BODY\":{\"PAD\":\"";
  std::size_t i = 0;
  for (; i < max && position + i < size; ++i) {
    const std::uint64_t at = position + i;
    buffer[i] = at < prefix.size() ? prefix[at] : (at + 3 >= size ? '}' : 'x');
  }
  return i == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(i);
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<Fields*>(cls)->emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

std::string clientOf(MHD_Connection* connection) {
  const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return "";
  char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
  const socklen_t size =
      info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (getnameinfo(info->client_addr, size, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return std::string(host) + ":" + port;
}

// As many descriptors as the system lets this process have: each connection
// costs one.
rlim_t raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

}  // namespace

struct Emulator::Impl {
  explicit Impl(EmulatorOptions options)
      : service(std::move(options)),
        streams(service.gateway(), service.journal(), service.options().heartbeat) {}

  Service service;
  Streams streams;
  MHD_Daemon* daemon = nullptr;
  std::thread scheduler;
  std::atomic<bool> stopping{false};
  std::mutex stopMutex;
  std::condition_variable stopped;
  int boundPort = 0;
  std::size_t maxConnections = 0;
  std::atomic<std::size_t> connections{0};

  bool start(std::string& error);
  int listen(std::string& error);
  MHD_Result request(MHD_Connection* connection, const char* url, const char* method,
                     const char* upload, std::size_t* uploadSize, Exchange*& exchange);
  MHD_Result begin(MHD_Connection* connection, const std::string& url, const std::string& method,
                   Exchange& exchange);
  MHD_Result carryOut(MHD_Connection* connection, Exchange& exchange, HttpResponse answer);
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

Service& Emulator::service() { return impl_->service; }

bool Emulator::start(std::string& error) { return impl_->start(error); }

int Emulator::Impl::listen(std::string& error) {
  const auto& options = service.options();
  const std::string where = options.address + ":" + std::to_string(options.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(options.address.c_str(), std::to_string(options.port).c_str(), &hints, &found) !=
          0 ||
      !found) {
    error = "cannot listen on " + where + ": not an address";
    return -1;
  }
  const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  const int yes = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const bool bound =
      fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
  freeaddrinfo(found);
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  if (!bound || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    error = "cannot listen on " + where + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  boundPort = local.ss_family == AF_INET6
                  ? ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port)
                  : ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
  return fd;
}

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
  const rlim_t descriptors = raiseDescriptorLimit();
  maxConnections = options.maxConnections;
  if (descriptors < kOwnDescriptors + kReserve + 1) {
    maxConnections = 1;
  } else if (maxConnections > descriptors - kOwnDescriptors - kReserve) {
    maxConnections = descriptors - kOwnDescriptors - kReserve;
    service.journal().warn("--max-connections lowered to " + std::to_string(maxConnections) +
                           ": the process may open " + std::to_string(descriptors) + " files");
  }
  const int fd = listen(error);
  if (fd < 0) return false;
  service.listening(boundPort);
  service.gateway().wakeWith([this](const std::vector<std::string>& tokens, bool everyone) {
    streams.wake(tokens, everyone);
  });
  service.journal().onChange([this] { streams.wakeJournal(); });

  const auto access = [](void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char*, const char* upload, std::size_t* uploadSize, void** state) {
    auto* exchange = static_cast<Exchange*>(*state);
    const auto result =
        static_cast<Impl*>(cls)->request(connection, url, method, upload, uploadSize, exchange);
    *state = exchange;
    return result;
  };
  const auto completed = [](void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*state);
    *state = nullptr;
  };
  const auto counted = [](void* cls, MHD_Connection*, void**, MHD_ConnectionNotificationCode code) {
    auto& count = static_cast<Impl*>(cls)->connections;
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
      ++count;
    else
      --count;
  };
  using Completed = void (*)(void*, MHD_Connection*, void**, MHD_RequestTerminationCode);
  using Counted = void (*)(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode);
  // Streams are pinged; an idle kept-alive connection goes after a while.
  const auto idle =
      static_cast<unsigned>(std::max<long long>(30, 2 * (options.heartbeat.count() + 999) / 1000));
  const unsigned threads = static_cast<unsigned>(std::max<std::size_t>(1, options.threads));
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, +access, this, MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_THREAD_POOL_SIZE, threads > 1 ? threads : 0u, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(maxConnections + kReserve), MHD_OPTION_CONNECTION_TIMEOUT, idle,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
      static_cast<Completed>(completed), this, MHD_OPTION_NOTIFY_CONNECTION,
      static_cast<Counted>(counted), this, MHD_OPTION_END);
  if (!daemon) {
    close(fd);
    error = "cannot serve on " + options.address + ":" + std::to_string(boundPort);
    return false;
  }
  scheduler = std::thread([this] {
    while (!stopping) {
      service.tick();
      streams.tick();
      std::unique_lock lock(stopMutex);
      stopped.wait_for(lock, std::chrono::milliseconds(20), [this] { return stopping.load(); });
    }
  });
  return true;
}

MHD_Result Emulator::Impl::request(MHD_Connection* connection, const char* url, const char* method,
                                   const char* upload, std::size_t* uploadSize,
                                   Exchange*& exchange) {
  if (!exchange) {
    exchange = new Exchange;
    return begin(connection, url, method, *exchange);
  }
  if (exchange->answered) {
    *uploadSize = 0;
    return MHD_YES;
  }
  if (exchange->held.kind == HttpResponse::Kind::Hold) return resetConnection(connection);
  if (exchange->held.kind == HttpResponse::Kind::Delay) {
    auto then = std::move(exchange->held.then);
    exchange->held = HttpResponse();
    if (stopping) return resetConnection(connection);
    return carryOut(connection, *exchange, then());
  }
  if (*uploadSize > 0) {
    // Counted as it comes, chunked or not, and let go of past the cap.
    if (exchange->discarded == 0 && exchange->body.size() + *uploadSize <= exchange->limit) {
      exchange->body.append(upload, *uploadSize);
    } else {
      if (exchange->discarded == 0) std::string().swap(exchange->body);
      exchange->discarded += *uploadSize;
    }
    *uploadSize = 0;
    return exchange->discarded > kDiscarded ? MHD_NO : MHD_YES;
  }
  exchange->answered = true;
  if (exchange->discarded > 0)
    return refuse(connection, 413,
                  "the body is larger than " + std::to_string(exchange->limit) + " bytes");
  HttpRequest request;
  request.method = method;
  request.path = url;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collect, &request.query);
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &collect, &request.headers);
  request.body = std::move(exchange->body);
  request.client = clientOf(connection);
  return carryOut(connection, *exchange, service.handle(request));
}

// What can be refused from the headers alone, before any body is read.
MHD_Result Emulator::Impl::begin(MHD_Connection* connection, const std::string& url,
                                 const std::string& method, Exchange& exchange) {
  exchange.limit = Service::bodyLimit(method, url);
  auto header = [&](const char* name) -> const char* {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  };
  const bool exempt = url == "/healthz" || url.rfind("/__admin/", 0) == 0;
  if (connections > maxConnections && !exempt) {
    exchange.answered = true;
    return refuse(connection, 503,
                  "the emulator holds its limit of " + std::to_string(maxConnections) +
                      " connections (--max-connections); try again later",
                  {{"Connection", "close"}, {"Retry-After", "1"}});
  }
  const bool takesBody =
      method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
  const char* length = header("Content-Length");
  const bool hasBody =
      header("Transfer-Encoding") || (length && std::strtoull(length, nullptr, 10) > 0);
  const char* type = header("Content-Type");
  const std::string typeText = type ? type : "";
  if (hasBody && !takesBody) {
    exchange.answered = true;
    return refuse(connection, 400, "a " + method + " request carries no body");
  }
  if (hasBody && type && isMediaType(&typeText, "multipart/form-data")) {
    exchange.answered = true;
    return refuse(connection, 415, "the emulator takes no multipart/form-data bodies");
  }
  if (length && std::strtoull(length, nullptr, 10) > kDiscarded) {
    exchange.answered = true;
    return refuse(connection, 413,
                  "the body is larger than " + std::to_string(exchange.limit) + " bytes");
  }
  return MHD_YES;
}

MHD_Result Emulator::Impl::carryOut(MHD_Connection* connection, Exchange& exchange,
                                    HttpResponse answer) {
  using Kind = HttpResponse::Kind;
  switch (answer.kind) {
    case Kind::Body:
      return answerWith(connection, answer.status, answer.body, answer.contentType, answer.headers);
    case Kind::Reset:
      return resetConnection(connection);
    case Kind::Hold:
    case Kind::Delay: {
      const auto ms = answer.holdMs;
      exchange.answered = false;
      exchange.held = std::move(answer);
      if (streams.hold(connection, ms)) return MHD_YES;
      return resetConnection(connection);
    }
    case Kind::HugeBody: {
      auto* size = new std::uint64_t(static_cast<std::uint64_t>(answer.bytes));
      MHD_Response* response = MHD_create_response_from_callback(
          *size, 64 * 1024, &hugeBody, size,
          [](void* cls) { delete static_cast<std::uint64_t*>(cls); });
      if (!response) return MHD_NO;
      MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
      const MHD_Result queued = MHD_queue_response(connection, 200, response);
      MHD_destroy_response(response);
      return queued;
    }
    case Kind::GatewayStream:
    case Kind::JournalStream: {
      MHD_Response* response = answer.kind == Kind::GatewayStream
                                   ? streams.gatewayStream(connection, answer.token, answer.after)
                                   : streams.journalStream(connection, answer.after);
      if (!response) return MHD_NO;
      const MHD_Result queued = MHD_queue_response(connection, 200, response);
      MHD_destroy_response(response);
      return queued;
    }
  }
  return MHD_NO;
}

void Emulator::stop() {
  auto& impl = *impl_;
  if (impl.stopping.exchange(true)) return;
  {
    std::lock_guard lock(impl.stopMutex);
    impl.stopped.notify_all();
  }
  if (impl.scheduler.joinable()) impl.scheduler.join();
  impl.service.stop();
  // Nothing may stay suspended when the daemon stops.
  impl.streams.stop();
  if (impl.daemon) MHD_stop_daemon(impl.daemon);
  impl.daemon = nullptr;
  // Every send that was answered is in the file for the next start.
  impl.service.flush();
}

void Emulator::wait() {
  std::unique_lock lock(impl_->stopMutex);
  impl_->stopped.wait(lock, [this] { return impl_->stopping.load(); });
}

}  // namespace orvo::emulator
