// Errors are values: every failure reaches the caller as an ErrorInfo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "orvo/Value.h"

namespace orvo {

struct ErrorInfo {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
  Dictionary userInfo;

  friend bool operator==(const ErrorInfo&, const ErrorInfo&) = default;
};

// "Error Domain=<domain> Code=<code> "<description>"", the form log lines use.
std::string describe(const ErrorInfo& error);

// A value or the error that prevented it. Check ok() first: neither accessor
// throws. value() of an error is T's empty (value-initialised) value, so code
// that forgets the check reads nothing rather than crashing; error() of a
// success is an ErrorInfo with no domain and code 0.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(ErrorInfo error) : value_(), error_(std::move(error)) {}

  [[nodiscard]] bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  [[nodiscard]] T& value() & { return value_; }
  [[nodiscard]] const T& value() const& { return value_; }
  [[nodiscard]] T&& value() && { return std::move(value_); }
  [[nodiscard]] const ErrorInfo& error() const {
    static const ErrorInfo kNone{};
    return error_ ? *error_ : kNone;
  }

 private:
  T value_;
  std::optional<ErrorInfo> error_;
};

}  // namespace orvo
