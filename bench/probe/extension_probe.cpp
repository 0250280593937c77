// A notification service extension reduced to its default handling: the
// process the phone would start for one notification. It starts the desktop
// host, acknowledges the notification to the receiver named in the bundle's
// manifest, and ends once the content has been handed back.
//
//   orvo_extension_probe <bundle directory> <data directory>
//   orvo_extension_probe --loaded-only
//
// Exit status 0: the content came back marked as acknowledged. Standard
// output: the microseconds from the start of main to the hand-back, the peak
// resident memory of this program's own address space in KiB (VmHWM), and its
// private dirty memory at the end in KiB: what a phone charges an extension
// for, as clean library pages are shared there.
// With --loaded-only it ends at once: the cost of a process with the library
// loaded and nothing done.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "orvo/PushNotification.h"
#include "orvo/PushNotificationServiceExtension.h"
#include "orvo/platform/Host.h"

namespace {

using namespace orvo;

constexpr std::string_view kLoadedOnly = "--loaded-only";
constexpr std::string_view kPeakField = "VmHWM:";
constexpr std::string_view kDirtyField = "Private_Dirty:";
constexpr int kUsageError = 2;
constexpr int kNotMarked = 1;
// The phone stops an extension after about thirty seconds; the probe gives up
// far sooner, as nothing on loopback should take long.
constexpr auto kTimeLimit = std::chrono::seconds(5);

NotificationRequest oneNotification() {
  const Dictionary payload{
      {"aps", Dictionary{{"alert", "Your order 48213 has shipped."}, {"badge", 1}}},
      {"orv", Dictionary{{"psid", "a1b2c3d4e5f60718293a4b5c6d7e8f90"},
                         {"seqno", "48213"},
                         {"senddate", "20261206153000"},
                         {"sender", "shop-service"},
                         {"db_in", "Y"},
                         {"ext", "1|Shipped|https://img.example.com/p/48213.jpg"}}}};
  return NotificationRequest{"probe", NotificationContent{"Shipped",
                                                          "",
                                                          "Your order 48213 has "
                                                          "shipped.",
                                                          1,
                                                          "default",
                                                          payload,
                                                          {}}};
}

// The high-water mark of the address space made by exec; the process's
// ru_maxrss also counts the spawning parent's, carried over by exec.
long statusField(const char* file, std::string_view field) {
  std::ifstream status(file);
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
  }
  return 0;
}

long peakResidentKiB() { return statusField("/proc/self/status", kPeakField); }
long privateDirtyKiB() { return statusField("/proc/self/smaps_rollup", kDirtyField); }

}  // namespace

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  if (argc == 2 && argv[1] == kLoadedOnly) {
    std::printf("0 %ld %ld\n", peakResidentKiB(), privateDirtyKiB());
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <bundle directory> <data directory>\n", argv[0]);
    return kUsageError;
  }
  auto loop = std::make_shared<RunLoop>();
  DesktopHostOptions options;
  options.bundleDirectory = argv[1];
  options.dataDirectory = std::string(argv[2]) + "/data";
  options.keychainDirectory = std::string(argv[2]) + "/keychain";
  options.mainQueue = loop;
  Host::setCurrent(makeDesktopHost(options));

  std::atomic<bool> handedBack{false};
  bool marked = false;
  PushNotificationServiceExtension extension;
  extension.didReceiveNotificationRequest(
      oneNotification(), [&](const NotificationContent& content) {
        marked =
            content.userInfo.get(payload_keys::kFeedback) == Value(payload_keys::kFeedbackDone);
        handedBack = true;
      });
  if (!loop->runUntil([&] { return handedBack.load(); }, kTimeLimit)) {
    extension.serviceExtensionTimeWillExpire();
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%lld %ld %ld\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()),
              peakResidentKiB(), privateDirtyKiB());
  return marked ? 0 : kNotMarked;
}
