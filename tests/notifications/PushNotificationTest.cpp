#include "orvo/PushNotification.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/TestHost.h"

namespace orvo {
namespace {

TEST(PushNotificationTest, DerivedValuesAndStatusTexts) {
  test::TestHost host;
  const Dictionary alert{{"title", "Hi"}, {"body", "there"}};
  auto full = PushNotification::create({{"aps", Dictionary{{"alert", alert}, {"badge", 3}}},
                                        {"orv", Dictionary{{"ext", "img=1"}, {"psid", "p9"}}}},
                                       PushNotification::kStatusActive, host.device);
  EXPECT_EQ(full->title(), Value(alert));  // as stored, even a dictionary
  EXPECT_EQ(full->ext(), Value("img=1"));
  EXPECT_EQ(full->aps().asDictionary()->get("badge"), Value(3));
  EXPECT_EQ(full->orv().asDictionary()->get("psid"), Value("p9"));
  EXPECT_FALSE(full->isExpired());
  EXPECT_FALSE(full->extComponent() || full->richData());

  auto noAps = PushNotification::create({{"orv", Dictionary{{"ext", 5}}}}, 1, host.device);
  EXPECT_TRUE(noAps->aps().isNull() && noAps->title().isNull());
  EXPECT_EQ(noAps->ext(), Value(5));

  auto noOrv = PushNotification::create({{"aps", Dictionary{{"alert", "a"}}}}, 1, host.device);
  EXPECT_TRUE(noOrv->orv().isNull() && noOrv->ext().isNull());
  EXPECT_EQ(noOrv->title(), Value("a"));

  // A step that is not a dictionary ends the path.
  auto flat = PushNotification::create({{"aps", "alert"}, {"orv", Array{}}}, 1, host.device);
  EXPECT_EQ(flat->aps(), Value("alert"));
  EXPECT_TRUE(flat->title().isNull() && flat->ext().isNull());

  const std::pair<std::int64_t, std::string_view> statuses[] = {{0, "UNKNOWN"},    {1, "START"},
                                                                {2, "ACTIVE"},     {3, "UNKNOWN"},
                                                                {4, "BACKGROUND"}, {7, "UNKNOWN"}};
  for (const auto& [status, text] : statuses) {
    EXPECT_EQ(PushNotification::create({}, status, host.device)->statusString(), text) << status;
  }
}

TEST(PushNotificationTest, MessageUIDsAreFreshAndWithoutDashes) {
  test::TestHost host;
  host.device->queueUUID("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
  const Dictionary payload{{"aps", Dictionary{{"alert", "same"}}}};
  auto first = PushNotification::create(payload, 2, host.device);
  auto second = PushNotification::create(payload, 2, host.device);
  EXPECT_EQ(first->messageUID(), "M_0A1B2C3D4E5F4A6B8C7D9E0F1A2B3C4D");
  EXPECT_EQ(second->messageUID(), "M_00000000000040008000000000000002");

  // Without a device the machine's own UUIDs serve, in the same form.
  const std::regex form("M_[0-9A-F]{32}");
  auto a = PushNotification::create(payload, 2, nullptr);
  auto b = PushNotification::create(payload, 2, nullptr);
  EXPECT_TRUE(std::regex_match(a->messageUID(), form)) << a->messageUID();
  EXPECT_TRUE(std::regex_match(b->messageUID(), form)) << b->messageUID();
  EXPECT_NE(a->messageUID(), b->messageUID());
}

}  // namespace
}  // namespace orvo
