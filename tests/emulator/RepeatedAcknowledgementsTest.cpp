// Every acknowledgement and read of a delivery is counted, so that a client
// sending one twice shows in /__admin/messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"

namespace orvo::test {
namespace {

constexpr const char* kApp = "com.example.counts";

TEST(RepeatedAcknowledgementsTest, MessagesCountWhatCameBeyondTheFirst) {
  auto options = quietEmulator();
  options.receiverVersion = "4.0";
  RunningEmulator emu(options);
  const std::string psid = emu.registerDevice(kApp, "dora");
  const std::string key = emu.authKey(kApp, "dora", psid);
  struct Row {
    int acks;
    int reads;
    const char* state;
    long long repeatedAcks;
    long long repeatedReads;
  };
  const std::vector<Row> rows{{0, 0, "queued", 0, 0},
                              {1, 0, "delivered", 0, 0},
                              {3, 0, "delivered", 2, 0},
                              {1, 1, "read", 0, 0},
                              {2, 3, "read", 1, 2}};
  for (const auto& row : rows) {
    const Reply sent =
        emu.post("/__admin/send", {{"app_id", kApp}, {"user", "dora"}, {"message", "m"}});
    ASSERT_EQ(sent.status, 200) << sent.body;
    const long long seqno = sent.json.value("seqno", 0LL);
    SCOPED_TRACE("message " + std::to_string(seqno));
    const httplib::Params form{{"CUID", "dora"},
                               {"APP_ID", kApp},
                               {"PSID", psid},
                               {"SEQNO", std::to_string(seqno)},
                               {"SENDDATE", ""},
                               {"DB_IN", "Y"},
                               {"DEVICE_ID", "dora-device"},
                               {"PNSID", "APNS"},
                               {"AUTHKEY", key},
                               {"SENDERCODE", "admin"}};
    for (int i = 0; i < row.acks; ++i)
      EXPECT_EQ(RunningEmulator::resultCode(emu.form("rcv_register_sent_ack.ctl", form)), "0000");
    for (int i = 0; i < row.reads; ++i)
      EXPECT_EQ(RunningEmulator::resultCode(emu.form("rcv_register_send_result.ctl", form)),
                "0000");
    Json message;
    for (const auto& each : emu.list("messages"))
      if (each["seqno"] == seqno) message = each;
    ASSERT_TRUE(message.is_object());
    ASSERT_EQ(message["deliveries"].size(), 1u);
    EXPECT_EQ(message["deliveries"][0]["state"], row.state);
    EXPECT_EQ(message["deliveries"][0]["acks"], row.acks);
    EXPECT_EQ(message["deliveries"][0]["reads"], row.reads);
    EXPECT_EQ(message["repeated_acks"], row.repeatedAcks);
    EXPECT_EQ(message["repeated_reads"], row.repeatedReads);
  }
}

}  // namespace
}  // namespace orvo::test
