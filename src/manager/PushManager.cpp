// The shared manager: its creation, start-up, the access gate that loads the
// record, and the switches the application sets.
#include "orvo/PushManager.h"

#include <utility>

#include "foundation/Log.h"
#include "manager/OperationSupport.h"
#include "manager/Outbox.h"
#include "manager/ProcessState.h"
#include "manager/RequestGuard.h"
#include "manager/ServerLog.h"
#include "orvo/PushManagerConfig.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"

namespace orvo {
namespace {

constexpr std::string_view kBannerTop = "------------ Push Library Version %@ ------------";
constexpr std::string_view kBannerHost = "Host:              %@";
constexpr std::string_view kBannerReceiverVersion = "ReceiverVersion:   %@";
constexpr std::string_view kBannerApplicationID = "ApplicationID:     %@";
constexpr std::string_view kBannerBottom = "--------------------------------------------";
constexpr std::string_view kLaunchLine = "PushManager - didFinishLaunchingWithOptions: %@";
constexpr std::string_view kGateLine = "PushManager - requestAccessInterface";
constexpr std::string_view kLoadLine = "PushManager - loadEncryptedInfo";
constexpr std::string_view kExchangeLine = "PushManager - exchangeInfo";
constexpr std::string_view kGateClosedLine = "execute interface is disabled";
constexpr std::string_view kModeSandbox = "DEV";
constexpr std::string_view kModeProduction = "REAL";
// The alert bit of the older enabled-types query.
constexpr std::int64_t kRemoteNotificationTypeAlert = 4;

struct SharedSlot {
  // Guards creation: two first callers make one manager.
  std::mutex creation;
  // Guards the pointer only, so the log switch can read it while a manager
  // is being created.
  std::mutex pointer;
  std::shared_ptr<PushManager> manager;
};

SharedSlot& slot() {
  static SharedSlot shared;
  return shared;
}

std::shared_ptr<PushManager> currentShared() {
  std::lock_guard lock(slot().pointer);
  return slot().manager;
}

}  // namespace

namespace detail {

void resetManagerProcessState() {
  std::lock_guard creation(slot().creation);
  std::lock_guard lock(slot().pointer);
  slot().manager.reset();
  logging::setSwitch(nullptr);
  operations::forgetVersionRefusals();
}

bool consentGivenNow() {
  if (auto manager = currentShared()) return manager->consentGiven();
  return storedConsentGiven(Host::current().get());
}

}  // namespace detail

// What the receiver operations read from the manager. Holds it weakly: the
// manager owns the operations.
class PushManager::Context : public ReceiverContext {
 public:
  explicit Context(std::weak_ptr<PushManager> manager) : manager_(std::move(manager)) {}
  std::shared_ptr<PushManagerInfo> info() const override {
    auto manager = manager_.lock();
    return manager ? manager->info() : nullptr;
  }
  bool logEnabled() const override {
    auto record = info();
    return record && record->useLog();
  }

 private:
  std::weak_ptr<PushManager> manager_;
};

// The platform notification centre's events, handed to the manager while it
// lives; without it the notification is simply shown.
class PushManager::CenterDelegate : public NotificationCenterDelegate {
 public:
  explicit CenterDelegate(std::weak_ptr<PushManager> manager) : manager_(std::move(manager)) {}
  void willPresentNotification(const PlatformNotification& notification,
                               std::function<void(std::int64_t options)> completion) override {
    auto manager = manager_.lock();
    if (!manager) {
      if (completion) completion(kNotificationOptionsAll);
      return;
    }
    manager->userNotificationCenterWillPresentNotification(*manager->host_->notifications,
                                                           notification, std::move(completion));
  }
  void didReceiveNotificationResponse(const PlatformNotification& notification, const std::string&,
                                      std::function<void()> completion) override {
    auto manager = manager_.lock();
    if (!manager) {
      if (completion) completion();
      return;
    }
    manager->userNotificationCenterDidReceiveNotificationResponse(*manager->host_->notifications,
                                                                  notification, completion);
  }

