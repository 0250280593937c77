// The configuration's process-wide state: the shared configuration, the
// sandbox answer and the bundle path.
#pragma once

#include "orvo/Export.h"

namespace orvo::detail {

// Back to what a fresh process has, for tests; exported, since the installed
// doubles (orvo::resetProcessState) call it from outside the library.
ORVO_PUSH_API void resetConfigProcessState();

}  // namespace orvo::detail
