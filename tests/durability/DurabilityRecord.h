// What the durability child writes in its N-th round, shared with the test
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

inline std::string fieldValue(std::string_view prefix, std::int64_t n) {
  return std::string(prefix) + std::to_string(n);
}

// The N of a field value, or absent when the value has another form.
inline std::optional<std::int64_t> roundOf(std::string_view prefix, std::string_view value) {
  std::int64_t n = 0;
  const char* end = value.data() + value.size();
  if (!value.starts_with(prefix)) return std::nullopt;
  auto [last, error] = std::from_chars(value.data() + prefix.size(), end, n);
  if (error != std::errc() || last != end || n < 1) return std::nullopt;
  return n;
}

}  // namespace orvo::durability
