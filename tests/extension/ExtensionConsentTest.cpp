// The service extension under the consent gate: nothing goes out without it.
#include <gtest/gtest.h>

#include "manager/ManagerFixture.h"
#include "orvo/PushErrors.h"
#include "orvo/PushNotificationServiceExtension.h"

namespace orvo::test {
namespace {

class ExtensionConsentTest : public ManagerTest {
 protected:
  ExtensionConsentTest()
      : ManagerTest(ManifestOptions{.storage = true,
                                    .extra = "<consent><required>true</required></consent>"}) {}
};

TEST_F(ExtensionConsentTest, NeitherAcknowledgesNorDownloadsWithoutConsent) {
  started();
  NotificationRequest request;
  request.content.userInfo = Dictionary{{"orv", Dictionary{{"psid", "ab12"}, {"seqno", "3"}}}};
  PushNotificationServiceExtension extension;
  int handedBack = 0;
  extension.didReceiveNotificationRequest(request,
                                          [&](const NotificationContent&) { ++handedBack; });
  std::optional<ErrorInfo> imageError;
  extension.requestAttachmentImage("https://img.example.com/a.png",
                                   [&](const auto& error, const auto&) { imageError = error; });
  host.runLoop->runUntilIdle();
  EXPECT_EQ(http->requestCount(), 0u);
  EXPECT_EQ(handedBack, 1);
  ASSERT_TRUE(imageError);
  EXPECT_EQ(imageError->code, errors::kConsentWithheld);
}

}  // namespace
}  // namespace orvo::test
