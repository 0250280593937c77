// The manager's process-wide state: the shared manager and the log switch.
#pragma once

#include "orvo/Export.h"

namespace orvo::detail {

// Back to what a fresh process has, for tests; exported, since the installed
// doubles (orvo::resetProcessState) call it from outside the library.
ORVO_PUSH_API void resetManagerProcessState();

}  // namespace orvo::detail
