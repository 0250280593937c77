#include "orvo/PushManagerConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "config/ProcessState.h"
#include "foundation/Log.h"
#include "orvo/DictionaryLookups.h"
#include "orvo/ErrorInfo.h"
#include "orvo/OrvoXMLReader.h"
#include "orvo/platform/Host.h"
#include "platform/PropertyList.h"

namespace orvo {
namespace {

// Plain HTTP to a loopback port nothing listens on.
constexpr std::string_view kPlaceholderHost = "http://127.0.0.1:1/";
constexpr std::string_view kDefaultMode = "production";
constexpr std::string_view kDefaultPolicy = "user";
constexpr std::string_view kDefaultReceiverVersion = "3.6";

constexpr std::string_view kEnterpriseSuffix = "EE";

constexpr std::string_view kResourceDirectory = "res";
constexpr std::string_view kManifestName = "Manifest";
constexpr std::string_view kManifestType = "xml";

constexpr std::string_view kModePath = "manifest.settings.push.receiver.mode";
constexpr std::string_view kServerPath = "manifest.settings.push.receiver.server";
constexpr std::string_view kPolicyPath = "manifest.settings.push.receiver.policy";
constexpr std::string_view kCustomerCodePath = "manifest.settings.push.receiver.customer-code";
constexpr std::string_view kApplicationIdPath = "manifest.settings.push.receiver.application-id";
constexpr std::string_view kVersionPath = "manifest.settings.push.receiver.version";
constexpr std::string_view kStoragePath = "manifest.settings.push.storage";
constexpr std::string_view kLogPath = "manifest.settings.push.receiver.log";
constexpr std::string_view kLogServerPath = "manifest.settings.push.receiver.log-server";
constexpr std::string_view kXeltServerPath = "manifest.settings.push.xelt.server";
constexpr std::string_view kProjectIdPath = "manifest.settings.push.receiver.project-id";
constexpr std::string_view kAppIdPath = "manifest.settings.push.receiver.app-id";
constexpr std::string_view kGrantedPath = "manifest.settings.push.receiver.granted";
constexpr std::string_view kUsePhoneNumberPath = "manifest.settings.push.receiver.use-phone_number";
constexpr std::string_view kOutboxPath = "manifest.settings.push.outbox.enabled";
constexpr std::string_view kOutboxEntriesPath = "manifest.settings.push.outbox.max-entries";
constexpr std::string_view kOutboxAgePath = "manifest.settings.push.outbox.max-age";
constexpr std::string_view kOutboxFirstDelayPath = "manifest.settings.push.outbox.first-delay";
constexpr std::string_view kOutboxMaxDelayPath = "manifest.settings.push.outbox.max-delay";
constexpr std::string_view kDuplicatesPath = "manifest.settings.push.duplicates.enabled";
constexpr std::string_view kDuplicatesWindowPath = "manifest.settings.push.duplicates.window";
constexpr std::string_view kDuplicatesEntriesPath = "manifest.settings.push.duplicates.max-entries";
constexpr std::string_view kConsentPath = "manifest.settings.push.consent.required";
constexpr std::string_view kTracingPath = "manifest.settings.push.doctor.tracing";
// What a bound must be to be taken; anything else keeps the default, with a
// line saying so.
constexpr std::string_view kLogBadBound = "PushManagerConfig - %@ is not %@: \"%@\" ignored";
constexpr std::string_view kPositiveCount = "a whole number from 1 to 1000000";
constexpr std::string_view kPositiveSeconds = "a number of seconds from 0.001 to 31536000";

constexpr std::string_view kProvisioningProfileName = "embedded.mobileprovision";
constexpr std::string_view kPlistStart = "<plist";
constexpr std::string_view kPlistEnd = "</plist>";
constexpr std::string_view kEntitlementsKey = "Entitlements";
constexpr std::string_view kApsEnvironmentKey = "aps-environment";
constexpr std::string_view kDevelopmentEnvironment = "development";

constexpr std::string_view kLogManifestMissing = "Push Settings file is not exist.";
constexpr std::string_view kLogProfileUnreadable =
    "PushManagerConfig - Error reading embedded mobileprovision %@";
constexpr std::string_view kLogPlistUnreadable =
    "PushManagerConfig - Error reading plist from embedded mobileprovision";
constexpr std::string_view kLogPlistNotDictionary =
    "Error while converting assumed plist to dict %@";
constexpr std::string_view kLogApsEnvironment = "APNS Environment in profile: %@";
constexpr std::string_view kNullDescription = "(null)";
// Written whatever the log switch says: no record exists yet to turn it on,
// and otherwise a rejected manifest would leave no trace of why the defaults
// apply.
constexpr std::string_view kLogManifestRejected =
    "PushManagerConfig - Manifest %@ not used, defaults apply: %@";

constexpr std::string_view kFileErrorDomain = "OrvoFileError";
constexpr std::string_view kFileTooLarge = "File too large";
// A provisioning profile is a few kilobytes.
constexpr off_t kMaxProfileSize = off_t{64} << 20;

struct ProcessState {
  std::mutex sharedMutex;
  std::shared_ptr<PushManagerConfig> shared;
  std::mutex sandboxMutex;
  std::optional<bool> sandbox;
  std::mutex bundlePathMutex;
  std::optional<std::string> bundlePath;
};

ProcessState& processState() {
  static ProcessState state;
  return state;
}

ErrorInfo fileError(int code, std::string_view reason, const std::string& path) {
  return ErrorInfo{std::string(kFileErrorDomain), code, std::string(reason) + " (" + path + ")",
                   Dictionary{{"path", Value(path)}}};
}

Result<std::string> readWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fileError(errno, std::strerror(errno), path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fileError(errno, std::strerror(errno), path);
  if (S_ISDIR(info.st_mode)) return fileError(EISDIR, std::strerror(EISDIR), path);
  if (info.st_size > kMaxProfileSize) return fileError(EFBIG, kFileTooLarge, path);
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[16384];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fileError(errno, std::strerror(errno), path);
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > static_cast<std::size_t>(kMaxProfileSize)) {
      return fileError(EFBIG, kFileTooLarge, path);
    }
  }
  return bytes;
}

