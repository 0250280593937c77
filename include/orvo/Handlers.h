/// @file
/// Completion callbacks, named by shape. An empty function is an absent
/// callback: nothing is called. Every handler here is called at most once, and
/// exactly once unless the host goes away first; each group below says when,
/// and on which thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "orvo/ErrorInfo.h"
#include "orvo/Value.h"

namespace orvo {

// --- The receiver operations (ReceiverProtocol) ---
// Inline, on the caller's thread before the operation returns, when the
// operation ends before any request: no record yet, a refusing gate (a
// version, the guest, a payload already acknowledged, a badge), or a daily
// limit already met. Otherwise on the
// main queue, called from the transport's answer. The operation keeps the
// receiver protocol alive until then. When the answer never comes because
// the host's HTTP client or main queue is destroyed first, the handler is
// not called and is destroyed with what it captured.

/// Success and the error that prevented it.
using ReceiverHandler = std::function<void(bool success, const std::optional<ErrorInfo>& error)>;
/// The same with the response body (present on success).
using ReceiverBodyHandler = std::function<void(bool success, const std::optional<ErrorInfo>& error,
                                               const std::optional<Dictionary>& body)>;
/// The auth-key request: success, the key ("" when there is none), the error.
/// Inline when no request is needed (a receiver that takes no key, a cached
/// key); otherwise on the main queue, as above.
using AuthKeyHandler = std::function<void(bool success, const std::string& authKey,
                                          const std::optional<ErrorInfo>& error)>;

// --- The application's operations (PushManager) ---
// Inline, on the caller's thread before the operation returns, for a refused
// access gate and for every check that ends the operation before a request
// (a version too old, an empty group number, a form the receiver no longer
// takes). After a request, on the main queue; after a device-token step,
// where the token's outcome arrives, which is the main queue too. The
// operation holds what it needs, the manager included, until it answers.

/// Success alone.
using ResultHandler = std::function<void(bool success)>;
/// Success and the response body.
using ResultBodyHandler = std::function<void(bool success, const std::optional<Dictionary>& body)>;
/// Success, the error that prevented it, and the response body.
using ResultInfoHandler = std::function<void(bool success, const std::optional<ErrorInfo>& error,
                                             const std::optional<Dictionary>& body)>;
/// The push doctor's findings (PushManager::diagnose): the structured report
/// and the same as readable text.
using DiagnosisHandler = std::function<void(const Dictionary& report, const std::string& text)>;
/// Whether the receiver knows this registration, or the error.
using RegisteredHandler =
    std::function<void(bool registered, const std::optional<ErrorInfo>& error)>;
/// The service status (1 to 5) and the error of status 5.
using ServiceStatusHandler =
    std::function<void(std::int64_t status, const std::optional<ErrorInfo>& error)>;

/// The device token's text, or the error that prevented it. Inline when the
/// record's cached token is used. Otherwise on the main queue: when the
/// application forwards the platform's token or failure event, or once the
/// user refused permission. One request waits at a time: a later one takes
/// its place, and the earlier handler is destroyed without being called.
using TokenHandler = std::function<void(const std::optional<std::string>& token,
                                        const std::optional<ErrorInfo>& error)>;

/// Session and purchase reports: success and the result, which is the parsed
/// answer on success and a {"code", "message"} Dictionary on failure; absent
/// when the access gate refused. Always posted to the main queue as a task of
/// its own, early failures included, never inline; called directly only when
/// the host has no main queue.
using ReportHandler = std::function<void(bool success, const std::optional<Value>& result)>;

}  // namespace orvo
