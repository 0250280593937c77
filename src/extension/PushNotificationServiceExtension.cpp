#include "orvo/PushNotificationServiceExtension.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/Log.h"
#include "manager/ProcessState.h"
#include "orvo/FormEncoding.h"
#include "orvo/Json.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManager.h"
#include "orvo/PushNotification.h"
#include "orvo/platform/Host.h"

namespace orvo {
namespace {

// Why no image address was found.
constexpr std::string_view kNoOrvLine = "[PushNotificationServiceExtension] message no orv";
constexpr std::string_view kNoExtLine = "[PushNotificationServiceExtension] message no ext";
constexpr std::string_view kNoJsonImageLine =
    "[PushNotificationServiceExtension] message no imageUrl from JSON";
constexpr std::string_view kPlainTypeLine =
    "[PushNotificationServiceExtension] defaultMessageType (0,4,6)";
constexpr std::string_view kNoImageLine = "[PushNotificationServiceExtension] message no imageUrl";
// "%@" is the error's description.
constexpr std::string_view kDownloadErrorLine = "Error with downloading rich push: %@";
constexpr std::string_view kAttachmentErrorLine = "Error with the rich push attachment: %@";

// The "|" form of "ext": message type first, image address third.
constexpr char kFieldSeparator = '|';
constexpr std::size_t kMessageTypeField = 0;
constexpr std::size_t kImageAddressField = 2;
constexpr std::string_view kPlainMessageTypes[] = {"0", "4", "6"};
// Removed from the address in this order.
constexpr std::string_view kLineBreaks[] = {"\n\r", "\n", "\r"};

struct TypeExtension {
  std::string_view mimeType;
  std::string_view extension;
};
constexpr TypeExtension kTypeExtensions[] = {
    {"image/jpeg", ".jpg"}, {"image/gif", ".gif"}, {"image/png", ".png"}};
constexpr std::string_view kUnknownTypeExtension = ".tmp";

constexpr std::string_view kAcknowledgementClientUID = "";
constexpr std::string_view kAttachmentIdentifier = "";
constexpr std::string_view kDownloadMethod = "GET";
// mkstemps fills the X's; the type's extension follows.
constexpr std::string_view kImageFileTemplate = "orvo-rich-XXXXXX";
// Where images go when the system names no temporary directory.
constexpr std::string_view kFallbackTemporaryDirectory = "/tmp";
constexpr long kFirstSuccessStatus = 200;
constexpr long kLastSuccessStatus = 299;

void removeAll(std::string& text, std::string_view token) {
  for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
    text.erase(at, token.size());
  }
}

// Percent-encoded for a URL query: what may not stand in a URL, and "#",
// which would end the query. "%" is escaped by the first step, so every "#"
// left afterwards is one of the text's own.
std::string encodedForQuery(std::string_view text) {
  const std::string escaped = addingPercentEscapes(text);
  std::string out;
  out.reserve(escaped.size());
  for (char c : escaped) {
    if (c == '#') {
      out += "%23";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string_view> splitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t bar = text.find(kFieldSeparator);
    fields.push_back(text.substr(0, bar));
    if (bar == std::string_view::npos) return fields;
    text.remove_prefix(bar + 1);
  }
}

// The "psid" of the payload's "orv" entry as text; absent when there is none.
std::optional<std::string> messagePushServiceID(const Dictionary& payload) {
  const Dictionary* orv = payload.getDictionary(payload_keys::kOrv);
  const Value* psID = orv ? orv->find(payload_keys::kPushServiceID) : nullptr;
  if (!psID || psID->isNull()) return std::nullopt;
  if (const std::string* text = psID->asString()) return *text;
  return describe(*psID);
}

ErrorInfo extensionError(std::int64_t code, std::string description) {
  return ErrorInfo{std::string(kServiceExtensionErrorDomain), code, std::move(description), {}};
}

void reportDownloadFailure(const AttachmentHandler& handler, const ErrorInfo& error) {
  if (logging::isOn()) logging::trace(logging::format(kDownloadErrorLine, {error.description}));
  handler(error, std::nullopt);
}

// Writes the image to a new file of its own name in `directory`; a file that
// cannot be written whole is removed again. Absent when nothing was saved.
std::optional<std::string> saveImage(const std::string& directory, std::string_view extension,
                                     std::string_view bytes) {
  std::string path = (std::filesystem::path(directory) / kImageFileTemplate).string();
  path += extension;
  const int fd = ::mkstemps(path.data(), static_cast<int>(extension.size()));
  if (fd < 0) return std::nullopt;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ::close(fd);
      ::unlink(path.c_str());
      return std::nullopt;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::close(fd) != 0) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return path;
}

void finishDownload(const HttpResult& result, std::size_t maxBytes, const std::string& directory,
                    const AttachmentHandler& handler) {
  if (result.error || !result.response) {
    reportDownloadFailure(
        handler, result.error.value_or(
                     extensionError(extension_errors::kHttpStatus,
                                    logging::format(extension_errors::kHttpStatusFormat, {"0"}))));
    return;
  }
  const HttpResponse& response = *result.response;
  // An error page is no image, whatever type it claims.
  if (response.statusCode < kFirstSuccessStatus || response.statusCode > kLastSuccessStatus) {
    reportDownloadFailure(handler,
                          extensionError(extension_errors::kHttpStatus,
                                         logging::format(extension_errors::kHttpStatusFormat,
                                                         {std::to_string(response.statusCode)})));
    return;
  }
  if (response.body.size() > maxBytes) {
    reportDownloadFailure(handler,
                          extensionError(extension_errors::kImageTooLarge,
                                         logging::format(extension_errors::kImageTooLargeFormat,
                                                         {std::to_string(maxBytes)})));
    return;
  }
  const std::string extension = PushNotificationServiceExtension::determineType(response.mimeType);
  // An image that could not be saved is not reported by itself: the
  // attachment of no file fails, and that is the error.
  const std::string saved = saveImage(directory, extension, response.body).value_or("");
  Result<NotificationAttachment> attachment =
      attachmentWithIdentifier(std::string(kAttachmentIdentifier), saved);
  if (!attachment) {
    if (!saved.empty()) ::unlink(saved.c_str());
    if (logging::isOn()) {
      logging::trace(logging::format(kAttachmentErrorLine, {attachment.error().description}));
    }
    handler(attachment.error(), std::nullopt);
    return;
  }
  handler(std::nullopt, std::move(attachment).value());
}

}  // namespace

