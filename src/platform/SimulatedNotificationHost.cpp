#include "orvo/platform/SimulatedNotificationHost.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "orvo/platform/GatewayClient.h"

namespace orvo {

struct SimulatedNotificationHost::Platform {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<std::function<void()>> tasks;
  bool busy = false;
  bool stopping = false;
  // Whether a device token has been handed out; read after the host may
  // be gone, by tasks waiting on the main queue.
  bool registered = false;
  std::thread::id threadId;

  bool idleNow() const { return stopping || (tasks.empty() && !busy); }

  static void loop(std::shared_ptr<Platform> self);
};

namespace {

constexpr const char* kCallRequestAuthorization = "requestAuthorization";
constexpr const char* kCallGetNotificationSettings = "getNotificationSettings";
constexpr const char* kCallSetCenterDelegate = "setCenterDelegate";
constexpr const char* kCallHasCenterDelegate = "hasCenterDelegate";
constexpr const char* kCallNotificationCenterAvailable = "notificationCenterAvailable";
constexpr const char* kCallRegisterForRemoteNotifications = "registerForRemoteNotifications";
constexpr const char* kCallUserNotificationSettingsAvailable = "userNotificationSettingsAvailable";
constexpr const char* kCallRegisterUserNotificationSettings = "registerUserNotificationSettings";
constexpr const char* kCallRegisterForRemoteNotificationTypes =
    "registerForRemoteNotificationTypes";
constexpr const char* kCallCurrentUserNotificationSettingsAvailable =
    "currentUserNotificationSettingsAvailable";
constexpr const char* kCallIsRegisteredForRemoteNotifications =
    "isRegisteredForRemoteNotifications";
constexpr const char* kCallEnabledRemoteNotificationTypes = "enabledRemoteNotificationTypes";
constexpr const char* kCallApplicationState = "applicationState";
constexpr const char* kCallApplicationIconBadgeNumber = "applicationIconBadgeNumber";
constexpr const char* kCallSetApplicationIconBadgeNumber = "setApplicationIconBadgeNumber";
constexpr const char* kCallCancelAllLocalNotifications = "cancelAllLocalNotifications";

// What the phone reads of a push: the platform's own entry and, in it, the
// badge to show and the alert that makes a notification visible.
constexpr std::string_view kApsKey = "aps";
constexpr std::string_view kBadgeKey = "badge";
constexpr std::string_view kAlertKey = "alert";
constexpr std::string_view kPushRequestPrefix = "push-";

std::string withArgument(const char* name, std::int64_t argument) {
  return std::string(name) + "(" + std::to_string(argument) + ")";
}

Bytes defaultToken() {
  Bytes token(32);
  for (std::size_t i = 0; i < token.size(); ++i) token[i] = static_cast<std::uint8_t>(0xA0 + i);
  return token;
}

}  // namespace

void SimulatedNotificationHost::Platform::loop(std::shared_ptr<Platform> self) {
  std::unique_lock lock(self->mutex);
  for (;;) {
    self->wake.wait(lock, [&] { return self->stopping || !self->tasks.empty(); });
    if (self->stopping) break;
    std::function<void()> task = std::move(self->tasks.front());
    self->tasks.pop_front();
    self->busy = true;
    lock.unlock();
    try {
      task();
    } catch (...) {
      // An answer that throws must not end the platform thread.
    }
    // Releasing the answer's captures may release the host itself; nothing
    // below touches it.
    task = nullptr;
    lock.lock();
    self->busy = false;
    if (self->tasks.empty()) self->idle.notify_all();
  }
  // Answers still queued are dropped unrun: the host that made them is gone.
  std::deque<std::function<void()>> dropped;
  dropped.swap(self->tasks);
  self->idle.notify_all();
  lock.unlock();
  dropped.clear();
}

SimulatedNotificationHost::SimulatedNotificationHost(std::shared_ptr<MainQueue> mainQueue)
    : mainQueue_(std::move(mainQueue)),
      platform_(std::make_shared<Platform>()),
      token_(defaultToken()) {}

SimulatedNotificationHost::~SimulatedNotificationHost() {
  {
    std::lock_guard lock(platform_->mutex);
    platform_->stopping = true;
  }
  platform_->wake.notify_all();
  if (!platformThread_.joinable()) return;
  // When an answer on the platform thread let go of the last reference, the
  // thread cannot join itself; it ends on its own right after.
  if (platformThread_.get_id() == std::this_thread::get_id()) {
    platformThread_.detach();
  } else {
    platformThread_.join();
  }
}

void SimulatedNotificationHost::record(std::string call) const {
  std::lock_guard lock(mutex_);
  if (keepCalls_) calls_.push_back(std::move(call));
}

void SimulatedNotificationHost::keepCalls(bool keep) {
  std::lock_guard lock(mutex_);
  keepCalls_ = keep;
  if (!keep) calls_.clear();
}

void SimulatedNotificationHost::onPlatformThread(std::function<void()> task) {
  {
    std::lock_guard lock(platform_->mutex);
    if (platform_->stopping) return;
    // The thread starts with the first answer: a process that asks the
    // platform nothing (the service extension) has none.
    if (!platformThread_.joinable()) {
      try {
        platformThread_ = std::thread(&Platform::loop, platform_);
      } catch (...) {
        // No thread to give the answer: it is dropped, as by a host that
        // is going away.
        return;
      }
      platform_->threadId = platformThread_.get_id();
    }
    platform_->tasks.push_back(std::move(task));
  }
  platform_->wake.notify_one();
}

// --- scripting ---

void SimulatedNotificationHost::scriptAuthorization(bool granted, std::optional<ErrorInfo> error) {
  std::lock_guard lock(mutex_);
  granted_ = granted;
  grantError_ = std::move(error);
}

void SimulatedNotificationHost::scriptAuthorizationStatus(
    std::optional<AuthorizationStatus> status) {
  std::lock_guard lock(mutex_);
  scriptedStatus_ = status;
}

void SimulatedNotificationHost::scriptToken(Bytes token) {
  std::lock_guard lock(mutex_);
  token_ = std::move(token);
  tokenScripted_ = true;
  registrationFailure_.reset();
}

void SimulatedNotificationHost::scriptRegistrationFailure(ErrorInfo error) {
  std::lock_guard lock(mutex_);
  registrationFailure_ = std::move(error);
  tokenScripted_ = true;
}

void SimulatedNotificationHost::scriptRegistrationAnswers(bool answers) {
  std::lock_guard lock(mutex_);
  registrationAnswers_ = answers;
}

void SimulatedNotificationHost::setApplication(std::weak_ptr<ApplicationEventSink> application) {
  std::lock_guard lock(mutex_);
  application_ = std::move(application);
}

void SimulatedNotificationHost::setNotificationCenterAvailable(bool available) {
  std::lock_guard lock(mutex_);
  centerAvailable_ = available;
}

void SimulatedNotificationHost::setUserNotificationSettingsAvailable(bool available) {
  std::lock_guard lock(mutex_);
  userSettingsAvailable_ = available;
}

void SimulatedNotificationHost::setCurrentUserNotificationSettingsAvailable(bool available) {
  std::lock_guard lock(mutex_);
  currentSettingsAvailable_ = available;
}

void SimulatedNotificationHost::setApplicationState(ApplicationState state) {
  std::lock_guard lock(mutex_);
  state_ = state;
}

void SimulatedNotificationHost::setEnabledRemoteNotificationTypes(std::int64_t types) {
  std::lock_guard lock(mutex_);
  enabledTypes_ = types;
}

void SimulatedNotificationHost::setGateway(std::shared_ptr<GatewayClient> gateway) {
  std::lock_guard lock(mutex_);
  gateway_ = std::move(gateway);
}

std::shared_ptr<GatewayClient> SimulatedNotificationHost::gateway() const {
  std::lock_guard lock(mutex_);
  return gateway_;
}

void SimulatedNotificationHost::setServiceExtension(ServiceExtensionLauncher launcher) {
  std::lock_guard lock(mutex_);
  serviceExtension_ = std::move(launcher);
}

// --- what happened ---

std::vector<std::string> SimulatedNotificationHost::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t SimulatedNotificationHost::callCount(std::string_view name) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(calls_.begin(), calls_.end(), [name](const std::string& call) {
        std::string_view callName(call);
        callName = callName.substr(0, callName.find('('));
        return callName == name;
      }));
}

