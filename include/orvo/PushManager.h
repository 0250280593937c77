/// @file
/// The one object through which the application uses the library: its shared
/// instance and start-up, the record and the notification list it owns, the
/// device token, and the application events it is handed.
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

#include "orvo/Export.h"
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
class RequestGuard;
struct HttpResult;
struct OutboxVerdict;

/// Nothing to check: the receiver is 3.5 or older (a service status of
/// PushManager::getServiceStatus).
inline constexpr std::int64_t kServiceStatusNothingToCheck = 1;
/// The receiver knows this device's registration.
inline constexpr std::int64_t kServiceStatusRegistered = 2;
/// The receiver does not know this device.
inline constexpr std::int64_t kServiceStatusNotRegistered = 3;
/// The receiver knows the device under another token.
inline constexpr std::int64_t kServiceStatusTokenChanged = 4;
/// The check failed; the handler gets the error.
inline constexpr std::int64_t kServiceStatusFailed = 5;

/// Lowercase hexadecimal, two digits per byte; absent for no bytes.
ORVO_PUSH_API std::optional<std::string> stringFromTokenData(const Bytes& token);

/// The application's entry to the service: one shared instance per process.
///
/// Operations may be called from any thread. Their completions follow the
/// handler contracts of orvo/Handlers.h: inline on the calling thread when an
/// operation ends before any request (a refused access gate, a receiver
/// version too old, the guest, a badge refused), otherwise on the main queue.
/// Most operations first pass the access gate (requestAccessInterface): the
/// record is loaded and an auth key obtained; the operation runs again once
/// the gate opens, with the same caller object. When the gate fails, the
/// completion gets false and the log error 1204 "AccessInterface FAIL!!".
/// Errors are in the domain "o.client.library.push.error" (kLibraryErrorDomain,
/// codes in orvo/PushErrors.h); where the completion takes only a bool, the
/// error is what the log line shows. "Receiver" below is the receiver
/// protocol version of the manifest (PushManagerConfig::receiverVersion).
class ORVO_PUSH_API PushManager : public std::enable_shared_from_this<PushManager> {
 public:
  /// Settings key of the custom receiver host (customHost).
  static constexpr std::string_view kCustomReceiverServerURLKey = "KEY_CUSTOM_RECEIVER_SERVER_URL";
  /// Settings key of the purchase list (purchaseArray).
  static constexpr std::string_view kPurchaseArrayKey = "push_xelt_purchase_array";
  /// The purchase list keeps the newest ten identifiers, whatever was stored.
  static constexpr std::size_t kPurchaseListLimit = 10;

  /// The shared instance. defaultManager creates it with start-up posted to
  /// the main queue; getInstance creates it without (the caller starts it).
  /// Whichever comes first decides; both return the same object afterwards.
  /// Both take the host of Host::current() at creation.
  /// @{
  static std::shared_ptr<PushManager> defaultManager();
  static std::shared_ptr<PushManager> getInstance();
  /// @}
  /// Where the manifest is looked for instead of the main bundle (absent: the
  /// bundle); set before start-up.
  /// @{
  static void setBundlePath(std::optional<std::string> path);
  static std::optional<std::string> getBundlePath();
  /// @}

  ~PushManager();
  /// Not copyable: there is one shared instance.
  /// @{
  PushManager(const PushManager&) = delete;
  PushManager& operator=(const PushManager&) = delete;
  /// @}

  // --- lifecycle ---
  /// Start-up: makes the first record from the manifest's settings, then asks the
  /// access gate, which loads the stored one; does nothing once a record exists.
  void initialize();
  /// Sets the delegate, tells it the record is loaded (when it is) and hands
  /// it the notifications that have not expired. The spelling is the
  /// platform API's own.
  void initilaizeWithDelegate(std::shared_ptr<PushManagerDelegate> delegate);
  /// The launch event, with the notification the application was launched
  /// from among the options; always true.
  bool applicationDidFinishLaunchingWithOptions(const Value& application,
                                                const std::optional<Dictionary>& launchOptions);

