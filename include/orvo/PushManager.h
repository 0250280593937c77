// The one object through which the application uses the library: its shared
// instance and start-up, the record and the notification list it owns, the
// device token, and the application events it is handed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvo/Handlers.h"
#include "orvo/PushManagerDelegate.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/PushNotificationCenter.h"
#include "orvo/Value.h"
#include "orvo/platform/Host.h"

namespace orvo {

class Outbox;
class ReceiverProtocol;
class ServerLog;
class DuplicateFilter;
struct HttpResult;
struct OutboxVerdict;

// Service statuses of getServiceStatus.
inline constexpr std::int64_t kServiceStatusNothingToCheck = 1;
inline constexpr std::int64_t kServiceStatusRegistered = 2;
inline constexpr std::int64_t kServiceStatusNotRegistered = 3;
inline constexpr std::int64_t kServiceStatusTokenChanged = 4;
inline constexpr std::int64_t kServiceStatusFailed = 5;

// Lowercase hexadecimal, two digits per byte; absent for no bytes.
std::optional<std::string> stringFromTokenData(const Bytes& token);

class PushManager : public std::enable_shared_from_this<PushManager> {
 public:
  static constexpr std::string_view kCustomReceiverServerURLKey = "KEY_CUSTOM_RECEIVER_SERVER_URL";
  static constexpr std::string_view kPurchaseArrayKey = "push_xelt_purchase_array";
  // The purchase list keeps the newest ten identifiers, whatever was stored.
  static constexpr std::size_t kPurchaseListLimit = 10;

  // The shared instance. defaultManager creates it with start-up posted to
  // the main queue; getInstance creates it without (the caller starts it).
  // Whichever comes first decides; both return the same object afterwards.
  static std::shared_ptr<PushManager> defaultManager();
  static std::shared_ptr<PushManager> getInstance();
  // Where the manifest is looked for instead of the main bundle.
  static void setBundlePath(std::optional<std::string> path);
  static std::optional<std::string> getBundlePath();

  ~PushManager();
  PushManager(const PushManager&) = delete;
  PushManager& operator=(const PushManager&) = delete;

  // --- lifecycle ---
  // Start-up; does nothing once the record exists.
  void initialize();
  void initilaizeWithDelegate(std::shared_ptr<PushManagerDelegate> delegate);
  // The launch event; always true.
  bool applicationDidFinishLaunchingWithOptions(const Value& application,
                                                const std::optional<Dictionary>& launchOptions);

  // --- state ---
  std::shared_ptr<PushManagerInfo> info() const;
  std::shared_ptr<PushNotificationCenter> notificationCenter() const { return notificationCenter_; }
  std::shared_ptr<PushManagerDelegate> delegate() const;
  void setDelegate(std::shared_ptr<PushManagerDelegate> delegate);
  bool enabled() const;
  void setEnabled(bool enabled);
  std::optional<std::string> customHost() const;
  Array purchaseArray() const;
  bool isRegisteredService() const;
  void setManifestFile(const std::string& fileName);
  void removeManifestFile();

  // --- the access gate and the record ---
  // Calls back once, on the calling thread, before it returns.
  void requestAccessInterface(ResultHandler completion);
  bool shouldExecuteInterface() const;
  // Calls back once, on the calling thread, before it returns.
  void loadEncryptedInfo(ResultHandler completion);
  // Makes `info` current. It takes the current record's mode and
  // cached-token choice; when there is none yet, it becomes current as given.
  void exchangeInfo(std::shared_ptr<PushManagerInfo> info);

  // --- device token ---
  void registerRemoteNotification(TokenHandler completion);
  void registerRemoteNotificationWithOutGranted(TokenHandler completion);
  void getServiceStatus(const std::string& token, ServiceStatusHandler handler);
  void applicationDidRegisterForRemoteNotificationsWithDeviceToken(const Value& application,
                                                                   const Bytes& token);
  void applicationDidFailToRegisterForRemoteNotificationsWithError(const Value& application,
                                                                   const ErrorInfo& error);
  void applicationDidRegisterUserNotificationSettings(const Value& application,
                                                      std::int64_t settings);
  void setUserNotificationDelegate();

