#include "Device.h"

#include <signal.h>

#include <httplib.h>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <future>
#include <iostream>
#include <thread>

#include "Manifest.h"
#include "Simulator.h"
#include "orvo/Json.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/Version.h"
#include "orvo/platform/GatewayClient.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/PrivateFiles.h"

namespace orvo::sim {

namespace fs = std::filesystem;

std::string deviceFolder(const std::string& stateRoot, const std::string& name) {
  return (fs::path(stateRoot) / name).string();
}

std::string controlSocket(const std::string& stateRoot, const std::string& name) {
  return (fs::path(deviceFolder(stateRoot, name)) / "control.sock").string();
}

Json toJson(const Value& value) {
  auto text = writeJson(value);
  if (!text) return nullptr;
  return Json::parse(text.value(), nullptr, false);
}

std::optional<Dictionary> toDictionary(const Json& json) {
  auto value = parseJson(json.dump());
  if (!value || !value.value().isDictionary()) return std::nullopt;
  return *value.value().asDictionary();
}

std::string describeValue(const Json& value) {
  if (value.is_null()) return "";
  return value.is_string() ? value.get<std::string>() : value.dump();
}

namespace {

constexpr auto kCommandTimeout = std::chrono::seconds(30);
constexpr auto kTokenTimeout = std::chrono::seconds(15);
constexpr std::size_t kLogTailLines = 200;
constexpr std::string_view kResultCodeMark = R"("RESULT_CODE":")";
constexpr std::string_view kInvalidResultCode = "invalid_result_code";

// A member of a payload read as an object; anything else reads as empty, so
// that a payload of another shape is shown, not a reason to fail.
Json objectAt(const Json& payload, const char* key) {
  if (!payload.is_object() || !payload.contains(key) || !payload[key].is_object())
    return Json::object();
  return payload[key];
}

std::string seqnoOf(const Json& payload) {
  return describeValue(objectAt(payload, "orv").value("seqno", Json()));
}

// What the emulator's result codes mean, for a failure line.
std::string resultCodeMeaning(const std::string& code) {
  if (code == "40000") return " (a missing or malformed key)";
  if (code == "40400") return " (an unknown device or message)";
  if (code == "40500") return " (a call this receiver version does not have)";
  return "";
}

}  // namespace

// --- start-up ---

bool Simulator::prepareFolder() {
  folder_ = deviceFolder(options_.stateRoot, options_.name);
  // The device's identity, keychain and log (which holds its auth key) are
  // its user's alone, whatever the umask.
  std::string error;
  for (const char* sub : {"", "bundle", "bundle/res", "data", "keychain", "attachments"})
    if (!createPrivateDirectory((fs::path(folder_) / sub).string(), error)) {
      std::cerr << "orvo-sim: cannot create " << error << std::endl;
      return false;
    }
  const std::string log = (fs::path(folder_) / "device.log").string();
  if (!createPrivateFile(log, error)) {
    std::cerr << "orvo-sim: cannot create " << log << ": " << error << std::endl;
    return false;
  }
  const auto manifest = manifestXml(options_, error);
  if (!manifest) {
    std::cerr << "orvo-sim: cannot write the manifest: " << error << std::endl;
    return false;
  }
  std::ofstream out(fs::path(folder_) / "bundle" / "res" / "Manifest.xml", std::ios::trunc);
  out << *manifest;
  logFile_.open(log, std::ios::app);
  return true;
}

bool Simulator::startHost() {
  DesktopHostOptions hostOptions;
  hostOptions.bundleDirectory = (fs::path(folder_) / "bundle").string();
  hostOptions.bundleIdentifier = options_.applicationID;
  hostOptions.dataDirectory = (fs::path(folder_) / "data").string();
  hostOptions.keychainDirectory = (fs::path(folder_) / "keychain").string();
  hostOptions.mainQueue = loop_;
  hostOptions.gateway.url = options_.emulatorUrl;
  hostOptions.gateway.deviceName = options_.name;
  hostOptions.log = std::make_shared<CallbackLogSink>([this](std::string_view line) {
    std::lock_guard lock(logMutex_);
    logFile_ << line << '\n';
    logFile_.flush();
    logTail_.emplace_back(logLines_++, std::string(line));
    if (logTail_.size() > kLogTailLines) logTail_.pop_front();
  });
  host_ = makeDesktopHost(hostOptions);
  phone_ = std::dynamic_pointer_cast<SimulatedNotificationHost>(host_->notifications);
  phone_->setApplication(application_);
  if (options_.denyPermission) phone_->scriptAuthorization(false);
  state_ = options_.state;
  phone_->setApplicationState(state_ == "foreground" ? ApplicationState::Active
                                                     : ApplicationState::Background);
  phone_->setServiceExtension([this](const NotificationRequest& request, ContentHandler done) {
    runExtension(request, std::move(done));
  });
  Host::setCurrent(host_);
  extension_ = std::make_shared<PushNotificationServiceExtension>();
  extension_->setTemporaryDirectory((fs::path(folder_) / "attachments").string());

  auto gateway = phone_->gateway();
  std::ifstream in(fs::path(folder_) / "last-event-id");
  long long id = -1;
  if (in >> id && id >= 0) gateway->resumeAfter(std::to_string(id));
  gateway->setPayloadHandler([this](const std::string& eventId, const Dictionary& payload) {
    fromGateway(eventId, payload);
  });
  gateway->setControlHandler(
      [this](const std::string& type, const std::string& data) { fromGatewayControl(type, data); });
  return true;
}

// The token the gateway keeps for this device's name; without it the device
// cannot start, so the emulator being away is said at once.
bool Simulator::takeToken() {
  std::optional<Result<Bytes>> answer;
  phone_->gateway()->requestToken([&answer](const Result<Bytes>& token) { answer = token; });
  if (!loop_->runUntil([&] { return answer.has_value(); }, kTokenTimeout)) {
    std::cerr << "orvo-sim: the emulator at " << options_.emulatorUrl << " gave no token in "
              << kTokenTimeout.count() << " s" << std::endl;
    return false;
  }
  if (!answer->ok()) {
    std::cerr << "orvo-sim: " << answer->error().description << std::endl;
    return false;
  }
  token_ = phone_->gateway()->token();
  return true;
}

bool Simulator::startControl(ControlServer& control) {
  std::string error;
  const bool started = control.start(
      controlSocket(options_.stateRoot, options_.name),
      [this](const Json& request) {
        auto promise = std::make_shared<std::promise<Json>>();
        auto once = std::make_shared<std::once_flag>();
        auto future = promise->get_future();
        loop_->post([this, request, promise, once] {
          command(request, [promise, once](Json answer) {
            std::call_once(*once, [&] { promise->set_value(std::move(answer)); });
          });
        });
        if (future.wait_for(kCommandTimeout) != std::future_status::ready)
          return Json{{"ok", false}, {"error", "the device did not finish in 30 s"}};
        return future.get();
      },
      error);
  if (!started) std::cerr << "orvo-sim: " << error << std::endl;
  return started;
}

void Simulator::startManager() {
  manager_ = PushManager::defaultManager();
  manager_->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
  auto delegate = std::make_shared<PushManagerDelegate>();
  delegate->didReceiveUserNotification =
      [this](PushManager&, const Dictionary& payload, const std::string& status,
             const std::string& messageUID) { onNotification(payload, status, messageUID); };
  delegate->didWithdrawConsent = [this](PushManager&, const ConsentWithdrawal& cleared) {
    registered_ = false;
    Json answer = {{"ok", true},
                   {"unregistered", cleared.unregistered},
                   {"outbox_entries", cleared.outboxEntries},
                   {"settings_keys", cleared.settingsKeys},
                   {"keychain_keys", cleared.keychainKeys}};
    if (cleared.unregisterError) answer["unregister_error"] = cleared.unregisterError->description;
    print(answer, std::string("consent withdrawn: ") +
                      (cleared.unregistered ? "unregistered" : "not unregistered") +
                      ", identity cleared");
    if (auto reply = std::exchange(withdrawalReply_, nullptr)) reply(answer);
  };
  manager_->initilaizeWithDelegate(delegate);
}

void Simulator::registerDevice() {
  const long long mark = logMark();
  auto done = [this, mark](bool ok) { afterRegistration(ok, mark); };
  // The combined call exists from receiver 3.7 on; before it, the service
  // and the user are registered one after the other.
  const auto& user = options_.user;
  const auto name = options_.userName ? options_.userName : user;
  if (user && versionIsAbove(options_.receiverVersion, "3.6")) {
    manager_->registerServiceAndUser(Value(), user, name, done);
    return;
  }
  manager_->registerService(Value(), [this, done, user, name](bool ok) {
    if (!ok || !user) return done(ok);
    manager_->registerUser(Value(), user, name, done);
  });
}

void Simulator::afterRegistration(bool ok, long long mark) {
  registered_ = ok;
  if (token_.empty()) token_ = phone_->gateway()->token();
  auto info = manager_->info();
  const std::string psid = info ? info->pushServiceID() : "";
  const std::string cuid = info ? info->clientUID() : "";
  if (!ok) {
    print({{"event", "registered"}, {"ok", false}, {"error", lastError(mark)}},
          options_.denyPermission ? "registration failed: permission denied"
                                  : "registration failed: " + lastError(mark));
    return;
  }
  print({{"event", "registered"}, {"ok", true}, {"psid", psid}, {"cuid", cuid}},
        "registered as " + cuid + " (PSID " + psid.substr(0, 12) + "...)");
  if (!options_.group) return;
  manager_->registerGroup(Value(), options_.group, [this, mark](bool groupOk) {
    print({{"event", "group"}, {"ok", groupOk}, {"group", *options_.group}},
          groupOk ? "joined group " + *options_.group : "group failed: " + lastError(mark));
  });
}

int Simulator::run() {
  if (!prepareFolder() || !startHost()) return 1;
  // Without the user's consent the phone is not even asked for a token.
  startManager();
  const bool waiting = !manager_->consentGiven();
  if (!waiting && !takeToken()) return 1;
  ControlServer control;
  if (!startControl(control)) return 1;
  if (!waiting) registerDevice();
  print({{"event", "started"},
         {"token", token_},
         {"consent", !waiting},
         {"control", controlSocket(options_.stateRoot, options_.name)}},
        "started (" + state_ + "), " +
            (waiting ? std::string("waiting for the user's consent")
                     : "gateway token " + token_.substr(0, 12) + "..."));
  if (!waiting) reportState();

  // SIGINT and SIGTERM end the device as "stop" does.
  std::thread signals([this] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal = 0;
    sigwait(&set, &signal);
    if (!stopping_.exchange(true)) loop_->stop();
  });
  // What escapes a handler ends the device with one line and status 1, its
  // threads stopped, never an abort.
  int status = 0;
  try {
    loop_->run();
  } catch (const std::exception& error) {
    std::cerr << "orvo-sim: device " << options_.name
              << " stopped: internal error: " << error.what() << std::endl;
    status = 1;
  }
  stopping_ = true;
  phone_->gateway()->stop();
  control.stop();
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  Host::setCurrent(nullptr);
  return status;
}

// --- what arrives ---

void Simulator::arrived(long long id) {
  unfinished_.insert(id);
  highestEvent_ = std::max(highestEvent_, id);
  keepLastEvent();
}

void Simulator::finished(long long id) {
  if (unfinished_.erase(id)) keepLastEvent();
}

void Simulator::keepLastEvent() {
  const long long kept = unfinished_.empty() ? highestEvent_ : *unfinished_.begin() - 1;
  // Replaced whole: a device killed while writing keeps the one before.
  const fs::path file = fs::path(folder_) / "last-event-id";
  std::string error;
  if (createPrivateFile(file.string() + ".new", error)) {
    std::ofstream out(file.string() + ".new", std::ios::trunc);
    out << kept << '\n';
  }
  std::error_code ignored;
  fs::rename(file.string() + ".new", file, ignored);
}

void Simulator::finished(const Json& payload) {
  const auto found = eventOfSeqno_.find(seqnoOf(payload));
  if (found == eventOfSeqno_.end()) return;
  const long long id = found->second;
  eventOfSeqno_.erase(found);
  finished(id);
}

void Simulator::print(const Json& event, const std::string& text) {
  std::lock_guard lock(printMutex_);
  if (options_.json) {
    Json line = event;
    line["device"] = options_.name;
    // What the gateway or the emulator sent need not be UTF-8.
    std::cout << line.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
  } else {
    std::cout << options_.name << ": " << text << std::endl;
  }
}

long long Simulator::logMark() {
  std::lock_guard lock(logMutex_);
  return logLines_;
}

std::string Simulator::lastError(long long since) {
  std::lock_guard lock(logMutex_);
  auto it = logTail_.rbegin();
  const auto isError = [](const std::string& line) {
    return line.find("Error") != std::string::npos || line.find("error") != std::string::npos ||
           line.find(" refused: ") != std::string::npos;
  };
  while (it != logTail_.rend() && it->first >= since && !isError(it->second)) ++it;
  if (it == logTail_.rend() || it->first < since) return "see " + folder_ + "/device.log";
  if (it->second.find(kInvalidResultCode) == std::string::npos) return it->second;
  // The library names any refusal so; the receiver's answer, logged just
  // before, says which it was.
  for (auto answer = it; answer != logTail_.rend() && answer->first >= since; ++answer) {
    const auto at = answer->second.find(kResultCodeMark);
    if (at == std::string::npos) continue;
    const auto from = at + kResultCodeMark.size();
    const std::string code = answer->second.substr(from, answer->second.find('"', from) - from);
    return "the receiver answered " + code + resultCodeMeaning(code);
  }
  return it->second;
}

void Simulator::onNotification(const Dictionary& payload, const std::string& status,
                               const std::string& messageUID) {
  const Json json = toJson(Value(payload));
  const Json aps = objectAt(json, "aps");
  const Json orv = objectAt(json, "orv");
  Json event = {{"event", "notification"},
                {"text", describeValue(aps.value("alert", Json()))},
                {"status", status},
                {"badge", phone_->applicationIconBadgeNumber()},
                {"ext", describeValue(orv.value("ext", Json()))},
                {"seqno", describeValue(orv.value("seqno", Json()))},
                {"sender", describeValue(orv.value("sender", Json()))},
                {"message_uid", messageUID},
                {"acknowledged", json.is_object() && json.value("feedback", Json()) == "true"},
                {"read", false},
                {"payload", json}};
  if (json.contains("attachment")) event["attachment"] = json["attachment"];
  received_.push_back(event);
  // The read goes out before the notification is shown and its event counted
  // as handled: a device killed in between then reads it at the replay.
  if (options_.autoRead) {
    const auto index = received_.size() - 1;
    const long long mark = logMark();
    manager_->read(Value(), payload, [this, index, mark](bool success) {
      if (success) received_[index]["read"] = true;
      print({{"event", "read"}, {"ok", success}, {"seqno", received_[index]["seqno"]}},
            success ? "read message " + received_[index]["seqno"].get<std::string>()
                    : "read failed: " + lastError(mark));
    });
  }
  std::string line = "\xE2\x86\x90 \"" + event["text"].get<std::string>() + "\"  status " + status +
                     "  badge " + std::to_string(event["badge"].get<long long>());
  if (!event["ext"].get<std::string>().empty()) line += "  ext " + event["ext"].get<std::string>();
  if (!event["sender"].get<std::string>().empty())
    line += "  from " + event["sender"].get<std::string>();
  print(event, line);
  finished(json);
}

// On the main queue, as the gateway hands each payload over.
void Simulator::fromGateway(const std::string& eventId, const Dictionary& payload) {
  long long id = -1;
  std::from_chars(eventId.data(), eventId.data() + eventId.size(), id);
  const Json json = toJson(Value(payload));
  if (id >= 0) {
    arrived(id);
    const std::string seqno = seqnoOf(json);
    if (seqno.empty()) {
      finished(id);
    } else {
      eventOfSeqno_[seqno] = id;
    }
  }
  arrive(json, "gateway");
}

void Simulator::arrive(const Json& payload, const std::string& source) {
  auto dictionary = toDictionary(payload);
  if (!dictionary) return;
  if (PushManager::isOrvoSilentPush(*dictionary)) {
    print({{"event", "silent"}, {"source", source}},
          "silent push (content-available, batch 1): ignored by the library");
    phone_->receivePush(*dictionary);
    finished(payload);
    return;
  }
  if (state_ == "terminated") {
    held_.push_back(payload);
    print({{"event", "held"}, {"source", source}},
          "notification held: the application is not running");
    return;
  }
  phone_->receivePush(*dictionary);
}

// The application's service extension, as the phone starts it for each
// notification: a rich one has its image downloaded and attached, and is
// acknowledged, before the application sees it; another passes unchanged.
void Simulator::runExtension(const NotificationRequest& request, ContentHandler done) {
  const std::string imageUrl = extension_->getImageURLFromOrvo(request.content.userInfo);
  if (imageUrl.empty()) return done(request.content);
  print({{"event", "extension"}, {"image", imageUrl}},
        "service extension: downloading " + imageUrl);
  auto extension = std::make_shared<PushNotificationServiceExtension>();
  extension->setTemporaryDirectory((fs::path(folder_) / "attachments").string());
  extension->requestAttachmentImage(imageUrl, [this, request, extension, done](
                                                  const std::optional<ErrorInfo>& error,
                                                  const std::optional<NotificationAttachment>&
                                                      file) {
    NotificationContent content = request.content;
    if (file) {
      content.attachments.push_back(*file);
      print({{"event", "attachment"}, {"path", file->url}},
            "service extension: image attached at " + file->url);
    } else {
      const std::string why = error ? error->description : "?";
      print({{"event", "attachment"}, {"error", why}}, "service extension: no attachment: " + why);
    }
    extension->setBestAttemptContent(content);
    extension->didReceiveNotificationRequest(
        NotificationRequest{request.identifier, content},
        [this, file, done](const NotificationContent& shown) {
          const bool acknowledged = shown.userInfo.get("feedback").stringOr("") == "true";
          print({{"event", "extension_done"}, {"acknowledged", acknowledged}},
                std::string("service extension: ") +
                    (acknowledged ? "acknowledged" : "not acknowledged") + ", content handed back");
          NotificationContent handed = shown;
          if (file) handed.userInfo.set("attachment", Value(file->url));
          done(handed);
        });
  });
}

// The library does not tell the server the application's state; the
// emulator's console shows what the device says here. Best effort: an
// emulator that does not know the route only answers 404.
void Simulator::reportState() {
  httplib::Client client(options_.emulatorUrl);
  client.set_connection_timeout(1);
  client.set_read_timeout(1);
  client.Post("/__admin/devices/state", Json{{"psid", token_}, {"state", state_}}.dump(),
              "application/json");
}

int runDevice(const DeviceOptions& options) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  Simulator simulator(options);
  return simulator.run();
}

}  // namespace orvo::sim
