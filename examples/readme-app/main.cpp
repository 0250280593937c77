#include <orvo/PushApplicationDelegate.h>
#include <orvo/PushManager.h>
#include <orvo/platform/Host.h>
#include <orvo/platform/SimulatedNotificationHost.h>

#include <cstdio>

int main() {
  auto loop = std::make_shared<orvo::RunLoop>();
  orvo::DesktopHostOptions options;
  options.bundleDirectory = "app";  // holds res/Manifest.xml
  options.mainQueue = loop;         // pushes come from the gateway at $ORVO_EMULATOR_URL
  auto host = orvo::makeDesktopHost(options);
  // The simulated phone sends its events (device token, notifications) here.
  auto application = std::make_shared<orvo::PushApplicationDelegate>();
  std::static_pointer_cast<orvo::SimulatedNotificationHost>(host->notifications)
      ->setApplication(application);
  orvo::Host::setCurrent(host);

  auto manager = orvo::PushManager::defaultManager();
  manager->applicationDidFinishLaunchingWithOptions(orvo::Value(), std::nullopt);
  auto delegate = std::make_shared<orvo::PushManagerDelegate>();
  delegate->didReceiveUserNotification = [&](orvo::PushManager&, const orvo::Dictionary& payload,
                                             const std::string& status, const std::string&) {
    const orvo::Dictionary* aps = payload.getDictionary("aps");
    std::printf("received (%s): %s\n", status.c_str(),
                aps ? aps->get("alert").stringOr("").c_str() : "");
    loop->stop();
  };
  manager->initilaizeWithDelegate(delegate);
  // Receiver 3.6 (the manifest's <version>): the service first, then the user.
  manager->registerService(orvo::Value(), [&](bool registered) {
    if (!registered) return loop->stop();
    manager->registerUser(orvo::Value(), "alice", "Alice", [&](bool ok) {
      std::puts(ok ? "registered as alice; waiting for a message" : "user registration failed");
      std::fflush(stdout);
      if (!ok) loop->stop();
    });
  });
  loop->run();  // the main queue: start-up, requests, answers and callbacks run here
  orvo::Host::setCurrent(nullptr);
}
