// Every piece of the library's process-wide state back to what a fresh
// process has: the shared manager and its log switch, the shared
// configuration and its sandbox answer, the bundle path, the records' custom
// host and the keychain's cached seed. For tests, between cases; the host
// given with Host::setCurrent stays.
#pragma once

namespace orvo {

void resetProcessState();

}  // namespace orvo