struct PushNotificationServiceExtension::State {
  // Guards every field below; never held while calling out.
  mutable std::mutex mutex;
  ContentHandler contentHandler;
  std::optional<NotificationContent> bestAttemptContent;
  bool handedBack = false;
  std::size_t maxImageBytes = kDefaultMaxImageBytes;
  std::string temporaryDirectory;

  // The first caller with a handler hands the content back; later callers,
  // on any thread, find it done.
  static void handBack(const std::shared_ptr<State>& state) {
    ContentHandler handler;
    NotificationContent content;
    {
      std::lock_guard lock(state->mutex);
      if (state->handedBack || !state->contentHandler) return;
      state->handedBack = true;
      handler = state->contentHandler;
      if (state->bestAttemptContent) content = *state->bestAttemptContent;
    }
    handler(content);
  }
};

PushNotificationServiceExtension::PushNotificationServiceExtension()
    : state_(std::make_shared<State>()) {}

PushNotificationServiceExtension::~PushNotificationServiceExtension() = default;

void PushNotificationServiceExtension::didReceiveNotificationRequest(
    const NotificationRequest& request, ContentHandler contentHandler) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->contentHandler) state_->contentHandler = std::move(contentHandler);
    if (!state_->bestAttemptContent) state_->bestAttemptContent = request.content;
  }
  // The extension is a process of its own: the manager starts here, at once.
  std::shared_ptr<PushManager> manager = PushManager::getInstance();
  manager->initialize();

  Dictionary payload;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->bestAttemptContent) payload = state_->bestAttemptContent->userInfo;
  }
  const std::optional<std::string> psID = messagePushServiceID(payload);
  if (!psID) {
    handBackContent();
    return;
  }
  manager->feedbackEx(Value(payload), std::string(kAcknowledgementClientUID), psID,
                      [state = state_, payload](bool success) mutable {
                        if (success) {
                          // The mark tells the application's own intake not to acknowledge
                          // this payload again.
                          payload.set(std::string(payload_keys::kFeedback),
                                      Value(payload_keys::kFeedbackDone));
                          std::lock_guard lock(state->mutex);
                          if (state->bestAttemptContent)
                            state->bestAttemptContent->userInfo = std::move(payload);
                        }
                        State::handBack(state);
                      });
}

void PushNotificationServiceExtension::serviceExtensionTimeWillExpire() { handBackContent(); }

void PushNotificationServiceExtension::handBackContent() { State::handBack(state_); }