  // --- state ---
  /// The current record; null before start-up.
  std::shared_ptr<PushManagerInfo> info() const;
  /// The received notifications.
  std::shared_ptr<PushNotificationCenter> notificationCenter() const { return notificationCenter_; }
  /// The application's delegate; notifications wait for one to be set.
  /// @{
  std::shared_ptr<PushManagerDelegate> delegate() const;
  void setDelegate(std::shared_ptr<PushManagerDelegate> delegate);
  /// @}
  /// Whether notifications are handed to the delegate (true by default);
  /// while off they wait in the notification centre.
  /// @{
  bool enabled() const;
  void setEnabled(bool enabled);
  /// @}
  /// The receiver host the application set instead of the manifest's, if any.
  std::optional<std::string> customHost() const;
  /// The purchase identifiers recorded, newest last, at most ten.
  Array purchaseArray() const;
  /// Whether the platform has registered the application for remote
  /// notifications.
  bool isRegisteredService() const;
  /// Names the manifest file to read instead of res/Manifest.xml, in the
  /// settings store, for the next start-up; removeManifestFile forgets it.
  /// @{
  void setManifestFile(const std::string& fileName);
  void removeManifestFile();
  /// @}

  // --- consent (manifest: consent/required) ---
  /// Settings key of the application's consent call (a boolean).
  static constexpr std::string_view kConsentGivenKey = "PushManagerKeyConsentGiven";
  /// Whether the library may reach a server: the application's last
  /// setConsentGiven when it made one (kept in the settings store), else
  /// false when the manifest's consent/required is on, else true.
  bool consentGiven() const;
  /// Gives or withdraws the user's consent, kept in the settings store; the
  /// call wins over the manifest. While consent is not given, every
  /// operation that would reach a server completes at once with error 1205
  /// (errors::kConsentWithheld; for a completion that takes only a bool, the
  /// error is logged whatever useLog says): nothing is sent, stored or
  /// queued. Withdrawing is always honoured, even when consent was never
  /// given: the device is unregistered from the receiver when it has a
  /// registration, the outbox is emptied, and the identity kept in the
  /// settings store and the keychain is removed; the delegate's
  /// didWithdrawConsent then says what was cleared, on the main queue.
  void setConsentGiven(bool given);

  // --- the push doctor ---
  /// Gathers, without changing anything, why notifications may not arrive:
  /// the manifest and its settings, the push environment and why, the
  /// receiver version and the operations it refuses, the permission, the
  /// token and its last registration, whether the platform's token differs,
  /// consent, the outbox, the last failure of each server call, and with a
  /// reachable receiver its view of the registration. The report's keys:
  /// "manifest" (path, settings), "environment" (mode, profile, reason),
  /// "receiver" (version, refuses, refused), "permission", "token"
  /// (stored, lastRegistered, platform, changed), "consent" (required,
  /// given), "outbox" (enabled, depth, oldestAgeSeconds), "lastErrors"
  /// (per endpoint: code, description), "server" (registered, or error)
  /// and "verdicts", one line per problem found (empty: none). The
  /// completion runs once, on the main queue.
  void diagnose(DiagnosisHandler completion);

  // --- the access gate and the record ---
  /// Opens the access gate: loads the record and gets an auth key. Calls back
  /// once, on the calling thread, before it returns; false when the gate
  /// stays closed (error 1204 in the log).
  void requestAccessInterface(ResultHandler completion);
  /// Whether the gate is open; logs when it is not.
  bool shouldExecuteInterface() const;
  /// Loads the record from storage or makes one. Calls back once, on the
  /// calling thread, before it returns; false with error 1202 "To decrypt a
  /// info is fail." when the stored record cannot be decrypted.
  void loadEncryptedInfo(ResultHandler completion);
  /// Makes `info` current. It takes the current record's mode and
  /// cached-token choice; when there is none yet, it becomes current as given.
  void exchangeInfo(std::shared_ptr<PushManagerInfo> info);

