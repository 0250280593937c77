/// @file
/// The library's settings: built-in defaults overridden from the XML manifest
/// among the application's resources.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// The durable outbox of acknowledgements, reads, badge updates, reports and
/// the failure log. Off unless the manifest turns it on.
struct OutboxSettings {
  /// "outbox/enabled".
  bool enabled = false;
  /// "outbox/max-entries": past it the oldest entry is dropped, logged and
  /// reported.
  std::int64_t maxEntries = 1000;
  /// "outbox/max-age": an entry older than this is dropped the same way.
  double maxAgeSeconds = 7 * 24 * 3600.0;
  /// "outbox/first-delay": retries wait a random time up to
  /// min(maxDelay, firstDelay * 2^attempt).
  double firstDelaySeconds = 1.0;
  /// "outbox/max-delay": the cap of that bound; a server's Retry-After (in
  /// seconds or as an HTTP date) is waited for up to this cap.
  double maxDelaySeconds = 300.0;
};

/// Remote payloads whose message key was taken in within the window are
/// neither acknowledged nor delivered again.
struct DuplicateFilterSettings {
  /// "duplicates/enabled".
  bool enabled = false;
  /// "duplicates/window": how long a message key is remembered.
  double windowSeconds = 7 * 24 * 3600.0;
  /// "duplicates/max-entries": how many message keys are remembered (the
  /// newest).
  std::int64_t maxEntries = 2000;
};

/// The privacy and diagnosis switches. Both off unless the manifest turns
/// them on.
struct PrivacySettings {
  /// "consent/required": until PushManager::setConsentGiven(true) the
  /// library makes no network call and stores no new identity.
  bool consentRequired = false;
  /// "doctor/tracing": each request carries a request identifier header
  /// ("X-Orvo-Request-Id"), and the trace line of the request names it.
  bool tracing = false;
};

/// The library's configuration, read from the application's manifest
/// (res/Manifest.xml in the bundle) once per process.
class ORVO_PUSH_API PushManagerConfig {
 public:
  /// Settings key naming another manifest file below the bundle's "res".
  static constexpr std::string_view kManifestFileKey = "KEY_MANIFEST_FILE";

  /// The one shared instance, created on first use.
  static std::shared_ptr<PushManagerConfig> sharedConfig();

  /// Built-in defaults, then loadConfig().
  /// @{
  PushManagerConfig();
  PushManagerConfig(const PushManagerConfig&) = delete;
  PushManagerConfig& operator=(const PushManagerConfig&) = delete;
  /// @}

  /// Finds the manifest, reads it into config() and applies its keys.
  void loadConfig();
  /// Reads and flattens one manifest file; empty when unreadable or malformed.
  Dictionary dictionaryWithConfigFile(const std::string& path) const;

  /// Reads the provisioning profile on every call.
  bool isProductionApp() const;
  /// !isProductionApp(), worked out once per process.
  bool isSandboxApp() const;

  /// The bundle path the manager may set for an application extension; when
  /// set and non-empty the manifest is looked up there.
  /// @{
  static void setLibraryBundlePath(std::optional<std::string> path);
  static std::optional<std::string> libraryBundlePath();
  /// @}

  /// The manifest's settings (docs/manifest.md): the receiver host, mode and
  /// policy, the application ID, the customer code, the receiver protocol
  /// version, the log server and the session-and-purchase (xelt) hosts, and
  /// the switches useStorage (the record kept in storage), useLog (trace
  /// lines), useGranted (wait for the user's permission) and usePhoneNumber.
  /// Reads and writes are safe from any thread.
  /// @{
  std::optional<Dictionary> config() const;
  std::string host() const;
  std::string mode() const;
  std::string policy() const;
  std::string applicationID() const;
  std::string customerCode() const;
  std::string receiverVersion() const;
  std::string receiverDebugVersion() const;
  std::string logServerHost() const;
  std::string xeltHost() const;
  bool useStorage() const;
  bool useLog() const;
  bool useGranted() const;
  bool usePhoneNumber() const;
  OutboxSettings outbox() const;
  DuplicateFilterSettings duplicateFilter() const;
  PrivacySettings privacy() const;
  /// The manifest file the settings came from; empty when none was found.
  std::string manifestPath() const;
  /// @}

  /// Sets the setting of the same name; safe from any thread.
  /// @{
  void setConfig(std::optional<Dictionary> config);
  void setHost(std::string host);
  void setMode(std::string mode);
  void setPolicy(std::string policy);
  void setApplicationID(std::string applicationID);
  void setCustomerCode(std::string customerCode);
  void setReceiverVersion(std::string receiverVersion);
  void setLogServerHost(std::string logServerHost);
  void setXeltHost(std::string xeltHost);
  void setUseStorage(bool useStorage);
  void setUseLog(bool useLog);
  void setUseGranted(bool useGranted);
  void setUsePhoneNumber(bool usePhoneNumber);
  void setOutbox(OutboxSettings outbox);
  void setDuplicateFilter(DuplicateFilterSettings duplicateFilter);
  void setPrivacy(PrivacySettings privacy);
  /// @}

  /// The receiver version rule shared with the record's change operation: a
  /// text of at least three characters ending in "EE" loses the "EE".
  static std::string stripEnterpriseSuffix(std::string version);

 private:
  mutable std::mutex mutex_;
  std::optional<Dictionary> config_;
  std::string host_;
  std::string mode_;
  std::string policy_;
  std::string applicationID_;
  std::string customerCode_;
  std::string receiverVersion_;
  std::string logServerHost_;
  std::string xeltHost_;
  bool useStorage_ = true;
  bool useLog_ = false;
  bool useGranted_ = true;
  bool usePhoneNumber_ = true;
  OutboxSettings outbox_;
  DuplicateFilterSettings duplicateFilter_;
  PrivacySettings privacy_;
  std::string manifestPath_;
};

}  // namespace orvo
