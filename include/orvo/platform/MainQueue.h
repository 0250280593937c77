// The library's main queue.
#pragma once

#include <functional>

namespace orvo {

// Where state changes and "main queue" callbacks run. Any thread may post.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(std::function<void()> task) = 0;
};

}  // namespace orvo
