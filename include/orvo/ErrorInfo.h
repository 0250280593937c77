// Errors are values: every failure reaches the caller as an ErrorInfo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

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

// A value or the error that prevented it.
template <class T>
class Result {
 public:
  Result(T value) : data_(std::move(value)) {}
  Result(ErrorInfo error) : data_(std::move(error)) {}

  bool ok() const { return data_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  const ErrorInfo& error() const { return std::get<1>(data_); }

 private:
  std::variant<T, ErrorInfo> data_;
};

}  // namespace orvo
