#include "orvo/testing/ProcessReset.h"

#include "config/ProcessState.h"
#include "manager/ProcessState.h"
#include "state/ProcessState.h"

namespace orvo {

// From the top down: the manager lets go of its record before the
// configuration it holds is dropped.
void resetProcessState() {
  detail::resetManagerProcessState();
  detail::resetConfigProcessState();
  detail::resetInfoProcessState();
  detail::resetKeychainProcessState();
}

}  // namespace orvo
