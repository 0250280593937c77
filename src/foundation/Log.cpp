#include "foundation/Log.h"

#include <atomic>
#include <mutex>

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

// A plain pointer: nothing to construct before, or destroy after, a line
// written during the process's start or end.
std::atomic<Writer> installedWriter{nullptr};

}  // namespace

void setWriter(Writer writer) { installedWriter.store(writer, std::memory_order_release); }

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
  if (Writer writer = installedWriter.load(std::memory_order_acquire)) writer(line);
}

void trace(std::string_view line) {
  if (isOn()) always(line);
}

std::string format(std::string_view format, std::initializer_list<std::string_view> values) {
  static constexpr std::string_view kPlaceholders[] = {"%@", "%lu", "%d", "%f"};
  std::string line;
  line.reserve(format.size() + 32);
  auto value = values.begin();
  std::size_t i = 0;
  while (i < format.size()) {
    bool replaced = false;
    if (format[i] == '%' && value != values.end()) {
      for (std::string_view placeholder : kPlaceholders) {
        if (format.substr(i, placeholder.size()) == placeholder) {
          line.append(*value++);
          i += placeholder.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) line.push_back(format[i++]);
  }
  return line;
}

}  // namespace orvo::logging