// A path names a file when something other than a directory is there.
bool fileExists(const std::string& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

std::string joinPath(std::string base, std::string_view component) {
  if (base.empty()) return std::string(component);
  if (base.back() != '/') base += '/';
  base.append(component);
  return base;
}

std::optional<std::string> firstExisting(const std::vector<std::optional<std::string>>& paths) {
  for (const auto& path : paths) {
    if (path && fileExists(*path)) return path;
  }
  return std::nullopt;
}

std::vector<std::optional<std::string>> defaultCandidates(const Bundle& bundle) {
  return {bundle.pathForResource(kManifestName, kManifestType, kResourceDirectory),
          bundle.pathForResource(kManifestName, kManifestType)};
}

std::optional<std::string> locateManifest() {
  auto host = Host::current();
  if (!host || !host->bundle) return std::nullopt;
  const Bundle& mainBundle = *host->bundle;

  Value named = host->settings ? host->settings->get(PushManagerConfig::kManifestFileKey) : Value();
  const std::string* fileName = named.asString();
  if (fileName && !fileName->empty()) {
    std::string resources =
        std::filesystem::path(mainBundle.resourcePath()).lexically_normal().string();
    if (resources.size() > 1 && resources.back() == '/') resources.pop_back();
    std::vector<std::optional<std::string>> candidates{
        joinPath(joinPath(resources, kResourceDirectory), *fileName)};
    for (auto& fallback : defaultCandidates(mainBundle)) candidates.push_back(std::move(fallback));
    return firstExisting(candidates);
  }

  std::optional<std::string> bundlePath = PushManagerConfig::libraryBundlePath();
  if (bundlePath && !bundlePath->empty()) {
    std::shared_ptr<Bundle> libraryBundle = mainBundle.bundleAtPath(*bundlePath);
    if (!libraryBundle) return std::nullopt;
    return firstExisting(defaultCandidates(*libraryBundle));
  }
  return firstExisting(defaultCandidates(mainBundle));
}

bool logProfileUnreadable(const std::optional<ErrorInfo>& error) {
  logging::trace(logging::format(kLogProfileUnreadable,
                                 {error ? describe(*error) : std::string(kNullDescription)}));
  return true;
}

void badBound(std::string_view path, std::string_view wanted, const std::string& text) {
  logging::always(logging::format(kLogBadBound, {path, wanted, text}));
}

// A whole number in range, all of the text.
void readCount(const std::optional<std::string>& text, std::string_view path,
               std::int64_t& target) {
  if (!text) return;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text->c_str(), &end, 10);
  if (errno != 0 || end == text->c_str() || *end != '\0' || value < 1 || value > 1000000) {
    badBound(path, kPositiveCount, *text);
    return;
  }
  target = value;
}

void readSeconds(const std::optional<std::string>& text, std::string_view path, double& target) {
  if (!text) return;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text->c_str(), &end);
  if (errno != 0 || end == text->c_str() || *end != '\0' || !(value >= 0.001) ||
      value > 31536000.0) {
    badBound(path, kPositiveSeconds, *text);
    return;
  }
  target = value;
}

}  // namespace

std::shared_ptr<PushManagerConfig> PushManagerConfig::sharedConfig() {
  ProcessState& state = processState();
  std::lock_guard lock(state.sharedMutex);
  if (!state.shared) state.shared = std::make_shared<PushManagerConfig>();
  return state.shared;
}

