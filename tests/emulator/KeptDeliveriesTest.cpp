// A connected device's stream takes a fan-out's payloads from memory, and the
// rows reach the table already sent: what a stream that ends did not write
// must still go back to the queue, one by one. And the latest fan-out is
// timed to its last payload written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EmulatorHarness.h"
#include "Gateway.h"
#include "Service.h"
#include "State.h"

namespace orvo::test {
namespace {

using emulator::Gateway;
using emulator::OutgoingMessage;
using emulator::State;

TEST(KeptDeliveriesTest, AStreamThatEndsRequeuesExactlyWhatItDidNotWrite) {
  struct Case {
    const char* name;
    int sends;
    bool writtenOutFirst;  // the rows reach the table before the stream reads them
    std::size_t written;   // of the events the stream took
    std::vector<long long> unwritten;
  };
  const Case cases[] = {
      {"taken from memory, one written", 3, false, 1, {2, 3}},
      {"taken from memory, none written", 2, false, 0, {1, 2}},
      {"taken from memory, all written", 2, false, 2, {}},
      {"read from the table", 3, true, 2, {3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    State state;
    std::string error;
    ASSERT_TRUE(state.open(":memory:", error)) << error;
    Gateway gateway(state);
    const std::string token = "tok-1";
    ASSERT_EQ(state.db.run("INSERT INTO devices(app_id, device_id, psid, cuid, registered) "
                           "VALUES('app', 'dev', ?, 'u1', 1)",
                           {token}),
              1);
    bool superseded = false;
    const auto first = gateway.claimStream(token);
    ASSERT_TRUE(gateway.poll(token, first, 0, superseded).empty());
    {
      std::lock_guard lock(state.mutex);
      for (int i = 0; i < c.sends; ++i) {
        OutgoingMessage message;
        message.appId = "app";
        message.targetKind = "PSID";
        message.target = token;
        message.message = "m" + std::to_string(i);
        message.sender = "admin";
        ASSERT_EQ(gateway.send(message).targets, 1);
      }
      if (c.writtenOutFirst) {
        ASSERT_TRUE(gateway.flush());
      }
    }
    const auto taken = gateway.poll(token, first, 0, superseded);
    ASSERT_EQ(taken.size(), static_cast<std::size_t>(c.sends));
    std::vector<std::int64_t> unsent;
    for (std::size_t i = c.written; i < taken.size(); ++i) unsent.push_back(taken[i].id);
    if (!unsent.empty()) gateway.requeue(token, unsent);
    gateway.endStream(token, first);

    std::vector<long long> queued;
    long long sentWithoutTime = 0;
    {
      std::lock_guard lock(state.mutex);
      for (const auto& row :
           state.db.query("SELECT id, state, sent_at FROM deliveries ORDER BY id"))
        if (row["state"] == "queued") {
          queued.push_back(row["id"].get<long long>());
        } else {
          sentWithoutTime += row["sent_at"].is_null() ? 1 : 0;
        }
    }
    EXPECT_EQ(queued, c.unwritten);
    EXPECT_EQ(sentWithoutTime, 0);

    // The next stream of the device, resuming after the last written, gets
    // those and nothing twice.
    const auto second = gateway.claimStream(token);
    const std::int64_t after = c.written == 0 ? 0 : taken[c.written - 1].id;
    std::vector<long long> again;
    for (const auto& event : gateway.poll(token, second, after, superseded))
      again.push_back(event.id);
    EXPECT_EQ(again, c.unwritten);
  }
}

TEST(KeptDeliveriesTest, TheLatestFanOutIsTimedToItsLastPayloadWritten) {
  RunningEmulator emu;
  const int port = emu.emulator().port();
  const std::string app = "com.example.kept";
  const std::string a = emu.registerDevice(app, "ua"), b = emu.registerDevice(app, "ub");
  const std::string c = emu.registerDevice(app, "uc");  // not connected: its payloads wait
  EXPECT_EQ(emu.metric("orvo_emulator_last_fanout_seconds"), "0");
  GatewayStream streamA(port, a), streamB(port, b);
  ASSERT_TRUE(streamA.waitConnected());
  ASSERT_TRUE(streamB.waitConnected());
  // The stream reads the table once before it takes payloads from memory.
  ASSERT_TRUE(eventually([&] { return emu.metric("orvo_emulator_open_streams") == "2"; }));

  for (const char* text : {"first", "second"}) {
    SCOPED_TRACE(text);
    ASSERT_EQ(emu.post("/__admin/send", {{"all", true}, {"app_id", app}, {"message", text}}).status,
              200);
    EXPECT_TRUE(eventually([&] { return emu.metric("orvo_emulator_last_fanout_written") == "2"; }));
    EXPECT_EQ(emu.metric("orvo_emulator_last_fanout_targets"), "3");
    const double seconds = std::stod("0" + emu.metric("orvo_emulator_last_fanout_seconds"));
    EXPECT_GT(seconds, 0);
    EXPECT_LT(seconds, 10);
  }
  EXPECT_EQ(streamA.waitFor(2).size(), 2u);
  // Counted while the sends are still kept in memory, and after they are written out.
  EXPECT_EQ(emu.metric("orvo_emulator_queue_depth"), "2");
  const Json deliveries = emu.table("deliveries");
  int sent = 0;
  for (const auto& row : deliveries) sent += row["state"] == "sent" ? 1 : 0;
  EXPECT_EQ(sent, 4);
  EXPECT_EQ(emu.metric("orvo_emulator_queue_depth"), "2");
  GatewayStream streamC(port, c);
  EXPECT_EQ(streamC.waitFor(2).size(), 2u);
  EXPECT_TRUE(eventually([&] { return emu.metric("orvo_emulator_queue_depth") == "0"; }));
  // A send to all reads every device; the deliveries' statements use their indexes.
  for (const auto& lookup : unindexedLookups(emu.emulator().service().state()))
    EXPECT_EQ(lookup.find("deliveries"), std::string::npos) << lookup;
}

}  // namespace
}  // namespace orvo::test
