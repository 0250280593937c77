// Process-wide state kept by the subsystems, and the hooks that return it to
// its initial state so that each test starts as a fresh process would.
#pragma once

namespace orvo::detail {

// Each is defined by the subsystem that owns the state.
void resetConfigProcessState();    // shared configuration, sandbox answer, bundle path
void resetInfoProcessState();      // the records' custom host
void resetKeychainProcessState();  // cached bundle seed identifier
void resetManagerProcessState();   // the shared manager and the log switch

inline void resetProcessState() {
  resetManagerProcessState();
  resetConfigProcessState();
  resetInfoProcessState();
  resetKeychainProcessState();
}

}  // namespace orvo::detail
