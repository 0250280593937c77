/// @file
/// Errors are values: every failure reaches the caller as an ErrorInfo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// A failure as a value: where it comes from (domain), its code, its exact
/// description and any details.
struct ORVO_PUSH_API ErrorInfo {
  /// The error's origin, e.g. kLibraryErrorDomain or kHttpTransportErrorDomain.
  std::string domain;
  /// The code within the domain.
  std::int64_t code = 0;
  /// The text, used exactly as the domain defines it.
  std::string description;
  /// Details, such as the file or the HTTP status concerned.
  Dictionary userInfo;

  /// Equal when every field is.
  friend bool operator==(const ErrorInfo&, const ErrorInfo&) = default;
};

/// "Error Domain=<domain> Code=<code> "<description>"", the form log lines use.
ORVO_PUSH_API std::string describe(const ErrorInfo& error);

/// A value or the error that prevented it. Check ok() first: neither accessor
/// throws. value() of an error is T's empty (value-initialised) value, so code
/// that forgets the check reads nothing rather than crashing; error() of a
/// success is an ErrorInfo with no domain and code 0.
template <class T>
class [[nodiscard]] Result {
 public:
  /// A success holding the value, or an error; implicit, so a function can
  /// return either.
  /// @{
  Result(T value) : value_(std::move(value)) {}
  Result(ErrorInfo error) : value_(), error_(std::move(error)) {}
  /// @}

  /// Whether this is a success.
  /// @{
  [[nodiscard]] bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  /// @}

  /// The value; T's empty value for an error.
  /// @{
  [[nodiscard]] T& value() & { return value_; }
  [[nodiscard]] const T& value() const& { return value_; }
  [[nodiscard]] T&& value() && { return std::move(value_); }
  /// @}
  /// The error; an empty ErrorInfo (no domain, code 0) for a success.
  [[nodiscard]] const ErrorInfo& error() const {
    static const ErrorInfo kNone{};
    return error_ ? *error_ : kNone;
  }

 private:
  T value_;
  std::optional<ErrorInfo> error_;
};

}  // namespace orvo
