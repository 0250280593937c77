// The client state's process-wide state: the records' custom host and the
// keychain's cached bundle seed.
#pragma once

namespace orvo::detail {

// Back to what a fresh process has, for tests.
void resetInfoProcessState();
void resetKeychainProcessState();

}  // namespace orvo::detail
