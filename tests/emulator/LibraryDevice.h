// The library in one device against the emulator, as a fresh process would
// have it: a desktop host on folders of its own, a manifest pointing at the
// emulator, and the phone holding the gateway's token for this device.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "emulator/EmulatorHarness.h"
#include "foundation/Log.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/platform/SimulatedNotificationHost.h"
#include "orvo/testing/ProcessReset.h"
#include "support/Manifest.h"
#include "support/TestHost.h"

namespace orvo::test {

// Counts the library's exchanges under way. An exchange still open when the
// host goes keeps the host, and its connection to the emulator, alive through
// its own completion, so a test ends after the library's last answer. Requests
// whose URL holds `shortTimeoutFor` get `shortTimeoutSeconds`.
class CountingHttpClient : public HttpClient {
 public:
  explicit CountingHttpClient(std::shared_ptr<HttpClient> inner) : inner_(std::move(inner)) {}
  void send(HttpRequest request, std::function<void(HttpResult)> completion) override {
    ++pending_;
    if (!shortTimeoutFor.empty() && request.url.find(shortTimeoutFor) != std::string::npos)
      request.timeoutSeconds = shortTimeoutSeconds;
    inner_->send(std::move(request), [this, completion = std::move(completion)](HttpResult result) {
      --pending_;
      if (completion) completion(std::move(result));
    });
  }
  int pending() const { return pending_; }
  std::string shortTimeoutFor;  // a part of the URL
  double shortTimeoutSeconds = 0.3;

 private:
  std::shared_ptr<HttpClient> inner_;
  std::atomic<int> pending_{0};
};

// Turns a payload from the gateway into what the phone hands the application.
inline Dictionary payloadOf(const Json& json) {
  auto parsed = parseJson(json.dump());
  const Dictionary* dictionary = parsed.ok() ? parsed.value().asDictionary() : nullptr;
  return dictionary ? *dictionary : Dictionary{};
}

struct LibraryDevice {
  LibraryDevice(RunningEmulator& emu, const std::string& name, const std::string& applicationID) {
    bundleDir.write("res/Manifest.xml", manifestXml(ManifestOptions{.storage = true,
                                                                    .server = emu.url() + "/",
                                                                    .applicationID = applicationID,
                                                                    .logServer = emu.url() + "/"}));
    DesktopHostOptions options;
    options.bundleDirectory = bundleDir.path();
    options.dataDirectory = dataDir.path();
    options.keychainDirectory = keychainDir.path();
    options.log = log;
    options.mainQueue = loop;
    host = makeDesktopHost(options);
    http = std::make_shared<CountingHttpClient>(host->http);
    host->http = http;
    phone = std::dynamic_pointer_cast<SimulatedNotificationHost>(host->notifications);
    phone->setApplication(application);
    token = emu.token(name + "-phone");
    phone->scriptToken(dataWithHexString(token).value_or(Bytes{}));
    Host::setCurrent(host);
    logging::setSwitch(nullptr);
    resetProcessState();
  }

  TempDir bundleDir, dataDir, keychainDir;
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
  std::shared_ptr<PushApplicationDelegate> application =
      std::make_shared<PushApplicationDelegate>();
  std::shared_ptr<Host> host;
  std::shared_ptr<CountingHttpClient> http;
  std::shared_ptr<SimulatedNotificationHost> phone;
  std::string token;
};

}  // namespace orvo::test
