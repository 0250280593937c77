#include "core/Log.h"

#include <mutex>

#include "orvo/platform/Host.h"

namespace orvo::logging {
namespace {

std::mutex& switchMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<bool()>& switchFunction() {
  static std::function<bool()> isOn;
  return isOn;
}

}  // namespace

void setSwitch(std::function<bool()> isOn) {
  std::lock_guard lock(switchMutex());
  switchFunction() = std::move(isOn);
}

bool isOn() {
  std::function<bool()> isOn;
  {
    std::lock_guard lock(switchMutex());
    isOn = switchFunction();
  }
  // Called outside the lock: the switch reads state that may log itself.
  return isOn && isOn();
}

void always(std::string_view line) {
  auto host = Host::current();
  if (host && host->log) host->log->write(line);
}

void trace(std::string_view line) {
  if (isOn()) always(line);
}

}  // namespace orvo::logging