  // --- notifications ---
  void applicationDidReceiveRemoteNotification(const Value& application, const Dictionary& payload);
  // Answers the fetch callback with 0 (new data) at once, not after the
  // acknowledgement.
  void applicationDidReceiveRemoteNotificationFetchCompletionHandler(
      const Value& application, const Dictionary& payload,
      const std::function<void(std::int64_t result)>& completion);
  // notification: "alertBody" and "userInfo" (with "EXT" and "MESSAGEUID").
  void applicationDidReceiveLocalNotification(const Value& application,
                                              const Dictionary& notification);
  void applicationHandleActionWithIdentifier(const Value& application,
                                             const std::string& identifier,
                                             const Dictionary& payload,
                                             const std::function<void()>& completion);
  void userNotificationCenterWillPresentNotification(
      NotificationHost& center, const PlatformNotification& notification,
      std::function<void(std::int64_t options)> completion);
  void userNotificationCenterDidReceiveNotificationResponse(
      NotificationHost& center, const PlatformNotification& notification,
      const std::function<void()>& completion);
  void fireNotification(const std::shared_ptr<PushNotification>& notification);
  void fireUnexpiredNotifications();
  // The delivery acknowledgement of a received payload; no access gate.
  void feedback(const Dictionary& payload, ResultHandler completion);
  void feedback(const Dictionary& payload, const std::string& clientUID, const std::string& psID,
                ResultHandler completion);
  static bool isOrvoSilentPush(const Dictionary& payload);

  // --- registration (the caller object is passed on, never read) ---
  void registerService(const Value& caller, ResultHandler completion);
  void registerService(const Value& caller, const std::string& token, ResultHandler completion);
  // The registration itself, once the token is known.
  void registerServiceWithHandler(const Value& caller, const std::string& token,
                                  ResultHandler completion);
  void unregisterService(const Value& caller, ResultHandler completion);
  void registerUser(const Value& caller, std::optional<std::string> clientUID,
                    std::optional<std::string> clientName, ResultHandler completion);
  void registerUser(const Value& caller, std::optional<std::string> clientUID,
                    std::optional<std::string> clientName, std::optional<std::string> phoneNumber,
                    ResultHandler completion);
  void unregisterUser(const Value& caller, ResultHandler completion);
  void registerServiceAndUser(const Value& caller, ResultHandler completion);
  void registerServiceAndUserWithBody(const Value& caller, ResultBodyHandler completion);
  void registerServiceAndUserWithInfo(const Value& caller, ResultInfoHandler completion);
  void registerServiceAndUser(const Value& caller, std::optional<std::string> clientUID,
                              std::optional<std::string> clientName, ResultHandler completion);
  void registerServiceAndUserWithBody(const Value& caller, std::optional<std::string> clientUID,
                                      std::optional<std::string> clientName,
                                      ResultBodyHandler completion);
  void registerServiceAndUserWithInfo(const Value& caller, std::optional<std::string> clientUID,
                                      std::optional<std::string> clientName,
                                      ResultInfoHandler completion);
  void registerServiceAndUser(const Value& caller, std::optional<std::string> clientUID,
                              std::optional<std::string> clientName,
                              std::optional<std::string> phoneNumber, ResultHandler completion);
  void getRegisteredService(const Value& caller, RegisteredHandler completion);
  void registerGroup(const Value& caller, std::optional<std::string> groupSequenceNumber,
                     ResultHandler completion);
  void unregisterGroup(const Value& caller, std::optional<std::string> groupSequenceNumber,
                       ResultHandler completion);

