// What the platform would refuse in a payload pushed straight to a device,
// said plainly and with where it is.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace orvo::sim {

// The platform's limit for a remote notification's payload.
inline constexpr std::size_t kMaxPayloadBytes = 4096;

// The payload, or nullopt with `error` naming the problem and, for JSON
// errors, the line, column and byte offset.
std::optional<nlohmann::json> checkPayload(const std::string& text, std::string& error);

}  // namespace orvo::sim
