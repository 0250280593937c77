#include "orvo/platform/EventStream.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <random>
#include <utility>
#include <vector>

namespace orvo {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDefaultType = "message";
constexpr std::string_view kFieldData = "data";
constexpr std::string_view kFieldEvent = "event";
constexpr std::string_view kFieldId = "id";
constexpr std::string_view kFieldRetry = "retry";

constexpr const char* kAcceptHeader = "Accept";
constexpr const char* kEventStreamType = "text/event-stream";
constexpr const char* kCacheControlHeader = "Cache-Control";
constexpr const char* kNoCache = "no-cache";
constexpr const char* kLastEventIdHeader = "Last-Event-ID";

// A day: a longer wait is not one a client keeps.
constexpr std::uint64_t kLongestRetryMs = 24ull * 3600 * 1000;

// The head of an error answer that goes into the log line, and the most of
// it that is kept.
constexpr std::size_t kLoggedBodyBytes = 200;
constexpr std::size_t kRefusalBodyBytes = 16 * 1024;

std::string tooLong(const char* what, std::size_t limit) {
  return std::string(what) + " longer than " + std::to_string(limit) + " bytes";
}

}  // namespace

EventStreamParser::EventStreamParser(EventStreamLimits limits, std::string lastEventId)
    : limits_(limits), idBuffer_(lastEventId), lastEventId_(std::move(lastEventId)) {}

std::optional<std::string> EventStreamParser::feed(std::string_view bytes, const Handler& handler) {
  if (error_) return error_;
  while (!bytes.empty()) {
    if (afterCarriageReturn_ && bytes.front() == '\n') bytes.remove_prefix(1);
    afterCarriageReturn_ = false;
    const std::size_t end = bytes.find_first_of("\r\n");
    const std::string_view piece = bytes.substr(0, end);
    if (line_.size() + piece.size() > limits_.maxLineBytes)
      return error_ = tooLong("a line", limits_.maxLineBytes);
    if (end == std::string_view::npos) {
      line_.append(piece);
      break;
    }
    afterCarriageReturn_ = bytes[end] == '\r';
    bytes.remove_prefix(end + 1);
    std::optional<std::string> error;
    if (line_.empty()) {
      error = takeLine(piece, handler);
    } else {
      line_.append(piece);
      const std::string line = std::move(line_);
      line_.clear();
      error = takeLine(line, handler);
    }
    if (error) return error_ = std::move(error);
  }
  return std::nullopt;
}

std::optional<std::string> EventStreamParser::takeLine(std::string_view line,
                                                       const Handler& handler) {
  if (firstLine_) {
    firstLine_ = false;
    if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
  }
  if (line.empty()) {
    lastEventId_ = idBuffer_;
    if (data_.empty()) {
      type_.clear();
      return std::nullopt;
    }
    data_.pop_back();  // the "\n" after the last data line
    EventStreamEvent event{type_.empty() ? std::string(kDefaultType) : std::move(type_),
                           std::move(data_), lastEventId_};
    data_.clear();
    type_.clear();
    if (handler) handler(std::move(event));
    return std::nullopt;
  }
  if (line.front() == ':') return std::nullopt;
  const std::size_t colon = line.find(':');
  std::string_view name = line.substr(0, colon);
  std::string_view value;
  if (colon != std::string_view::npos) {
    value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  }
  if (name == kFieldData && data_.size() + value.size() + 1 > limits_.maxEventBytes)
    return tooLong("an event", limits_.maxEventBytes);
  field(name, value);
  return std::nullopt;
}

void EventStreamParser::field(std::string_view name, std::string_view value) {
  if (name == kFieldData) {
    data_.append(value).push_back('\n');
  } else if (name == kFieldEvent) {
    type_.assign(value);
  } else if (name == kFieldId) {
    if (value.find('\0') == std::string_view::npos) idBuffer_.assign(value);
  } else if (name == kFieldRetry) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return;
    std::uint64_t ms = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (error == std::errc::result_out_of_range) ms = kLongestRetryMs;
    retry_ = std::chrono::milliseconds(std::min<std::uint64_t>(ms, kLongestRetryMs));
  }
}

// --- the client ---

// One attempt. Its parser belongs to the thread that drives the transfer
// until the completion, which comes after the last piece of data.
struct EventStreamClient::Connection {
  Connection(EventStreamLimits limits, std::string lastEventId)
      : parser(limits, std::move(lastEventId)) {}
  EventStreamParser parser;
  std::size_t bytes = 0;
  std::optional<std::string> error;
  std::atomic<bool> cancelled{false};
};

std::shared_ptr<EventStreamClient> EventStreamClient::make(EventStreamOptions options,
                                                           std::shared_ptr<CurlHttpClient> http,
                                                           std::shared_ptr<MainQueue> mainQueue,
                                                           std::shared_ptr<LogSink> log,
                                                           Handler handler) {
  return std::shared_ptr<EventStreamClient>(
      new EventStreamClient(std::move(options), std::move(http), std::move(mainQueue),
                            std::move(log), std::move(handler)));
}

