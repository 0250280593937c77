#include "orvo/platform/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "orvo/platform/RunLoop.h"
#include "platform/CaBundle.h"
#include "platform/CurlTransfer.h"
#include "platform/HttpHeaders.h"
#include "platform/RunLoopSource.h"

namespace orvo {
namespace {

using namespace curl;
using http::caBundleWith;
using http::hasLineBreakOrNul;
using http::isToken;

constexpr const char* kAllowedProtocols = "http,https";
// Keeps curl from sending "Expect: 100-continue" and waiting for the answer.
constexpr const char* kNoExpectHeader = "Expect:";

constexpr std::string_view kBadHeader = "invalid request header field ";
constexpr std::string_view kBadMethod = "invalid request method ";
constexpr std::string_view kBadUrl = "invalid request URL";
constexpr std::string_view kCannotStart = "the HTTP client could not start";
constexpr std::string_view kCannotConfigure = "could not configure the transfer";

constexpr double kDefaultTimeoutSeconds = 30.0;
constexpr std::size_t kIdleHandleLimit = 8;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long toMilliseconds(double seconds, double fallbackSeconds) {
  if (!std::isfinite(seconds) || seconds <= 0) seconds = fallbackSeconds;
  const double ms = std::ceil(seconds * 1000.0);
  if (ms >= static_cast<double>(std::numeric_limits<long>::max())) {
    return std::numeric_limits<long>::max();
  }
  return std::max(1L, static_cast<long>(ms));
}

// Completions go through this gate: once the client is gone none runs, and
// the client's destruction waits for one that is running on another thread.
// Recursive, so that a completion may itself destroy the client.
struct CompletionGate {
  std::recursive_mutex mutex;
  bool open = true;
};

}  // namespace

// Transfers are driven by a run loop: the main queue's own when it is one, so
// that an answer reaches its completion without a hand-over between threads;
// otherwise a loop of the client's own on a worker thread.
struct CurlHttpClient::Impl : RunLoopSource, std::enable_shared_from_this<Impl> {
  std::shared_ptr<MainQueue> mainQueue;
  CurlHttpClientOptions options;
  std::shared_ptr<CompletionGate> gate = std::make_shared<CompletionGate>();

  // The system's CA certificates and the application's (CaBundle.h).
  std::string caBundle;
  bool useCaBundle = false;

  // libcurl's global set-up (OpenSSL's among it) and the loop's source wait
  // for the first request: a process that sends none pays for neither.
  std::once_flag started;
  std::shared_ptr<RunLoop> loop;
  std::thread worker;  // runs `loop` when it is the client's own

  std::mutex mutex;  // guards the three below
  std::vector<std::unique_ptr<Transfer>> incoming;
  std::vector<std::uint64_t> cancelling;
  bool stopping = false;
  std::atomic<std::uint64_t> nextId{0};

  // Everything below is touched only with `drive` held: by the loop while it
  // serves this source, and by the shutdown.
  std::mutex drive;
  CURLM* multi = nullptr;
  std::vector<std::unique_ptr<Transfer>> active;
  // Streams whose time to leave has not come.
  std::vector<std::unique_ptr<Transfer>> waiting;
  // Finished handles, reset, for the next requests: sparing their set-up
  // keeps a kept-alive exchange cheap.
  std::vector<CURL*> idleHandles;
  // The sockets curl wants watched, and when it wants to be called back.
  std::vector<pollfd> watched;
  std::chrono::steady_clock::time_point timerDue = std::chrono::steady_clock::time_point::max();
  // Answers, posted once `drive` is released: a main queue that runs tasks
  // at once may destroy the client from a completion.
  std::vector<std::pair<std::function<void(HttpResult)>, HttpResult>> answered;

  Impl(std::shared_ptr<MainQueue> queue, CurlHttpClientOptions opts)
      : mainQueue(std::move(queue)), options(std::move(opts)) {}

  ~Impl() override { releaseCurl(); }

