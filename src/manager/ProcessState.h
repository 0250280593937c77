// The manager's process-wide state: the shared manager and the log switch.
#pragma once

namespace orvo::detail {

// Back to what a fresh process has, for tests.
void resetManagerProcessState();

}  // namespace orvo::detail
