#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "orvo/platform/CurlHttpClient.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/GatewayClient.h"
#include "orvo/platform/Host.h"
#include "orvo/platform/SimulatedNotificationHost.h"

namespace orvo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBundleDirEnv = "ORVO_BUNDLE_DIR";
constexpr const char* kEmulatorUrlEnv = "ORVO_EMULATOR_URL";
constexpr const char* kXdgDataHomeEnv = "XDG_DATA_HOME";
constexpr const char* kHomeEnv = "HOME";
constexpr const char* kDataSubdirectory = "orvo-push";
constexpr const char* kKeychainSubdirectory = "orvo-push-keychain";
constexpr const char* kSettingsFileName = "settings.db";
constexpr const char* kBundleVersionKey = "CFBundleVersion";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// A directory under /tmp that belongs to this user alone: the usual one when
// it is ours, else a fresh one, so that another user cannot plant files in it.
std::string privateTemporaryDirectory() {
  const std::string preferred = "/tmp/orvo-push-" + std::to_string(static_cast<long>(getuid()));
  ::mkdir(preferred.c_str(), 0700);
  struct stat info {};
  if (::lstat(preferred.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
      (info.st_mode & 077) == 0) {
    return preferred;
  }
  std::string pattern = preferred + "-XXXXXX";
  if (::mkdtemp(pattern.data())) return pattern;
  return preferred;
}

// $XDG_DATA_HOME (when absolute), else ~/.local/share.
std::string dataHome() {
  if (std::string xdg = environment(kXdgDataHomeEnv); !xdg.empty() && xdg.front() == '/') {
    return xdg;
  }
  if (std::string home = environment(kHomeEnv); !home.empty()) return home + "/.local/share";
  return privateTemporaryDirectory();
}

std::string workingDirectory() {
  std::error_code error;
  fs::path current = fs::current_path(error);
  return error ? std::string(".") : current.string();
}

}  // namespace

std::shared_ptr<Host> makeDesktopHost(DesktopHostOptions options) {
  if (options.bundleDirectory.empty()) options.bundleDirectory = environment(kBundleDirEnv);
  if (options.bundleDirectory.empty()) options.bundleDirectory = workingDirectory();
  if (options.dataDirectory.empty() || options.keychainDirectory.empty()) {
    const std::string home = dataHome();
    if (options.dataDirectory.empty()) {
      options.dataDirectory = home + "/" + kDataSubdirectory + "/" + options.bundleIdentifier;
    }
    if (options.keychainDirectory.empty()) {
      options.keychainDirectory = home + "/" + kKeychainSubdirectory;
    }
  }

  auto host = std::make_shared<Host>();
  host->log = options.log ? options.log : std::make_shared<StderrLogSink>();
  host->mainQueue = options.mainQueue ? options.mainQueue : std::make_shared<RunLoop>();
  host->settings = std::make_shared<SqliteSettingsStore>(
      options.dataDirectory + "/" + kSettingsFileName, host->log);
  host->keychain = std::make_shared<SqliteKeychain>(
      options.keychainDirectory, options.keychainSeed + "." + options.bundleIdentifier, host->log);
  host->bundle = std::make_shared<DirectoryBundle>(
      options.bundleDirectory, options.bundleIdentifier,
      Dictionary{{kBundleVersionKey, Value(options.bundleVersion)}});
  host->device = std::make_shared<SystemDevice>();
  host->clock = std::make_shared<SystemClock>();
  auto phone = std::make_shared<SimulatedNotificationHost>(host->mainQueue);
  // An application runs for days; only tests read the calls.
  phone->keepCalls(false);
  host->notifications = phone;
  CurlHttpClientOptions httpOptions;
  httpOptions.caFile = options.caFile;
  auto http = std::make_shared<CurlHttpClient>(host->mainQueue, std::move(httpOptions));
  host->http = http;

  GatewayOptions gateway;
  gateway.url = options.gateway.url.empty() ? environment(kEmulatorUrlEnv) : options.gateway.url;
  if (!gateway.url.empty()) {
    gateway.deviceName =
        options.gateway.deviceName.empty() ? options.dataDirectory : options.gateway.deviceName;
    auto client = GatewayClient::make(std::move(gateway), http, host->mainQueue, host->log);
    std::weak_ptr<SimulatedNotificationHost> weakPhone = phone;
    client->setPayloadHandler([weakPhone](const std::string&, const Dictionary& payload) {
      if (auto target = weakPhone.lock()) target->receivePush(payload);
    });
    phone->setGateway(std::move(client));
  }
  return host;
}

}  // namespace orvo
