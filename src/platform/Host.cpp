#include "orvo/platform/Host.h"

#include <mutex>

#include "foundation/Log.h"

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

void writeToCurrentHost(std::string_view line) {
  auto host = Host::current();
  if (host && host->log) host->log->write(line);
}

// The diagnostic log is below the host layer; it learns where to write when
// the library is loaded.
[[maybe_unused]] const bool kLogWriterInstalled = (logging::setWriter(&writeToCurrentHost), true);

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
