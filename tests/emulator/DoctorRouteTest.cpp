// A device's push-doctor report kept for the console, and a request's
// identifier carried from the library's header into the journal.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"

namespace orvo::test {
namespace {

TEST(DoctorRouteTest, ReportsAreKeptPerDeviceAndRefusedWhenMalformed) {
  RunningEmulator emu;
  const std::string psid = emu.token("dora-phone");
  struct Row {
    const char* what;
    Json body;  // null: a GET of the device's last report
    int status;
    const char* answerHas;
  };
  const std::vector<Row> rows{
      {"nothing sent yet", nullptr, 404, "no report from this device yet"},
      {"no psid", {{"text", "t"}}, 400, "psid"},
      {"no text", {{"psid", psid}}, 400, "text"},
      {"report not an object",
       {{"psid", psid}, {"text", "t"}, {"report", 3}},
       400,
       "must be an object"},
      {"unknown device", {{"psid", "feed"}, {"text", "t"}}, 404, "no device with that psid"},
      {"kept", {{"psid", psid}, {"text", "Permission denied: off"}}, 200, "stored"},
      {"read back", nullptr, 200, "Permission denied: off"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Reply reply = row.body.is_null() ? emu.get("/__admin/devices/doctor?psid=" + psid)
                                           : emu.post("/__admin/devices/doctor", row.body);
    EXPECT_EQ(reply.status, row.status);
    EXPECT_NE(reply.body.find(row.answerHas), std::string::npos) << reply.body;
  }
  EXPECT_EQ(emu.get("/__admin/devices/doctor").status, 400);
}

TEST(DoctorRouteTest, TheRequestIdentifierReachesTheJournal) {
  RunningEmulator emu;
  httplib::Client client(emu.url());
  const httplib::Headers headers{{"X-Orvo-Request-Id", "5eed-7"}};
  ASSERT_TRUE(client.Post("/asking_authorization.ctl", headers, "APP_ID=a&CUID=c&PSID=p",
                          "application/x-www-form-urlencoded"));
  ASSERT_TRUE(client.Post("/asking_authorization.ctl", "APP_ID=a&CUID=c&PSID=p",
                          "application/x-www-form-urlencoded"));
  const Json entries = emu.journal("asking_authorization.ctl");
  ASSERT_EQ(entries.size(), 2u);
  int carried = 0;
  for (const Json& entry : entries) carried += entry.value("request_id", "") == "5eed-7";
  EXPECT_EQ(carried, 1);
}

}  // namespace
}  // namespace orvo::test