PushManagerConfig::PushManagerConfig() {
  {
    std::lock_guard lock(mutex_);
    host_ = kPlaceholderHost;
    applicationID_ = "";
    customerCode_ = "";
    policy_ = kDefaultPolicy;
    mode_ = kDefaultMode;
    receiverVersion_ = kDefaultReceiverVersion;
    useStorage_ = true;
    useLog_ = false;
    logServerHost_ = "";
    xeltHost_ = "";
    useGranted_ = true;
    usePhoneNumber_ = true;
  }
  loadConfig();
}

void PushManagerConfig::loadConfig() {
  std::optional<std::string> path;
  try {
    path = locateManifest();
  } catch (...) {
    path.reset();
  }
  if (!path) {
    logging::trace(kLogManifestMissing);
    return;
  }
  Dictionary manifest = dictionaryWithConfigFile(*path);

  auto read = [&](std::string_view keyPath) { return stringForPath(manifest, keyPath); };
  std::lock_guard lock(mutex_);
  mode_ = read(kModePath).value_or("");
  std::string serverPath(kServerPath);
  if (!mode_.empty()) serverPath += "." + mode_;
  if (auto v = read(serverPath)) host_ = *v;
  if (auto v = read(kPolicyPath)) policy_ = *v;
  if (auto v = read(kCustomerCodePath)) customerCode_ = *v;
  if (auto v = read(kApplicationIdPath)) applicationID_ = *v;
  if (auto v = read(kVersionPath)) receiverVersion_ = stripEnterpriseSuffix(*v);
  if (auto v = read(kStoragePath)) useStorage_ = boolValue(*v);
  if (auto v = read(kLogPath)) useLog_ = boolValue(*v);
  if (auto v = read(kLogServerPath)) logServerHost_ = *v;
  if (auto v = read(kXeltServerPath)) xeltHost_ = *v;
  if (auto v = read(kProjectIdPath)) applicationID_ = *v;
  if (auto v = read(kAppIdPath)) applicationID_ = *v;
  if (auto v = read(kGrantedPath)) useGranted_ = boolValue(*v);
  if (auto v = read(kUsePhoneNumberPath)) usePhoneNumber_ = boolValue(*v);
  if (auto v = read(kOutboxPath)) outbox_.enabled = boolValue(*v);
  readCount(read(kOutboxEntriesPath), kOutboxEntriesPath, outbox_.maxEntries);
  readSeconds(read(kOutboxAgePath), kOutboxAgePath, outbox_.maxAgeSeconds);
  readSeconds(read(kOutboxFirstDelayPath), kOutboxFirstDelayPath, outbox_.firstDelaySeconds);
  readSeconds(read(kOutboxMaxDelayPath), kOutboxMaxDelayPath, outbox_.maxDelaySeconds);
  if (auto v = read(kDuplicatesPath)) duplicateFilter_.enabled = boolValue(*v);
  readSeconds(read(kDuplicatesWindowPath), kDuplicatesWindowPath, duplicateFilter_.windowSeconds);
  readCount(read(kDuplicatesEntriesPath), kDuplicatesEntriesPath, duplicateFilter_.maxEntries);
  if (auto v = read(kConsentPath)) privacy_.consentRequired = boolValue(*v);
  if (auto v = read(kTracingPath)) privacy_.tracing = boolValue(*v);
  manifestPath_ = *path;
  config_ = std::move(manifest);
}

Dictionary PushManagerConfig::dictionaryWithConfigFile(const std::string& path) const {
  // A broken manifest reads as an empty one; the reader's error only goes to
  // the log.
  ErrorInfo error;
  std::optional<Dictionary> raw = OrvoXMLReader::dictionaryForXMLFile(path, &error);
  if (!raw) {
    logging::always(
        logging::format(kLogManifestRejected,
                        {path, error.description.empty() ? kNullDescription : error.description}));
  }
  Dictionary result = raw ? std::move(*raw) : Dictionary();
  OrvoXMLReader::extractXML(result);
  return result;
}

