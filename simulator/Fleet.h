// Many simulated devices at once, each a process of its own running the
// library: how many registered and how long it took, and how long a
// broadcast took to reach each of them.
#pragma once

#include <optional>
#include <string>

namespace orvo::sim {

struct FleetOptions {
  std::string self;  // the program to start the devices with (default: this one)
  std::string emulatorUrl;
  std::string stateDir;
  std::string prefix = "fleet";
  int count = 0;
  // Sent to every device through the emulator once all registered.
  std::optional<std::string> broadcast;
  // How long to keep the devices after that; none: until SIGINT or SIGTERM.
  std::optional<double> seconds;
  double startSeconds = 60;  // the time registration is given
};

// 0 when every device registered (and printed the broadcast), else 1.
int runFleet(const FleetOptions& options);

}  // namespace orvo::sim