  // --- messages (success only reaches the completion) ---
  void feedback(const Value& caller, std::optional<std::string> messageUniqueKey,
                std::optional<std::string> seqNo, ResultHandler completion);
  void feedback(const Value& caller, const Dictionary& notification, ResultHandler completion);
  void feedback(const Value& caller, const Dictionary& notification,
                std::optional<std::string> clientUID, std::optional<std::string> psID,
                ResultHandler completion);
  // The caller object is the notification payload.
  void feedbackEx(const Value& caller, std::optional<std::string> clientUID,
                  std::optional<std::string> psID, ResultHandler completion);
  void read(const Value& caller, std::optional<std::string> messageUniqueKey,
            std::optional<std::string> seqNo, ResultHandler completion);
  void read(const Value& caller, const Dictionary& notification, ResultHandler completion);
  // The option doubles as the badge number.
  void read(const Value& caller, const Dictionary& notification, std::int64_t badgeOption,
            ResultHandler completion);
  void read(const Value& caller, const Dictionary& notification, std::int64_t badgeOption,
            const Value& badge, ResultHandler completion);
  void read(const Value& caller, std::optional<std::string> seqNo,
            std::optional<std::string> sender, std::optional<std::string> dbIn,
            ResultHandler completion);
  void read(const Value& caller, std::optional<std::string> seqNo,
            std::optional<std::string> sender, std::optional<std::string> dbIn,
            std::int64_t badgeOption, const Value& badge, ResultHandler completion);
  void update(const Value& caller, const Value& badge, ResultHandler completion);
  void send(const Value& caller, std::optional<std::string> clientUID,
            std::optional<std::string> message, const Value& badgeNo,
            std::optional<std::string> serviceCode, std::optional<std::string> ext,
            ResultHandler completion);
  void send(const Value& caller, std::optional<std::string> clientUID,
            std::optional<std::string> message, std::optional<std::string> serviceCode,
            std::optional<std::string> ext, ResultHandler completion);
  void send(const Value& caller, std::optional<std::string> message,
            std::optional<std::string> serviceCode, std::optional<std::string> ext,
            ResultHandler completion);
  // A message sent at a reserved time; the completion gets the answer's body.
  void sendWithReserveDate(const Value& caller, std::optional<std::string> clientUID,
                           std::optional<std::string> message,
                           std::optional<std::string> serviceCode,
                           std::optional<std::string> reserveDate, std::optional<std::string> ext,
                           ResultBodyHandler completion);

  // --- session and purchase reports (completions run on the main queue) ---
  // The failure message, with code "0", of a report missing a body value (a
  // client UID, a purchase identifier, the application ID) or of an exchange
  // without a path or a body; nothing is sent then.
  static constexpr std::string_view kMissingReportValueMessage = "missing_report_value";
  // The caller object is passed on, never sent.
  void updateSession(const Value& caller, std::optional<std::string> cuid,
                     ReportHandler completion);
  // The body's "cuid" from the option; its "host" and "timeout" apply to the
  // request, whose path stays the report's own.
  void updateSessionWithOption(const Value& caller, const Dictionary& option,
                               ReportHandler completion);
  // Sends nothing for an identifier among the last ten recorded. With a
  // completion, the identifier is recorded on the outcome, whatever it is.
  void updatePurchase(const Value& caller, std::optional<std::string> purchaseID,
                      std::optional<std::string> cuid, ReportHandler completion);
  // The body's "id" and "cuid" from the option; "host" and "timeout" as for
  // the session.
  void updatePurchase(const Value& caller, const Dictionary& option, ReportHandler completion);
  // Appends to the purchase list, dropping the oldest beyond ten, and stores it.
  void updatePurchaseArray(const Value& purchaseID);
  // One exchange with the session-and-purchase server. options: "path"
  // (required), "host" (instead of the record's xeltHost), "timeout" (whole
  // seconds, default 30). data is sent as pretty-printed JSON.
  void sendxelt(const Dictionary& options, const Value& data, ReportHandler completion);

  // --- server log ---
  // With the outbox on, a failure (retryCount 0) becomes an outbox entry,
  // retried with backoff instead of three times at once.
  void sendServerLog(const std::string& errorText, std::int32_t retryCount);

  // --- the outbox (manifest: outbox/enabled) ---
  // With the outbox on, the acknowledgements, reads, badge updates, session
  // and purchase reports and failure logs are written to a durable queue
  // before their first attempt. A transport failure, a time-out, HTTP 5xx
  // or 429 (after its Retry-After) keeps the entry and retries it; an
  // answer that would not change on retry ends it. The operation's
  // completion is still called exactly once in this process:
  //   true  - the first attempt succeeded;
  //   false - the first attempt failed for good, or the entry stays queued
  //           (its attempt failed and will be retried, or it waits behind
  //           one that will). Inside that call queuedEntry() tells which:
  //           the entry's id when it is queued, absent otherwise. A report's
  //           queued result is {"code": "0", "message": "queued", "id": id}.
  // The final outcome of a queued entry (or of one an earlier run left, or
  // one the bounds dropped) goes to the delegate's didFinishQueuedOperation.
  static std::optional<std::int64_t> queuedEntry();
  // Entries waiting or under way; 0 with the outbox off.
  std::size_t outboxDepth();
  // Seconds since the oldest entry was written; absent when none waits.
  std::optional<double> outboxOldestAgeSeconds();
  // The jitter of the retry delays, uniform in [0, 1) (tests make it fixed),
  // and how a retry waits when the main queue is not an orvo::RunLoop
  // (without one, a retry waits for the next operation or start-up).
  void setOutboxJitter(std::function<double()> jitter);
  void setOutboxScheduler(
      std::function<void(std::chrono::milliseconds, std::function<void()>)> scheduler);

