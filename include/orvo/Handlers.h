// Completion callbacks, named by shape. An empty function is an absent
// callback; each is called at most once.
#pragma once

#include <cstdint>
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

// Application operations: success alone.
using ResultHandler = std::function<void(bool success)>;
// Success and the response body.
using ResultBodyHandler = std::function<void(bool success, const std::optional<Dictionary>& body)>;
// Success, the error that prevented it, and the response body.
using ResultInfoHandler = std::function<void(bool success, const std::optional<ErrorInfo>& error,
                                             const std::optional<Dictionary>& body)>;
// Whether the receiver knows this registration, or the error.
using RegisteredHandler =
    std::function<void(bool registered, const std::optional<ErrorInfo>& error)>;
// The device token's text, or the error that prevented it.
using TokenHandler = std::function<void(const std::optional<std::string>& token,
                                        const std::optional<ErrorInfo>& error)>;
// The service status (1 to 5) and the error of status 5.
using ServiceStatusHandler =
    std::function<void(std::int64_t status, const std::optional<ErrorInfo>& error)>;
// Session and purchase reports: success and the result, which is the parsed
// answer on success and a {"code", "message"} Dictionary on failure; absent
// when the access gate refused.
using ReportHandler = std::function<void(bool success, const std::optional<Value>& result)>;

}  // namespace orvo
