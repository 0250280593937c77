// A notification service extension: attaches the image a rich notification
// names, then lets the library acknowledge the delivery and hand the content
// back. The platform starts one such process per notification; here the
// payload comes on standard input, e.g. one the emulator delivered whose
// "ext" is {"imageUrl": "http://127.0.0.1:8750/images/sample.png"}.
//
//   service-extension BUNDLE_DIR < payload.json
#include <orvo/Json.h>
#include <orvo/PushNotificationServiceExtension.h>
#include <orvo/platform/Host.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string>

class ImageExtension : public orvo::PushNotificationServiceExtension {
 public:
  void didReceiveNotificationRequest(const orvo::NotificationRequest& request,
                                     orvo::ContentHandler contentHandler) override {
    const std::string address = getImageURLFromOrvo(request.content.userInfo);
    if (address.empty()) {
      PushNotificationServiceExtension::didReceiveNotificationRequest(request, contentHandler);
      return;
    }
    requestAttachmentImage(address, [this, request, contentHandler](
                                        const std::optional<orvo::ErrorInfo>& error,
                                        const std::optional<orvo::NotificationAttachment>& image) {
      orvo::NotificationContent content = request.content;
      if (image) content.attachments.push_back(*image);
      if (error) std::fprintf(stderr, "no image: %s\n", error->description.c_str());
      setBestAttemptContent(content);
      PushNotificationServiceExtension::didReceiveNotificationRequest(request, contentHandler);
    });
  }
};

int main(int argc, char** argv) {
  std::error_code error;
  if (argc != 2 || !std::filesystem::is_directory(argv[1], error)) {
    std::fprintf(stderr, "usage: %s BUNDLE_DIR < payload.json\n", argv[0]);
    if (argc == 2) std::fprintf(stderr, "%s: BUNDLE_DIR %s is not a directory\n", argv[0], argv[1]);
    return 2;
  }
  const std::string text{std::istreambuf_iterator<char>(std::cin), {}};
  auto payload = orvo::parseJson(text);
  if (!payload || !payload.value().isDictionary()) {
    std::fprintf(stderr, "the payload is not a JSON object\n");
    return 1;
  }
  auto loop = std::make_shared<orvo::RunLoop>();
  orvo::DesktopHostOptions options;
  options.bundleDirectory = argv[1];
  // An extension shares its application's identity: minimal-app's here.
  options.bundleIdentifier = "com.example.minimal-app";
  options.mainQueue = loop;
  orvo::Host::setCurrent(orvo::makeDesktopHost(options));

  orvo::NotificationRequest request;
  request.identifier = "example";
  request.content.userInfo = *payload.value().asDictionary();
  bool done = false;
  ImageExtension extension;
  extension.didReceiveNotificationRequest(request, [&](const orvo::NotificationContent& content) {
    std::printf("acknowledged: %s\n",
                content.userInfo.get("feedback").stringOr("") == "true" ? "yes" : "no");
    for (const auto& attachment : content.attachments)
      std::printf("attachment: %s\n", attachment.url.c_str());
    done = true;
  });
  // The platform gives an extension about thirty seconds.
  if (!loop->runUntil([&] { return done; }, std::chrono::seconds(30)))
    extension.serviceExtensionTimeWillExpire();
  orvo::Host::setCurrent(nullptr);
  return 0;
}