  // The receiver operations, reading this manager's record.
  std::shared_ptr<ReceiverProtocol> receiver() const { return receiver_; }
  std::shared_ptr<const Host> host() const { return host_; }

 private:
  class CenterDelegate;
  class Context;

  explicit PushManager(std::shared_ptr<const Host> host);
  static std::shared_ptr<PushManager> shared(bool startUp);

  void askForToken(TokenHandler completion, bool waitForGrant);
  void checkNotificationSettings();
  void finishTokenRequest(const std::optional<std::string>& token,
                          const std::optional<ErrorInfo>& error);
  void tellDelegateLoaded();
  // Makes `record` current; loadMutex_ held. A later record inherits the
  // current one's mode and token choice. The first one brings the manager's
  // start-up state (purchase list, banner), and gets the build's mode when
  // the library made it; one the application handed in stays as given.
  enum class Origin { Library, Caller };
  void installRecord(const std::shared_ptr<PushManagerInfo>& record, Origin origin);
  Array storedPurchases() const;
  // True when the gate is open. Otherwise asks it, then runs `again` (the same
  // operation with the same arguments) or `refused`, and answers false.
  // Both own what they capture, so that they stay right should the gate
  // answer later.
  bool passGate(std::function<void()> again, std::function<void()> refused);
  enum class Shape { Result, Body, Info };
  void serviceAndUser(const Value& caller, Shape shape, ResultInfoHandler completion);
  std::int64_t arrivalStatus(const Dictionary& arriving, std::string_view launchKey) const;
  void keepAndFire(Dictionary payload, std::int64_t status);
  // The outbox when the manifest turns it on; made at first use.
  std::shared_ptr<Outbox> outbox();
  // Hands the operation to the outbox when it is on: false when it is off.
  bool queue(std::string_view lane, std::string_view operation, Dictionary arguments,
             ResultHandler completion);
  bool queueReport(std::string_view operation, Dictionary arguments, ReportHandler completion);
  void attemptQueued(const std::string& operation, const Dictionary& arguments,
                     std::int32_t attempt, std::function<void(OutboxVerdict)> done);
  void reportQueued(const OutboxReport& report);
  std::shared_ptr<DuplicateFilter> duplicateFilter();
  using XeltDone = std::function<void(const HttpResult* result, bool success, Value outcome)>;
  // The session-and-purchase exchange, with the HTTP result when there was one.
  void xeltExchange(const Dictionary& options, const Value& data, XeltDone done);
  // Sends a built report, through the outbox when it is on.
  std::function<void(Dictionary, Value, ReportHandler)> reportExchange(std::string_view operation);

  const std::shared_ptr<const Host> host_;
  const std::shared_ptr<PushNotificationCenter> notificationCenter_;
  std::shared_ptr<ReceiverProtocol> receiver_;
  std::shared_ptr<ServerLog> serverLog_;
  std::shared_ptr<NotificationCenterDelegate> centerDelegate_;

  // Set once the gate has been passed; never cleared.
  std::atomic<bool> interfaceEnabled_{false};

  // Guards the fields below; never held while logging or calling out.
  mutable std::mutex mutex_;
  std::shared_ptr<PushManagerInfo> info_;
  std::shared_ptr<PushManagerDelegate> delegate_;
  bool enabled_ = true;
  std::optional<std::string> customHost_;
  std::optional<Dictionary> launchMessage_;
  Array purchaseArray_;
  TokenHandler pendingRegistration_;
  // Which request filled the slot, so a refusal empties only its own.
  std::uint64_t pendingRequest_ = 0;
  // Serialises record creation so two threads passing the gate make one.
  std::mutex loadMutex_;
  // Serialises purchase-list changes with their writes, so the stored list is
  // always the latest one.
  std::mutex purchaseStoreMutex_;
  // Made at first use, from the manifest's settings then.
  std::mutex durabilityMutex_;
  bool outboxMade_ = false;
  std::shared_ptr<Outbox> outbox_;
  bool filterMade_ = false;
  std::shared_ptr<DuplicateFilter> duplicateFilter_;
  // Outbox reports that came while no delegate was set.
  std::vector<OutboxReport> waitingReports_;
};

}  // namespace orvo
