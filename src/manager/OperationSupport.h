// Small pieces the manager's public operations share: their trace lines and
// the reduced completions they hand on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Log.h"
#include "orvo/Handlers.h"
#include "orvo/Value.h"

namespace orvo::operations {

// An absent text argument as the trace writes it.
inline std::string textOf(const std::optional<std::string>& value) {
  return value ? *value : std::string("(null)");
}

// Lines are only built while the trace is on: payloads can be large.
template <typename... Values>
void trace(std::string_view format, const Values&... values) {
  if (logging::isOn()) logging::trace(logging::format(format, {std::string_view(values)...}));
}

// The receiver's outcome reduced to the success flag.
inline ReceiverHandler successOnly(ResultHandler completion) {
  return [completion = std::move(completion)](bool success, const std::optional<ErrorInfo>&) {
    if (completion) completion(success);
  };
}

// What a refused access gate does to a success-only completion.
inline std::function<void()> failed(ResultHandler completion) {
  return [completion = std::move(completion)] {
    if (completion) completion(false);
  };
}

}  // namespace orvo::operations
