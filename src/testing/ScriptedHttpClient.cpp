#include "orvo/testing/ScriptedHttpClient.h"

#include "orvo/testing/ReceiverEnvelope.h"

namespace orvo {
namespace {

constexpr std::string_view kNoAnswer = "no scripted answer";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form decoding as a server does it: "+" is a space, "%XX" a byte.
std::string formDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
               hexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

ScriptedHttpClient::ScriptedHttpClient(std::shared_ptr<MainQueue> mainQueue)
    : mainQueue_(std::move(mainQueue)) {}

void ScriptedHttpClient::enqueue(HttpResult answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(std::move(answer));
}

void ScriptedHttpClient::enqueueJson(std::string body, long statusCode) {
  enqueue(jsonAnswer(std::move(body), statusCode));
}

HttpResult ScriptedHttpClient::jsonAnswer(std::string body, long statusCode) {
  HttpResponse response;
  response.statusCode = statusCode;
  response.mimeType = "application/json";
  response.textEncodingName = "utf-8";
  response.headers.set("Content-Type", "application/json; charset=utf-8");
  response.body = std::move(body);
  return HttpResult{std::move(response), std::nullopt};
}

void ScriptedHttpClient::enqueueEnvelope(const Dictionary& body, std::string_view resultCode) {
  enqueueJson(receiverEnvelope(body, resultCode));
}

void ScriptedHttpClient::setResponder(std::function<HttpResult(const HttpRequest&)> responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

std::vector<HttpRequest> ScriptedHttpClient::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t ScriptedHttpClient::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

void ScriptedHttpClient::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

Dictionary ScriptedHttpClient::decodeForm(std::string_view body) {
  Dictionary result;
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    std::string_view pair = body.substr(start, end - start);
    std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) {
      result.set(formDecode(pair), std::string());
    } else {
      result.set(formDecode(pair.substr(0, equals)), formDecode(pair.substr(equals + 1)));
    }
    start = end + 1;
  }
  return result;
}

void ScriptedHttpClient::send(HttpRequest request, std::function<void(HttpResult)> completion) {
  HttpResult answer;
  std::function<HttpResult(const HttpRequest&)> responder;
  bool haveAnswer = false;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (!answers_.empty()) {
      answer = std::move(answers_.front());
      answers_.pop_front();
      haveAnswer = true;
    } else {
      responder = responder_;
    }
  }
  if (!haveAnswer) {
    if (responder) {
      answer = responder(request);
    } else {
      answer.error =
          ErrorInfo{std::string(kHttpTransportErrorDomain), -1, std::string(kNoAnswer), {}};
    }
  }
  // Answers arrive later on the main queue, never inside send().
  mainQueue_->post([alive = std::weak_ptr<const bool>(alive_), completion = std::move(completion),
                    answer = std::move(answer)]() mutable {
    if (completion && !alive.expired()) completion(std::move(answer));
  });
}

}  // namespace orvo