void SimulatedNotificationHost::clearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

bool SimulatedNotificationHost::waitForPlatformIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(platform_->mutex);
  // The platform thread cannot wait for itself.
  if (std::this_thread::get_id() == platform_->threadId) return platform_->tasks.empty();
  return platform_->idle.wait_for(lock, timeout, [this] { return platform_->idleNow(); });
}

std::shared_ptr<NotificationCenterDelegate> SimulatedNotificationHost::centerDelegate() const {
  std::lock_guard lock(mutex_);
  return centerDelegate_.lock();
}

std::size_t SimulatedNotificationHost::pendingLocalNotificationsCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

// --- platform-side events ---

namespace {

void postRemoteNotification(const std::shared_ptr<MainQueue>& queue,
                            std::weak_ptr<ApplicationEventSink> application, Dictionary payload) {
  if (!queue) return;
  queue->post([application = std::move(application), payload = std::move(payload)] {
    if (auto sink = application.lock()) sink->didReceiveRemoteNotification(payload);
  });
}

}  // namespace

void SimulatedNotificationHost::deliverRemoteNotification(Dictionary payload) {
  std::weak_ptr<ApplicationEventSink> application;
  {
    std::lock_guard lock(mutex_);
    application = application_;
  }
  postRemoteNotification(mainQueue_, std::move(application), std::move(payload));
}

