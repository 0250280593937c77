// One simulated device: the library inside an application, with its own
// bundle, settings store and keychain under the simulator's state folder, a
// token from the emulator's gateway, and the phone played by the simulated
// notification host.
#pragma once

#include <optional>
#include <string>

namespace orvo::sim {

struct DeviceOptions {
  std::string name;
  std::string stateRoot;  // the device's files are in stateRoot/name
  std::string emulatorUrl;
  std::string applicationID = "com.orvo.sim";
  std::string receiverVersion = "3.6";
  std::optional<std::string> user;
  std::optional<std::string> userName;
  std::optional<std::string> group;
  std::string state = "foreground";  // foreground, background or terminated
  bool denyPermission = false;
  bool autoRead = false;
  bool durable = false;          // the outbox and the duplicate filter on
  bool consentRequired = false;  // nothing sent until the consent command gives it
  bool tracing = false;          // request identifiers on every request
  bool json = false;
};

std::string deviceFolder(const std::string& stateRoot, const std::string& name);
std::string controlSocket(const std::string& stateRoot, const std::string& name);

// Runs the device until it is told to stop (or SIGINT/SIGTERM); the exit status.
int runDevice(const DeviceOptions& options);

}  // namespace orvo::sim
