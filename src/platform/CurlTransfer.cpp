#include "platform/CurlTransfer.h"

#include <utility>

namespace orvo::curl {
namespace {

constexpr std::string_view kBodyTooLarge = "response body larger than ";
constexpr std::string_view kHeadersTooLarge = "response headers larger than ";
constexpr std::string_view kBytesSuffix = " bytes";
constexpr std::string_view kStreamEnded = "the stream's reader ended it";

// Header blocks beyond this are not a real server's answer.
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;

}  // namespace

Transfer::~Transfer() {
  if (headerList) curl_slist_free_all(headerList);
}

HttpResponse Transfer::takeResponse(long status) {
  HttpResponse response;
  response.statusCode = status;
  responseHeaders.fill(response);
  response.body = std::move(body);
  body.clear();
  return response;
}

std::string bodyTooLarge(std::size_t cap) {
  return std::string(kBodyTooLarge) + std::to_string(cap) + std::string(kBytesSuffix);
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  if (transfer->onData) {
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status == 200) {
      bool more = false;
      try {
        more = transfer->onData(std::string_view(data, length));
      } catch (...) {
      }
      if (!more) transfer->abortReason = kStreamEnded;
      return more ? length : 0;
    }
  }
  if (length > transfer->maxBodyBytes - transfer->body.size()) {
    transfer->abortReason = bodyTooLarge(transfer->maxBodyBytes);
    return 0;
  }
  try {
    transfer->body.append(data, length);
  } catch (...) {
    return 0;
  }
  return length;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer->headerBytes += length;
  if (transfer->headerBytes > kMaxHeaderBytes) {
    transfer->abortReason =
        std::string(kHeadersTooLarge) + std::to_string(kMaxHeaderBytes) + std::string(kBytesSuffix);
    return 0;
  }
  try {
    transfer->responseHeaders.addLine(std::string_view(data, length));
  } catch (...) {
    return 0;
  }
  return length;
}

ErrorInfo transportError(CURLcode code, std::string_view detail) {
  ErrorInfo error;
  error.domain = std::string(kHttpTransportErrorDomain);
  error.code = static_cast<std::int64_t>(code);
  error.description = curl_easy_strerror(code);
  if (!detail.empty() && detail != error.description) {
    error.description.append(": ").append(detail);
  }
  return error;
}

}  // namespace orvo::curl
