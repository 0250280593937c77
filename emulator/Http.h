// A request as the emulator's handlers see it and the answer they give,
// apart from any HTTP server: the serving layer fills one and carries out
// the other, and the fuzz target drives the handlers with no socket at all.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvo::emulator {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string path;  // percent-decoded, without the query
  Fields query;      // decoded, in order
  Fields headers;    // names as sent
  std::string body;
  std::string client;  // the peer's address and port, for the journal

  // The first header of that name, whatever its case.
  const std::string* header(std::string_view name) const;
  const std::string* param(std::string_view name) const;
};

struct HttpResponse {
  // Most answers are a status and a body; the rest need the connection,
  // which only the serving layer holds.
  enum class Kind {
    Body,
    Reset,          // close the connection, no answer
    Hold,           // no answer for up to `holdMs`, then close
    Delay,          // after `holdMs`, the answer `then` gives
    HugeBody,       // a 200 answer of `bytes` bytes, streamed
    GatewayStream,  // a device's event stream: `token`, after delivery `after`
    JournalStream,  // the journal's event stream, after entry `after` (-1: from now)
  };
  Kind kind = Kind::Body;
  int status = 200;
  std::string contentType;
  std::string body;
  Fields headers;
  std::int64_t holdMs = 0;
  std::int64_t bytes = 0;
  std::string token;
  std::int64_t after = 0;
  std::function<HttpResponse()> then;
};

// application/x-www-form-urlencoded: "+" is a space (unless told otherwise),
// a bad escape stays as written.
std::string decodeFormText(std::string_view text, bool plusIsSpace = true);
Fields decodeForm(std::string_view body);
// Whether a Content-Type header names this media type, parameters aside.
bool isMediaType(const std::string* contentType, std::string_view type);

}  // namespace orvo::emulator
