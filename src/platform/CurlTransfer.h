// One request on its way through libcurl: what it carries, what arrives, and
// the callbacks libcurl writes the answer through.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/platform/HttpClient.h"
#include "platform/HttpHeaders.h"

namespace orvo::curl {

// One request on its way through curl.
struct Transfer {
  HttpRequest request;
  std::function<void(HttpResult)> completion;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::size_t maxBodyBytes = 0;
  // A stream's reader takes a 200 answer's body instead of `body`.
  std::function<bool(std::string_view)> onData;
  std::uint64_t id = 0;
  std::chrono::steady_clock::time_point startAt{};

  http::ResponseHeaders responseHeaders;
  std::size_t headerBytes = 0;
  std::string body;
  std::string abortReason;  // why a callback stopped the transfer
  char errorBuffer[CURL_ERROR_SIZE] = {};

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer();

  // The response as it arrived; its body moves out.
  HttpResponse takeResponse(long status);
};

// The transport error libcurl's code names, with what the client knows more.
ErrorInfo transportError(CURLcode code, std::string_view detail);
// Why a body over the cap ended its transfer.
std::string bodyTooLarge(std::size_t cap);

// libcurl's write and header callbacks; `user` is the Transfer. A body over
// the transfer's cap, a header block over 256 KiB, or a stream's reader
// answering false end the transfer, with the reason in `abortReason`.
size_t onBody(char* data, size_t size, size_t count, void* user);
size_t onHeader(char* data, size_t size, size_t count, void* user);

}  // namespace orvo::curl
