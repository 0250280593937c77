// The payload each device is sent, as the emulator stores and streams it: the
// exact JSON text of {"aps", "orv"} with the device's token and badge, whatever
// the message, the extension text or the token hold.
#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Emulator.h"
#include "State.h"

namespace orvo::emulator {
namespace {

constexpr const char* kApp = "com.example.fanout";

class FanOutTest : public ::testing::Test {
 protected:
  FanOutTest() {
    EmulatorOptions options;
    options.quiet = true;
    emulator = std::make_unique<Emulator>(options);
    std::string error;
    EXPECT_TRUE(emulator->start(error)) << error;
    client = std::make_unique<httplib::Client>(emulator->url());
  }

  Json body(const httplib::Result& result) {
    EXPECT_TRUE(result && result->status == 200) << (result ? result->body : "no answer");
    return result ? Json::parse(result->body, nullptr, false) : Json();
  }
  Json post(const std::string& path, const Json& json) {
    return body(client->Post(path.c_str(), json.dump(), "application/json"));
  }
  void registerDevice(const std::string& deviceId, const std::string& psid,
                      const std::string& cuid) {
    Json auth =
        body(client->Post("/asking_authorization.ctl",
                          httplib::Params{{"APP_ID", kApp}, {"CUID", cuid}, {"PSID", psid}}));
    Json registered = body(client->Post("/new_rcv_register_service_and_user.ctl",
                                        httplib::Params{{"PNSID", "APNS"},
                                                        {"APP_ID", kApp},
                                                        {"DEVICE_ID", deviceId},
                                                        {"DEVICE_TYPE", "I"},
                                                        {"PSID", psid},
                                                        {"CUID", cuid},
                                                        {"CNAME", cuid},
                                                        {"PHONENUM", ""},
                                                        {"AUTHKEY", auth["BODY"]["AUTHKEY"]}}));
    ASSERT_EQ(registered["HEADER"]["RESULT_CODE"], "0000") << registered.dump();
    devices[deviceId] = {psid, auth["BODY"]["AUTHKEY"]};
  }
  // The envelope's BODY of a receiver call made by a registered device.
  Json fromDevice(const std::string& deviceId, const std::string& endpoint,
                  httplib::Params fields) {
    const auto& [psid, key] = devices.at(deviceId);
    fields.emplace("APP_ID", kApp);
    fields.emplace("AUTHKEY", key);
    fields.emplace(endpoint == "rcv_init_badgeNo.ctl" ? "DEVICE_ID" : "PSID",
                   endpoint == "rcv_init_badgeNo.ctl" ? deviceId : psid);
    const Json answer = body(client->Post(("/" + endpoint).c_str(), fields));
    EXPECT_EQ(answer["HEADER"]["RESULT_CODE"], "0000") << answer.dump();
    return answer["BODY"];
  }

  std::map<std::string, std::pair<std::string, std::string>> devices;  // PSID and AUTHKEY
  std::unique_ptr<Emulator> emulator;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(FanOutTest, EachDeviceGetsTheExactPayloadWithItsTokenAndBadge) {
  // A token the platform would not issue, but a client may register.
  const std::string odd = R"(tok"b\)";
  registerDevice("d1", "tok-a", "u1");
  registerDevice("d2", odd, "u1");
  registerDevice("d3", "tok-c", "u2");
  const std::string tricky =
      "say \"hi\" \\ \"psid\":\"\" \"badge\":0 {\"aps\":1}\nline two, \xc3\xbc \xe2\x9c\x93";

