#include "orvo/platform/GatewayClient.h"

#include <openssl/crypto.h>

#include <utility>

#include "orvo/Json.h"

namespace orvo {

namespace {

constexpr std::string_view kDevicesPath = "/__gateway/devices";
constexpr std::string_view kStreamPath = "/__gateway/stream?token=";
constexpr std::string_view kContentTypeHeader = "Content-Type";
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kNameKey = "name";
constexpr std::string_view kTokenKey = "token";
constexpr std::string_view kNotificationEvent = "notification";
constexpr std::string_view kMessageEvent = "message";
constexpr double kTokenTimeoutSeconds = 10.0;
// The head of an answer or an event quoted in an error or a log line.
constexpr std::size_t kQuotedBytes = 200;

std::string withoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

ErrorInfo gatewayError(std::int64_t code, std::string description) {
  return ErrorInfo{std::string(kGatewayErrorDomain), code, std::move(description), {}};
}

// The gateway writes a token as the platform does: hexadecimal text.
std::optional<Bytes> tokenBytes(const std::string& hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  long length = 0;
  unsigned char* buffer = OPENSSL_hexstr2buf(hex.c_str(), &length);
  if (!buffer) return std::nullopt;
  Bytes bytes(buffer, buffer + length);
  OPENSSL_free(buffer);
  return bytes;
}

}  // namespace

std::shared_ptr<GatewayClient> GatewayClient::make(GatewayOptions options,
                                                   std::shared_ptr<CurlHttpClient> http,
                                                   std::shared_ptr<MainQueue> mainQueue,
                                                   std::shared_ptr<LogSink> log) {
  return std::shared_ptr<GatewayClient>(
      new GatewayClient(std::move(options), std::move(http), std::move(mainQueue), std::move(log)));
}

GatewayClient::GatewayClient(GatewayOptions options, std::shared_ptr<CurlHttpClient> http,
                             std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> log)
    : options_([&] {
        options.url = withoutTrailingSlash(std::move(options.url));
        return std::move(options);
      }()),
      http_(std::move(http)),
      mainQueue_(std::move(mainQueue)),
      log_(std::move(log)) {}

GatewayClient::~GatewayClient() { stop(); }

void GatewayClient::requestToken(TokenHandler handler) {
  std::unique_lock lock(mutex_);
  if (!tokenBytes_.empty()) {
    Bytes token = tokenBytes_;
    lock.unlock();
    if (handler) mainQueue_->post([handler, token] { handler(token); });
    return;
  }
  waiting_.push_back(std::move(handler));
  if (asking_ || stopped_) return;
  asking_ = true;
  lock.unlock();

  HttpRequest request;
  request.url = options_.url + std::string(kDevicesPath);
  request.headers.set(std::string(kContentTypeHeader), Value(kJsonType));
  auto body = writeJson(Value(Dictionary{{std::string(kNameKey), Value(options_.deviceName)}}));
  if (body.ok()) request.body = std::move(body).value();
  request.timeoutSeconds = kTokenTimeoutSeconds;
  std::weak_ptr<GatewayClient> weak = weak_from_this();
  http_->send(std::move(request), [weak](HttpResult result) {
    if (auto self = weak.lock()) self->tokenArrived(result);
  });
}

// On the main queue.
void GatewayClient::tokenArrived(const HttpResult& result) {
  std::optional<ErrorInfo> error;
  std::string token;
  std::optional<Bytes> bytes;
  const std::string where = "the gateway at " + options_.url;
  if (result.error) {
    error = gatewayError(gateway_errors::kUnreachable,
                         where + " did not answer: " + result.error->description);
  } else if (result.response->statusCode != 200) {
    error = gatewayError(gateway_errors::kRefused,
                         where + " answered HTTP " + std::to_string(result.response->statusCode) +
                             ": " + result.response->body.substr(0, kQuotedBytes));
  } else {
    auto json = parseJson(result.response->body);
    const Dictionary* answer = json.ok() ? json.value().asDictionary() : nullptr;
    const std::string* text = answer ? answer->getString(kTokenKey) : nullptr;
    if (text) token = *text;
    bytes = tokenBytes(token);
    if (!bytes)
      error = gatewayError(
          gateway_errors::kNoToken,
          where + " gave no hexadecimal token: " + result.response->body.substr(0, kQuotedBytes));
  }

  std::vector<TokenHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    asking_ = false;
    handlers.swap(waiting_);
    if (!error && !stopped_) {
      token_ = token;
      tokenBytes_ = *bytes;
      EventStreamOptions streamOptions = options_.stream;
      streamOptions.url = options_.url + std::string(kStreamPath) + token_;
      if (!resumeAfter_.empty()) streamOptions.lastEventId = resumeAfter_;
      std::weak_ptr<GatewayClient> weak = weak_from_this();
      stream_ = EventStreamClient::make(std::move(streamOptions), http_, mainQueue_, log_,
                                        [weak](const EventStreamEvent& event) {
                                          if (auto self = weak.lock()) self->onEvent(event);
                                        });
      stream_->start();
    }
  }
  if (error && log_) log_->write("Gateway: " + error->description);
  for (auto& handler : handlers) {
    if (!handler) continue;
    if (error) {
      handler(*error);
    } else {
      handler(*bytes);
    }
  }
}

// On the main queue.
void GatewayClient::onEvent(const EventStreamEvent& event) {
  if (event.type != kNotificationEvent && event.type != kMessageEvent) {
    ControlHandler handler;
    {
      std::lock_guard lock(mutex_);
      handler = controlHandler_;
    }
    if (handler) {
      handler(event.type, event.data);
    } else if (log_) {
      log_->write("Gateway: no handler for event " + event.type.substr(0, kQuotedBytes));
    }
    return;
  }
  auto json = parseJson(event.data);
  const Dictionary* payload = json.ok() ? json.value().asDictionary() : nullptr;
  if (!payload) {
    if (log_)
      log_->write("Gateway: event " + event.lastEventId +
                  " is not a JSON object: " + event.data.substr(0, kQuotedBytes));
    return;
  }
  PayloadHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = payloadHandler_;
  }
  if (handler) handler(event.lastEventId, *payload);
}

std::string GatewayClient::token() const {
  std::lock_guard lock(mutex_);
  return token_;
}

void GatewayClient::setPayloadHandler(PayloadHandler handler) {
  std::lock_guard lock(mutex_);
  payloadHandler_ = std::move(handler);
}

void GatewayClient::setControlHandler(ControlHandler handler) {
  std::lock_guard lock(mutex_);
  controlHandler_ = std::move(handler);
}

void GatewayClient::resumeAfter(std::string eventId) {
  std::lock_guard lock(mutex_);
  resumeAfter_ = std::move(eventId);
}

std::string GatewayClient::lastEventId() const {
  std::lock_guard lock(mutex_);
  return stream_ ? stream_->lastEventId() : resumeAfter_;
}

std::uint64_t GatewayClient::streamConnections() const {
  std::lock_guard lock(mutex_);
  return stream_ ? stream_->connections() : 0;
}

void GatewayClient::stop() {
  std::shared_ptr<EventStreamClient> stream;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    stream = std::move(stream_);
  }
  if (stream) stream->stop();
}

}  // namespace orvo
