// Completion callbacks, named by shape. An empty function is an absent
// callback; each is called at most once.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "orvo/ErrorInfo.h"
#include "orvo/Value.h"

namespace orvo {

// Receiver operations: success and the error that prevented it.
using ReceiverHandler = std::function<void(bool success, const std::optional<ErrorInfo>& error)>;
// The same with the response body (present on success).
using ReceiverBodyHandler = std::function<void(bool success, const std::optional<ErrorInfo>& error,
                                               const std::optional<Dictionary>& body)>;
// The auth-key request: success, the key ("" when there is none), the error.
using AuthKeyHandler = std::function<void(bool success, const std::string& authKey,
                                          const std::optional<ErrorInfo>& error)>;

}  // namespace orvo
