#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "orvo/platform/LogSink.h"

namespace orvo {

namespace {

// "yyyy-MM-dd HH:mm:ss.SSS" in local time.
std::string localTimestamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  std::tm local{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03d", date, static_cast<int>(now.tv_usec / 1000));
  return out;
}

}  // namespace

void StderrLogSink::write(std::string_view line) {
  std::string text = localTimestamp();
  text += " [";
  text += std::to_string(static_cast<long>(getpid()));
  text += "] ";
  text += line;
  text += '\n';
  // One write call per line, under the lock, so lines from different threads
  // never interleave.
  std::lock_guard lock(mutex_);
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace orvo
