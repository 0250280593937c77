// Asking a running device for a fresh push-doctor report: an event on its
// gateway stream that is no delivery, and the report that answers it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <vector>

#include "Gateway.h"
#include "emulator/EmulatorHarness.h"
#include "orvo/platform/CurlHttpClient.h"
#include "orvo/platform/GatewayClient.h"
#include "orvo/platform/RunLoop.h"
#include "orvo/testing/CapturingLogSink.h"

namespace orvo::test {
namespace {

constexpr const char* kAsk = "/__admin/devices/doctor/request";

TEST(DoctorRequestTest, RefusalsNameWhatIsWrong) {
  RunningEmulator emu;
  const std::string psid = emu.token("idle-phone");
  httplib::Client client(emu.url());
  struct Row {
    const char* what;
    const char* method;
    std::string path;
    std::string body;
    int status;
    const char* answerHas;
  };
  const std::vector<Row> rows{
      {"not JSON", "POST", kAsk, "{", 400, "JSON"},
      {"no psid", "POST", kAsk, "{}", 400, "psid"},
      {"psid not text", "POST", kAsk, R"({"psid": 5})", 400, "psid"},
      {"unknown field", "POST", kAsk, R"({"psid": "p", "when": 1})", 400, "when"},
      {"unknown device", "POST", kAsk, R"({"psid": "feed"})", 404, "no device with that psid"},
      {"no stream", "POST", kAsk, R"({"psid": ")" + psid + R"("})", 409, "no open gateway stream"},
      {"read", "GET", kAsk, "", 405, "takes POST"},
      {"report answers a request never made", "POST", "/__admin/devices/doctor",
       R"({"psid": ")" + psid + R"(", "text": "t", "request": 99})", 400, "never asked"},
      {"request number not whole", "POST", "/__admin/devices/doctor",
       R"({"psid": ")" + psid + R"(", "text": "t", "request": "1"})", 400, "request"},
      {"unknown format", "GET", "/__admin/devices/doctor?psid=" + psid + "&format=xml", "", 400,
       "format must be json or text"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const auto reply = std::string(row.method) == "GET"
                           ? client.Get(row.path)
                           : client.Post(row.path, row.body, "application/json");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, row.status);
    EXPECT_NE(reply->body.find(row.answerHas), std::string::npos) << reply->body;
  }
}

TEST(DoctorRequestTest, TheStreamCarriesTheRequestAsNoDelivery) {
  RunningEmulator emu;
  const std::string psid = emu.registerDevice("app.doctor", "dora");
  GatewayStream first(emu.emulator().port(), psid);
  ASSERT_TRUE(first.waitConnected());
  const Reply asked = emu.post(kAsk, {{"psid", psid}});
  ASSERT_EQ(asked.status, 202) << asked.body;
  const long long number = asked.json.value("request", 0LL);
  EXPECT_GE(number, 1);
  ASSERT_EQ(emu.post("/__admin/send", {{"device", psid}, {"message", "hi"}}).status, 200);

  // The request comes first, without an id; the delivery keeps its own.
  const auto events = first.waitFor(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, 0);
  EXPECT_EQ(events[0].payload, Json({{"request", number}}));
  EXPECT_GE(events[1].id, 1);
  EXPECT_EQ(events[1].payload["aps"]["alert"], "hi");

  // Replayed from the start, the stream holds the delivery and not the request.
  GatewayStream second(emu.emulator().port(), psid, "0");
  ASSERT_TRUE(second.waitConnected());
  ASSERT_EQ(emu.post(kAsk, {{"psid", psid}}).status, 202);
  const auto replayed = second.waitFor(2);
  ASSERT_EQ(replayed.size(), 2u);
  EXPECT_EQ(replayed[0].id, events[1].id);
  EXPECT_EQ(replayed[1].payload, Json({{"request", number + 1}}));
  EXPECT_EQ(emu.list("messages").size(), 1u);
  EXPECT_NE(emu.get("/metrics").body.find("orvo_emulator_events_streamed_total 2\n"),
            std::string::npos);

  // The device's answer names the request; the reader sees which it is.
  ASSERT_EQ(emu.post("/__admin/devices/doctor",
                     {{"psid", psid}, {"text", "All clear"}, {"request", number + 1}})
                .status,
            200);
  const Reply json = emu.get("/__admin/devices/doctor?format=json&psid=" + psid);
  EXPECT_EQ(json.json.value("request", 0LL), number + 1);
  EXPECT_EQ(json.json.value("text", ""), "All clear");
  EXPECT_EQ(json.json.value("reported_at", "").size(), 24u) << json.body;
  const Reply text = emu.get("/__admin/devices/doctor?psid=" + psid);
  EXPECT_NE(text.body.find(", answering request " + std::to_string(number + 1) + "\n\nAll clear"),
            std::string::npos)
      << text.body;
}

// The library's side: the request reaches the control handler, never the
// payload handler; without a control handler it is only logged.
TEST(DoctorRequestTest, TheGatewayClientHandsOtherEventsToItsControlHandler) {
  RunningEmulator emu;
  for (const bool handled : {true, false}) {
    SCOPED_TRACE(handled ? "with a control handler" : "without one");
    auto loop = std::make_shared<RunLoop>();
    auto log = std::make_shared<CapturingLogSink>();
    auto client = GatewayClient::make({emu.url(), handled ? "with" : "without", {}},
                                      std::make_shared<CurlHttpClient>(loop), loop, log);
    int payloads = 0;
    std::vector<std::pair<std::string, std::string>> controls;
    client->setPayloadHandler([&](const std::string&, const Dictionary&) { ++payloads; });
    if (handled)
      client->setControlHandler([&](const std::string& type, const std::string& data) {
        controls.emplace_back(type, data);
      });
    client->requestToken(nullptr);
    auto& gateway = emu.emulator().service().gateway();
    ASSERT_TRUE(loop->runUntil([&] { return gateway.openStreams.load() == 1; }, kEmulatorWait));
    const Reply asked = emu.post(kAsk, {{"psid", client->token()}});
    ASSERT_EQ(asked.status, 202) << asked.body;
    const std::string data = Json({{"request", asked.json["request"]}}).dump();
    EXPECT_TRUE(loop->runUntil(
        [&] { return !controls.empty() || log->contains("Gateway: no handler for event doctor"); },
        kEmulatorWait));
    using Controls = std::vector<std::pair<std::string, std::string>>;
    const Controls expected = handled ? Controls{{"doctor", data}} : Controls{};
    EXPECT_EQ(controls, expected);
    EXPECT_EQ(payloads, 0);
    client->stop();
    ASSERT_TRUE(loop->runUntil([&] { return gateway.openStreams.load() == 0; }, kEmulatorWait));
  }
}

}  // namespace
}  // namespace orvo::test
