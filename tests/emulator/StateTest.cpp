// What the emulated service remembers: snapshots taken and put back, and a
// state file that outlives the process serving it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Database.h"
#include "emulator/EmulatorHarness.h"
#include "support/TestHost.h"

namespace orvo::test {
namespace {

constexpr const char* kApp = "com.example.state";

// Devices, users, a group, delivered and reserved messages, reports and a
// moved clock.
void populate(RunningEmulator& emu) {
  emu.registerDevice(kApp, "ann");
  emu.registerDevice(kApp, "ben");
  ASSERT_EQ(emu.post("/__admin/send", {{"user", "ann"}, {"message", "one"}}).status, 200);
  ASSERT_EQ(emu.post("/__admin/send", {{"all", true}, {"message", "two"}, {"badge", 7}}).status,
            200);
  ASSERT_EQ(
      emu.post("/__admin/send",
               {{"user", "ben"}, {"message", "later"}, {"reserve_date", "2999-01-01T00:00:00"}})
          .status,
      200);
  ASSERT_EQ(emu.post("/mobile/purchase", {{"id", "P1"}, {"cuid", "ann"}}).status, 200);
  ASSERT_EQ(emu.post("/__admin/clock", {{"advance_ms", 5000}}).status, 200);
}

TEST(EmulatorStateTest, SnapshotRoundTripAndRefusedSnapshots) {
  RunningEmulator emu;
  ASSERT_NO_FATAL_FAILURE(populate(emu));
  const Json before = emu.get("/__admin/snapshot").json;
  ASSERT_FALSE(before["tables"]["devices"].empty());
  const Json devices = emu.list("devices"), messages = emu.list("messages");

  ASSERT_EQ(emu.post("/__admin/reset", Json::object()).status, 200);
  EXPECT_TRUE(emu.list("devices").empty());
  EXPECT_EQ(emu.get("/__admin/clock").json["offset_ms"], 0);

  const Reply imported = emu.post("/__admin/snapshot", before);
  ASSERT_EQ(imported.status, 200) << imported.body;
  EXPECT_EQ(emu.get("/__admin/snapshot").json, before);
  EXPECT_EQ(emu.list("devices"), devices);
  EXPECT_EQ(emu.list("messages"), messages);
  EXPECT_EQ(emu.get("/__admin/clock").json["offset_ms"], 5000);
  // Numbering goes on after the imported messages.
  const Reply next = emu.post("/__admin/send", {{"user", "ann"}, {"message", "three"}});
  EXPECT_EQ(next.json["seqno"], messages.back()["seqno"].get<long long>() + 1) << next.body;
  const Json current = emu.get("/__admin/snapshot").json;

  Json unknownTable = before;
  unknownTable["tables"]["secrets"] = Json::array();
  Json badColumn = before;
  badColumn["tables"]["users"][0]["name; DROP TABLE users"] = "x";
  Json notARow = before;
  notARow["tables"]["messages"].push_back(42);
  // Fails only at the last table's insert, after every table was emptied.
  Json breaksConstraint = before;
  breaksConstraint["tables"]["users"].push_back({{"cuid", "nobody"}});
  Json duplicateKey = before;
  duplicateKey["tables"]["devices"].push_back(before["tables"]["devices"][0]);
  const std::vector<std::pair<const char*, Json>> refused = {
      {"not an object", Json::array({1, 2})},   {"no format", {{"tables", Json::object()}}},
      {"unknown table", unknownTable},          {"bad column name", badColumn},
      {"a row that is not an object", notARow}, {"a row without its key", breaksConstraint},
      {"a duplicate row", duplicateKey},
  };
  for (const auto& [what, snapshot] : refused) {
    SCOPED_TRACE(what);
    const Reply reply = emu.post("/__admin/snapshot", snapshot);
    EXPECT_EQ(reply.status, 400) << reply.body;
    EXPECT_FALSE(reply.json.value("error", "").empty()) << reply.body;
    EXPECT_EQ(emu.get("/__admin/snapshot").json, current);
  }
}

TEST(EmulatorStateTest, StateFileOutlivesARestartAndStreamsCatchUp) {
  TempDir dir;
  auto options = quietEmulator();
  options.statePath = dir.path() + "/state.db";
  Json devices, users, messages;
  std::string ben;
  long long seen = 0;
  {
    RunningEmulator first(options);
    ASSERT_NO_FATAL_FAILURE(populate(first));
    ben = first.token("ben-phone");
    {
      GatewayStream stream(first.emulator().port(), ben);
      const auto events = stream.waitFor(1);
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].payload["aps"]["alert"], "two");
      seen = events[0].id;
    }
    // The emulator notices the closed stream at a heartbeat; until then it
    // would still take ben's payloads for that dead connection.
    ASSERT_TRUE(eventually([&] {
      return first.get("/metrics").body.find("orvo_emulator_open_streams 0") != std::string::npos;
    }));
    // While ben is away.
    ASSERT_EQ(first.post("/__admin/send", {{"user", "ben"}, {"message", "missed"}}).status, 200);
    devices = first.list("devices");
    users = first.list("users");
    messages = first.list("messages");
    // Silent sends, so the badges stay as listed. With nothing reading them, a
    // send's deliveries reach the file within a tick, where a crash would not
    // lose them; those of a send just before the stop, at the stop.
    const Json quiet = {{"user", "ben"}, {"message", ""}, {"silent", true}};
    const Reply ticked = first.post("/__admin/send", quiet);
    ASSERT_EQ(ticked.json.value("targets", 0), 1) << ticked.body;
    emulator::Database file;
    std::string error;
    ASSERT_TRUE(file.open(options.statePath, error)) << error;
    EXPECT_TRUE(eventually([&] {
      return !file.query("SELECT id FROM deliveries WHERE seqno=?", {ticked.json["seqno"]}).empty();
    }));
    ASSERT_EQ(first.post("/__admin/send", quiet).json.value("targets", 0), 1);
    for (auto& device : devices)
      if (device["psid"] == ben) device["queued"] = device["queued"].get<int>() + 2;
  }

  RunningEmulator second(options);
  EXPECT_EQ(second.list("devices"), devices);
  EXPECT_EQ(second.list("users"), users);
  Json restored = second.list("messages");
  ASSERT_EQ(restored.size(), messages.size() + 2);
  for (const auto& silent : {restored[restored.size() - 2], restored.back()})
    EXPECT_EQ(silent["deliveries"].size(), 1u) << silent.dump();
  restored.erase(restored.end() - 2, restored.end());
  EXPECT_EQ(restored, messages);
  EXPECT_EQ(second.get("/__admin/clock").json["offset_ms"], 5000);
  EXPECT_EQ(second.token("ben-phone"), ben) << "the gateway knows the device by name";
  ASSERT_EQ(second.post("/__admin/send", {{"user", "ben"}, {"message", "after restart"}}).status,
            200);

  // Reconnecting from the last event it saw, ben gets what came since, in order.
  GatewayStream stream(second.emulator().port(), ben, std::to_string(seen));
  const auto events = stream.waitFor(4);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].payload["aps"]["alert"], "missed");
  EXPECT_EQ(events[1].payload["aps"]["content-available"], 1);
  EXPECT_EQ(events[2].payload["aps"]["content-available"], 1);
  EXPECT_EQ(events[3].payload["aps"]["alert"], "after restart");
  EXPECT_GT(events[0].id, seen);
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_LT(events[i - 1].id, events[i].id);
  EXPECT_EQ(stream.waitFor(5, 200ms).size(), 4u) << "nothing already seen comes again";
}

}  // namespace
}  // namespace orvo::test