bool PushManagerConfig::isProductionApp() const {
  auto host = Host::current();
  if (!host || !host->bundle) return logProfileUnreadable(std::nullopt);
  std::string path =
      (std::filesystem::path(host->bundle->bundlePath()) / std::string(kProvisioningProfileName))
          .string();
  Result<std::string> read = readWholeFile(path);
  if (!read) return logProfileUnreadable(read.error());
  std::string& text = read.value();
  if (text.empty()) return logProfileUnreadable(std::nullopt);

  // The profile is a signed envelope around an XML property list; bytes that
  // are not ASCII are masked so the list can be found as text.
  for (char& c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte >= 0x80) c = '.';
  }

  std::size_t start = text.find(kPlistStart);
  if (start == std::string::npos) return true;
  std::size_t end = text.find(kPlistEnd, start);
  std::string plist = text.substr(start, end == std::string::npos ? end : end - start);
  if (plist.empty()) return true;
  plist += kPlistEnd;
  if (plist.empty()) {
    logging::trace(kLogPlistUnreadable);
    return true;
  }

  Result<Value> parsed = platform::parsePropertyList(plist);
  const Dictionary* dict = parsed ? parsed.value().asDictionary() : nullptr;
  if (!dict) {
    logging::trace(logging::format(kLogPlistNotDictionary,
                                   {parsed ? kNullDescription : parsed.error().description}));
    return true;
  }

  Value environment;
  if (const Dictionary* entitlements = dict->getDictionary(kEntitlementsKey)) {
    environment = entitlements->get(kApsEnvironmentKey);
  }
  logging::trace(logging::format(kLogApsEnvironment, {describe(environment)}));
  if (environment.isNull()) return true;
  if (const std::string* s = environment.asString()) {
    if (s->empty()) return true;
    return *s != kDevelopmentEnvironment;
  }
  return true;
}

bool PushManagerConfig::isSandboxApp() const {
  ProcessState& state = processState();
  std::lock_guard lock(state.sandboxMutex);
  if (!state.sandbox) state.sandbox = !isProductionApp();
  return *state.sandbox;
}

void PushManagerConfig::setLibraryBundlePath(std::optional<std::string> path) {
  ProcessState& state = processState();
  std::lock_guard lock(state.bundlePathMutex);
  state.bundlePath = std::move(path);
}

std::optional<std::string> PushManagerConfig::libraryBundlePath() {
  ProcessState& state = processState();
  std::lock_guard lock(state.bundlePathMutex);
  return state.bundlePath;
}

std::string PushManagerConfig::stripEnterpriseSuffix(std::string version) {
  if (version.size() >= 3 && version.ends_with(kEnterpriseSuffix)) {
    version.resize(version.size() - kEnterpriseSuffix.size());
  }
  return version;
}

#define ORVO_CONFIG_PROPERTY(Type, getter, setter, member) \
  Type PushManagerConfig::getter() const {                 \
    std::lock_guard lock(mutex_);                          \
    return member;                                         \
  }                                                        \
  void PushManagerConfig::setter(Type value) {             \
    std::lock_guard lock(mutex_);                          \
    member = std::move(value);                             \
  }

ORVO_CONFIG_PROPERTY(std::optional<Dictionary>, config, setConfig, config_)
ORVO_CONFIG_PROPERTY(std::string, host, setHost, host_)
ORVO_CONFIG_PROPERTY(std::string, mode, setMode, mode_)
ORVO_CONFIG_PROPERTY(std::string, policy, setPolicy, policy_)
ORVO_CONFIG_PROPERTY(std::string, applicationID, setApplicationID, applicationID_)
ORVO_CONFIG_PROPERTY(std::string, customerCode, setCustomerCode, customerCode_)
ORVO_CONFIG_PROPERTY(std::string, receiverVersion, setReceiverVersion, receiverVersion_)
ORVO_CONFIG_PROPERTY(std::string, logServerHost, setLogServerHost, logServerHost_)
ORVO_CONFIG_PROPERTY(std::string, xeltHost, setXeltHost, xeltHost_)
ORVO_CONFIG_PROPERTY(bool, useStorage, setUseStorage, useStorage_)
ORVO_CONFIG_PROPERTY(bool, useLog, setUseLog, useLog_)
ORVO_CONFIG_PROPERTY(bool, useGranted, setUseGranted, useGranted_)
ORVO_CONFIG_PROPERTY(bool, usePhoneNumber, setUsePhoneNumber, usePhoneNumber_)
ORVO_CONFIG_PROPERTY(OutboxSettings, outbox, setOutbox, outbox_)
ORVO_CONFIG_PROPERTY(DuplicateFilterSettings, duplicateFilter, setDuplicateFilter, duplicateFilter_)
ORVO_CONFIG_PROPERTY(PrivacySettings, privacy, setPrivacy, privacy_)

std::string PushManagerConfig::manifestPath() const {
  std::lock_guard lock(mutex_);
  return manifestPath_;
}

#undef ORVO_CONFIG_PROPERTY

std::string PushManagerConfig::receiverDebugVersion() const { return receiverVersion(); }

namespace detail {

void resetConfigProcessState() {
  ProcessState& state = processState();
  {
    std::lock_guard lock(state.sharedMutex);
    state.shared.reset();
  }
  {
    std::lock_guard lock(state.sandboxMutex);
    state.sandbox.reset();
  }
  {
    std::lock_guard lock(state.bundlePathMutex);
    state.bundlePath.reset();
  }
}

}  // namespace detail
}  // namespace orvo
