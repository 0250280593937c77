// Small pieces every receiver operation uses to build its parameters and to
// answer its caller.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "orvo/Handlers.h"
#include "orvo/PushErrors.h"
#include "orvo/Value.h"

namespace orvo::protocol {

// No record yet: the owner has not started.
inline ErrorInfo accessError() {
  return libraryError(errors::kAccessInterface, errors::kAccessInterfaceText);
}

inline void put(Dictionary& parameters, std::string_view key, std::string_view value) {
  parameters.set(std::string(key), Value(std::string(value)));
}

// Success or the transport's error, nothing else.
inline auto plainResult(ReceiverHandler completion) {
  return [completion = std::move(completion)](const std::optional<Dictionary>&,
                                              const std::optional<ErrorInfo>& error) {
    if (completion) completion(!error.has_value(), error);
  };
}

// The failure of an operation before its own request.
inline auto failWith(ReceiverHandler completion) {
  return [completion = std::move(completion)](const ErrorInfo& error) {
    if (completion) completion(false, error);
  };
}
inline auto failWith(ReceiverBodyHandler completion) {
  return [completion = std::move(completion)](const ErrorInfo& error) {
    if (completion) completion(false, error, std::nullopt);
  };
}

}  // namespace orvo::protocol
