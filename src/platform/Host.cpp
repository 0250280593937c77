#include "orvo/platform/Host.h"

#include <mutex>

namespace orvo {
namespace {

std::mutex& hostMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const Host>& hostSlot() {
  static std::shared_ptr<const Host> host;
  return host;
}

}  // namespace

std::shared_ptr<const Host> Host::current() {
  std::lock_guard lock(hostMutex());
  if (!hostSlot()) hostSlot() = makeDesktopHost();
  return hostSlot();
}

void Host::setCurrent(std::shared_ptr<const Host> host) {
  std::lock_guard lock(hostMutex());
  hostSlot() = std::move(host);
}

}  // namespace orvo
