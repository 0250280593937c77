/// @file
/// The simulated phone's link to a push gateway (the emulator's): the device
/// token it hands out for this device, and the stream the device's payloads
/// arrive on. The desktop host makes one when it is given a gateway.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"
#include "orvo/platform/CurlHttpClient.h"
#include "orvo/platform/EventStream.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

/// Domain of the errors a gateway's token request ends with.
inline constexpr std::string_view kGatewayErrorDomain = "OrvoGatewayError";
/// The codes of kGatewayErrorDomain.
namespace gateway_errors {
inline constexpr std::int64_t kUnreachable = 1;  ///< no answer; the description says why
inline constexpr std::int64_t kRefused = 2;      ///< an answer other than 200
inline constexpr std::int64_t kNoToken = 3;      ///< a 200 answer without a hexadecimal token
}  // namespace gateway_errors

/// Where the simulated phone's gateway is, and the device's name there.
struct ORVO_PUSH_API GatewayOptions {
  std::string url;  ///< the gateway's base address, e.g. http://127.0.0.1:8750
  /// The gateway gives the same name the same token.
  std::string deviceName;
  /// Timings and limits of the stream; its address is the gateway's.
  EventStreamOptions stream;
};

/// The simulated phone's link to the emulator's gateway: the device token,
/// then the stream of pushes.
class ORVO_PUSH_API GatewayClient : public std::enable_shared_from_this<GatewayClient> {
 public:
  /// Takes the token's bytes or the error (kGatewayErrorDomain).
  using TokenHandler = std::function<void(const Result<Bytes>& token)>;
  /// Takes each push, with its event ID.
  using PayloadHandler = std::function<void(const std::string& eventId, const Dictionary& payload)>;
  /// Takes an event of the stream that is not a push: its type ("doctor"
  /// when the emulator's console asks for a push-doctor report) and its data
  /// as the gateway wrote it, unparsed.
  using ControlHandler = std::function<void(const std::string& type, const std::string& data)>;

  /// A client that has asked nothing yet.
  static std::shared_ptr<GatewayClient> make(GatewayOptions options,
                                             std::shared_ptr<CurlHttpClient> http,
                                             std::shared_ptr<MainQueue> mainQueue,
                                             std::shared_ptr<LogSink> log);
  ~GatewayClient();
  GatewayClient(const GatewayClient&) = delete;
  GatewayClient& operator=(const GatewayClient&) = delete;

  /// The device's token, asked of the gateway the first time (again after a
  /// failure); with it the stream opens. The handler runs on the main queue.
  void requestToken(TokenHandler handler);
  /// The token as the gateway wrote it (hexadecimal); "" until it came.
  std::string token() const;
  /// Where each payload goes, on the main queue, with its event ID.
  void setPayloadHandler(PayloadHandler handler);
  /// Where the stream's other events go, on the main queue. Without a
  /// handler (an empty function) each is logged and otherwise ignored.
  void setControlHandler(ControlHandler handler);
  /// The stream resumes after this event; for a stream not yet open.
  void resumeAfter(std::string eventId);
  /// The last event ID seen.
  std::string lastEventId() const;
  /// Connections the stream has opened so far.
  std::uint64_t streamConnections() const;
  /// Closes the stream; no payload reaches the handler once this returns on
  /// the main queue.
  void stop();

  /// The options it was made with.
  const GatewayOptions& options() const { return options_; }

 private:
  GatewayClient(GatewayOptions options, std::shared_ptr<CurlHttpClient> http,
                std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> log);
  void tokenArrived(const HttpResult& result);
  void onEvent(const EventStreamEvent& event);

  const GatewayOptions options_;
  const std::shared_ptr<CurlHttpClient> http_;
  const std::shared_ptr<MainQueue> mainQueue_;
  const std::shared_ptr<LogSink> log_;

  mutable std::mutex mutex_;
  std::string token_;
  Bytes tokenBytes_;
  bool asking_ = false;
  std::vector<TokenHandler> waiting_;
  PayloadHandler payloadHandler_;
  std::string resumeAfter_;
  std::shared_ptr<EventStreamClient> stream_;
  bool stopped_ = false;
  // Last, so the members before it keep their places.
  ControlHandler controlHandler_;
};

}  // namespace orvo
