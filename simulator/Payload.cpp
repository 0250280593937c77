#include "Payload.h"

namespace orvo::sim {
namespace {

std::string where(const std::string& text, std::size_t offset) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + " (byte " +
         std::to_string(offset) + ")";
}

}  // namespace

std::optional<nlohmann::json> checkPayload(const std::string& text, std::string& error) {
  if (text.size() > kMaxPayloadBytes) {
    error = "the payload is " + std::to_string(text.size()) + " bytes; the limit is " +
            std::to_string(kMaxPayloadBytes) + " (the excess starts at " +
            where(text, kMaxPayloadBytes) + ")";
    return std::nullopt;
  }
  nlohmann::json payload;
  try {
    payload = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& parseError) {
    // The library's byte is one past the offending character.
    const std::size_t offset = parseError.byte > 0 ? parseError.byte - 1 : 0;
    // The parser's text is "[...] parse error at line L, column C: REASON".
    std::string reason = parseError.what();
    if (const auto at = reason.find("parse error"); at != std::string::npos)
      if (const auto colon = reason.find(": ", at); colon != std::string::npos)
        reason = reason.substr(colon + 2);
    error = "not JSON at " + where(text, offset) + ": " + reason;
    return std::nullopt;
  }
  if (!payload.is_object()) {
    error = std::string("the payload must be a JSON object, not ") + payload.type_name();
    return std::nullopt;
  }
  if (!payload.contains("aps")) {
    error = "the payload has no \"aps\" entry";
    return std::nullopt;
  }
  if (!payload["aps"].is_object()) {
    error = std::string("\"aps\" must be an object, not ") + payload["aps"].type_name();
    return std::nullopt;
  }
  if (payload.contains("orv") && !payload["orv"].is_object()) {
    error = std::string("\"orv\" must be an object, not ") + payload["orv"].type_name();
    return std::nullopt;
  }
  return payload;
}

}  // namespace orvo::sim
