// What a run loop waits for besides its tasks, for the platform's own
// sources (the HTTP client's sockets and timers).
#pragma once

#include <poll.h>

#include <chrono>
#include <span>
#include <vector>

namespace orvo {

// Work a run loop waits for besides its tasks: descriptors to poll and a
// deadline. Both calls come on the loop's thread, between tasks, never while
// a task runs, so a source may post but must not run the loop itself.
class RunLoopSource {
 public:
  virtual ~RunLoopSource() = default;
  // Appends the descriptors to wait for; may bring `deadline` forward.
  virtual void prepare(std::vector<pollfd>& fds,
                       std::chrono::steady_clock::time_point& deadline) = 0;
  // After the wait: the descriptors this source appended, as poll left them.
  virtual void dispatch(std::span<const pollfd> fds) = 0;
};

}  // namespace orvo
