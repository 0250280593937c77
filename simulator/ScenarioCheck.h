// The shape of a scenario, checked whole before its first step runs: every
// key known, every value of its type and range, every device named, so that a
// mistake in step 40 does not show after 39 steps have run, and a step runs
// only values it can use.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace orvo::sim {

// The longest a step waits: sleep's "ms", "within_ms", "for_ms", "start_ms".
inline constexpr std::int64_t kMaxStepWaitMs = 600000;

// Empty when `script` can run; else one line naming where (the device, or
// the step's number from 1 and its action), the key, what it must be and
// what it is.
std::string checkScenario(const nlohmann::json& script);

}  // namespace orvo::sim
