// Writes the client record's identity fields round after round into a real
// settings database, from the given round on, and reports each write on stdout
// as "4N+F" (round N, field F) once its setter has returned. The text fields
// hold their tag ('u', 'p', 's') and N; the last date holds N seconds.
// Usage: orvo_durability_child <database> <bundle directory> <first round>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"

int main(int argc, char** argv) {
  using namespace orvo;
  if (argc != 4) return 2;
  auto log = std::make_shared<CapturingLogSink>();
  auto settings = std::make_shared<SqliteSettingsStore>(argv[1], log);
  if (!settings->isPersistent()) return 3;
  auto host = std::make_shared<Host>();
  host->settings = settings;
  host->keychain = std::make_shared<MemoryKeychain>();
  host->bundle = std::make_shared<DirectoryBundle>(argv[2], "com.example.durability",
                                                   Dictionary{{"CFBundleVersion", "1"}});
  host->device = std::make_shared<FixedDevice>();
  host->log = log;
  host->clock = std::make_shared<SystemClock>();
  Host::setCurrent(host);

  PushManagerInfo info(true);
  // Bounded, so that a child nobody kills still ends. A single short write to
  // a pipe is atomic.
  const long long first = std::atoll(argv[3]);
  for (long long n = first; n < first + 1'000'000; ++n) {
    const std::string round = std::to_string(n);
    info.setClientUID("u" + round);
    if (dprintf(STDOUT_FILENO, "%lld\n", 4 * n) <= 0) return 4;
    info.setPhoneNumber("p" + round);
    if (dprintf(STDOUT_FILENO, "%lld\n", 4 * n + 1) <= 0) return 4;
    info.setPushServiceID("s" + round);
    if (dprintf(STDOUT_FILENO, "%lld\n", 4 * n + 2) <= 0) return 4;
    info.setPushServiceLastDate(Date{static_cast<double>(n)});
    if (dprintf(STDOUT_FILENO, "%lld\n", 4 * n + 3) <= 0) return 4;
  }
  return 0;
}
