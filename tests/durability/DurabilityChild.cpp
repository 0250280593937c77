// Writes round after round into real storage, from the given round on, and
// reports each write on stdout once the call that makes it has returned.
// Usage: orvo_durability_child MODE <directory> <first round>, MODE one of:
//   identity   the client record's identity fields in <directory>/data/
//              settings.db, reported as "4N+F" (round N, field F); the text
//              fields hold their tag ('u', 'p', 's') and N, the last date N
//              seconds
//   keychain   a keychain item of "k" and N in <directory>/keychain/,
//              reported as N
//   purchases  purchase "p" and N appended to the manager's purchase list in
//              <directory>/data/settings.db (manifest in <directory>/bundle),
//              reported as N
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "orvo/PushKeychain.h"
#include "orvo/PushManager.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"
#include "orvo/testing/CapturingLogSink.h"

namespace {

using namespace orvo;

// Bounded, so that a child nobody kills still ends.
constexpr long long kRounds = 1'000'000;

// A single short write to a pipe is atomic.
bool report(long long value) { return dprintf(STDOUT_FILENO, "%lld\n", value) > 0; }

int writeIdentity(long long first) {
  PushManagerInfo info(true);
  for (long long n = first; n < first + kRounds; ++n) {
    const std::string round = std::to_string(n);
    info.setClientUID("u" + round);
    if (!report(4 * n)) return 4;
    info.setPhoneNumber("p" + round);
    if (!report(4 * n + 1)) return 4;
    info.setPushServiceID("s" + round);
    if (!report(4 * n + 2)) return 4;
    info.setPushServiceLastDate(Date{static_cast<double>(n)});
    if (!report(4 * n + 3)) return 4;
  }
  return 0;
}

int saveKeychainItem(long long first) {
  for (long long n = first; n < first + kRounds; ++n) {
    if (!PushKeychain::saveValue(Value("k" + std::to_string(n)), "durability")) return 5;
    if (!report(n)) return 4;
  }
  return 0;
}

int storePurchases(long long first) {
  auto manager = PushManager::getInstance();
  manager->initialize();
  for (long long n = first; n < first + kRounds; ++n) {
    manager->updatePurchaseArray(Value("p" + std::to_string(n)));
    if (!report(n)) return 4;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  const std::string directory = argv[2];
  auto log = std::make_shared<CapturingLogSink>();
  DesktopHostOptions options;
  options.bundleDirectory = directory + "/bundle";
  options.bundleIdentifier = "com.example.durability";
  options.dataDirectory = directory + "/data";
  options.keychainDirectory = directory + "/keychain";
  options.log = log;
  auto host = makeDesktopHost(options);
  const auto* settings = dynamic_cast<const SqliteSettingsStore*>(host->settings.get());
  const auto* keys = dynamic_cast<const SqliteKeychain*>(host->keychain.get());
  if (!settings || !settings->isPersistent() || !keys || !keys->isPersistent()) return 3;
  Host::setCurrent(host);

  const long long first = std::atoll(argv[3]);
  if (mode == "identity") return writeIdentity(first);
  if (mode == "keychain") return saveKeychainItem(first);
  if (mode == "purchases") return storePurchases(first);
  return 2;
}
