// What the durability child writes for its N-th round, shared with the test
// that checks it.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::durability {

inline constexpr std::string_view kClientUIDPrefix = "uid-";
inline constexpr std::string_view kPhoneNumberPrefix = "phone-";
inline constexpr std::string_view kPushServiceIDPrefix = "psid-";
inline constexpr std::string_view kBundleIdentifier = "com.example.durability";

inline std::string fieldValue(std::string_view prefix, std::int64_t n) {
  return std::string(prefix) + std::to_string(n);
}

// The N of a field value, or absent when the value has another form.
inline std::optional<std::int64_t> roundOf(std::string_view prefix, std::string_view value) {
  if (value.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::string_view digits = value.substr(prefix.size());
  std::int64_t n = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (error != std::errc() || end != digits.data() + digits.size() || n < 1) return std::nullopt;
  return n;
}

}  // namespace orvo::durability
