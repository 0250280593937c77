/// @file
/// The library's main queue.
#pragma once

#include <functional>

#include "orvo/Export.h"

namespace orvo {

/// Where state changes and "main queue" callbacks run. Any thread may post;
/// a task runs once, after those posted before it, on the thread that serves
/// the queue, never inside post(). A queue destroyed with tasks still waiting
/// destroys them unrun.
class ORVO_PUSH_API MainQueue {
 public:
  virtual ~MainQueue() = default;
  /// Runs the task later on the main queue, in order; from any thread.
  virtual void post(std::function<void()> task) = 0;
};

}  // namespace orvo
