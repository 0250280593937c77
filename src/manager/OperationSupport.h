// Small pieces the manager's public operations share: their trace lines and
// the reduced completions they hand on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Log.h"
#include "orvo/Handlers.h"
#include "orvo/Value.h"
#include "protocol/Operations.h"

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

// The silent version refusals of this process, for the push doctor (the
// newest few).
void noteVersionRefusal(std::string line);
std::vector<std::string> versionRefusals();
void forgetVersionRefusals();

// A version gate that gives its caller no error still says why, whatever the
// log switch says: the versions it takes and the one it has.
inline void logVersionRefusal(std::string_view operation, const protocol::VersionRange& takes,
                              const std::string& receiverVersion) {
  static constexpr std::string_view kLine =
      "%@ is refused: it needs a receiver version %@, and the receiver version is %@";
  static constexpr std::string_view kNoVersion = "(none)";
  std::string line = logging::format(
      kLine, {operation, takes.describe(), receiverVersion.empty() ? kNoVersion : receiverVersion});
  logging::always(line);
  noteVersionRefusal(std::move(line));
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