void SimulatedNotificationHost::receivePush(Dictionary payload) {
  const Dictionary* aps = payload.getDictionary(kApsKey);
  if (aps) {
    const Value badge = aps->get(kBadgeKey);
    if (badge.isInt()) setApplicationIconBadgeNumber(*badge.asInt());
  }
  ServiceExtensionLauncher extension;
  std::weak_ptr<ApplicationEventSink> application;
  {
    std::lock_guard lock(mutex_);
    extension = serviceExtension_;
    application = application_;
  }
  const Value alert = aps ? aps->get(kAlertKey) : Value();
  if (!extension || alert.isNull()) {
    postRemoteNotification(mainQueue_, std::move(application), std::move(payload));
    return;
  }
  NotificationRequest request;
  request.identifier = std::string(kPushRequestPrefix) + std::to_string(++extensionRuns_);
  request.content.body = alert.isString() ? *alert.asString() : describe(alert);
  request.content.userInfo = std::move(payload);
  auto handedBack = std::make_shared<std::atomic<bool>>(false);
  extension(request, [queue = mainQueue_, application, handedBack](const NotificationContent& c) {
    if (!handedBack->exchange(true)) postRemoteNotification(queue, application, c.userInfo);
  });
}

void SimulatedNotificationHost::presentNotification(
    PlatformNotification notification, std::function<void(std::int64_t options)> completion) {
  if (!mainQueue_) return;
  std::weak_ptr<NotificationCenterDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = centerDelegate_;
  }
  mainQueue_->post([delegate = std::move(delegate), notification = std::move(notification),
                    completion = std::move(completion)]() mutable {
    auto target = delegate.lock();
    if (!target) return;
    target->willPresentNotification(
        notification, completion ? std::move(completion) : [](std::int64_t) {});
  });
}

void SimulatedNotificationHost::respondToNotification(PlatformNotification notification,
                                                      std::string actionIdentifier,
                                                      std::function<void()> completion) {
  if (!mainQueue_) return;
  std::weak_ptr<NotificationCenterDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = centerDelegate_;
  }
  mainQueue_->post([delegate = std::move(delegate), notification = std::move(notification),
                    actionIdentifier = std::move(actionIdentifier),
                    completion = std::move(completion)]() mutable {
    auto target = delegate.lock();
    if (!target) return;
    target->didReceiveNotificationResponse(
        notification, actionIdentifier, completion ? std::move(completion) : [] {});
  });
}

// --- NotificationHost ---

bool SimulatedNotificationHost::notificationCenterAvailable() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallNotificationCenterAvailable);
  return centerAvailable_;
}

void SimulatedNotificationHost::requestAuthorization(
    std::int64_t options,
    std::function<void(bool granted, std::optional<ErrorInfo> error)> completion) {
  bool granted;
  std::optional<ErrorInfo> error;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(withArgument(kCallRequestAuthorization, options));
    granted = granted_;
    error = grantError_;
  }
  onPlatformThread(
      [this, granted, error = std::move(error), completion = std::move(completion)]() mutable {
        {
          std::lock_guard lock(mutex_);
          lastAnswer_ = granted;
        }
        if (completion) completion(granted, std::move(error));
      });
}

