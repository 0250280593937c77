/// @file
/// Every piece of the library's process-wide state back to what a fresh
/// process has: the shared manager and its log switch, the shared
/// configuration and its sandbox answer, the bundle path, the records' custom
/// host and the keychain's cached seed. For tests, between cases; the host
/// given with Host::setCurrent stays.
#pragma once

namespace orvo {

/// Puts the library back as a fresh process has it: no shared manager, no
/// configuration, no cached keychain seed or custom host. Call it between tests
/// that each expect a fresh process, with no operation under way.
void resetProcessState();

}  // namespace orvo
