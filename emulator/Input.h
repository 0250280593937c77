// JSON from outside: read with its depth bounded while it is read, so no
// recursive copy or destruction ever meets a value nested without end, and
// objects read field by field, each problem named by its field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database.h"
#include "Limits.h"

namespace orvo::emulator {

// The value, or nullopt with `error` saying what `what` ("the body") is not.
std::optional<Json> parseJson(std::string_view text, std::string& error,
                              std::string_view what = "the body");

// Reads the fields of one JSON object. Each getter marks its field known and
// gives its value, or nullopt when it is absent or wrong; the first wrong one
// is kept for check(), which also refuses any field no getter asked about.
class Shape {
 public:
  Shape(const Json& value, std::string what);

  bool has(const std::string& key) const;
  std::optional<std::string> text(const std::string& key, std::size_t maxBytes = limits::kText);
  std::optional<std::int64_t> integer(const std::string& key, std::int64_t low, std::int64_t high);
  std::optional<double> number(const std::string& key, double low, double high);
  std::optional<bool> flag(const std::string& key);
  // Any type; the caller judges it.
  const Json* any(const std::string& key);
  // A field the caller cannot go without.
  void require(const std::string& key);
  // The caller's own finding about a field.
  void refuse(const std::string& message);

  // True when every field was right and known; otherwise false with `error`.
  bool check(std::string& error) const;

 private:
  const Json* field(const std::string& key);
  void wrong(const std::string& key, const std::string& expected);

  const Json& value_;
  std::string what_;
  std::vector<std::string> known_;
  std::string error_;
};

// Decimal digits only, within the signed 64-bit range.
bool parseCount(std::string_view text, std::int64_t& value);

// A value as a message quotes it: JSON text, cut short.
std::string quoted(const Json& value);

}  // namespace orvo::emulator
