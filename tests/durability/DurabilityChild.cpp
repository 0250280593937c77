// Writes the client record's identity fields round after round into a real
// settings database, and reports each write on stdout ("N field") once its
// setter has returned. Usage: orvo_durability_child <database> <bundle directory>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "DurabilityRecord.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"

int main(int argc, char** argv) {
  using namespace orvo;
  if (argc != 3) return 2;
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
  // Continue after the last round this database holds; bounded, so that a
  // child nobody kills still ends. A single short write to a pipe is atomic.
  std::int64_t n = durability::roundOf(durability::kClientUIDPrefix, info.clientUID()).value_or(0);
  auto report = [&n](int field) {
    return dprintf(STDOUT_FILENO, "%lld %d\n", static_cast<long long>(n), field) > 0;
  };
  while (++n <= 1'000'000) {
    info.setClientUID(durability::fieldValue(durability::kClientUIDPrefix, n));
    if (!report(0)) return 4;
    info.setPhoneNumber(durability::fieldValue(durability::kPhoneNumberPrefix, n));
    if (!report(1)) return 4;
    info.setPushServiceID(durability::fieldValue(durability::kPushServiceIDPrefix, n));
    if (!report(2)) return 4;
    info.setPushServiceLastDate(Date{static_cast<double>(n)});
    if (!report(3)) return 4;
  }
  return 0;
}
