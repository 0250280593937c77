// The configuration's process-wide state: the shared configuration, the
// sandbox answer and the bundle path.
#pragma once

namespace orvo::detail {

// Back to what a fresh process has, for tests.
void resetConfigProcessState();

}  // namespace orvo::detail
