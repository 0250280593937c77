// The manager's process-wide state: the shared manager, the log switch, and
// the consent gate as code outside the manager reads it.
#pragma once

#include "orvo/Export.h"

namespace orvo {
struct Host;
}

namespace orvo::detail {

// Back to what a fresh process has, for tests; exported, since the installed
// doubles (orvo::resetProcessState) call it from outside the library.
ORVO_PUSH_API void resetManagerProcessState();

// Whether the user's consent lets a request go out: the shared manager's
// answer, or before there is one what the host's settings and the manifest
// say. Starts no manager.
bool consentGivenNow();
// The answer from the host's settings and the manifest alone.
bool storedConsentGiven(const Host* host);

}  // namespace orvo::detail
