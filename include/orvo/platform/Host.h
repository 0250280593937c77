/// @file
/// The platform services the library reaches, bundled in one value.
#pragma once

#include <memory>
#include <string>

#include "orvo/Export.h"
#include "orvo/platform/Bundle.h"
#include "orvo/platform/Clock.h"
#include "orvo/platform/Device.h"
#include "orvo/platform/HttpClient.h"
#include "orvo/platform/Keychain.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/MainQueue.h"
#include "orvo/platform/NotificationHost.h"
#include "orvo/platform/RunLoop.h"
#include "orvo/platform/SettingsStore.h"

namespace orvo {

/// Every platform service the library uses, given to it as one. A member left
/// null is a service the platform lacks.
struct ORVO_PUSH_API Host {
  /// Where state changes and callbacks run.
  std::shared_ptr<MainQueue> mainQueue;
  /// The settings store and the keychain.
  /// @{
  std::shared_ptr<SettingsStore> settings;
  std::shared_ptr<Keychain> keychain;
  /// @}
  /// The application's bundle (the manifest).
  std::shared_ptr<Bundle> bundle;
  /// The device's model, system version and UUIDs.
  std::shared_ptr<Device> device;
  /// Every request to the receiver and the other servers.
  std::shared_ptr<HttpClient> http;
  /// Where log lines go.
  std::shared_ptr<LogSink> log;
  /// The time and the start of today.
  std::shared_ptr<Clock> clock;
  /// The notification platform.
  std::shared_ptr<NotificationHost> notifications;

  /// The host the library uses. Give it before the library's first use; when
  /// none was given, the first call builds the desktop host with default
  /// options.
  /// @{
  static std::shared_ptr<const Host> current();
  static void setCurrent(std::shared_ptr<const Host> host);
  /// @}
};

/// Where the simulated phone receives pushes from: the emulator's gateway.
struct ORVO_PUSH_API DesktopGatewayOptions {
  /// The gateway's address. Default: $ORVO_EMULATOR_URL; with neither, the
  /// phone hands out a fixed token and receives nothing by itself.
  std::string url;
  /// The gateway gives the same name the same token. Default: the data
  /// directory, which is this installation's own.
  std::string deviceName;
};

/// What the desktop host is built from (makeDesktopHost); every member has
/// a default.
struct ORVO_PUSH_API DesktopHostOptions {
  /// The application's bundle directory (res/Manifest.xml,
  /// embedded.mobileprovision). Default: $ORVO_BUNDLE_DIR, else the working
  /// directory.
  /// @{
  std::string bundleDirectory;
  std::string bundleIdentifier = "orvo.push.app";
  std::string bundleVersion = "1";
  /// @}
  /// The settings database lives here. Default:
  /// `$XDG_DATA_HOME/orvo-push/<bundle identifier>` (~/.local/share/...).
  std::string dataDirectory;
  /// The keychain file lives here, apart from the application's data so that
  /// it outlives a reinstall. Default: $XDG_DATA_HOME/orvo-push-keychain.
  std::string keychainDirectory;
  /// The prefix of the keychain's default access group.
  std::string keychainSeed = "ORVOSEED01";
  /// Extra CA certificates for TLS (PEM file); the system's are always used.
  std::string caFile;
  /// Null: stderr with timestamps.
  std::shared_ptr<LogSink> log;
  /// Null: a new RunLoop that the application runs.
  std::shared_ptr<MainQueue> mainQueue;
  /// With a gateway, registering for remote notifications takes the token
  /// from it and opens the device's stream; each payload then reaches the
  /// application as a push does (SimulatedNotificationHost::receivePush).
  DesktopGatewayOptions gateway;
};

/// The desktop host: SQLite settings store and keychain, directory bundle,
/// system device and clock, and the simulated notification host, linked to
/// the gateway when there is one.
ORVO_PUSH_API std::shared_ptr<Host> makeDesktopHost(DesktopHostOptions options = {});

}  // namespace orvo
