// The smallest application: registers the device and a user, then prints
// every notification until interrupted.
//
//   minimal-app BUNDLE_DIR USER TOKEN_HEX
//
// BUNDLE_DIR holds res/Manifest.xml (the receiver's address, the application
// ID). On a phone the token comes from the platform; here the simulated phone
// is given one, e.g. from the emulator's gateway:
//   curl -d '{"name": "me"}' $ORVO_EMULATOR_URL/__gateway/devices
#include <orvo/PushApplicationDelegate.h>
#include <orvo/PushManager.h>
#include <orvo/platform/Host.h>
#include <orvo/platform/SimulatedNotificationHost.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace {

std::shared_ptr<orvo::RunLoop> loop;

orvo::Bytes fromHex(const std::string& hex) {
  orvo::Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BUNDLE_DIR USER TOKEN_HEX\n", argv[0]);
    return 2;
  }
  loop = std::make_shared<orvo::RunLoop>();
  orvo::DesktopHostOptions options;
  options.bundleDirectory = argv[1];
  options.mainQueue = loop;
  auto host = orvo::makeDesktopHost(options);

  // The simulated phone: it grants permission and hands out this token.
  auto application = std::make_shared<orvo::PushApplicationDelegate>();
  auto phone = std::static_pointer_cast<orvo::SimulatedNotificationHost>(host->notifications);
  phone->setApplication(application);
  phone->scriptToken(fromHex(argv[3]));
  orvo::Host::setCurrent(host);

  auto manager = orvo::PushManager::defaultManager();
  manager->applicationDidFinishLaunchingWithOptions(orvo::Value(), std::nullopt);
  auto delegate = std::make_shared<orvo::PushManagerDelegate>();
  delegate->didReceiveUserNotification = [](orvo::PushManager&, const orvo::Dictionary& payload,
                                            const std::string& status, const std::string&) {
    const orvo::Dictionary* aps = payload.getDictionary("aps");
    std::printf("notification (%s): %s\n", status.c_str(),
                aps ? aps->get("alert").stringOr("").c_str() : "");
  };
  manager->initilaizeWithDelegate(delegate);

  const std::string user = argv[2];
  manager->registerService(orvo::Value(), [manager, user](bool registered) {
    if (!registered) {
      std::puts("registration failed (see the log)");
      loop->stop();
      return;
    }
    manager->registerUser(orvo::Value(), user, user, [](bool ok) {
      std::puts(ok ? "registered; waiting for notifications" : "user registration failed");
    });
  });

  std::signal(SIGINT, [](int) { loop->stop(); });
  loop->run();
  orvo::Host::setCurrent(nullptr);
  return 0;
}
