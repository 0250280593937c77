// The "ext" of a rich notification, in its JSON form or its "|" form, to the
// image address the extension downloads, and the download itself: the
// attachment handler runs exactly once, with an attachment or an error,
// never both, and no file is left behind for an error.
#include <filesystem>

#include "FuzzSupport.h"
#include "orvo/PushNotificationServiceExtension.h"
#include "orvo/testing/ScriptedHttpClient.h"

using namespace orvo;

namespace {

constexpr std::string_view kPng = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR";
constexpr long kStatuses[] = {200, 404, 500, 204};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::TestHost& host = fuzz::host();
  static auto http = [] {
    auto client = std::make_shared<ScriptedHttpClient>(fuzz::host().runLoop);
    fuzz::host().host->http = client;
    return client;
  }();
  static const std::string scratch = fuzz::host().bundleDir.path() + "/attachments";
  static PushNotificationServiceExtension extension;

  fuzz::Input input(data, size);
  const std::uint8_t choice = input.byte();
  const long status = kStatuses[choice % std::size(kStatuses)];
  const std::string contentType = (choice & 4) != 0 ? "image/png" : "application/octet-stream";
  const Dictionary payload{{"aps", Dictionary{{"alert", "hi"}, {"mutable-content", 1}}},
                           {"orv", Dictionary{{"psid", "p"}, {"ext", std::string(input.rest())}}}};

  (void)PushNotificationServiceExtension::isOrvo(payload);
  const std::string address = extension.getImageURLFromOrvo(payload);
  if (address.empty()) return 0;
  FUZZ_CHECK(address.find_first_of("\r\n") == std::string::npos,
             "an image address holds no line break");

  std::filesystem::create_directories(scratch);
  extension.setTemporaryDirectory(scratch);
  extension.setMaxImageBytes(64);
  http->setResponder([status, contentType](const HttpRequest&) {
    return HttpResult{HttpResponse{status, {}, contentType, "", std::string(kPng)}, {}};
  });
  int calls = 0;
  bool failed = false;
  extension.requestAttachmentImage(
      address, [&](const std::optional<ErrorInfo>& error,
                   const std::optional<NotificationAttachment>& attachment) {
        ++calls;
        failed = error.has_value();
        FUZZ_CHECK(error.has_value() != attachment.has_value(), "an error or an attachment");
      });
  host.runLoop->runUntilIdle();
  http->clearRequests();
  FUZZ_CHECK(calls == 1, "the attachment handler runs exactly once");
  if (failed) {
    FUZZ_CHECK(std::filesystem::is_empty(scratch), "a failed download leaves no file");
  }
  std::filesystem::remove_all(scratch);
  return 0;
}
