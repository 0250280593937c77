#include "Payload.h"

#include "Input.h"

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
  JsonProblem problem;
  auto parsed = parseInputJson(text, problem);
  if (!parsed) {
    error = problem.byte ? "not JSON at " + where(text, *problem.byte) + ": " + problem.reason
                         : problem.reason;
    return std::nullopt;
  }
  nlohmann::json& payload = *parsed;
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
  return parsed;
}

}  // namespace orvo::sim
