// Asking a running device for a fresh push-doctor report: an event on its
// gateway stream that is no delivery.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"

namespace orvo::test {
namespace {

constexpr const char* kAsk = "/__admin/devices/doctor/request";

TEST(DoctorRequestTest, RefusalsNameWhatIsWrong) {
  RunningEmulator emu;
  const std::string idle = R"({"psid": ")" + emu.token("idle-phone") + R"(")";
  httplib::Client client(emu.url());
  const std::vector<std::tuple<const char*, std::string, int, const char*>> rows{
      {kAsk, "{", 400, "JSON"},
      {kAsk, R"({"psid": 5})", 400, "psid"},
      {kAsk, R"({"psid": "p", "when": 1})", 400, "when"},
      {kAsk, R"({"psid": "feed"})", 404, "no device with that psid"},
      {kAsk, idle + "}", 409, "no open gateway stream"},
      {"/__admin/devices/doctor", idle + R"(, "text": "t", "request": 9})", 400, "never asked"},
  };
  for (const auto& [path, body, status, answerHas] : rows) {
    SCOPED_TRACE(body);
    const auto reply = client.Post(path, body, "application/json");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status);
    EXPECT_NE(reply->body.find(answerHas), std::string::npos) << reply->body;
  }
}

TEST(DoctorRequestTest, TheStreamCarriesTheRequestAsNoDelivery) {
  RunningEmulator emu;
  const std::string psid = emu.registerDevice("app.doctor", "dora");
  GatewayStream first(emu.emulator().port(), psid);
  ASSERT_TRUE(first.waitConnected());
  const Reply asked = emu.post(kAsk, {{"psid", psid}});
  ASSERT_EQ(asked.status, 202) << asked.body;
  ASSERT_EQ(emu.post("/__admin/send", {{"device", psid}, {"message", "hi"}}).status, 200);
  // The request comes first, without an id; the delivery keeps its own.
  const auto events = first.waitFor(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, 0);
  EXPECT_EQ(events[0].payload, Json({{"request", asked.json["request"]}}));
  EXPECT_EQ(events[1].payload["aps"]["alert"], "hi");

  // Replayed from the start, the stream holds the delivery and not the request.
  GatewayStream second(emu.emulator().port(), psid, "0");
  ASSERT_TRUE(second.waitConnected());
  ASSERT_EQ(emu.post(kAsk, {{"psid", psid}}).status, 202);
  const auto replayed = second.waitFor(2);
  ASSERT_EQ(replayed.size(), 2u);
  EXPECT_EQ(replayed[0].id, events[1].id);
  EXPECT_EQ(replayed[1].id, 0);
  EXPECT_EQ(emu.list("messages").size(), 1u);
  EXPECT_NE(emu.get("/metrics").body.find("orvo_emulator_events_streamed_total 2\n"),
            std::string::npos);
}

}  // namespace
}  // namespace orvo::test
