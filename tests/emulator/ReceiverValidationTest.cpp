// The receiver's strictness: every malformed request is refused with its
// result code and the one journal note that says why, and changes nothing.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "State.h"
#include "emulator/EmulatorHarness.h"

namespace orvo::test {
namespace {

constexpr const char* kApp = "com.example.strict";
constexpr const char* kOldApp = "com.example.old";

TEST(ReceiverValidationTest, MalformedRequestsAreRefusedWithTheirNote) {
  auto options = quietEmulator();
  options.receiverVersion = "4.0";
  RunningEmulator emu(options);
  ASSERT_EQ(emu.post("/__admin/apps", {{"app_id", kOldApp}, {"receiver_version", "3.0"}}).status,
            200);
  const std::string psid = emu.registerDevice(kApp, "dave");
  const std::string key = emu.authKey(kApp, "dave", psid);
  // A key that is dead when issued, for a device that never gets another.
  ASSERT_EQ(emu.post("/__admin/settings", {{"auth_ttl_ms", 0}}).status, 200);
  const std::string deadKey = emu.authKey(kApp, "eve", "eve-psid");
  ASSERT_EQ(emu.post("/__admin/settings", {{"auth_ttl_ms", 3'600'000}}).status, 200);
  std::string deadUntil;
  for (const auto& row : emu.table("auth_keys"))
    if (row["key"] == deadKey) deadUntil = emulator::isoDate(row["expires_at"].get<long long>());
  ASSERT_FALSE(deadUntil.empty());
  const Reply sent =
      emu.post("/__admin/send", {{"app_id", kApp}, {"user", "dave"}, {"message", "m"}});
  ASSERT_EQ(sent.status, 200) << sent.body;
  const std::string seqno = std::to_string(sent.json.value("seqno", 0LL));

  using Form = std::map<std::string, std::string>;
  const Form user = {{"PNSID", "APNS"}, {"APP_ID", kApp}, {"DEVICE_ID", "dave-device"},
                     {"PSID", psid},    {"CUID", "dave"}, {"CNAME", "Dave"},
                     {"PHONENUM", ""},  {"AUTHKEY", key}};
  const Form badge = {{"AUTHKEY", key},
                      {"DEVICE_ID", "dave-device"},
                      {"PNSID", "APNS"},
                      {"APP_ID", kApp},
                      {"BADGENO", "9"}};
  const Form ack = {{"CUID", "dave"},
                    {"APP_ID", kApp},
                    {"PSID", psid},
                    {"SEQNO", seqno},
                    {"SENDDATE", "20260101120000"},
                    {"DB_IN", "Y"},
                    {"DEVICE_ID", "dave-device"},
                    {"PNSID", "APNS"},
                    {"AUTHKEY", key},
                    {"SENDERCODE", "admin"}};
  const Form message = {{"CUID", "dave"},  {"PSID", psid},       {"APP_ID", kApp},
                        {"MESSAGE", "hi"}, {"PRIORITY", "3"},    {"EXT", ""},
                        {"TYPE", "E"},     {"SERVICECODE", "S"}, {"SENDERCODE", "device-ios"},
                        {"AUTHKEY", key},  {"TARGET", "CUID"},   {"RESERVEDATE", ""},
                        {"DB_IN", "Y"}};
  // The form of receiver 3.6, which a 4.0 application must not use.
  const Form service36 = {{"APP_ID", kApp},     {"CUID", "dave"},  {"DEVICE_ID", "dave-device"},
                          {"DEVICE_TYPE", "I"}, {"PNSID", "APNS"}, {"PSID", psid},
                          {"PHONENUM", ""},     {"CBSID", kApp},   {"AUTHKEY", key}};

  struct Case {
    const char* what;
    const char* endpoint;
    Form form;
    std::map<std::string, std::optional<std::string>> change;  // absent: the key is left out
    const char* resultCode;
    std::string note;  // empty: none
  };
  const std::vector<Case> cases = {
      {"valid user", "rcv_register_user.ctl", user, {}, "0000", ""},
      {"valid message", "rcv_register_message.ctl", message, {}, "0000", ""},
      {"valid acknowledgement", "rcv_register_sent_ack.ctl", ack, {}, "0000", ""},
      {"valid badge", "rcv_init_badgeNo.ctl", badge, {{"BADGENO", "4"}}, "0000", ""},
      {"missing key",
       "rcv_register_user.ctl",
       user,
       {{"CUID", std::nullopt}},
       "40000",
       "rcv_register_user.ctl: missing CUID"},
      {"key set of receiver 3.6",
       "rcv_register_service.ctl",
       service36,
       {},
       "40000",
       "rcv_register_service.ctl: missing DEVICE_MD, OS_VER, APP_VER, APNS_MODE"},
      {"message to a receiver of 3.0",
       "rcv_register_message.ctl",
       message,
       {{"APP_ID", kOldApp}},
       "40500",
       "rcv_register_message.ctl: not available at receiver version 3.0 (3.5 or later)"},
      {"unknown AUTHKEY",
       "rcv_init_badgeNo.ctl",
       badge,
       {{"AUTHKEY", "nope"}},
       "40100",
       "rcv_init_badgeNo.ctl: unknown AUTHKEY \"nope\""},
      {"empty AUTHKEY",
       "rcv_init_badgeNo.ctl",
       badge,
       {{"AUTHKEY", ""}},
       "40100",
       "rcv_init_badgeNo.ctl: empty AUTHKEY"},
      {"expired AUTHKEY",
       "rcv_init_badgeNo.ctl",
       badge,
       {{"AUTHKEY", deadKey}},
       "40100",
       "rcv_init_badgeNo.ctl: expired AUTHKEY \"" + deadKey + "\" (expired " + deadUntil + ")"},
      {"BADGENO not a number",
       "rcv_init_badgeNo.ctl",
       badge,
       {{"BADGENO", "abc"}},
       "40000",
       "rcv_init_badgeNo.ctl: malformed BADGENO \"abc\" (an integer expected)"},
      {"DB_IN neither Y nor N",
       "rcv_register_sent_ack.ctl",
       ack,
       {{"DB_IN", "x"}},
       "40000",
       "rcv_register_sent_ack.ctl: malformed DB_IN \"x\" (Y or N expected)"},
      {"a message that is not UTF-8",
       "rcv_register_message.ctl",
       message,
       {{"MESSAGE", "caf\xE9"}},
       "40000",
       "rcv_register_message.ctl: malformed MESSAGE (not UTF-8 once percent-decoded)"},
      {"a message past its limit",
       "rcv_register_message.ctl",
       message,
       {{"MESSAGE", std::string(8193, 'm')}},
       "40000",
       "rcv_register_message.ctl: malformed MESSAGE (longer than 8192 bytes)"},
      {"RESERVEDATE that does not exist",
       "rcv_register_message.ctl",
       message,
       {{"RESERVEDATE", "20300231000000"}},
       "40000",
       "rcv_register_message.ctl: malformed RESERVEDATE \"20300231000000\" (a date "
       "yyyyMMddHHmmss expected)"},
      {"RESERVEDATE not a date",
       "rcv_register_message.ctl",
       message,
       {{"RESERVEDATE", "tomorrow"}},
       "40000",
       "rcv_register_message.ctl: malformed RESERVEDATE \"tomorrow\" (a date yyyyMMddHHmmss "
       "expected)"},
      {"unknown device",
       "rcv_init_badgeNo.ctl",
       badge,
       {{"DEVICE_ID", "ghost"}},
       "40400",
       "rcv_init_badgeNo.ctl: no device \"ghost\" of APP_ID \"com.example.strict\" is "
       "registered"},
      {"message never delivered here",
       "rcv_register_sent_ack.ctl",
       ack,
       {{"SEQNO", "999"}},
       "40400",
       "rcv_register_sent_ack.ctl: no message SEQNO \"999\" was delivered to PSID \"" + psid +
           "\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    httplib::Params fields;
    Form form = c.form;
    for (const auto& [name, value] : c.change) {
      if (value)
        form[name] = *value;
      else
        form.erase(name);
    }
    for (const auto& [name, value] : form) fields.emplace(name, value);
    const Reply reply = emu.form(c.endpoint, fields);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(RunningEmulator::resultCode(reply), c.resultCode) << reply.body;
    const Json entry = emu.get("/__admin/requests?limit=1").json["requests"][0];
    EXPECT_EQ(entry["endpoint"], c.endpoint);
    EXPECT_EQ(entry["result_code"], c.resultCode);
    EXPECT_EQ(entry["notes"], c.note.empty() ? Json::array() : Json::array({c.note}));
  }

  // Only the valid badge reached the device.
  EXPECT_EQ(emu.list("devices")[0]["badge"], 4);
}

}  // namespace
}  // namespace orvo::test