EventStreamClient::EventStreamClient(EventStreamOptions options,
                                     std::shared_ptr<CurlHttpClient> http,
                                     std::shared_ptr<MainQueue> mainQueue,
                                     std::shared_ptr<LogSink> log, Handler handler)
    : options_(std::move(options)),
      http_(std::move(http)),
      mainQueue_(std::move(mainQueue)),
      log_(std::move(log)),
      handler_(std::move(handler)),
      lastEventId_(options_.lastEventId),
      // Many devices that lost the same server must not all come back at once.
      jitter_(std::random_device{}()) {}

EventStreamClient::~EventStreamClient() { stop(); }

void EventStreamClient::start() {
  std::lock_guard lock(mutex_);
  if (running_ || !http_ || !mainQueue_) return;
  running_ = true;
  open(std::chrono::milliseconds(0));
}

void EventStreamClient::stop() {
  std::lock_guard lock(mutex_);
  if (!running_) return;
  running_ = false;
  ++generation_;
  if (connection_) connection_->cancelled = true;
  connection_.reset();
  http_->cancel(streamId_);
}

std::string EventStreamClient::lastEventId() const {
  std::lock_guard lock(mutex_);
  return lastEventId_;
}

std::uint64_t EventStreamClient::connections() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

void EventStreamClient::open(std::chrono::milliseconds delay) {
  HttpRequest request;
  request.url = options_.url;
  request.method = "GET";
  request.timeoutSeconds = options_.idleTimeoutSeconds;
  // Only a refusal's body is kept, for the log line.
  request.maxBodyBytes = kRefusalBodyBytes;
  request.headers.set(kAcceptHeader, Value(kEventStreamType));
  request.headers.set(kCacheControlHeader, Value(kNoCache));
  if (!lastEventId_.empty()) request.headers.set(kLastEventIdHeader, Value(lastEventId_));

  auto connection = std::make_shared<Connection>(options_.limits, lastEventId_);
  connection_ = connection;
  const std::uint64_t generation = ++generation_;
  ++opened_;
  std::weak_ptr<EventStreamClient> weak = weak_from_this();
  auto onData = [connection, generation, weak, queue = mainQueue_](std::string_view data) {
    if (connection->cancelled) return false;
    connection->bytes += data.size();
    std::vector<EventStreamEvent> events;
    connection->error = connection->parser.feed(
        data, [&events](EventStreamEvent event) { events.push_back(std::move(event)); });
    if (!events.empty()) {
      queue->post([weak, generation, events = std::move(events)] {
        if (auto self = weak.lock()) self->deliver(generation, events);
      });
    }
    return !connection->error;
  };
  auto completion = [connection, generation, weak](HttpResult result) {
    if (auto self = weak.lock()) self->ended(generation, *connection, result);
  };
  streamId_ = http_->stream(std::move(request), std::move(onData), std::move(completion), delay);
}

void EventStreamClient::deliver(std::uint64_t generation,
                                const std::vector<EventStreamEvent>& events) {
  for (const auto& event : events) {
    {
      std::lock_guard lock(mutex_);
      // A stop (and maybe a new start) came after these were read.
      if (!running_ || generation != generation_) return;
      lastEventId_ = event.lastEventId;
    }
    if (handler_) handler_(event);
  }
}

void EventStreamClient::ended(std::uint64_t generation, const Connection& connection,
                              const HttpResult& result) {
  std::lock_guard lock(mutex_);
  if (!running_ || generation != generation_) return;
  // The parser keeps an ID that came without an event, too.
  lastEventId_ = connection.parser.lastEventId();
  if (auto retry = connection.parser.retry()) serverRetry_ = retry;
  const long status = result.response ? result.response->statusCode : 0;
  std::string why;
  if (connection.error) {
    why = *connection.error;
  } else if (result.error) {
    why = result.error->description;
  } else if (status != 200) {
    why = "HTTP status " + std::to_string(status);
    if (result.response && !result.response->body.empty())
      why += ": " + result.response->body.substr(0, kLoggedBodyBytes);
  } else {
    why = "the server closed it";
  }
  const bool connected = status == 200 && connection.bytes > 0 && !connection.error;
  const auto wait = nextWait(connected);
  if (log_)
    log_->write("Event stream " + options_.url + " ended: " + why + "; opening it again in " +
                std::to_string(wait.count()) + " ms");
  open(wait);
}

// The server's reconnection time (or ours) after a stream that worked;
// doubled for each attempt in a row that brought nothing, up to the cap; and
// up to a quarter more, at random.
std::chrono::milliseconds EventStreamClient::nextWait(bool connected) {
  if (connected) failures_ = 0;
  const auto base = std::min(serverRetry_.value_or(options_.retry), options_.maxRetry);
  auto wait = base;
  for (int i = 0; i < failures_ && wait < options_.maxRetry; ++i) wait *= 2;
  wait = std::min(wait, options_.maxRetry);
  if (!connected) ++failures_;
  jitter_ = jitter_ * 1664525u + 1013904223u;
  const auto spread = wait.count() / 4;
  if (spread > 0) wait += std::chrono::milliseconds(jitter_ % static_cast<std::uint32_t>(spread));
  return wait;
}

}  // namespace orvo
