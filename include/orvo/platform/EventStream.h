/// @file
/// Server-sent events: the reader of the wire format, and a client that keeps
/// one stream open over the desktop HTTP client, reconnecting after each loss.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvo/Export.h"
#include "orvo/platform/CurlHttpClient.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

/// One event of a server-sent event stream.
struct ORVO_PUSH_API EventStreamEvent {
  std::string type;         ///< the "event" field; "message" when it had none
  std::string data;         ///< "data" lines joined with "\n"
  std::string lastEventId;  ///< the stream's last event ID once this event arrived
};

/// A line or an event beyond these is not a stream this library serves: the
/// reader stops with an error rather than grow without bound.
struct ORVO_PUSH_API EventStreamLimits {
  /// The longest line.
  std::size_t maxLineBytes = 64 * 1024;
  std::size_t maxEventBytes = 64 * 1024;  ///< the data of one event
};

/// Reads one connection's bytes in whatever pieces they come. Lines end in CR,
/// LF or CRLF (also when the pair is split between two pieces); a leading
/// byte-order mark is dropped; ":" starts a comment; "field: value" loses one
/// space after the colon; "data" lines are joined with "\n"; "id" (without a
/// NUL) and "retry" (digits only) are kept across events; an event ends at an
/// empty line and one without data is not an event. An event left open when
/// the connection ends is dropped.
class ORVO_PUSH_API EventStreamParser {
 public:
  /// Takes each completed event.
  using Handler = std::function<void(EventStreamEvent event)>;

  /// A reader within limits, resuming after lastEventId.
  explicit EventStreamParser(EventStreamLimits limits = {}, std::string lastEventId = {});

  /// Calls `handler` for every event the bytes complete. Passing a limit is an
  /// error, named in the result; the parser then takes nothing more.
  std::optional<std::string> feed(std::string_view bytes, const Handler& handler);

  /// The last event ID read.
  const std::string& lastEventId() const { return lastEventId_; }
  /// The reconnection time the server asked for, if it did.
  std::optional<std::chrono::milliseconds> retry() const { return retry_; }

 private:
  std::optional<std::string> takeLine(std::string_view line, const Handler& handler);
  void field(std::string_view name, std::string_view value);

  EventStreamLimits limits_;
  std::string line_;  ///< the line still open
  bool afterCarriageReturn_ = false;
  bool firstLine_ = true;
  std::string data_;
  std::string type_;
  std::string idBuffer_;
  std::string lastEventId_;
  std::optional<std::chrono::milliseconds> retry_;
  std::optional<std::string> error_;
};

/// Where an EventStreamClient connects, and how it reconnects.
struct ORVO_PUSH_API EventStreamOptions {
  /// The stream's address.
  std::string url;
  /// Sent as Last-Event-ID on the first connection: the stream resumes after it.
  std::string lastEventId;
  /// The first wait before reconnecting; a "retry" field replaces it. Each
  /// attempt that brings nothing doubles the wait, up to `maxRetry`.
  /// @{
  std::chrono::milliseconds retry{500};
  std::chrono::milliseconds maxRetry{30000};
  /// @}
  /// A stream silent this long is taken for dead and opened again.
  double idleTimeoutSeconds = 60.0;
  /// The reader's limits.
  EventStreamLimits limits;
};

/// Keeps one stream open: the connection is driven by the HTTP client's loop,
/// events reach the handler on the main queue, in order. After a connection
/// ends (the server closes it, an error, a status other than 200, a limit
/// passed) one line goes to the log and the stream is opened again after the
/// wait, with the last event ID seen.
class ORVO_PUSH_API EventStreamClient : public std::enable_shared_from_this<EventStreamClient> {
 public:
  /// Takes each event, on the main queue.
  using Handler = std::function<void(const EventStreamEvent& event)>;

  /// A client that is not yet connected; start() opens the stream.
  static std::shared_ptr<EventStreamClient> make(EventStreamOptions options,
                                                 std::shared_ptr<CurlHttpClient> http,
                                                 std::shared_ptr<MainQueue> mainQueue,
                                                 std::shared_ptr<LogSink> log, Handler handler);
  ~EventStreamClient();
  EventStreamClient(const EventStreamClient&) = delete;
  EventStreamClient& operator=(const EventStreamClient&) = delete;

  /// Opens the stream; it stays open until stop().
  void start();
  /// No event reaches the handler once this returns on the main queue.
  void stop();
  /// The last event ID seen, to resume from.
  std::string lastEventId() const;
  /// Connections opened so far, the first included.
  std::uint64_t connections() const;

 private:
  struct Connection;
  EventStreamClient(EventStreamOptions options, std::shared_ptr<CurlHttpClient> http,
                    std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> log,
                    Handler handler);
  void open(std::chrono::milliseconds delay);  ///< with mutex_ held
  void deliver(std::uint64_t generation, const std::vector<EventStreamEvent>& events);
  void ended(std::uint64_t generation, const Connection& connection, const HttpResult& result);
  std::chrono::milliseconds nextWait(bool connected);

  const EventStreamOptions options_;
  const std::shared_ptr<CurlHttpClient> http_;
  const std::shared_ptr<MainQueue> mainQueue_;
  const std::shared_ptr<LogSink> log_;
  const Handler handler_;

  /// Recursive: a main queue that runs tasks at once answers inside open().
  /// @{
  mutable std::recursive_mutex mutex_;
  bool running_ = false;
  std::uint64_t generation_ = 0;  ///< of the connection under way
  std::uint64_t opened_ = 0;
  std::uint64_t streamId_ = 0;
  std::shared_ptr<Connection> connection_;
  std::string lastEventId_;
  std::optional<std::chrono::milliseconds> serverRetry_;
  int failures_ = 0;  ///< attempts in a row that brought nothing
  std::uint32_t jitter_;
  /// @}
};

}  // namespace orvo
