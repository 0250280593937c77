// The smallest application: registers the device and a user, then prints
// every notification that arrives, until interrupted (Ctrl-C or SIGTERM).
//
//   ORVO_EMULATOR_URL=http://127.0.0.1:8750 minimal-app BUNDLE_DIR USER
//
// BUNDLE_DIR holds res/Manifest.xml (the receiver's address, the application
// ID). On a phone the token and the pushes come from the platform; here the
// simulated phone takes them from the emulator's gateway at ORVO_EMULATOR_URL.
#include <orvo/PushApplicationDelegate.h>
#include <orvo/PushManager.h>
#include <orvo/platform/Host.h>
#include <orvo/platform/SimulatedNotificationHost.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  const char* emulator = std::getenv("ORVO_EMULATOR_URL");
  std::error_code error;
  if (argc != 3 || !std::filesystem::is_directory(argv[1], error) || !*argv[2] || !emulator ||
      !*emulator) {
    std::fprintf(stderr, "usage: ORVO_EMULATOR_URL=URL %s BUNDLE_DIR USER\n", argv[0]);
    if (argc == 3 && !std::filesystem::is_directory(argv[1], error))
      std::fprintf(stderr, "%s: BUNDLE_DIR %s is not a directory\n", argv[0], argv[1]);
    return 2;
  }
  // SIGINT and SIGTERM go to one thread, which stops the run loop; every
  // thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto loop = std::make_shared<orvo::RunLoop>();
  orvo::DesktopHostOptions options;
  options.bundleDirectory = argv[1];
  // Its own identity (settings, keychain, gateway token), apart from readme-app's.
  options.bundleIdentifier = "com.example.minimal-app";
  options.mainQueue = loop;  // the gateway is $ORVO_EMULATOR_URL by default
  auto host = orvo::makeDesktopHost(options);
  auto application = std::make_shared<orvo::PushApplicationDelegate>();
  std::static_pointer_cast<orvo::SimulatedNotificationHost>(host->notifications)
      ->setApplication(application);
  orvo::Host::setCurrent(host);

  auto manager = orvo::PushManager::defaultManager();
  manager->applicationDidFinishLaunchingWithOptions(orvo::Value(), std::nullopt);
  auto delegate = std::make_shared<orvo::PushManagerDelegate>();
  delegate->didReceiveUserNotification = [](orvo::PushManager&, const orvo::Dictionary& payload,
                                            const std::string& status, const std::string&) {
    const orvo::Dictionary* aps = payload.getDictionary("aps");
    std::printf("notification (%s): %s\n", status.c_str(),
                aps ? aps->get("alert").stringOr("").c_str() : "");
    std::fflush(stdout);
  };
  manager->initilaizeWithDelegate(delegate);

  // Receiver 3.6 has no combined registration: the service, then the user.
  const std::string user = argv[2];
  int status = 0;
  manager->registerService(orvo::Value(), [&](bool registered) {
    if (!registered) {
      std::fprintf(stderr, "registration failed (see the log above)\n");
      status = 1;
      loop->stop();
      return;
    }
    manager->registerUser(orvo::Value(), user, user, [&](bool ok) {
      std::printf(
          ok ? "registered as %s; waiting for notifications\n" : "user registration of %s failed\n",
          user.c_str());
      std::fflush(stdout);
    });
  });

  std::thread waiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    loop->stop();
  });
  loop->run();
  // Ends the waiter if the loop stopped for another reason; the signal is
  // blocked, so it only wakes sigwait.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  orvo::Host::setCurrent(nullptr);
  return status;
}