 private:
  std::weak_ptr<PushManager> manager_;
};

PushManager::PushManager(std::shared_ptr<const Host> host)
    : host_(std::move(host)),
      notificationCenter_(
          std::make_shared<PushNotificationCenter>(host_ ? host_->notifications : nullptr)) {}

PushManager::~PushManager() = default;

std::shared_ptr<PushManager> PushManager::shared(bool startUp) {
  if (auto existing = currentShared()) return existing;
  std::lock_guard creation(slot().creation);
  if (auto existing = currentShared()) return existing;

  std::shared_ptr<PushManager> manager(new PushManager(Host::current()));
  std::weak_ptr<PushManager> weak = manager;
  // The servers are reached through the guard only.
  std::shared_ptr<const Host> guarded = manager->host_;
  if (manager->host_) {
    manager->guard_ = std::make_shared<RequestGuard>(
        manager->host_->http, manager->host_->mainQueue,
        RequestGuard::Rules{[weak] {
                              auto self = weak.lock();
                              return !self || self->withdrawing_ > 0 || self->consentGiven();
                            },
                            [] { return PushManagerConfig::sharedConfig()->privacy().tracing; }});
    auto copy = std::make_shared<Host>(*manager->host_);
    copy->http = manager->guard_;
    guarded = std::move(copy);
  }
  manager->receiver_ = ReceiverProtocol::create(std::make_shared<Context>(weak), guarded);
  manager->serverLog_ = std::make_shared<ServerLog>(guarded, [weak] {
    auto self = weak.lock();
    return self ? self->info() : nullptr;
  });
  manager->centerDelegate_ = std::make_shared<CenterDelegate>(weak);
  {
    std::lock_guard lock(slot().pointer);
    slot().manager = manager;
  }
  // The trace follows the shared manager's record.
  logging::setSwitch([] {
    auto shared = currentShared();
    auto record = shared ? shared->info() : nullptr;
    return record && record->useLog();
  });
  if (startUp && manager->host_ && manager->host_->mainQueue) {
    manager->host_->mainQueue->post([weak] {
      if (auto self = weak.lock()) self->initialize();
    });
  }
  return manager;
}

std::shared_ptr<PushManager> PushManager::defaultManager() { return shared(true); }
std::shared_ptr<PushManager> PushManager::getInstance() { return shared(false); }

void PushManager::setBundlePath(std::optional<std::string> path) {
  PushManagerConfig::setLibraryBundlePath(std::move(path));
}

std::optional<std::string> PushManager::getBundlePath() {
  return PushManagerConfig::libraryBundlePath();
}

void PushManager::initialize() {
  {
    std::lock_guard load(loadMutex_);
    if (info()) return;
    auto custom = customHost();
    installRecord(custom ? std::make_shared<PushManagerInfo>(false, std::move(custom))
                         : std::make_shared<PushManagerInfo>(false),
                  Origin::Library);
  }
  requestAccessInterface([](bool) {});
  // What an earlier run left in the outbox goes out again, once it may.
  if (!consentGiven()) return;
  if (auto box = outbox()) box->resume();
}

void PushManager::initilaizeWithDelegate(std::shared_ptr<PushManagerDelegate> delegate) {
  setDelegate(std::move(delegate));
  // Without a record there is nothing to report yet; the gate reports it
  // when start-up loads it.
  tellDelegateLoaded();
  fireUnexpiredNotifications();
  std::vector<OutboxReport> waiting;
  {
    std::lock_guard lock(mutex_);
    waiting.swap(waitingReports_);
  }
  auto target = this->delegate();
  for (const auto& report : waiting) {
    if (target && target->didFinishQueuedOperation) {
      target->didFinishQueuedOperation(*this, report);
    } else {
      std::lock_guard lock(mutex_);
      waitingReports_.push_back(report);
    }
  }
}

bool PushManager::applicationDidFinishLaunchingWithOptions(
    const Value& application, const std::optional<Dictionary>& launchOptions) {
  if (logging::isOn()) {
    logging::trace(
        logging::format(kLaunchLine, {launchOptions ? describe(*launchOptions) : "(null)"}));
  }
  if (auto record = info(); record && record->launchOptions()) return true;
  std::optional<std::string> custom;
  if (launchOptions) {
    if (const Value* url = launchOptions->find(kCustomReceiverServerURLKey)) {
      if (const std::string* text = url->asString()) custom = *text;
    }
  }
  {
    std::lock_guard lock(mutex_);
    customHost_ = custom;
  }
  initialize();
  if (host_ && host_->notifications && !host_->notifications->hasCenterDelegate()) {
    setUserNotificationDelegate();
  }
  auto record = info();
  if (record) record->setLaunchOptions(launchOptions);
  if (launchOptions) {
    if (const Dictionary* launching =
            launchOptions->getDictionary(kLaunchOptionsRemoteNotificationKey)) {
      {
        std::lock_guard lock(mutex_);
        launchMessage_ = *launching;
      }
      applicationDidReceiveRemoteNotification(application, *launching);
    }
  }
  return true;
}

std::shared_ptr<PushManagerInfo> PushManager::info() const {
  std::lock_guard lock(mutex_);
  return info_;
}

std::shared_ptr<PushManagerDelegate> PushManager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void PushManager::setDelegate(std::shared_ptr<PushManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

bool PushManager::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void PushManager::setEnabled(bool enabled) {
  bool switchedOn;
  {
    std::lock_guard lock(mutex_);
    switchedOn = enabled && !enabled_;
    enabled_ = enabled;
  }
  if (switchedOn) fireUnexpiredNotifications();
}

std::optional<std::string> PushManager::customHost() const {
  std::lock_guard lock(mutex_);
  return customHost_;
}

Array PushManager::purchaseArray() const {
  std::lock_guard lock(mutex_);
  return purchaseArray_;
}

bool PushManager::isRegisteredService() const {
  if (!host_ || !host_->notifications) return false;
  const auto& notifications = *host_->notifications;
  if (notifications.currentUserNotificationSettingsAvailable()) {
    return notifications.isRegisteredForRemoteNotifications();
  }
  return (notifications.enabledRemoteNotificationTypes() & kRemoteNotificationTypeAlert) != 0;
}

void PushManager::setManifestFile(const std::string& fileName) {
  if (!host_ || !host_->settings) return;
  host_->settings->set(PushManagerConfig::kManifestFileKey, Value(fileName));
  host_->settings->synchronize();
}

void PushManager::removeManifestFile() {
  if (!host_ || !host_->settings) return;
  host_->settings->remove(PushManagerConfig::kManifestFileKey);
  host_->settings->synchronize();
}

void PushManager::requestAccessInterface(ResultHandler completion) {
  logging::trace(kGateLine);
  if (!interfaceEnabled_) {
    auto record = info();
    if (record && record->useStorage() && record->isValidated()) interfaceEnabled_ = true;
  }
  if (interfaceEnabled_) {
    if (completion) completion(true);
    return;
  }
  loadEncryptedInfo([self = shared_from_this(), completion = std::move(completion)](bool loaded) {
    if (loaded) self->interfaceEnabled_ = true;
    if (completion) completion(loaded);
  });
}

bool PushManager::shouldExecuteInterface() const {
  if (interfaceEnabled_) return true;
  logging::trace(kGateClosedLine);
  return false;
}

void PushManager::loadEncryptedInfo(ResultHandler completion) {
  logging::trace(kLoadLine);
  {
    std::lock_guard load(loadMutex_);
    auto record = info();
    const bool wantStorage = PushManagerConfig::sharedConfig()->useStorage();
    // A storage-backed record is never replaced by an in-memory one.
    if (!record || (!record->useStorage() && wantStorage)) {
      logging::trace(kExchangeLine);
      installRecord(std::make_shared<PushManagerInfo>(wantStorage), Origin::Library);
    }
  }
  tellDelegateLoaded();
  if (completion) completion(true);
}

void PushManager::exchangeInfo(std::shared_ptr<PushManagerInfo> info) {
  logging::trace(kExchangeLine);
  if (!info) return;
  std::lock_guard load(loadMutex_);
  installRecord(info, Origin::Caller);
}

void PushManager::installRecord(const std::shared_ptr<PushManagerInfo>& record, Origin origin) {
  auto old = info();
  if (old) {
    record->setMode(old->mode());
    record->setUseCachedPushToken(old->useCachedPushToken());
    std::lock_guard lock(mutex_);
    info_ = record;
    return;
  }
  // The first record brings what start-up gives the manager, whoever makes
  // it: a gate or report that runs before the posted start-up must not lose
  // the reported purchases. The build's mode goes only into a record the
  // library made; one the application hands in keeps its own.
  Array purchases = storedPurchases();
  {
    std::lock_guard lock(mutex_);
    info_ = record;
    purchaseArray_ = std::move(purchases);
  }
  if (logging::isOn()) {
    logging::trace(logging::format(kBannerTop, {kLibraryVersion}));
    logging::trace(logging::format(kBannerHost, {record->host()}));
    logging::trace(logging::format(kBannerReceiverVersion, {record->receiverDebugVersion()}));
    logging::trace(logging::format(kBannerApplicationID, {record->applicationID()}));
    logging::trace(kBannerBottom);
  }
  if (origin == Origin::Library) {
    record->setMode(std::string(
        PushManagerConfig::sharedConfig()->isSandboxApp() ? kModeSandbox : kModeProduction));
  }
}

Array PushManager::storedPurchases() const {
  Array purchases;
  if (!host_ || !host_->settings) return purchases;
  const Value stored = host_->settings->get(kPurchaseArrayKey);
  if (const Array* list = stored.asArray()) {
    // A longer list (an older build, a hand edit) keeps its newest entries.
    const std::size_t skip =
        list->size() > kPurchaseListLimit ? list->size() - kPurchaseListLimit : 0;
    purchases.assign(list->begin() + static_cast<std::ptrdiff_t>(skip), list->end());
  }
  return purchases;
}

void PushManager::tellDelegateLoaded() {
  auto record = info();
  auto target = delegate();
  if (record && target && target->didLoadPushInfo) target->didLoadPushInfo(*this, record);
}

void PushManager::sendServerLog(const std::string& errorText, std::int32_t retryCount) {
  if (!consentGiven()) return;
  if (retryCount == 0 && queue("log", "log", Dictionary{{"error", errorText}}, nullptr)) return;
  if (serverLog_) serverLog_->send(errorText, retryCount);
}

}  // namespace orvo
