// The service extension under the consent gate: without consent it neither
// acknowledges nor downloads; with it, both go out.
#include <gtest/gtest.h>

#include <algorithm>

#include "manager/ManagerFixture.h"
#include "orvo/PushErrors.h"
#include "orvo/PushNotificationServiceExtension.h"

namespace orvo::test {
namespace {

ManifestOptions consentRequired() {
  ManifestOptions options;
  options.storage = true;
  options.extra = "<consent><required>true</required></consent>";
  return options;
}

class ExtensionConsentTest : public ManagerTest {
 protected:
  ExtensionConsentTest() : ManagerTest(consentRequired()) {
    http->setResponder([](const HttpRequest& request) {
      if (request.url.ends_with(".png"))
        return HttpResult{HttpResponse{200, {}, "image/png", "", "png"}, {}};
      return ScriptedHttpClient::jsonAnswer(receiverEnvelope({{"AUTHKEY", "k"}}));
    });
  }
};

TEST_F(ExtensionConsentTest, NothingGoesOutUntilConsentIsGiven) {
  const Dictionary payload{{"aps", Dictionary{{"alert", "Sale"}}},
                           {"orv", Dictionary{{"psid", "ab12"}, {"seqno", "3"}}}};
  const NotificationRequest request{
      "req-1", NotificationContent{"Sale", "", "Shoes", 0, "default", payload, {}}};
  auto manager = started();
  struct Row {
    bool consent;
    std::vector<std::string> endpoints;  // the requests' last path components, sorted
    std::optional<std::int64_t> imageError;
  };
  const Row rows[] = {
      {false, {}, errors::kConsentWithheld},
      {true, {"a.png", "asking_authorization.ctl", "rcv_register_sent_ack.ctl"}, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.consent ? "consent given" : "consent withheld");
    manager->setConsentGiven(row.consent);
    host.runLoop->runUntilIdle();
    http->clearRequests();
    PushNotificationServiceExtension extension;
    int handedBack = 0;
    extension.didReceiveNotificationRequest(request,
                                            [&](const NotificationContent&) { ++handedBack; });
    std::optional<ErrorInfo> imageError;
    extension.requestAttachmentImage(
        "https://img.example.com/a.png",
        [&](const std::optional<ErrorInfo>& error, const auto&) { imageError = error; });
    host.runLoop->runUntilIdle();
    std::vector<std::string> endpoints;
    for (const auto& sent : http->requests())
      endpoints.push_back(sent.url.substr(sent.url.rfind('/') + 1));
    std::sort(endpoints.begin(), endpoints.end());
    EXPECT_EQ(endpoints, row.endpoints);
    EXPECT_EQ(handedBack, 1);
    EXPECT_EQ(imageError ? std::optional(imageError->code) : std::nullopt, row.imageError);
  }
}

}  // namespace
}  // namespace orvo::test
