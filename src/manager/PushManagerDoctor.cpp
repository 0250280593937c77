// The push doctor: why notifications may not arrive, from what the library
// already knows, said in one line per cause. It changes nothing.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <utility>

#include "manager/OperationSupport.h"
#include "manager/Outbox.h"
#include "manager/RequestGuard.h"
#include "orvo/PushManager.h"
#include "orvo/PushManagerConfig.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"

namespace orvo {
namespace operations {
namespace {

constexpr std::size_t kRefusalsKept = 16;

struct Refusals {
  std::mutex mutex;
  std::vector<std::string> lines;
};

Refusals& refusals() {
  static Refusals kept;
  return kept;
}

}  // namespace

void noteVersionRefusal(std::string line) {
  std::lock_guard lock(refusals().mutex);
  auto& lines = refusals().lines;
  if (std::find(lines.begin(), lines.end(), line) != lines.end()) return;
  if (lines.size() == kRefusalsKept) lines.erase(lines.begin());
  lines.push_back(std::move(line));
}

std::vector<std::string> versionRefusals() {
  std::lock_guard lock(refusals().mutex);
  return refusals().lines;
}

void forgetVersionRefusals() {
  std::lock_guard lock(refusals().mutex);
  refusals().lines.clear();
}

}  // namespace operations

namespace {

constexpr std::string_view kProfileName = "embedded.mobileprovision";
constexpr std::string_view kDevelopment = "development";
constexpr std::string_view kProduction = "production";
// An outbox entry this old has outlived several retries.
constexpr double kStuckSeconds = 60.0;
constexpr std::size_t kTokenShown = 12;

// Which public calls a receiver version refuses.
struct Gate {
  std::string_view operation;
  protocol::VersionRange takes;
};
constexpr Gate kGates[] = {
    {"registerServiceAndUser", protocol::above("3.6")},
    {"getRegisteredService", protocol::above("3.5")},
    {"unregisterUser", protocol::atLeast("3.6")},
    {"read by sequence number, sender and database", protocol::atLeast("4.0")},
    {"send", protocol::atLeast("3.5")},
    {"feedback and read by message key", protocol::below("3.6")},
};

constexpr std::string_view kWrongEnvironment =
    "Wrong environment: the build is signed for the %@ push environment (%@), but the "
    "manifest's receiver mode is %@";
constexpr std::string_view kTokenChanged =
    "Token changed while the application was closed: the platform now gives %@..., the "
    "receiver knows %@...; register the service again";
constexpr std::string_view kVersionRefusal = "Receiver version refuses the call: %@";
constexpr std::string_view kPermissionDenied =
    "Permission denied: the user turned notifications off for this application";
constexpr std::string_view kOutboxStuck = "Outbox stuck: %@ entries waiting, the oldest for %@ s%@";
constexpr std::string_view kConsentWithheld =
    "Consent not given: nothing is sent until the application calls setConsentGiven(true)";
constexpr std::string_view kNotRegistered =
    "Not registered: the receiver does not know this device's token";
constexpr std::string_view kNoProblem = "No problem found.";

std::string shortToken(const std::string& token) { return token.substr(0, kTokenShown); }

std::string permissionName(std::optional<AuthorizationStatus> status) {
  if (!status) return "unknown";
  switch (*status) {
    case AuthorizationStatus::Authorized:
      return "authorized";
    case AuthorizationStatus::Denied:
      return "denied";
    case AuthorizationStatus::NotDetermined:
      break;
  }
  return "not determined";
}

void addLine(std::string& text, std::string_view label, const Value& value) {
  text += "  ";
  text += label;
  text += ": ";
  text += describe(value);
  text += '\n';
}

// The readable form: each section's values, then the verdicts.
std::string readable(const Dictionary& report) {
  std::string text = "Push doctor\n";
  for (const auto& [section, value] : report) {
    if (section == "verdicts") continue;
    text += section + "\n";
    if (const Dictionary* entries = value.asDictionary()) {
      for (const auto& [key, item] : *entries) addLine(text, key, item);
    } else {
      addLine(text, "value", value);
    }
  }
  text += "verdicts\n";
  const Array* verdicts = report.getArray("verdicts");
  if (!verdicts || verdicts->empty()) return text + "  " + std::string(kNoProblem) + "\n";
  for (const auto& verdict : *verdicts) text += "  " + describe(verdict) + "\n";
  return text;
}

}  // namespace

void PushManager::diagnose(DiagnosisHandler completion) {
  auto config = PushManagerConfig::sharedConfig();
  auto record = info();
  Dictionary report;
  Array verdicts;

  report.set("manifest", Dictionary{{"path", config->manifestPath()},
                                    {"settings", config->config().value_or(Dictionary{})}});

  const bool sandbox = config->isSandboxApp();
  const bool hasProfile =
      host_ && host_->bundle &&
      std::filesystem::exists(std::filesystem::path(host_->bundle->bundlePath()) /
                              std::string(kProfileName));
  const std::string environment(sandbox ? kDevelopment : kProduction);
  const std::string why = hasProfile ? std::string(kProfileName) + " says so"
                                     : "no " + std::string(kProfileName) + ": production";
  const std::string receiverMode = config->mode();
  report.set("environment", Dictionary{{"build", environment},
                                       {"reason", why},
                                       {"receiverMode", receiverMode},
                                       {"mode", record ? record->mode() : std::string()}});
  if ((receiverMode == kDevelopment || receiverMode == kProduction) &&
      receiverMode != environment) {
    verdicts.emplace_back(logging::format(kWrongEnvironment, {environment, why, receiverMode}));
  }

  const std::string version = record ? record->receiverVersion() : config->receiverVersion();
  Array refuses;
  for (const Gate& gate : kGates) {
    if (!gate.takes.contains(version)) {
      refuses.emplace_back(std::string(gate.operation) + " (needs " + gate.takes.describe() + ")");
    }
  }
  Array refused;
  for (auto& line : operations::versionRefusals()) {
    verdicts.emplace_back(logging::format(kVersionRefusal, {line}));
    refused.emplace_back(std::move(line));
  }
  report.set("receiver", Dictionary{{"version", version},
                                    {"host", record ? record->host() : config->host()},
                                    {"refuses", std::move(refuses)},
                                    {"refused", std::move(refused)}});

  const std::string stored = record ? record->pushServiceID() : std::string();
  std::optional<std::string> platform;
  {
    std::lock_guard lock(mutex_);
    platform = platformToken_;
  }
  const bool changed = platform && !stored.empty() && *platform != stored;
  Dictionary token{{"stored", stored}, {"changed", changed}};
  if (record && !stored.empty())
    token.set("lastRegistered", describe(Value(record->pushServiceLastDate())));
  if (platform) token.set("platform", *platform);
  report.set("token", std::move(token));
  if (changed) {
    verdicts.emplace_back(
        logging::format(kTokenChanged, {shortToken(*platform), shortToken(stored)}));
  }

  const bool given = consentGiven();
  report.set("consent",
             Dictionary{{"required", config->privacy().consentRequired}, {"given", given}});
  if (!given) verdicts.emplace_back(kConsentWithheld);

  const Dictionary lastErrors = guard_ ? guard_->lastErrors() : Dictionary{};
  Dictionary outboxReport{{"enabled", config->outbox().enabled}};
  if (config->outbox().enabled) {
    const std::size_t depth = outboxDepth();
    outboxReport.set("depth", depth);
    const auto oldest = outboxOldestAgeSeconds();
    if (oldest) outboxReport.set("oldestAgeSeconds", *oldest);
    if (depth > 0 && oldest && *oldest >= kStuckSeconds) {
      std::string last;
      for (const auto& [endpoint, failure] : lastErrors) {
        if (const Dictionary* entry = failure.asDictionary()) {
          last = "; the last failure: " + endpoint + " " + describe(entry->get("description"));
        }
      }
      char age[32];
      std::snprintf(age, sizeof age, "%.0f", *oldest);
      verdicts.emplace_back(logging::format(kOutboxStuck, {std::to_string(depth), age, last}));
    }
  }
  report.set("outbox", std::move(outboxReport));
  report.set("lastErrors", lastErrors);

  // What is left needs answers: the permission from the platform, the
  // registration from the receiver. Both come back on the main queue.
  struct Pending {
    Dictionary report;
    Array verdicts;
    DiagnosisHandler completion;
  };
  auto pending = std::make_shared<Pending>(
      Pending{std::move(report), std::move(verdicts), std::move(completion)});
  std::weak_ptr<PushManager> weak = weak_from_this();
  auto finish = [pending] {
    pending->report.set("verdicts", std::move(pending->verdicts));
    if (pending->completion) pending->completion(pending->report, readable(pending->report));
  };
  auto askServer = [weak, pending, finish, stored, version, given] {
    auto self = weak.lock();
    if (!self || !given || stored.empty() || !versionIsAbove(version, "3.5") || !self->receiver_) {
      pending->report.set("server", Dictionary{{"checked", false}});
      return finish();
    }
    self->receiver_->getRegisteredServiceFromApp(
        [pending, finish](bool registered, const std::optional<ErrorInfo>& error) {
          Dictionary server{{"checked", true}, {"registered", registered}};
          if (error) {
            server.set("error", describe(*error));
          } else if (!registered) {
            pending->verdicts.emplace_back(kNotRegistered);
          }
          pending->report.set("server", std::move(server));
          finish();
        });
  };
  auto mainQueue = host_ ? host_->mainQueue : nullptr;
  if (!host_ || !host_->notifications || !mainQueue) {
    pending->report.set("permission", permissionName(std::nullopt));
    if (!mainQueue) return askServer();
    mainQueue->post(askServer);
    return;
  }
  host_->notifications->getNotificationSettings(
      [pending, askServer, mainQueue](AuthorizationStatus status) {
        mainQueue->post([pending, askServer, status] {
          pending->report.set("permission", permissionName(status));
          if (status == AuthorizationStatus::Denied) {
            pending->verdicts.emplace_back(kPermissionDenied);
          }
          askServer();
        });
      });
}

}  // namespace orvo