  struct Case {
    // To /__admin/send; with "from", that device's rcv_register_message.ctl to "user".
    Json send;
    std::map<std::string, std::int64_t> badges;  // by token; none for a silent send
    // Else the send is not read back, and the next one finds its writes still in memory.
    bool readBack = true;
    std::function<void()> before = nullptr;
  };
  const std::vector<Case> cases = {
      {{{"user", "u1"}, {"message", "plain"}}, {{"tok-a", 1}, {odd, 1}}},
      {{{"user", "u1"}, {"message", tricky}, {"ext", R"({"url":"a\"b"})"}},
       {{"tok-a", 2}, {odd, 2}}},
      {{{"user", "u1"}, {"message", "set"}, {"badge", 7}}, {{"tok-a", 7}, {odd, 7}}},
      {{{"user", "u1"}, {"message", ""}, {"silent", true}}, {}},
      {{{"user", "u1"}, {"message", "after"}}, {{"tok-a", 8}, {odd, 8}}},
      {{{"device", "d3"}, {"message", "one"}}, {{"tok-c", 1}}},
      {{{"from", "d1"}, {"user", "u1"}, {"message", "r1"}}, {{"tok-a", 9}, {odd, 9}}, false},
      {{{"from", "d1"}, {"user", "u1"}, {"message", "r2"}}, {{"tok-a", 10}, {odd, 10}}},
      {{{"from", "d1"}, {"user", "u1"}, {"message", "r3"}}, {{"tok-a", 11}, {odd, 11}}, false},
      {{{"from", "d1"}, {"user", "u1"}, {"message", "r4"}},
       {{"tok-a", 4}, {odd, 12}},
       true,
       [&] {
         fromDevice("d1", "rcv_init_badgeNo.ctl", {{"PNSID", "APNS"}, {"BADGENO", "3"}});
       }},
      {{{"from", "d1"}, {"user", "u3"}, {"message", "nobody yet"}}, {}, false},
      {{{"from", "d1"}, {"user", "u3"}, {"message", "now"}},
       {{"tok-e", 1}},
       true,
       [&] { registerDevice("d5", "tok-e", "u3"); }},
  };
  for (const auto& c : cases) {
    if (c.before) c.before();
    Json send = c.send;
    const bool silent = send.value("silent", false);
    const std::size_t expected = silent ? 2 : c.badges.size();
    Json outcome;
    std::string sender = "admin";
    if (send.contains("from")) {
      sender = "device-ios";
      const Json answer = fromDevice(send["from"], "rcv_register_message.ctl",
                                     {{"CUID", send["user"]},
                                      {"MESSAGE", send["message"]},
                                      {"PRIORITY", "3"},
                                      {"EXT", ""},
                                      {"TYPE", "T"},
                                      {"SERVICECODE", "SVC"},
                                      {"SENDERCODE", sender},
                                      {"TARGET", "CUID"}});
      outcome = {{"targets", answer["TARGETS"]},
                 {"seqno", std::stoll(answer.value("SEQNO", "0"))},
                 {"message_key", answer["MESSAGEUNIQUEKEY"]}};
    } else {
      send["app_id"] = kApp;
      outcome = post("/__admin/send", send);
    }
    ASSERT_EQ(outcome.value("targets", 0), static_cast<int>(expected)) << send.dump();
    if (!c.readBack) continue;

    const auto snapshot = body(client->Get("/__admin/snapshot"));
    std::vector<Json> rows;
    for (const auto& row : snapshot["tables"]["deliveries"])
      if (row["seqno"] == outcome["seqno"]) rows.push_back(row);
    ASSERT_EQ(rows.size(), expected) << send.dump();
    for (const auto& row : rows) {
      const std::string token = row["token"];
      // The payload as written from a whole JSON value.
      Json orv = {{"psid", token},
                  {"messageuniquekey", outcome["message_key"]},
                  {"seqno", std::to_string(outcome["seqno"].get<std::int64_t>())},
                  {"senddate", compactDate(row["queued_at"].get<std::int64_t>())},
                  {"db_in", "Y"},
                  {"sender", sender},
                  {"ext", send.value("ext", "")}};
      Json aps = {{"content-available", 1}};
      if (silent)
        orv["batch"] = 1;
      else
        aps = {{"alert", send["message"]}, {"badge", c.badges.at(token)}, {"sound", "default"}};
      EXPECT_EQ(row["payload"], (Json{{"aps", aps}, {"orv", orv}}).dump()) << send.dump();
    }
  }
  // Every delivery was written once, numbered without a gap.
  const auto deliveries = body(client->Get("/__admin/snapshot"))["tables"]["deliveries"];
  for (std::size_t i = 0; i < deliveries.size(); ++i)
    EXPECT_EQ(deliveries[i]["id"], static_cast<std::int64_t>(i) + 1);
}

}  // namespace
}  // namespace orvo::emulator
