// Writes the client record's identity fields round after round into a real
// settings database, and reports each write on stdout ("N field") once its
// setter has returned. Usage: orvo_durability_child <database> <bundle directory>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "DurabilityRecord.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"

namespace {

// Bounded, so that a child nobody kills still ends.
constexpr std::int64_t kMaxRounds = 1'000'000;

bool report(std::int64_t n, int field) {
  char line[48];
  int length = std::snprintf(line, sizeof line, "%lld %d\n", static_cast<long long>(n), field);
  const char* next = line;
  while (length > 0) {
    ssize_t written = ::write(STDOUT_FILENO, next, static_cast<std::size_t>(length));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    next += written;
    length -= static_cast<int>(written);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvo;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <database> <bundle directory>\n", argv[0]);
    return 2;
  }
  auto log = std::make_shared<CapturingLogSink>();
  auto settings = std::make_shared<SqliteSettingsStore>(argv[1], log);
  if (!settings->isPersistent()) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 3;
  }
  auto host = std::make_shared<Host>();
  host->settings = settings;
  host->keychain = std::make_shared<MemoryKeychain>();
  host->bundle = std::make_shared<DirectoryBundle>(
      argv[2], std::string(durability::kBundleIdentifier), Dictionary{{"CFBundleVersion", "1"}});
  host->device = std::make_shared<FixedDevice>();
  host->log = log;
  host->clock = std::make_shared<SystemClock>();
  Host::setCurrent(host);

  PushManagerInfo info(true);
  // Continue after the last round this database holds.
  std::int64_t n = durability::roundOf(durability::kClientUIDPrefix, info.clientUID()).value_or(0);
  while (++n <= kMaxRounds) {
    info.setClientUID(durability::fieldValue(durability::kClientUIDPrefix, n));
    if (!report(n, 0)) return 4;
    info.setPhoneNumber(durability::fieldValue(durability::kPhoneNumberPrefix, n));
    if (!report(n, 1)) return 4;
    info.setPushServiceID(durability::fieldValue(durability::kPushServiceIDPrefix, n));
    if (!report(n, 2)) return 4;
    info.setPushServiceLastDate(Date{static_cast<double>(n)});
    if (!report(n, 3)) return 4;
  }
  return 0;
}
