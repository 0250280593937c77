#include "orvo/PushNotificationServiceExtension.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "manager/ManagerFixture.h"
#include "orvo/Json.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "orvo/testing/ScriptedHttpClient.h"

namespace orvo::test {
namespace {

constexpr const char* kAckEndpoint = "rcv_register_sent_ack.ctl";

Dictionary payloadWith(Dictionary orv) {
  return Dictionary{{"aps", Dictionary{{"alert", "Sale"}}}, {"orv", std::move(orv)}};
}

class ServiceExtensionTest : public ManagerTest {
 protected:
  ServiceExtensionTest() {
    // Every receiver call succeeds, except the acknowledgement while it is refused.
    http->setResponder([this](const HttpRequest& request) {
      const bool refused = refuseAcknowledgement && request.url.ends_with(kAckEndpoint);
      return receiverAnswer(request, refused ? "9999" : "0000");
    });
  }

  static NotificationRequest request(Dictionary payload) {
    return NotificationRequest{
        "req-1",
        NotificationContent{"Sale", "", "Shoes -20%", 3, "default", std::move(payload), {}}};
  }

  // Collects what the content handler is given, from any thread.
  ContentHandler collector() {
    return [this](const NotificationContent& content) {
      std::lock_guard lock(handedMutex);
      handed.push_back(content);
    };
  }
  std::vector<NotificationContent> handedBack() {
    std::lock_guard lock(handedMutex);
    return handed;
  }
  std::size_t ackRequests() const {
    std::size_t count = 0;
    for (const auto& sent : http->requests()) count += sent.url.ends_with(kAckEndpoint);
    return count;
  }

