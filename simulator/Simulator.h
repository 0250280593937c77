// The running device behind `orvo-sim run`: the library inside an
// application, the phone played by the desktop host's simulated notification
// host with its gateway, and the commands the device answers.
#pragma once

#include <atomic>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Control.h"
#include "Device.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/PushNotificationServiceExtension.h"
#include "orvo/platform/Host.h"
#include "orvo/platform/MainQueue.h"
#include "orvo/platform/SimulatedNotificationHost.h"

namespace orvo::sim {

class Simulator {
 public:
  using Reply = std::function<void(Json)>;

  explicit Simulator(DeviceOptions options) : options_(std::move(options)) {}
  int run();
  // One command from the control socket, on the main queue.
  void command(const Json& request, Reply reply);

 private:
  using Command = void (Simulator::*)(const Json& request, const Reply& reply);
  static const std::map<std::string, Command>& commands();

  // --- start-up, each step false after saying what failed ---
  bool prepareFolder();
  bool startHost();
  bool takeToken();
  bool startControl(ControlServer& control);
  void startManager();
  void registerDevice();
  void afterRegistration(bool ok, long long mark);

  // --- what arrives ---
  void print(const Json& event, const std::string& text);
  void onNotification(const Dictionary& payload, const std::string& status,
                      const std::string& messageUID);
  void fromGateway(const std::string& eventId, const Dictionary& payload);
  void fromGatewayControl(const std::string& type, const std::string& data);
  void arrive(const Json& payload, const std::string& source);
  void runExtension(const NotificationRequest& request, ContentHandler done);
  void reportState();
  // Across a restart the device keeps the last event before the first one
  // still on its way to the application, so that one comes again. An event
  // is finished once the application has it, or will never get it (silent).
  void arrived(long long id);
  void finished(long long id);
  void finished(const Json& payload);
  void keepLastEvent();
  // Why the newest failure since `since` (a logMark()) happened, from the
  // library's log: the receiver's result code when it gave one.
  std::string lastError(long long since);
  long long logMark();

  // --- commands ---
  void ping(const Json& request, const Reply& reply);
  void status(const Json& request, const Reply& reply);
  void events(const Json& request, const Reply& reply);
  void send(const Json& request, const Reply& reply);
  void read(const Json& request, const Reply& reply);
  void badge(const Json& request, const Reply& reply);
  void state(const Json& request, const Reply& reply);
  void session(const Json& request, const Reply& reply);
  void purchase(const Json& request, const Reply& reply);
  void unregister(const Json& request, const Reply& reply);
  void push(const Json& request, const Reply& reply);
  void stop(const Json& request, const Reply& reply);
  void consent(const Json& request, const Reply& reply);
  void doctor(const Json& request, const Reply& reply);
  // Diagnoses and posts the report to the emulator, naming the console's
  // request number when it answers one (else null).
  void sendDoctorReport(const Json& request, const Reply& reply);
  // A completion that answers ok, or the failure with what the log says.
  std::function<void(bool)> answer(const Reply& reply, std::string failure);

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
  Reply withdrawalReply_;  // answered when the library says what it cleared
  Json received_ = Json::array();
  std::vector<Json> held_;  // arrived while the application was not running
  std::mutex logMutex_;
  std::deque<std::pair<long long, std::string>> logTail_;
  long long logLines_ = 0;
  std::ofstream logFile_;
  std::mutex printMutex_;
  std::atomic<bool> stopping_{false};
  // On the main queue: events arrived and not yet with the application, and
  // the newest that arrived.
  std::set<long long> unfinished_;
  std::map<std::string, long long> eventOfSeqno_;
  long long highestEvent_ = -1;
};

// Payload helpers shared by the device's parts.
Json toJson(const Value& value);
std::optional<Dictionary> toDictionary(const Json& json);
std::string describeValue(const Json& value);

}  // namespace orvo::sim
