// Scripted steps across several simulated devices and the emulator, each
// action checked, each expectation waited for; the first unmet one ends the
// scenario and says what was seen instead.
#pragma once

#include <string>
#include <vector>

namespace orvo::sim {

struct ScenarioOptions {
  std::string emulatorUrl;
  bool json = false;
};

// Runs each file in turn; 0 when every step of every scenario held.
int runScenarios(const std::vector<std::string>& files, const ScenarioOptions& options);

}  // namespace orvo::sim