  bool refuseAcknowledgement = false;
  std::mutex handedMutex;
  std::vector<NotificationContent> handed;
};

TEST_F(ServiceExtensionTest, AcknowledgementMarksThePayloadOnlyWhenItSucceeds) {
  // Without "psid" (or without "orv") the content goes back at once, as it came.
  for (const Dictionary& payload :
       {payloadWith({{"ext", "1|t|x"}}), Dictionary{{"aps", Dictionary{{"alert", "Hi"}}}}}) {
    handed.clear();
    PushNotificationServiceExtension extension;
    extension.didReceiveNotificationRequest(request(payload), collector());
    ASSERT_EQ(handedBack().size(), 1u);
    EXPECT_EQ(handedBack()[0], request(payload).content);
    EXPECT_EQ(PushNotificationServiceExtension::isOrvo(payload), payload.contains("orv"));
  }
  drain();
  EXPECT_EQ(http->requestCount(), 0u);
  ASSERT_NE(PushManager::getInstance()->info(), nullptr);  // started synchronously

  // Success marks the payload, which becomes the content's user information;
  // a failure hands it back unmarked (both also held through the emulator).
  // A handler set before the default handling is the one that is kept.
  const Dictionary payload = payloadWith({{"psid", "p-1"}, {"seqno", "7"}});
  for (bool refused : {false, true}) {
    refuseAcknowledgement = refused;
    handed.clear();
    PushNotificationServiceExtension extension;
    extension.setContentHandler(collector());
    extension.didReceiveNotificationRequest(request(payload),
                                            [](const NotificationContent&) { FAIL(); });
    EXPECT_TRUE(handedBack().empty());  // waits for the answer
    drain();
    Dictionary marked = payload;
    if (!refused) marked.set("feedback", "true");
    EXPECT_EQ(handedBack(), std::vector<NotificationContent>{request(marked).content});
    // The payload's own push service ID, not the record's (which has none).
    EXPECT_EQ(ScriptedHttpClient::decodeForm(http->requests().back().body).get("PSID"),
              Value("p-1"));
  }
  EXPECT_EQ(ackRequests(), 2u);
}

TEST_F(ServiceExtensionTest, ImageAddressFromJsonOrBarSeparatedExt) {
  host.setLogging(true);
  const std::string noOrv = "[PushNotificationServiceExtension] message no orv";
  const std::string noExt = "[PushNotificationServiceExtension] message no ext";
  const std::string noJson = "[PushNotificationServiceExtension] message no imageUrl from JSON";
  const std::string plain = "[PushNotificationServiceExtension] defaultMessageType (0,4,6)";
  const std::string noImage = "[PushNotificationServiceExtension] message no imageUrl";
  struct Case {
    Dictionary payload;
    std::string address;
    std::string line;  // "" when an address is found
  };
  const Case cases[] = {
      {payloadWith({{"ext", R"({"imageUrl":"x"})"}}), "x", ""},
      {payloadWith({{"ext", R"({"imageUrl":"http://i/a b.png"})"}}), "http://i/a b.png", ""},
      {payloadWith({{"ext", "1|t|x"}}), "x", ""},
      {payloadWith({{"ext", "1|t|x|more"}}), "x", ""},
      {payloadWith({{"ext", "4|t|x"}}), "", plain},
      {payloadWith({{"ext", "0|t|x"}}), "", plain},
      {payloadWith({{"ext", "6|t|x"}}), "", plain},
      {payloadWith({{"ext", "1|t"}}), "", noImage},
      {payloadWith({{"ext", "1|t|"}}), "", ""},
      {payloadWith({{"ext", "1|t|https://img.example.com/p ic\n\r.jpg\r\n"}}),
       "https://img.example.com/p%20ic.jpg", ""},
      {payloadWith({{"ext", "1|t|https://i.example.com/\xC3\xA9.png?w=1&h=2#top\"<%>"}}),
       "https://i.example.com/%C3%A9.png?w=1&h=2%23top%22%3C%25%3E", ""},
      {payloadWith({{"ext", R"(["imageUrl","x"])"}}), "", noJson},
      {payloadWith({{"ext", R"({"imageUrl":""})"}}), "", noJson},
      {payloadWith({{"ext", R"({"imageUrl":5})"}}), "", noJson},
      {payloadWith({{"ext", ""}}), "", noExt},
      {payloadWith({{"ext", 12}}), "", noExt},
      {payloadWith({}), "", noExt},
      {Dictionary{{"aps", Dictionary{}}}, "", noOrv},
  };
  PushNotificationServiceExtension extension;
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.payload));
    host.log->clear();
    EXPECT_EQ(extension.getImageURLFromOrvo(c.payload), c.address);
    if (c.line.empty()) {
      EXPECT_TRUE(host.log->lines().empty());
    } else {
      EXPECT_EQ(host.log->lines(), std::vector<std::string>{c.line});
    }
  }

  const std::pair<const char*, const char*> types[] = {
      {"image/jpeg", ".jpg"}, {"image/gif", ".gif"}, {"image/png", ".png"},
      {"image/webp", ".tmp"}, {"text/html", ".tmp"}, {"", ".tmp"}};
  for (const auto& [mime, extension] : types) {
    EXPECT_EQ(PushNotificationServiceExtension::determineType(mime), extension) << mime;
  }
}

TEST_F(ServiceExtensionTest, DownloadedImageBecomesAnAttachmentOrLeavesNoFile) {
  host.setLogging(true);
  TempDir downloads;
  PushNotificationServiceExtension extension;
  extension.setTemporaryDirectory(downloads.path());
  extension.setMaxImageBytes(16);
  EXPECT_EQ(PushNotificationServiceExtension().maxImageBytes(), 5u * 1024 * 1024);

  struct Outcome {
    int calls = 0;
    std::optional<ErrorInfo> error;
    std::optional<NotificationAttachment> attachment;
  };
  auto fetch = [&](const std::string& address, std::optional<HttpResult> answer) {
    if (answer) http->enqueue(std::move(*answer));
    Outcome outcome;
    host.log->clear();
    extension.requestAttachmentImage(
        address, [&outcome](const std::optional<ErrorInfo>& error,
                            const std::optional<NotificationAttachment>& attachment) {
          ++outcome.calls;
          outcome.error = error;
          outcome.attachment = attachment;
        });
    host.runLoop->runUntilIdle();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_NE(outcome.error.has_value(), outcome.attachment.has_value());
    return outcome;
  };
  auto image = [](long status, std::string mime, std::size_t bytes) {
    return HttpResult{HttpResponse{status, {}, std::move(mime), "", std::string(bytes, 'i')}, {}};
  };

  // At the cap: saved under its own name with the type's extension.
  Outcome ok = fetch("https://img.example.com/a.png", image(200, "image/png", 16));
  ASSERT_TRUE(ok.attachment);
  const std::filesystem::path saved(ok.attachment->url);
  EXPECT_EQ(saved.parent_path(), std::filesystem::path(downloads.path()));
  EXPECT_EQ(saved.extension(), ".png");
  std::ifstream in(saved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(16, 'i'));
  EXPECT_EQ(http->requests().back().maxBodyBytes, 16u);  // the client stops at the cap
  std::filesystem::remove(saved);

  // One byte over the cap.
  Outcome large = fetch("https://img.example.com/b.jpg", image(200, "image/jpeg", 17));
  ASSERT_TRUE(large.error);
  EXPECT_EQ(large.error->domain, kServiceExtensionErrorDomain);
  EXPECT_EQ(large.error->code, extension_errors::kImageTooLarge);
  EXPECT_TRUE(
      host.log->contains("Error with downloading rich push: The image is larger than 16 bytes"));

  // Nothing to download from; nowhere to save to.
  const std::size_t sent = http->requestCount();
  Outcome empty = fetch("", std::nullopt);
  ASSERT_TRUE(empty.error);
  EXPECT_EQ(empty.error->code, extension_errors::kEmptyImageAddress);
  EXPECT_EQ(http->requestCount(), sent);
  PushNotificationServiceExtension nowhere;
  nowhere.setTemporaryDirectory(downloads.path() + "/gone");
  Outcome unsaved;
  http->enqueue(image(200, "image/png", 4));
  nowhere.requestAttachmentImage("https://img.example.com/f.png",
                                 [&](const auto& error, const auto& attachment) {
                                   unsaved.error = error;
                                   unsaved.attachment = attachment;
                                 });
  host.log->clear();
  host.runLoop->runUntilIdle();
  // Not saved shows as an attachment of no file.
  ASSERT_TRUE(unsaved.error);
  EXPECT_EQ(unsaved.error->domain, kNotificationAttachmentErrorDomain);
  EXPECT_EQ(unsaved.error->code, attachment_errors::kFileMissing);
  EXPECT_EQ(host.log->lines(), std::vector<std::string>{"Error with the rich push attachment: " +
                                                        unsaved.error->description});

  EXPECT_TRUE(std::filesystem::is_empty(downloads.path()));
}

TEST_F(ServiceExtensionTest, TimeRunningOutHandsTheContentBackOnce) {
  const Dictionary payload = payloadWith({{"psid", "p-1"}});
  {
    PushNotificationServiceExtension extension;
    extension.didReceiveNotificationRequest(request(payload), collector());
    extension.serviceExtensionTimeWillExpire();
    ASSERT_EQ(handedBack().size(), 1u);
    EXPECT_EQ(handedBack()[0].userInfo, payload);  // before the answer: unmarked
    EXPECT_TRUE(extension.contentHandedBack());
    drain();  // the acknowledgement succeeds afterwards
    extension.serviceExtensionTimeWillExpire();
    EXPECT_EQ(ackRequests(), 1u);
    EXPECT_EQ(handedBack().size(), 1u);
    EXPECT_EQ(extension.bestAttemptContent()->userInfo.get("feedback"), Value("true"));
  }

  // The answer on the main queue and the time limit on another thread.
  constexpr int kRounds = 200;
  int handedOnce = 0;
  for (int round = 0; round < kRounds; ++round) {
    handed.clear();
    PushNotificationServiceExtension extension;
    extension.didReceiveNotificationRequest(request(payload), collector());
    std::atomic<bool> go{false};
    std::thread timer([&] {
      while (!go) std::this_thread::yield();
      extension.serviceExtensionTimeWillExpire();
    });
    go = true;
    drain();
    timer.join();
    drain();
    handedOnce += handedBack().size() == 1;
  }
  EXPECT_EQ(handedOnce, kRounds);
}

}  // namespace
}  // namespace orvo::test