std::string PushNotificationServiceExtension::getImageURLFromOrvo(const Dictionary& payload) const {
  const Value* orv = payload.find(payload_keys::kOrv);
  if (!orv || orv->isNull()) {
    logging::trace(kNoOrvLine);
    return {};
  }
  const Dictionary* orvEntries = orv->asDictionary();
  const std::string* ext = orvEntries ? orvEntries->getString(payload_keys::kExt) : nullptr;
  if (!ext || ext->empty()) {
    logging::trace(kNoExtLine);
    return {};
  }

  if (Result<Value> parsed = parseJson(*ext); parsed.ok()) {
    // A JSON text that is not an object has no image address either.
    const Dictionary* object = parsed.value().asDictionary();
    const std::string* image = object ? object->getString(kImageUrlKey) : nullptr;
    if (image && !image->empty()) return *image;
    logging::trace(kNoJsonImageLine);
    return {};
  }

  const std::vector<std::string_view> fields = splitFields(*ext);
  for (std::string_view plain : kPlainMessageTypes) {
    if (fields[kMessageTypeField] == plain) {
      logging::trace(kPlainTypeLine);
      return {};
    }
  }
  if (fields.size() <= kImageAddressField) {
    logging::trace(kNoImageLine);
    return {};
  }
  std::string address(fields[kImageAddressField]);
  for (std::string_view lineBreak : kLineBreaks) removeAll(address, lineBreak);
  return encodedForQuery(address);
}

void PushNotificationServiceExtension::requestAttachmentImage(const std::string& address,
                                                              AttachmentHandler handler) const {
  // Nobody could take the attachment: no file is made for it.
  if (!handler) return;
  // The image server is reached like the push service's: not without consent.
  if (!detail::consentGivenNow()) {
    reportDownloadFailure(handler,
                          libraryError(errors::kConsentWithheld, errors::kConsentWithheldText));
    return;
  }
  const std::size_t maxBytes = maxImageBytes();
  const std::string directory = temporaryDirectory();
  const std::shared_ptr<const Host> host = Host::current();
  if (!host || !host->http) {
    reportDownloadFailure(handler,
                          extensionError(extension_errors::kNoHttpClient,
                                         std::string(extension_errors::kNoHttpClientText)));
    return;
  }
  if (address.empty()) {
    reportDownloadFailure(handler,
                          extensionError(extension_errors::kEmptyImageAddress,
                                         std::string(extension_errors::kEmptyImageAddressText)));
    return;
  }
  HttpRequest request;
  request.url = address;
  request.method = std::string(kDownloadMethod);
  // The client stops reading at the cap instead of holding its own larger one.
  request.maxBodyBytes = maxBytes;
  host->http->send(std::move(request),
                   [maxBytes, directory, handler = std::move(handler)](HttpResult result) {
                     finishDownload(result, maxBytes, directory, handler);
                   });
}

std::string PushNotificationServiceExtension::determineType(std::string_view mimeType) {
  for (const TypeExtension& known : kTypeExtensions) {
    if (known.mimeType == mimeType) return std::string(known.extension);
  }
  return std::string(kUnknownTypeExtension);
}

bool PushNotificationServiceExtension::isOrvo(const Dictionary& payload) {
  const Value* orv = payload.find(payload_keys::kOrv);
  return orv && !orv->isNull();
}

ContentHandler PushNotificationServiceExtension::contentHandler() const {
  std::lock_guard lock(state_->mutex);
  return state_->contentHandler;
}

void PushNotificationServiceExtension::setContentHandler(ContentHandler contentHandler) {
  std::lock_guard lock(state_->mutex);
  state_->contentHandler = std::move(contentHandler);
}

std::optional<NotificationContent> PushNotificationServiceExtension::bestAttemptContent() const {
  std::lock_guard lock(state_->mutex);
  return state_->bestAttemptContent;
}

void PushNotificationServiceExtension::setBestAttemptContent(
    std::optional<NotificationContent> content) {
  std::lock_guard lock(state_->mutex);
  state_->bestAttemptContent = std::move(content);
}

bool PushNotificationServiceExtension::contentHandedBack() const {
  std::lock_guard lock(state_->mutex);
  return state_->handedBack;
}

std::size_t PushNotificationServiceExtension::maxImageBytes() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxImageBytes;
}

void PushNotificationServiceExtension::setMaxImageBytes(std::size_t bytes) {
  std::lock_guard lock(state_->mutex);
  state_->maxImageBytes = bytes;
}

std::string PushNotificationServiceExtension::temporaryDirectory() const {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->temporaryDirectory.empty()) return state_->temporaryDirectory;
  }
  std::error_code error;
  std::filesystem::path system = std::filesystem::temp_directory_path(error);
  return error ? std::string(kFallbackTemporaryDirectory) : system.string();
}

void PushNotificationServiceExtension::setTemporaryDirectory(std::string directory) {
  std::lock_guard lock(state_->mutex);
  state_->temporaryDirectory = std::move(directory);
}

}  // namespace orvo
