// The client state's process-wide state: the records' custom host and the
// keychain's cached bundle seed.
#pragma once

#include "orvo/Export.h"

namespace orvo::detail {

// Back to what a fresh process has, for tests; exported, since the installed
// doubles (orvo::resetProcessState) call it from outside the library.
ORVO_PUSH_API void resetInfoProcessState();
ORVO_PUSH_API void resetKeychainProcessState();

}  // namespace orvo::detail
