/// @file
/// The receiver operations: one request/response exchange per server
/// operation, each gated by the receiver's protocol version, preceded by the
/// auth key, and writing the server's answers back into the current record.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Handlers.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/Value.h"
#include "orvo/platform/Host.h"

namespace orvo {

namespace protocol {
enum class Op : int;
struct Call;
}  // namespace protocol

/// What the operations read from their owner: the current record and the log
/// switch.
class ORVO_PUSH_API ReceiverContext {
 public:
  virtual ~ReceiverContext() = default;
  /// Null before start-up.
  /// @{
  virtual std::shared_ptr<PushManagerInfo> info() const = 0;
  virtual bool logEnabled() const = 0;
  /// @}
};

/// Completions keep the receiver handlers' contract (orvo/Handlers.h).
class ORVO_PUSH_API ReceiverProtocol : public std::enable_shared_from_this<ReceiverProtocol> {
 public:
  /// Bounds the restarts of registerServiceAndUser after repeated "40100"
  /// answers; the last one reaches the completion.
  static constexpr int kMaxRegisterServiceAndUserAttempts = 3;

  /// The operations for an owner (its record and log switch) on a host.
  static std::shared_ptr<ReceiverProtocol> create(std::shared_ptr<ReceiverContext> context,
                                                  std::shared_ptr<const Host> host);

  /// Auth key.
  /// @{
  void asking(AuthKeyHandler completion);
  void asking(AuthKeyHandler completion, std::string clientUID, std::string pushServiceID);
  void asking(AuthKeyHandler completion, std::string clientUID, std::string pushServiceID,
              bool force);
  /// @}

  /// Service registration.
  /// @{
  void registerService(ReceiverHandler completion);
  void getRegisteredService(ReceiverHandler completion);
  void getRegisteredServiceFromApp(ReceiverHandler completion);
  void callAppAlive(ReceiverHandler completion);
  void unregisterService(ReceiverHandler completion);
  /// @}

  /// Users and groups.
  /// @{
  void registerServiceAndUser(ReceiverBodyHandler completion);
  void registerUser(ReceiverHandler completion);
  void unregisterUser(ReceiverHandler completion);
  void registerGroup(ReceiverHandler completion);
  void unregisterGroup(ReceiverHandler completion);
  /// @}

  /// Feedback, read and badge.
  /// @{
  void feedback(ReceiverHandler completion, const Dictionary& notification);
  void feedback(ReceiverHandler completion, const std::string& clientUID, const std::string& psID,
                const Dictionary& notification);
  void feedback(ReceiverHandler completion, std::optional<std::string> messageUniqueKey,
                std::optional<std::string> seqNo);
  void read(ReceiverHandler completion, const Dictionary& notification);
  void read(ReceiverHandler completion, const Dictionary& notification, std::int64_t badgeOption,
            const Value& badge);
  void read(ReceiverHandler completion, std::optional<std::string> messageUniqueKey,
            std::optional<std::string> seqNo);
  void read(ReceiverHandler completion, std::optional<std::string> seqNo,
            std::optional<std::string> sender, std::optional<std::string> dbIn);
  void read(ReceiverHandler completion, std::optional<std::string> seqNo,
            std::optional<std::string> sender, std::optional<std::string> dbIn,
            std::int64_t badgeOption, const Value& badge);
  void update(ReceiverHandler completion, const Value& badge);
  /// @}

  /// Upstream send.
  /// @{
  void send(ReceiverHandler completion, std::optional<std::string> clientUID,
            std::optional<std::string> message, const Value& badgeNo,
            std::optional<std::string> serviceCode, std::optional<std::string> ext);
  void send(ReceiverHandler completion, std::optional<std::string> clientUID,
            std::optional<std::string> message, std::optional<std::string> serviceCode,
            std::optional<std::string> ext);
  void send(ReceiverHandler completion, std::optional<std::string> message,
            std::optional<std::string> serviceCode, std::optional<std::string> ext);
  void send(ReceiverBodyHandler completion, std::optional<std::string> clientUID,
            std::optional<std::string> message, std::optional<std::string> serviceCode,
            std::optional<std::string> reserveDate, std::optional<std::string> ext);
  /// @}

 private:
  ReceiverProtocol(std::shared_ptr<ReceiverContext> context, std::shared_ptr<const Host> host);

  // --- shared by the operation families ---
  std::shared_ptr<PushManagerInfo> currentInfo() const;
  bool logEnabled() const;
  /// The operation's line ("... Error: %@" and the like) with its values,
  /// written only while logging is on / whatever the switch says.
  /// @{
  void logLine(std::string_view format, std::initializer_list<std::string_view> values = {}) const;
  void logAlways(std::string_view format,
                 std::initializer_list<std::string_view> values = {}) const;
  /// @}
  /// Encodes the parameters and sends them through the transport's entry
  /// with its single resend after a refused auth key (unless switched off).
  void sendForm(std::int64_t endpoint, const Dictionary& parameters,
                std::function<void(const std::optional<Dictionary>& body,
                                   const std::optional<ErrorInfo>& error)>
                    completion,
                bool resendAfterAuthFailure = true);
  /// The auth-key request; resendAfterAuthFailure is off for the forced
  /// request the transport makes after a refused key.
  /// @{
  void askingImpl(AuthKeyHandler completion, std::string clientUID, std::string pushServiceID,
                  bool force, bool resendAfterAuthFailure);
  void registerServiceAndUserAttempt(ReceiverBodyHandler completion, int attempt);
  /// @}

  /// Takes one call through the shape every operation shares, as the
  /// operation's row of the table describes it: no record, the gates, the
  /// call's own check, the auth key, the parameters, the request, the answer.
  void run(protocol::Op op, protocol::Call call);

  std::shared_ptr<ReceiverContext> context_;
  std::shared_ptr<const Host> host_;
};

}  // namespace orvo
