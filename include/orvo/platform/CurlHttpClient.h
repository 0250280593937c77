// The desktop HTTP client: libcurl's multi interface, driven without blocking
// by the run loop that serves the main queue (or, when the main queue is not
// a RunLoop, by a loop of the client's own on a worker thread).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "orvo/platform/HttpClient.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

struct CurlHttpClientOptions {
  // Extra CA certificates (PEM) trusted besides the system's.
  std::string caFile;
  // A larger response body ends the exchange with a transport error.
  std::size_t maxBodyBytes = 8 * 1024 * 1024;
  double connectTimeoutSeconds = 10.0;
  // Off: every request opens its own connection (for measurements).
  bool reuseConnections = true;
};

// Peer and host verification stay on; only http and https; redirects are not
// followed; cookies are never sent or stored. Completions keep HttpClient's
// contract. On a RunLoop main queue, requests progress while that loop runs
// (run(), runUntil() or runUntilIdle()), as its completions do. Destroying
// the client waits for a completion that is running on another thread.
class CurlHttpClient : public HttpClient {
 public:
  CurlHttpClient(std::shared_ptr<MainQueue> mainQueue, CurlHttpClientOptions options = {});
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  void send(HttpRequest request, std::function<void(HttpResult)> completion) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvo
