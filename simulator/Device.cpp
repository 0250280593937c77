#include "Device.h"

#include <signal.h>

#include <httplib.h>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "Control.h"
#include "Payload.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/PushNotificationServiceExtension.h"
#include "orvo/Version.h"
#include "orvo/platform/Host.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/MainQueue.h"
#include "orvo/platform/SimulatedNotificationHost.h"

namespace orvo::sim {

namespace fs = std::filesystem;

std::string deviceFolder(const std::string& stateRoot, const std::string& name) {
  return (fs::path(stateRoot) / name).string();
}

std::string controlSocket(const std::string& stateRoot, const std::string& name) {
  return (fs::path(deviceFolder(stateRoot, name)) / "control.sock").string();
}

namespace {

constexpr auto kCommandTimeout = std::chrono::seconds(30);

std::string manifest(const DeviceOptions& options) {
  std::string base = options.emulatorUrl;
  if (base.empty() || base.back() != '/') base += '/';
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest><settings><push>
  <storage>true</storage>
  <receiver>
    <mode>production</mode>
    <server><production>)" +
         base + "</production><development>" + base + R"(</development></server>
    <policy>user</policy>
    <customer-code>SIM</customer-code>
    <application-id>)" +
         options.applicationID + R"(</application-id>
    <version>)" +
         options.receiverVersion + R"(</version>
    <log>true</log>
    <log-server>)" +
         base + R"(</log-server>
    <granted>true</granted>
  </receiver>
  <xelt><server>)" +
         base + R"(</server></xelt>
</push></settings></manifest>
)";
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

Bytes tokenBytes(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string describeValue(const Json& value) {
  if (value.is_null()) return "";
  return value.is_string() ? value.get<std::string>() : value.dump();
}

class Simulator {
 public:
  explicit Simulator(DeviceOptions options) : options_(std::move(options)) {}
  int run();

 private:
  void print(const Json& event, const std::string& text);
  void onNotification(const Dictionary& payload, const std::string& status,
                      const std::string& messageUID);
  void arrive(const Json& payload, const std::string& source);
  void deliver(const Json& payload);
  void deliverRich(const Json& payload, const std::string& imageUrl);
  void command(const Json& request, std::function<void(Json)> reply);
  void streamGateway();
  void reportState();
  // Across a restart the device keeps the last event before the first one
  // still on its way to the application, so that one comes again. An event
  // is finished once the application has it, or will never get it (silent).
  void arrived(long long id);
  void finished(long long id);
  void finished(const Json& payload);
  void keepLastEvent();
  // The newest error line the library logged since `since` (a logMark()).
  std::string lastError(long long since);
  long long logMark();

  DeviceOptions options_;
  std::string folder_;
  std::string token_;
  std::shared_ptr<RunLoop> loop_ = std::make_shared<RunLoop>();
  std::shared_ptr<Host> host_;
  std::shared_ptr<SimulatedNotificationHost> phone_;
  std::shared_ptr<PushApplicationDelegate> application_ =
      std::make_shared<PushApplicationDelegate>();
  std::shared_ptr<PushManager> manager_;
  std::shared_ptr<PushNotificationServiceExtension> extension_;
  std::string state_;
  bool registered_ = false;
  Json received_ = Json::array();
  std::vector<Json> held_;  // arrived while the application was not running
  std::mutex logMutex_;
  std::deque<std::pair<long long, std::string>> logTail_;
  long long logLines_ = 0;
  std::ofstream logFile_;
  std::mutex printMutex_;
  std::atomic<bool> stopping_{false};
  std::atomic<long long> lastEventId_{-1};
  // On the main queue: events arrived and not yet with the application, and
  // the newest that arrived.
  std::set<long long> unfinished_;
  std::map<std::string, long long> eventOfSeqno_;
  long long highestEvent_ = -1;
  httplib::Client* stream_ = nullptr;
  std::mutex streamMutex_;
};

std::string seqnoOf(const Json& payload) {
  const Json orv = payload.is_object() ? payload.value("orv", Json::object()) : Json::object();
  return orv.is_object() ? describeValue(orv.value("seqno", Json())) : std::string();
}

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
  {
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
    std::cout << line.dump() << std::endl;
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
  for (auto it = logTail_.rbegin(); it != logTail_.rend() && it->first >= since; ++it)
    if (it->second.find("Error") != std::string::npos ||
        it->second.find("error") != std::string::npos)
      return it->second;
  return "see " + folder_ + "/device.log";
}

void Simulator::onNotification(const Dictionary& payload, const std::string& status,
                               const std::string& messageUID) {
  const Json json = toJson(Value(payload));
  const Json aps = json.value("aps", Json::object());
  const Json orv = json.value("orv", Json::object());
  Json event = {{"event", "notification"},
                {"text", describeValue(aps.value("alert", Json()))},
                {"status", status},
                {"badge", phone_->applicationIconBadgeNumber()},
                {"ext", describeValue(orv.value("ext", Json()))},
                {"seqno", describeValue(orv.value("seqno", Json()))},
                {"sender", describeValue(orv.value("sender", Json()))},
                {"message_uid", messageUID},
                {"acknowledged", json.value("feedback", "") == "true"},
                {"read", false},
                {"payload", json}};
  if (json.contains("attachment")) event["attachment"] = json["attachment"];
  received_.push_back(event);
  std::string line = "\xE2\x86\x90 \"" + event["text"].get<std::string>() + "\"  status " + status +
                     "  badge " + std::to_string(event["badge"].get<long long>());
  if (!event["ext"].get<std::string>().empty()) line += "  ext " + event["ext"].get<std::string>();
  if (!event["sender"].get<std::string>().empty())
    line += "  from " + event["sender"].get<std::string>();
  print(event, line);
  finished(json);
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
}

void Simulator::arrive(const Json& payload, const std::string& source) {
  auto dictionary = toDictionary(payload);
  if (!dictionary) return;
  if (PushManager::isOrvoSilentPush(*dictionary)) {
    print({{"event", "silent"}, {"source", source}},
          "silent push (content-available, batch 1): ignored by the library");
    manager_->applicationDidReceiveRemoteNotification(Value(), *dictionary);
    finished(payload);
    return;
  }
  if (state_ == "terminated") {
    held_.push_back(payload);
    print({{"event", "held"}, {"source", source}},
          "notification held: the application is not running");
    return;
  }
  const std::string imageUrl = extension_->getImageURLFromOrvo(*dictionary);
  if (!imageUrl.empty()) {
    deliverRich(payload, imageUrl);
    return;
  }
  deliver(payload);
}

void Simulator::deliver(const Json& payload) {
  auto dictionary = toDictionary(payload);
  if (!dictionary) return;
  // The phone shows the badge the payload carries.
  if (payload.contains("aps") && payload["aps"].contains("badge") &&
      payload["aps"]["badge"].is_number_integer())
    phone_->setApplicationIconBadgeNumber(payload["aps"]["badge"].get<std::int64_t>());
  phone_->deliverRemoteNotification(*dictionary);
}

// A rich notification passes the service extension first: it downloads the
// image, acknowledges, and hands back the content the phone then shows.
void Simulator::deliverRich(const Json& payload, const std::string& imageUrl) {
  auto dictionary = toDictionary(payload);
  NotificationRequest request;
  request.identifier = "sim-" + std::to_string(received_.size());
  request.content.userInfo = *dictionary;
  if (payload["aps"].contains("alert"))
    request.content.body = describeValue(payload["aps"]["alert"]);
  print({{"event", "extension"}, {"image", imageUrl}},
        "service extension: downloading " + imageUrl);
  // The phone starts the extension afresh for every notification.
  auto extension = std::make_shared<PushNotificationServiceExtension>();
  extension->setTemporaryDirectory((fs::path(folder_) / "attachments").string());
  extension->requestAttachmentImage(
      imageUrl,
      [this, request, extension](const std::optional<ErrorInfo>& error,
                                 const std::optional<NotificationAttachment>& attachment) {
        NotificationContent content = request.content;
        if (attachment) {
          content.attachments.push_back(*attachment);
          print({{"event", "attachment"}, {"path", attachment->url}},
                "service extension: image attached at " + attachment->url);
        } else {
          print({{"event", "attachment"}, {"error", error ? error->description : "?"}},
                "service extension: no attachment: " + (error ? error->description : "?"));
        }
        extension->setBestAttemptContent(content);
        extension->didReceiveNotificationRequest(
            NotificationRequest{request.identifier, content},
            [this, attachment](const NotificationContent& shown) {
              Json json = toJson(Value(shown.userInfo));
              print(
                  {{"event", "extension_done"},
                   {"acknowledged", json.value("feedback", "") == "true"}},
                  std::string("service extension: ") +
                      (json.value("feedback", "") == "true" ? "acknowledged" : "not acknowledged") +
                      ", content handed back");
              if (attachment) json["attachment"] = attachment->url;
              deliver(json);
            });
      });
}

void Simulator::command(const Json& request, std::function<void(Json)> reply) {
  const std::string name = request.value("command", "");
  const long long mark = logMark();
  auto done = [reply, this, mark](bool ok, const std::string& what) {
    reply(ok ? Json{{"ok", true}} : Json{{"ok", false}, {"error", what + ": " + lastError(mark)}});
  };
  if (name == "ping") return reply({{"ok", true}});
  if (name == "status") {
    auto info = manager_->info();
    return reply({{"ok", true},
                  {"name", options_.name},
                  {"psid", info ? info->pushServiceID() : ""},
                  {"cuid", info ? info->clientUID() : ""},
                  {"token", token_},
                  {"state", state_},
                  {"badge", phone_->applicationIconBadgeNumber()},
                  {"registered", registered_},
                  {"notifications", received_.size()},
                  {"held", held_.size()}});
  }
  if (name == "events") return reply({{"ok", true}, {"events", received_}});
  if (name == "send") {
    const std::string to = request.value("to", "");
    const std::string text = request.value("text", "");
    std::optional<std::string> ext;
    if (request.contains("ext")) ext = request.value("ext", "");
    if (request.contains("reserve")) {
      manager_->sendWithReserveDate(
          Value(), to, text, std::nullopt, request.value("reserve", ""), ext,
          [done](bool ok, const std::optional<Dictionary>&) { done(ok, "send failed"); });
    } else {
      manager_->send(Value(), to, text, std::nullopt, ext,
                     [done](bool ok) { done(ok, "send failed"); });
    }
    return;
  }
  if (name == "read") {
    // The given message, else the newest one not read yet.
    const std::string seqno = request.value("seqno", "");
    for (auto it = received_.rbegin(); it != received_.rend(); ++it) {
      auto& event = *it;
      if (seqno.empty() ? event["read"].get<bool>() : event["seqno"] != seqno) continue;
      auto payload = toDictionary(event["payload"]);
      const auto index = static_cast<std::size_t>(std::distance(it, received_.rend()) - 1);
      manager_->read(Value(), *payload, [this, index, done](bool ok) {
        if (ok) received_[index]["read"] = true;
        done(ok, "read failed");
      });
      return;
    }
    return reply(
        {{"ok", false}, {"error", "no unread message" + (seqno.empty() ? "" : " " + seqno)}});
  }
  if (name == "badge") {
    const auto badge = request.value("badge", 0LL);
    phone_->setApplicationIconBadgeNumber(badge);
    manager_->update(Value(), Value(badge), [done](bool ok) { done(ok, "badge update failed"); });
    return;
  }
  if (name == "state") {
    const std::string state = request.value("state", "");
    if (state != "foreground" && state != "background" && state != "terminated")
      return reply(
          {{"ok", false}, {"error", "state must be foreground, background or terminated"}});
    state_ = state;
    phone_->setApplicationState(state == "foreground" ? ApplicationState::Active
                                                      : ApplicationState::Background);
    print({{"event", "state"}, {"state", state}}, "application " + state);
    reportState();
    if (state != "terminated") {
      auto held = std::move(held_);
      held_.clear();
      for (const auto& payload : held) arrive(payload, "held");
    }
    return reply({{"ok", true}});
  }
  if (name == "session") {
    auto info = manager_->info();
    manager_->updateSession(
        Value(), info ? info->clientUID() : "",
        [done](bool ok, const std::optional<Value>&) { done(ok, "session report failed"); });
    return;
  }
  if (name == "purchase") {
    auto info = manager_->info();
    manager_->updatePurchase(Value(), request.value("id", ""), info ? info->clientUID() : "",
                             [done](bool ok, const std::optional<Value>& result) {
                               std::string why = "purchase report failed";
                               if (result && result->isDictionary())
                                 why += " (" + result->asDictionary()->get("message").stringOr("") +
                                        ")";
                               done(ok, why);
                             });
    return;
  }
  if (name == "unregister") {
    manager_->unregisterService(Value(), [this, done](bool ok) {
      if (ok) registered_ = false;
      done(ok, "unregister failed");
    });
    return;
  }
  if (name == "push") {
    std::string error;
    auto payload = checkPayload(request.value("payload", Json()).dump(), error);
    if (!payload) return reply({{"ok", false}, {"error", error}});
    arrive(*payload, "push");
    return reply({{"ok", true}});
  }
  if (name == "stop") {
    reply({{"ok", true}});
    stopping_ = true;
    loop_->stop();
    return;
  }
  reply({{"ok", false}, {"error", "unknown command " + name}});
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

// The device's connection to the gateway: server-sent events, reconnecting
// with the last event seen so nothing is lost while it was away.
void Simulator::streamGateway() {
  httplib::Client client(options_.emulatorUrl);
  client.set_read_timeout(60, 0);
  client.set_keep_alive(false);
  {
    std::lock_guard lock(streamMutex_);
    stream_ = &client;
  }
  std::string buffer;
  while (!stopping_) {
    httplib::Headers headers;
    if (lastEventId_ >= 0) headers.emplace("Last-Event-ID", std::to_string(lastEventId_.load()));
    buffer.clear();
    client.Get(("/__gateway/stream?token=" + token_).c_str(), headers,
               [&](const char* data, std::size_t length) {
                 buffer.append(data, length);
                 std::size_t end;
                 while ((end = buffer.find("\n\n")) != std::string::npos) {
                   const std::string block = buffer.substr(0, end);
                   buffer.erase(0, end + 2);
                   long long id = -1;
                   std::string payload;
                   std::size_t start = 0;
                   while (start < block.size()) {
                     auto stop = block.find('\n', start);
                     if (stop == std::string::npos) stop = block.size();
                     const std::string line = block.substr(start, stop - start);
                     if (line.rfind("id: ", 0) == 0) id = std::atoll(line.c_str() + 4);
                     if (line.rfind("data: ", 0) == 0) payload += line.substr(6);
                     start = stop + 1;
                   }
                   if (payload.empty()) continue;
                   Json json = Json::parse(payload, nullptr, false);
                   if (!json.is_object()) continue;
                   if (id >= 0) lastEventId_ = id;
                   loop_->post([this, json, id] {
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
                   });
                 }
                 return !stopping_.load();
               });
    for (int i = 0; i < 10 && !stopping_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::lock_guard lock(streamMutex_);
  stream_ = nullptr;
}

int Simulator::run() {
  folder_ = deviceFolder(options_.stateRoot, options_.name);
  std::error_code ec;
  fs::create_directories(fs::path(folder_) / "bundle" / "res", ec);
  fs::create_directories(fs::path(folder_) / "data", ec);
  fs::create_directories(fs::path(folder_) / "keychain", ec);
  if (ec) {
    std::cerr << "orvo-sim: cannot create " << folder_ << ": " << ec.message() << std::endl;
    return 1;
  }
  {
    std::ofstream out(fs::path(folder_) / "bundle" / "res" / "Manifest.xml", std::ios::trunc);
    out << manifest(options_);
  }
  logFile_.open(fs::path(folder_) / "device.log", std::ios::app);
  {
    std::ifstream in(fs::path(folder_) / "last-event-id");
    long long id = -1;
    if (in >> id) lastEventId_ = id;
  }

  // The token the gateway keeps for this device's name.
  {
    httplib::Client client(options_.emulatorUrl);
    client.set_connection_timeout(3);
    auto result =
        client.Post("/__gateway/devices", Json{{"name", options_.name}}.dump(), "application/json");
    if (!result || result->status != 200) {
      std::cerr << "orvo-sim: the emulator at " << options_.emulatorUrl << " is not reachable"
                << (result ? " (HTTP " + std::to_string(result->status) + ")"
                           : " (" + httplib::to_string(result.error()) + ")")
                << std::endl;
      return 1;
    }
    token_ = Json::parse(result->body, nullptr, false).value("token", "");
  }

  ControlServer control;
  std::string error;
  if (!control.start(
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
          error)) {
    std::cerr << "orvo-sim: " << error << std::endl;
    return 1;
  }

  DesktopHostOptions hostOptions;
  hostOptions.bundleDirectory = (fs::path(folder_) / "bundle").string();
  hostOptions.bundleIdentifier = options_.applicationID;
  hostOptions.dataDirectory = (fs::path(folder_) / "data").string();
  hostOptions.keychainDirectory = (fs::path(folder_) / "keychain").string();
  hostOptions.mainQueue = loop_;
  hostOptions.log = std::make_shared<CallbackLogSink>([this](std::string_view line) {
    std::lock_guard lock(logMutex_);
    logFile_ << line << '\n';
    logFile_.flush();
    logTail_.emplace_back(logLines_++, std::string(line));
    if (logTail_.size() > 200) logTail_.pop_front();
  });
  host_ = makeDesktopHost(hostOptions);
  phone_ = std::dynamic_pointer_cast<SimulatedNotificationHost>(host_->notifications);
  phone_->setApplication(application_);
  phone_->scriptToken(tokenBytes(token_));
  if (options_.denyPermission) phone_->scriptAuthorization(false);
  state_ = options_.state;
  phone_->setApplicationState(state_ == "foreground" ? ApplicationState::Active
                                                     : ApplicationState::Background);
  Host::setCurrent(host_);
  extension_ = std::make_shared<PushNotificationServiceExtension>();
  extension_->setTemporaryDirectory((fs::path(folder_) / "attachments").string());
  fs::create_directories(fs::path(folder_) / "attachments", ec);

  manager_ = PushManager::defaultManager();
  manager_->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
  auto delegate = std::make_shared<PushManagerDelegate>();
  delegate->didReceiveUserNotification =
      [this](PushManager&, const Dictionary& payload, const std::string& status,
             const std::string& messageUID) { onNotification(payload, status, messageUID); };
  manager_->initilaizeWithDelegate(delegate);

  const long long mark = logMark();
  auto afterRegistration = [this, mark](bool ok) {
    registered_ = ok;
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
    if (options_.group)
      manager_->registerGroup(Value(), options_.group, [this, mark](bool groupOk) {
        print({{"event", "group"}, {"ok", groupOk}, {"group", *options_.group}},
              groupOk ? "joined group " + *options_.group : "group failed: " + lastError(mark));
      });
  };
  // The combined call exists from receiver 3.7 on; before it, the service
  // and the user are registered one after the other.
  if (options_.user && versionIsAbove(options_.receiverVersion, "3.6")) {
    manager_->registerServiceAndUser(Value(), options_.user,
                                     options_.userName ? options_.userName : options_.user,
                                     afterRegistration);
  } else {
    manager_->registerService(Value(), [this, afterRegistration](bool ok) {
      if (!ok || !options_.user) return afterRegistration(ok);
      manager_->registerUser(Value(), options_.user,
                             options_.userName ? options_.userName : options_.user,
                             afterRegistration);
    });
  }

  std::thread gateway([this] { streamGateway(); });
  print({{"event", "started"},
         {"token", token_},
         {"control", controlSocket(options_.stateRoot, options_.name)}},
        "started (" + state_ + "), gateway token " + token_.substr(0, 12) + "...");
  reportState();

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
  loop_->run();
  stopping_ = true;
  {
    std::lock_guard lock(streamMutex_);
    if (stream_) stream_->stop();
  }
  gateway.join();
  control.stop();
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  Host::setCurrent(nullptr);
  return 0;
}

}  // namespace

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