  // False when no request can be served: each is then answered with an error.
  bool start() {
    initializeCurlOnce();
    if (auto bundle = caBundleWith(options.caFile)) {
      caBundle = std::move(*bundle);
      useCaBundle = true;
    }
    multi = curl_multi_init();
    if (!multi) return false;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Impl::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void*>(this));
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Impl::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void*>(this));
    loop = std::dynamic_pointer_cast<RunLoop>(mainQueue);
    if (loop) {
      loop->addSource(shared_from_this());
      return true;
    }
    loop = std::make_shared<RunLoop>();
    loop->addSource(shared_from_this());
    worker = std::thread([ownLoop = loop] { ownLoop->run(); });
    return true;
  }

  void shutdown() {
    {
      // Nothing that is queued or running may complete once this returns.
      std::lock_guard gateLock(gate->mutex);
      gate->open = false;
    }
    {
      std::lock_guard lock(mutex);
      stopping = true;
      incoming.clear();
    }
    if (loop) loop->removeSource(this);
    {
      std::lock_guard lock(drive);
      releaseCurl();
      answered.clear();
    }
    if (!worker.joinable()) return;
    loop->stop();
    if (worker.get_id() == std::this_thread::get_id()) {
      // A main queue that runs tasks at once dropped the client from a
      // completion on the worker: the loop there ends on its own.
      worker.detach();
    } else {
      worker.join();
    }
  }

  // Requests still in flight are dropped unanswered.
  void releaseCurl() {
    if (!multi) return;
    for (auto& transfer : active) {
      curl_multi_remove_handle(multi, transfer->easy);
      curl_easy_cleanup(transfer->easy);
    }
    active.clear();
    waiting.clear();
    for (CURL* easy : idleHandles) curl_easy_cleanup(easy);
    idleHandles.clear();
    curl_multi_cleanup(multi);
    multi = nullptr;
    watched.clear();
  }

  static int onSocket(CURL*, curl_socket_t socket, int what, void* user, void*) {
    auto* self = static_cast<Impl*>(user);
    auto it = std::find_if(self->watched.begin(), self->watched.end(),
                           [socket](const pollfd& p) { return p.fd == socket; });
    if (what == CURL_POLL_REMOVE) {
      if (it != self->watched.end()) self->watched.erase(it);
      return 0;
    }
    const short events = static_cast<short>(((what & CURL_POLL_IN) ? POLLIN : 0) |
                                            ((what & CURL_POLL_OUT) ? POLLOUT : 0));
    try {
      if (it == self->watched.end()) {
        self->watched.push_back(pollfd{socket, events, 0});
      } else {
        it->events = events;
      }
    } catch (...) {
      return -1;
    }
    return 0;
  }

  static int onTimer(CURLM*, long timeoutMs, void* user) {
    auto* self = static_cast<Impl*>(user);
    self->timerDue = timeoutMs < 0
                         ? std::chrono::steady_clock::time_point::max()
                         : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return 0;
  }

  void prepare(std::vector<pollfd>& fds, std::chrono::steady_clock::time_point& deadline) override {
    {
      std::lock_guard lock(drive);
      if (!multi) return;
      std::vector<std::unique_ptr<Transfer>> fresh;
      std::vector<std::uint64_t> cancelled;
      {
        std::lock_guard incomingLock(mutex);
        fresh.swap(incoming);
        cancelled.swap(cancelling);
      }
      try {
        for (auto& transfer : fresh) waiting.push_back(std::move(transfer));
        drop(cancelled);
        startDue(deadline);
        // A new transfer starts here rather than after a wait: on a
        // kept-alive connection the request leaves at once.
        runTimerIfDue();
        fds.insert(fds.end(), watched.begin(), watched.end());
      } catch (...) {
        // Out of memory: the transfers concerned end by their timeouts.
      }
      deadline = std::min(deadline, timerDue);
    }
    postAnswers();
  }

  void dispatch(std::span<const pollfd> fds) override {
    {
      std::lock_guard lock(drive);
      if (!multi) return;
      try {
        for (const pollfd& p : fds) {
          if (p.revents == 0) continue;
          int flags = 0;
          if (p.revents & (POLLIN | POLLHUP)) flags |= CURL_CSELECT_IN;
          if (p.revents & POLLOUT) flags |= CURL_CSELECT_OUT;
          if (p.revents & (POLLERR | POLLNVAL)) flags |= CURL_CSELECT_ERR;
          int running = 0;
          curl_multi_socket_action(multi, p.fd, flags, &running);
        }
        runTimerIfDue();
        collectFinished();
      } catch (...) {
      }
    }
    postAnswers();
  }

  void drop(const std::vector<std::uint64_t>& ids) {
    if (ids.empty()) return;
    auto cancelled = [&ids](const std::unique_ptr<Transfer>& t) {
      return std::find(ids.begin(), ids.end(), t->id) != ids.end();
    };
    std::erase_if(waiting, cancelled);
    for (auto it = active.begin(); it != active.end();) {
      if (!cancelled(*it)) {
        ++it;
        continue;
      }
      curl_multi_remove_handle(multi, (*it)->easy);
      releaseHandle((*it)->easy);
      it = active.erase(it);
    }
  }

  // Begins what is due and brings the deadline forward to the next one.
  void startDue(std::chrono::steady_clock::time_point& deadline) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<Transfer>> due;
    for (auto it = waiting.begin(); it != waiting.end();) {
      if ((*it)->startAt <= now) {
        due.push_back(std::move(*it));
        it = waiting.erase(it);
      } else {
        deadline = std::min(deadline, (*it)->startAt);
        ++it;
      }
    }
    for (auto& transfer : due) begin(std::move(transfer));
  }

  void runTimerIfDue() {
    if (timerDue > std::chrono::steady_clock::now()) return;
    timerDue = std::chrono::steady_clock::time_point::max();
    int running = 0;
    curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
    collectFinished();
  }

  void collectFinished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
    }
  }

  void postAnswers() {
    std::vector<std::pair<std::function<void(HttpResult)>, HttpResult>> ready;
    {
      std::lock_guard lock(drive);
      ready.swap(answered);
    }
    for (auto& [completion, result] : ready) deliver(std::move(completion), std::move(result));
  }

  void deliver(std::function<void(HttpResult)> completion, HttpResult result) {
    if (!completion || !mainQueue) return;
    mainQueue->post(
        [gate = gate, completion = std::move(completion), result = std::move(result)]() mutable {
          std::lock_guard lock(gate->mutex);
          if (!gate->open) return;
          completion(std::move(result));
        });
  }

  // With `drive` held: the answer waits until it is released.
  void answerLater(std::function<void(HttpResult)> completion, HttpResult result) {
    if (completion) answered.emplace_back(std::move(completion), std::move(result));
  }

  void fail(Transfer& transfer, CURLcode code, std::string_view detail) {
    answerLater(std::move(transfer.completion),
                HttpResult{std::nullopt, transportError(code, detail)});
  }

  // Configures a handle for the transfer; a failure is reported and the
  // handle freed.
  CURL* configure(Transfer& t) {
    const HttpRequest& request = t.request;
    if (request.url.empty() || request.url.find('\0') != std::string::npos) {
      fail(t, CURLE_URL_MALFORMAT, kBadUrl);
      return nullptr;
    }
    if (!isToken(request.method)) {
      fail(t, CURLE_BAD_FUNCTION_ARGUMENT, std::string(kBadMethod) + request.method);
      return nullptr;
    }
    for (const auto& [name, value] : request.headers) {
      const std::string text = value.asString() ? *value.asString() : describe(value);
      if (!isToken(name) || hasLineBreakOrNul(text)) {
        fail(t, CURLE_BAD_FUNCTION_ARGUMENT, std::string(kBadHeader) + name);
        return nullptr;
      }
      // "Name;" is how curl sends a header with an empty value.
      std::string line = text.empty() ? name + ";" : name + ": " + text;
      curl_slist* next = curl_slist_append(t.headerList, line.c_str());
      if (!next) {
        fail(t, CURLE_OUT_OF_MEMORY, kCannotConfigure);
        return nullptr;
      }
      t.headerList = next;
    }
    curl_slist* next = curl_slist_append(t.headerList, kNoExpectHeader);
    if (!next) {
      fail(t, CURLE_OUT_OF_MEMORY, kCannotConfigure);
      return nullptr;
    }
    t.headerList = next;

    CURL* easy = takeHandle();
    if (!easy) {
      fail(t, CURLE_FAILED_INIT, kCannotConfigure);
      return nullptr;
    }
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_ERRORBUFFER, t.errorBuffer);
    set(CURLOPT_URL, request.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    set(CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (t.onData) {
      // A stream lasts as long as it is fed; silence is what ends it.
      set(CURLOPT_TIMEOUT_MS, 0L);
      set(CURLOPT_LOW_SPEED_LIMIT, 1L);
      set(CURLOPT_LOW_SPEED_TIME,
          std::max(1L, toMilliseconds(request.timeoutSeconds, kDefaultTimeoutSeconds) / 1000));
    } else {
      set(CURLOPT_TIMEOUT_MS, toMilliseconds(request.timeoutSeconds, kDefaultTimeoutSeconds));
    }
    set(CURLOPT_CONNECTTIMEOUT_MS,
        toMilliseconds(options.connectTimeoutSeconds, kDefaultTimeoutSeconds));
    set(CURLOPT_WRITEFUNCTION, &onBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&t));
    set(CURLOPT_HEADERFUNCTION, &onHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(&t));
    // A stream's whole length has no bound; onBody caps a body that is kept.
    if (!t.onData) {
      set(CURLOPT_MAXFILESIZE_LARGE,
          static_cast<curl_off_t>(std::min<std::size_t>(
              t.maxBodyBytes, static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max()))));
    }
    set(CURLOPT_HTTPHEADER, t.headerList);

    const std::string& method = request.method;
    if (method == "GET" && request.body.empty()) {
      set(CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD" && request.body.empty()) {
      set(CURLOPT_NOBODY, 1L);
    } else if (method == "POST" || !request.body.empty()) {
      set(CURLOPT_POST, 1L);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      // The transfer owns the request, so the bytes outlive the exchange.
      set(CURLOPT_POSTFIELDS, request.body.data());
      if (method != "POST") set(CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
      set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    if (!options.reuseConnections) {
      set(CURLOPT_FRESH_CONNECT, 1L);
      set(CURLOPT_FORBID_REUSE, 1L);
    }
    if (useCaBundle) {
      curl_blob blob{caBundle.data(), caBundle.size(), CURL_BLOB_NOCOPY};
      set(CURLOPT_CAINFO_BLOB, &blob);
    } else if (!options.caFile.empty()) {
      set(CURLOPT_CAINFO, options.caFile.c_str());
    }
    if (rc != CURLE_OK) {
      releaseHandle(easy);
      fail(t, rc, kCannotConfigure);
      return nullptr;
    }
    return easy;
  }

  void begin(std::unique_ptr<Transfer> transfer) {
    CURL* easy = configure(*transfer);
    if (!easy) return;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
      releaseHandle(easy);
      fail(*transfer, CURLE_FAILED_INIT, kCannotConfigure);
      return;
    }
    transfer->easy = easy;
    active.push_back(std::move(transfer));
  }

  CURL* takeHandle() {
    if (idleHandles.empty()) return curl_easy_init();
    CURL* easy = idleHandles.back();
    idleHandles.pop_back();
    return easy;
  }

  void releaseHandle(CURL* easy) {
    curl_easy_reset(easy);
    try {
      if (idleHandles.size() < kIdleHandleLimit) {
        idleHandles.push_back(easy);
        return;
      }
    } catch (...) {
    }
    curl_easy_cleanup(easy);
  }

  void finish(CURL* easy, CURLcode code) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    std::unique_ptr<Transfer> transfer;
    auto it = std::find_if(active.begin(), active.end(),
                           [easy](const std::unique_ptr<Transfer>& t) { return t->easy == easy; });
    if (it != active.end()) {
      transfer = std::move(*it);
      active.erase(it);
    }
    try {
      if (transfer) answer(*transfer, code, status);
    } catch (...) {
      // Out of memory while building the answer: the request ends unanswered
      // rather than with a made-up result.
    }
    // The answer is on its way; the handle is tidied meanwhile.
    curl_multi_remove_handle(multi, easy);
    releaseHandle(easy);
  }

  void answer(Transfer& transfer, CURLcode code, long status) {
    HttpResult result;
    if (code == CURLE_OK) {
      result.response = transfer.takeResponse(status);
    } else {
      std::string detail =
          !transfer.abortReason.empty() ? transfer.abortReason : transfer.errorBuffer;
      if (code == CURLE_FILESIZE_EXCEEDED) detail = bodyTooLarge(transfer.maxBodyBytes);
      result.error = transportError(code, detail);
      if (status > 0) {
        // What had arrived, without a body that was cut short.
        result.response = transfer.takeResponse(status);
        result.response->body.clear();
      }
    }
    answerLater(std::move(transfer.completion), std::move(result));
  }
};

