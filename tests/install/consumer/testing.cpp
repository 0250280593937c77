// An application's own unit test on the installed doubles: the manager on a
// host of doubles, the receiver answered by the scripted HTTP client.
#include <orvo/PushManager.h>
#include <orvo/platform/Host.h>
#include <orvo/platform/SimulatedNotificationHost.h>
#include <orvo/testing/CapturingLogSink.h>
#include <orvo/testing/FixedDevice.h>
#include <orvo/testing/ManualClock.h>
#include <orvo/testing/MemoryKeychain.h>
#include <orvo/testing/MemorySettingsStore.h>
#include <orvo/testing/ProcessReset.h>
#include <orvo/testing/ScriptedHttpClient.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

int main() {
  // The bundle, with the manifest the application ships.
  const auto bundle = std::filesystem::temp_directory_path() / "orvo-consumer-testing";
  std::filesystem::create_directories(bundle / "res");
  std::ofstream(bundle / "res" / "Manifest.xml") << R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest><settings><push><receiver>
  <mode>production</mode>
  <server><production>https://receiver.test/</production></server>
  <application-id>com.example.app</application-id>
  <version>4.0</version>
</receiver></push></settings></manifest>
)";

  auto loop = std::make_shared<orvo::RunLoop>();
  auto http = std::make_shared<orvo::ScriptedHttpClient>(loop);
  auto host = std::make_shared<orvo::Host>();
  host->mainQueue = loop;
  host->http = http;
  host->settings = std::make_shared<orvo::MemorySettingsStore>();
  host->keychain = std::make_shared<orvo::MemoryKeychain>();
  host->bundle = std::make_shared<orvo::DirectoryBundle>(bundle.string(), "com.example.app");
  host->device = std::make_shared<orvo::FixedDevice>();
  host->log = std::make_shared<orvo::CapturingLogSink>();
  host->clock = std::make_shared<orvo::ManualClock>();
  host->notifications = std::make_shared<orvo::SimulatedNotificationHost>(loop);
  orvo::Host::setCurrent(host);
  orvo::resetProcessState();  // each test starts as a fresh process would

  auto manager = orvo::PushManager::defaultManager();
  loop->runUntilIdle();                           // start-up
  http->enqueueEnvelope({{"AUTHKEY", "key-1"}});  // the auth key
  http->enqueueEnvelope({});                      // the badge update
  bool updated = false;
  manager->update(orvo::Value(), orvo::Value(3), [&](bool success) { updated = success; });
  loop->runUntilIdle();

  const auto requests = http->requests();
  const auto form = orvo::ScriptedHttpClient::decodeForm(requests.back().body);
  const bool ok = updated && requests.size() == 2 &&
                  requests.back().url == "https://receiver.test/rcv_init_badgeNo.ctl" &&
                  form.get("BADGENO") == orvo::Value("3") &&
                  form.get("AUTHKEY") == orvo::Value("key-1");
  orvo::resetProcessState();
  orvo::Host::setCurrent(nullptr);
  std::filesystem::remove_all(bundle);
  if (!ok) return 1;
  std::puts("testing ok");
  return 0;
}