void SimulatedNotificationHost::getNotificationSettings(
    std::function<void(AuthorizationStatus)> completion) {
  record(kCallGetNotificationSettings);
  onPlatformThread([this, completion = std::move(completion)] {
    AuthorizationStatus status = AuthorizationStatus::NotDetermined;
    {
      std::lock_guard lock(mutex_);
      if (scriptedStatus_) {
        status = *scriptedStatus_;
      } else if (lastAnswer_) {
        status = *lastAnswer_ ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
      }
    }
    if (completion) completion(status);
  });
}

void SimulatedNotificationHost::setCenterDelegate(
    std::weak_ptr<NotificationCenterDelegate> delegate) {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallSetCenterDelegate);
  centerDelegate_ = std::move(delegate);
}

// The centre holds its delegate weakly, as the platform does.
bool SimulatedNotificationHost::hasCenterDelegate() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallHasCenterDelegate);
  return !centerDelegate_.expired();
}

void SimulatedNotificationHost::registerForRemoteNotifications() {
  std::weak_ptr<ApplicationEventSink> application;
  Bytes token;
  std::optional<ErrorInfo> failure;
  std::shared_ptr<GatewayClient> gateway;
  {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(kCallRegisterForRemoteNotifications);
    if (!registrationAnswers_ || !mainQueue_) return;
    application = application_;
    token = token_;
    failure = registrationFailure_;
    if (!tokenScripted_) gateway = gateway_;
  }
  std::weak_ptr<Platform> platform = platform_;
  if (gateway) {
    // The answer comes on the main queue, where the application takes it.
    gateway->requestToken([application, platform](const Result<Bytes>& answer) {
      if (!answer.ok()) {
        if (auto sink = application.lock())
          sink->didFailToRegisterForRemoteNotificationsWithError(answer.error());
        return;
      }
      if (auto state = platform.lock()) {
        std::lock_guard lock(state->mutex);
        state->registered = true;
      }
      if (auto sink = application.lock())
        sink->didRegisterForRemoteNotificationsWithDeviceToken(answer.value());
    });
    return;
  }
  mainQueue_->post([application = std::move(application), token = std::move(token),
                    failure = std::move(failure), platform = std::move(platform)] {
    if (failure) {
      if (auto sink = application.lock())
        sink->didFailToRegisterForRemoteNotificationsWithError(*failure);
      return;
    }
    if (auto state = platform.lock()) {
      std::lock_guard lock(state->mutex);
      state->registered = true;
    }
    if (auto sink = application.lock())
      sink->didRegisterForRemoteNotificationsWithDeviceToken(token);
  });
}

bool SimulatedNotificationHost::userNotificationSettingsAvailable() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallUserNotificationSettingsAvailable);
  return userSettingsAvailable_;
}

void SimulatedNotificationHost::registerUserNotificationSettings(std::int64_t types) {
  std::weak_ptr<ApplicationEventSink> application;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(withArgument(kCallRegisterUserNotificationSettings, types));
    if (!mainQueue_) return;
    application = application_;
  }
  mainQueue_->post([application = std::move(application), types] {
    if (auto sink = application.lock()) sink->didRegisterUserNotificationSettings(types);
  });
}

void SimulatedNotificationHost::registerForRemoteNotificationTypes(std::int64_t types) {
  record(withArgument(kCallRegisterForRemoteNotificationTypes, types));
}

bool SimulatedNotificationHost::currentUserNotificationSettingsAvailable() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallCurrentUserNotificationSettingsAvailable);
  return currentSettingsAvailable_;
}

bool SimulatedNotificationHost::isRegisteredForRemoteNotifications() const {
  {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(kCallIsRegisteredForRemoteNotifications);
  }
  std::lock_guard lock(platform_->mutex);
  return platform_->registered;
}

std::int64_t SimulatedNotificationHost::enabledRemoteNotificationTypes() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallEnabledRemoteNotificationTypes);
  return enabledTypes_;
}

ApplicationState SimulatedNotificationHost::applicationState() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallApplicationState);
  return state_;
}

std::int64_t SimulatedNotificationHost::applicationIconBadgeNumber() const {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallApplicationIconBadgeNumber);
  return badge_;
}

void SimulatedNotificationHost::setApplicationIconBadgeNumber(std::int64_t badge) {
  std::lock_guard lock(mutex_);
  calls_.push_back(withArgument(kCallSetApplicationIconBadgeNumber, badge));
  badge_ = badge;
}

void SimulatedNotificationHost::cancelAllLocalNotifications() {
  std::lock_guard lock(mutex_);
  calls_.emplace_back(kCallCancelAllLocalNotifications);
  ++cancelled_;
}

}  // namespace orvo