  // --- device token ---
  /// Asks the user's permission, then the platform's device token. The
  /// handler gets the token's text, or the error: 1203 "User Notification
  /// Grant is fail !!" when permission is refused, or the platform's failure.
  /// Inline when the record's cached token is used (useCachedPushToken),
  /// otherwise on the main queue once the application forwards the token
  /// event. One request waits at a time: a later one replaces it.
  void registerRemoteNotification(TokenHandler completion);
  /// The same without waiting for the user's permission (the manifest's
  /// useGranted off).
  void registerRemoteNotificationWithOutGranted(TokenHandler completion);
  /// Whether the receiver knows this device under `token`: one of the
  /// kServiceStatus values; kServiceStatusFailed with the error. Inline with
  /// kServiceStatusNothingToCheck on a receiver of 3.5 or older; otherwise
  /// after the access gate, on the main queue.
  void getServiceStatus(const std::string& token, ServiceStatusHandler handler);
  /// Platform events the application forwards: the token, its failure and the notification
  /// settings, as the platform delivers them; they answer a waiting registerRemoteNotification.
  /// @{
  void applicationDidRegisterForRemoteNotificationsWithDeviceToken(const Value& application,
                                                                   const Bytes& token);
  void applicationDidFailToRegisterForRemoteNotificationsWithError(const Value& application,
                                                                   const ErrorInfo& error);
  void applicationDidRegisterUserNotificationSettings(const Value& application,
                                                      std::int64_t settings);
  /// @}
  /// Makes the manager the platform notification centre's delegate, when the
  /// host has a centre.
  void setUserNotificationDelegate();

  // --- notifications ---
  /// Notification events the application forwards: a remote or local notification, an action on
  /// one, or the centre's presentation and response: each is recorded in the notification centre,
  /// acknowledged to the receiver, and handed to the delegate (fireNotification).
  /// A local notification carries "alertBody" and "userInfo" (with "EXT" and
  /// "MESSAGEUID"). The fetch variant answers its callback with 0 (new data)
  /// at once, not after the acknowledgement.
  /// @{
  void applicationDidReceiveRemoteNotification(const Value& application, const Dictionary& payload);
  void applicationDidReceiveRemoteNotificationFetchCompletionHandler(
      const Value& application, const Dictionary& payload,
      const std::function<void(std::int64_t result)>& completion);
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
  /// @}
  /// Hands one notification to the delegate, once, on the calling thread;
  /// it waits while the manager is disabled or has no delegate.
  void fireNotification(const std::shared_ptr<PushNotification>& notification);
  /// fireNotification for every notification that has not expired.
  void fireUnexpiredNotifications();
  /// The delivery acknowledgement of a received payload, without the access
  /// gate; the second form names the device (clientUID, psID). False with
  /// error 3102 when the payload was already acknowledged.
  /// @{
  void feedback(const Dictionary& payload, ResultHandler completion);
  void feedback(const Dictionary& payload, const std::string& clientUID, const std::string& psID,
                ResultHandler completion);
  /// @}
  /// Whether the payload is the service's silent push (content-available with
  /// the "batch" mark of 1).
  static bool isOrvoSilentPush(const Dictionary& payload);

  // --- registration (the caller object is passed on, never read) ---
  /// Registers the device with the receiver: gets the device token
  /// (registerRemoteNotification) and registers it. With a token given, on a
  /// receiver above 3.5 the service status is checked first and the
  /// registration sent only when needed. Any receiver version.
  /// @{
  void registerService(const Value& caller, ResultHandler completion);
  void registerService(const Value& caller, const std::string& token, ResultHandler completion);
  /// @}
  /// The registration request itself, with the token given, unchecked.
  void registerServiceWithHandler(const Value& caller, const std::string& token,
                                  ResultHandler completion);
  /// Removes the device's registration from the receiver. Any receiver version.
  void unregisterService(const Value& caller, ResultHandler completion);
  /// Attaches a user (clientUID, clientName, and the phone number when the
  /// manifest's usePhoneNumber is on) to the registered device. Any receiver
  /// version; absent values are sent as the record holds them.
  /// @{
  void registerUser(const Value& caller, std::optional<std::string> clientUID,
                    std::optional<std::string> clientName, ResultHandler completion);
  void registerUser(const Value& caller, std::optional<std::string> clientUID,
                    std::optional<std::string> clientName, std::optional<std::string> phoneNumber,
                    ResultHandler completion);
  /// @}
  /// Detaches the user; the device goes on as the guest. Receiver 3.6 or
  /// later, else false with error 2201; a guest is already unregistered.
  void unregisterUser(const Value& caller, ResultHandler completion);
  /// Registration and user in one request. Needs a receiver above 3.6, else error 2501 "To register
  /// service and user API is avaliable in 3.7 or later". Three completion shapes: success alone
  /// (ResultHandler), with the answer's body (...WithBody), or with the error and the body
  /// (...WithInfo). The user is the record's, or the clientUID, clientName (and phone number)
  /// given. After repeated "40100" answers (auth key refused) it tries three times at most.
  /// @{
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
  /// @}
  /// Whether the receiver knows this registration. Receiver above 3.5, else
  /// the error 1201 "To get registered service API is avaliable in 3.6 or 3.6+
  /// version".
  void getRegisteredService(const Value& caller, RegisteredHandler completion);
  /// Adds the user to, or removes them from, a group by its sequence number.
  /// Any receiver version; the guest is refused (2301 "Guest can't register
  /// group", 2401 "Guest can't unregister group"); an empty group number ends
  /// the call before any request.
  /// @{
  void registerGroup(const Value& caller, std::optional<std::string> groupSequenceNumber,
                     ResultHandler completion);
  void unregisterGroup(const Value& caller, std::optional<std::string> groupSequenceNumber,
                       ResultHandler completion);
  /// @}