CurlHttpClient::CurlHttpClient(std::shared_ptr<MainQueue> mainQueue,
                               CurlHttpClientOptions options) {
  try {
    impl_ = std::make_shared<Impl>(std::move(mainQueue), std::move(options));
  } catch (...) {
  }
}

CurlHttpClient::~CurlHttpClient() {
  if (!impl_) return;
  try {
    impl_->shutdown();
  } catch (...) {
  }
}

void CurlHttpClient::send(HttpRequest request, std::function<void(HttpResult)> completion) {
  submit(std::move(request), std::move(completion), nullptr, {});
}

std::uint64_t CurlHttpClient::stream(HttpRequest request,
                                     std::function<bool(std::string_view data)> onData,
                                     std::function<void(HttpResult)> completion,
                                     std::chrono::milliseconds delay) {
  return submit(std::move(request), std::move(completion), std::move(onData), delay);
}

void CurlHttpClient::cancel(std::uint64_t stream) {
  if (!impl_) return;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stopping || !impl_->loop) return;
    impl_->cancelling.push_back(stream);
  }
  impl_->loop->wakeUp();
}

std::uint64_t CurlHttpClient::submit(HttpRequest request,
                                     std::function<void(HttpResult)> completion,
                                     std::function<bool(std::string_view)> onData,
                                     std::chrono::milliseconds delay) {
  if (!impl_) return 0;
  std::call_once(impl_->started, [impl = impl_.get()] {
    bool started = false;
    try {
      started = impl->start();
    } catch (...) {
    }
    // Every request, this one included, is then answered with the failure.
    if (!started) {
      std::lock_guard lock(impl->mutex);
      impl->stopping = true;
    }
  });
  try {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    transfer->onData = std::move(onData);
    transfer->id = ++impl_->nextId;
    transfer->startAt = std::chrono::steady_clock::now() + delay;
    transfer->maxBodyBytes = impl_->options.maxBodyBytes;
    if (transfer->request.maxBodyBytes > 0) {
      transfer->maxBodyBytes = std::min(transfer->maxBodyBytes, transfer->request.maxBodyBytes);
    }
    const std::uint64_t id = transfer->id;
    {
      std::unique_lock lock(impl_->mutex);
      if (impl_->stopping) {
        lock.unlock();
        impl_->deliver(std::move(transfer->completion),
                       HttpResult{std::nullopt, transportError(CURLE_FAILED_INIT, kCannotStart)});
        return id;
      }
      impl_->incoming.push_back(std::move(transfer));
    }
    // Picked up the next time the loop waits; a loop asleep is woken.
    impl_->loop->wakeUp();
    return id;
  } catch (...) {
    // Out of memory before the request could be queued: nothing more can
    // be done safely than to drop it.
    return 0;
  }
}

}  // namespace orvo
