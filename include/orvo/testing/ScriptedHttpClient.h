/// @file
/// An HTTP double: records every request and answers from a script, on the
/// main queue, with HttpClient's contract as the real client keeps it.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvo/platform/HttpClient.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

/// An HTTP client whose answers a test scripts; it records every request and
/// posts each answer to the main queue.
class ScriptedHttpClient : public HttpClient {
 public:
  /// Answers are posted to mainQueue.
  explicit ScriptedHttpClient(std::shared_ptr<MainQueue> mainQueue);

  /// Answers are used in order, one per request. With none queued, the
  /// responder (when set) answers, else the request fails with a transport
  /// error "no scripted answer".
  void enqueue(HttpResult answer);
  /// A 200 answer whose JSON body is the given text.
  /// @{
  void enqueueJson(std::string body, long statusCode = 200);
  static HttpResult jsonAnswer(std::string body, long statusCode = 200);
  /// @}
  /// A success envelope with this body dictionary.
  void enqueueEnvelope(const Dictionary& body, std::string_view resultCode = "0000");
  /// Answers every request when no answer is queued.
  void setResponder(std::function<HttpResult(const HttpRequest&)> responder);

  /// The requests seen so far, and their number.
  /// @{
  std::vector<HttpRequest> requests() const;
  std::size_t requestCount() const;
  /// @}
  /// Forgets the requests seen so far, so a long run does not keep them all.
  void clearRequests();
  /// The last request's form body decoded into a Dictionary of strings.
  static Dictionary decodeForm(std::string_view body);

  void send(HttpRequest request, std::function<void(HttpResult)> completion) override;

 private:
  std::shared_ptr<MainQueue> mainQueue_;
  mutable std::mutex mutex_;
  std::deque<HttpResult> answers_;
  std::function<HttpResult(const HttpRequest&)> responder_;
  std::vector<HttpRequest> requests_;
  /// Gone with the client: answers still on the main queue then stay unrun.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace orvo