  // --- messages (success only reaches the completion) ---
  /// Acknowledges delivery by message key and sequence number: receiver below
  /// 3.6 only, else error 3101 (the notification forms replace it).
  void feedback(const Value& caller, std::optional<std::string> messageUniqueKey,
                std::optional<std::string> seqNo, ResultHandler completion);
  /// Acknowledges delivery of a notification's payload, for this device or
  /// the one named (clientUID, psID); error 3102 when it was already
  /// acknowledged. Any receiver version.
  /// @{
  void feedback(const Value& caller, const Dictionary& notification, ResultHandler completion);
  void feedback(const Value& caller, const Dictionary& notification,
                std::optional<std::string> clientUID, std::optional<std::string> psID,
                ResultHandler completion);
  /// @}
  /// The same, with the caller object as the notification payload.
  void feedbackEx(const Value& caller, std::optional<std::string> clientUID,
                  std::optional<std::string> psID, ResultHandler completion);
  /// Marks a message read by message key and sequence number: receiver below
  /// 3.6 only, else error 3201.
  void read(const Value& caller, std::optional<std::string> messageUniqueKey,
            std::optional<std::string> seqNo, ResultHandler completion);
  /// Marks a notification read, any receiver version; with a badge option
  /// the badge is sent too (the option doubles as the badge number when no
  /// badge is given); a badge that is not positive gives error 3203.
  /// @{
  void read(const Value& caller, const Dictionary& notification, ResultHandler completion);
  void read(const Value& caller, const Dictionary& notification, std::int64_t badgeOption,
            ResultHandler completion);
  void read(const Value& caller, const Dictionary& notification, std::int64_t badgeOption,
            const Value& badge, ResultHandler completion);
  /// @}
  /// Marks a message read by sequence number, sender and database: receiver
  /// 4.0 or later, else error 2501 "To read API is avaliable in 4.0 or later".
  /// @{
  void read(const Value& caller, std::optional<std::string> seqNo,
            std::optional<std::string> sender, std::optional<std::string> dbIn,
            ResultHandler completion);
  void read(const Value& caller, std::optional<std::string> seqNo,
            std::optional<std::string> sender, std::optional<std::string> dbIn,
            std::int64_t badgeOption, const Value& badge, ResultHandler completion);
  /// @}
  /// Sets the server's badge for this device; a negative badge gives error
  /// 3402 "Badge can not be nagative!". Any receiver version.
  void update(const Value& caller, const Value& badge, ResultHandler completion);
  /// Sends a message upstream: to a user (clientUID), with a badge, or to this
  /// device's own registration. The guest is refused (3301 "Guest can't send
  /// message"); without a badge, a receiver below 3.5 gives 3302 "this
  /// selector isn't Available in <version>".
  /// @{
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
  /// @}
  /// A message sent at a reserved time; the completion gets the answer's body.
  /// The same refusals as send (3301, 3302 below receiver 3.5).
  void sendWithReserveDate(const Value& caller, std::optional<std::string> clientUID,
                           std::optional<std::string> message,
                           std::optional<std::string> serviceCode,
                           std::optional<std::string> reserveDate, std::optional<std::string> ext,
                           ResultBodyHandler completion);

