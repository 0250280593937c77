// Every request the manager makes passes here: refused while the user's
// consent is withheld, tagged with a request identifier when tracing is on,
// and its outcome kept per endpoint for the push doctor.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "orvo/Value.h"
#include "orvo/platform/HttpClient.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

inline constexpr std::string_view kRequestIdHeader = "X-Orvo-Request-Id";

class RequestGuard : public HttpClient, public std::enable_shared_from_this<RequestGuard> {
 public:
  struct Rules {
    // False while consent is withheld (and no withdrawal is unregistering).
    std::function<bool()> allowed;
    std::function<bool()> tracing;
  };
  RequestGuard(std::shared_ptr<HttpClient> inner, std::shared_ptr<MainQueue> mainQueue,
               Rules rules);

  void send(HttpRequest request, std::function<void(HttpResult)> completion) override;

  // The last failure of each endpoint (its last path component): "code",
  // "description", "requestId" when there was one. An endpoint whose last
  // exchange succeeded is absent.
  Dictionary lastErrors() const;

 private:
  void note(const std::string& endpoint, const std::string& requestId, const HttpResult& result);

  const std::shared_ptr<HttpClient> inner_;
  const std::shared_ptr<MainQueue> mainQueue_;
  const Rules rules_;
  const std::string prefix_;
  std::atomic<unsigned long long> next_{1};
  mutable std::mutex mutex_;
  std::map<std::string, Dictionary> lastErrors_;
};

}  // namespace orvo