  // --- session and purchase reports (completions run on the main queue) ---
  /// The failure message, with code "0", of a report missing a body value (a
  /// client UID, a purchase identifier, the application ID) or of an exchange
  /// without a path or a body; nothing is sent then.
  static constexpr std::string_view kMissingReportValueMessage = "missing_report_value";
  /// Reports a session of the user `cuid`. The caller object is passed on,
  /// never sent.
  void updateSession(const Value& caller, std::optional<std::string> cuid,
                     ReportHandler completion);
  /// The body's "cuid" from the option; its "host" and "timeout" apply to the
  /// request, whose path stays the report's own.
  void updateSessionWithOption(const Value& caller, const Dictionary& option,
                               ReportHandler completion);
  /// Reports a purchase. Sends nothing for an identifier among the last ten
  /// recorded. With a completion, the identifier is recorded on the outcome,
  /// whatever it is.
  void updatePurchase(const Value& caller, std::optional<std::string> purchaseID,
                      std::optional<std::string> cuid, ReportHandler completion);
  /// The body's "id" and "cuid" from the option; "host" and "timeout" as for
  /// the session.
  void updatePurchase(const Value& caller, const Dictionary& option, ReportHandler completion);
  /// Appends to the purchase list, dropping the oldest beyond ten, and stores it.
  void updatePurchaseArray(const Value& purchaseID);
  /// One exchange with the session-and-purchase server. options: "path"
  /// (required), "host" (instead of the record's xeltHost), "timeout" (whole
  /// seconds, default 30). data is sent as pretty-printed JSON.
  void sendxelt(const Dictionary& options, const Value& data, ReportHandler completion);

  // --- server log ---
  /// Sends a failure record to the log server (the record's logServerHost),
  /// without waiting; `retryCount` counts the attempts already made, and a
  /// failed attempt tries again up to three in all. With the outbox on, a
  /// failure (retryCount 0) becomes an outbox entry, retried with backoff
  /// instead.
  void sendServerLog(const std::string& errorText, std::int32_t retryCount);

  // --- the outbox (manifest: outbox/enabled) ---
  /// With the outbox on, the acknowledgements, reads, badge updates, session
  /// and purchase reports and failure logs are written to a durable queue
  /// before their first attempt. A transport failure, a time-out, HTTP 5xx
  /// or 429 (after its Retry-After) keeps the entry and retries it; an
  /// answer that would not change on retry ends it. The operation's
  /// completion is still called exactly once in this process:
  ///   true  - the first attempt succeeded;
  ///   false - the first attempt failed for good, or the entry stays queued
  ///           (its attempt failed and will be retried, or it waits behind
  ///           one that will). Inside that call queuedEntry() tells which:
  ///           the entry's id when it is queued, absent otherwise. A report's
  ///           queued result is {"code": "0", "message": "queued", "id": id}.
  /// The final outcome of a queued entry (or of one an earlier run left, or
  /// one the bounds dropped) goes to the delegate's didFinishQueuedOperation.
  static std::optional<std::int64_t> queuedEntry();
  /// Entries waiting or under way; 0 with the outbox off.
  std::size_t outboxDepth();
  /// Seconds since the oldest entry was written; absent when none waits.
  std::optional<double> outboxOldestAgeSeconds();
  /// The jitter of the retry delays, uniform in [0, 1) (tests make it fixed).
  void setOutboxJitter(std::function<double()> jitter);
  /// How a retry waits when the main queue is not an orvo::RunLoop (without
  /// one, a retry waits for the next operation or start-up).
  void setOutboxScheduler(
      std::function<void(std::chrono::milliseconds, std::function<void()>)> scheduler);

  /// The receiver operations, reading this manager's record, and the host
  /// the manager was created with.
  /// @{
  std::shared_ptr<ReceiverProtocol> receiver() const { return receiver_; }
  std::shared_ptr<const Host> host() const { return host_; }
  /// @}

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
  // True when consent is withheld; `operation` is then refused with a line.
  bool refusedWithoutConsent(std::string_view operation) const;
  // The error of a gate that said no: consent withheld, or the access gate.
  ErrorInfo gateError() const;
  void finishWithdrawal(ConsentWithdrawal cleared);
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
  // Every request the manager makes goes through it.
  std::shared_ptr<RequestGuard> guard_;
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
  // The application's consent call: -1 not read yet, 0 none stored, 1
  // withheld, 2 given.
  mutable std::atomic<int> consentCall_{-1};
  // Requests of a withdrawal under way pass the consent check.
  std::atomic<int> withdrawing_{0};
  // The token the platform last gave in this process.
  std::optional<std::string> platformToken_;
  // Outbox reports that came while no delegate was set.
  std::vector<OutboxReport> waitingReports_;
};

}  // namespace orvo
