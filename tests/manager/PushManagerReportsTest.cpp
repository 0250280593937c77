#include <functional>
#include <thread>

#include "manager/ManagerFixture.h"
#include "orvo/Json.h"
#include "orvo/testing/ProcessReset.h"
#include "orvo/testing/ScriptedHttpClient.h"

namespace orvo::test {
namespace {

constexpr const char* kXelt = "https://xelt.example.com/api/";
const Value kAlready = Dictionary{{"code", "0"}, {"message", "already update Purchase id"}};

Value failure(const std::string& code, std::string_view message) {
  return Dictionary{{"code", code}, {"message", std::string(message)}};
}

class ReportsTest : public ManagerTest {
 protected:
  void start() {
    manager = started();
    manager->info()->changexeltHost(kXelt);
  }
  // Records each outcome; every one must arrive on the main queue.
  ReportHandler record() {
    return [this](bool success, const std::optional<Value>& result) {
      EXPECT_TRUE(host.runLoop->isRunningOnThisThread());
      outcomes.emplace_back(success, result);
    };
  }
  std::optional<Value> buy(const std::string& id) {
    manager->updatePurchase(Value(), id, std::string("u1"), record());
    host.runLoop->runUntilIdle();
    return outcomes.back().second;
  }
  Value body(std::size_t i) const { return parseJson(http->requests().at(i).body).value(); }

  std::shared_ptr<PushManager> manager;
  std::vector<std::pair<bool, std::optional<Value>>> outcomes;
};

TEST_F(ReportsTest, PurchaseListRefusesRepeatsKeepsTenAndPersists) {
  Array stored;  // longer than the limit, as an older build could leave it
  for (int i = 0; i < 12; ++i) stored.push_back("s" + std::to_string(i));
  host.settings->set("push_xelt_purchase_array", stored);
  start();
  EXPECT_EQ(manager->purchaseArray(), Array(stored.begin() + 2, stored.end()));
  const std::size_t syncs = host.settings->synchronizeCount();

  // Only the newest ten count; an unscripted call fails at the transport and
  // is still recorded, with the list cut back to ten.
  EXPECT_EQ(buy("s1"), failure("-1", "unscripted receiver call"));
  Array expected(stored.begin() + 3, stored.end());
  expected.push_back("s1");
  EXPECT_EQ(manager->purchaseArray(), expected);
  EXPECT_EQ(host.settings->get("push_xelt_purchase_array"), Value(expected));
  EXPECT_GT(host.settings->synchronizeCount(), syncs);
  // The request's shape is the receiver's (transport tests); its address and
  // time-out are checked in the log lines below.
  EXPECT_NE(http->requests().at(0).body.find('\n'), std::string::npos);  // pretty-printed
  EXPECT_EQ(body(0), Value(Dictionary{{"id", "s1"}, {"cuid", "u1"}}));

  // Repeats are refused without a request, in both forms.
  EXPECT_EQ(buy("s1"), kAlready);
  manager->updatePurchase(Value(), Dictionary{{"id", "s3"}, {"cuid", "u1"}}, record());
  host.runLoop->runUntilIdle();
  EXPECT_EQ(outcomes.back().second, kAlready);
  // Without a completion: sent, not recorded.
  manager->updatePurchase(Value(), std::string("q"), std::string("u1"), nullptr);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(http->requestCount(), 2u);
  EXPECT_EQ(manager->purchaseArray(), expected);

  // The next one pushes out the oldest, which is then sent again.
  http->enqueueJson(R"({"ok":1})");
  EXPECT_EQ(buy("n1"), Value(Dictionary{{"ok", 1}}));
  EXPECT_EQ(outcomes.back().first, true);
  EXPECT_NE(buy("s3"), kAlready);
  EXPECT_EQ(http->requestCount(), 4u);

  // A new process with the same settings store remembers them.
  expected = manager->purchaseArray();
  manager.reset();
  resetProcessState();
  start();
  EXPECT_EQ(manager->purchaseArray(), expected);
  EXPECT_EQ(buy("n1"), kAlready);
}

TEST_F(ReportsTest, LogLinesOptionsAndAnswers) {
  start();
  host.log->clear();
  http->enqueueJson(R"([{"s":"kept"}])");
  manager->updateSession(Value(), std::string("u1"), record());
  host.runLoop->runUntilIdle();
  EXPECT_EQ(outcomes.at(0),
            std::make_pair(true, std::optional<Value>(Array{Dictionary{{"s", "kept"}}})));
  EXPECT_EQ(body(0), Value(Dictionary{{"appId", "com.example.app"}, {"cuid", "u1"}}));
  EXPECT_EQ(host.log->lines(),
            (std::vector<std::string>{
                "PushManager - updateSession (cuid:u1)",
                "=== Push Manager Network (last-session) Service Start ===", "",
                "- url     : " + std::string(kXelt) + "mobile/last-session",
                "- param   : {\n    appId = com.example.app;\n    cuid = u1;\n}",
                "- timeout : 30.000000", "- method  : POST",
                "- header  : {\n    Content-Length = 50;\n    Content-Type = application/json;\n}",
                "response", "- status  : 200",
                "- header  : {\n    Content-Type = \"application/json; charset=utf-8\";\n}",
                "=== Push Manager Network (last-session) Service End ==="}));

  // The option's host and timeout reach the request; its path does not, and
  // only "cuid" goes into the body. Unusable time-outs fall back to 30 s.
  const Dictionary option{
      {"cuid", "u2"}, {"host", "https://other.example/"}, {"timeout", "5"}, {"path", "elsewhere"}};
  manager->updateSessionWithOption(Value(), option, nullptr);
  manager->updatePurchase(Value(), Dictionary{{"id", "x"}, {"cuid", "u"}, {"timeout", -4}},
                          nullptr);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(http->requests().at(1).url, "https://other.example/mobile/last-session");
  EXPECT_EQ(http->requests()[1].timeoutSeconds, 5.0);
  EXPECT_EQ(http->requests().at(2).timeoutSeconds, 30.0);
  EXPECT_EQ(body(1), Value(Dictionary{{"appId", "com.example.app"}, {"cuid", "u2"}}));
  EXPECT_TRUE(host.log->contains(
      "PushManager - updateSession (option:{\n    cuid = u2;\n    host = https://other.example/;\n"
      "    path = elsewhere;\n    timeout = 5;\n})"));
  EXPECT_TRUE(host.log->contains("- error : "));  // unscripted: transport errors
  manager->updatePurchase(Value(), std::nullopt, std::string("u"), nullptr);
  EXPECT_TRUE(host.log->contains("PushManager - updatePurchase (id:(null) cuid:u)"));

  // Answers a real client does not give (a status outside 2xx is held by
  // the fault matrix).
  http->enqueue(HttpResult{});
  http->enqueue({HttpResponse{200, {}, "", "", "{}"}, ErrorInfo{"net", 56, "reset", {}}});
  for (int i = 0; i < 2; ++i) manager->sendxelt(Dictionary{{"path", "x"}}, Array{}, record());
  host.runLoop->runUntilIdle();
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[1].second, failure("0", "invalid_result_data"));
  EXPECT_EQ(outcomes[2].second, failure("56", "reset"));
}

TEST_F(ReportsTest, AbsentValuesFailWithoutARequest) {
  start();
  manager->updateSession(Value(), std::nullopt, record());
  manager->updateSessionWithOption(Value(), Dictionary{{"host", kXelt}}, record());
  manager->updatePurchase(Value(), std::nullopt, std::string("u"), record());
  manager->updatePurchase(Value(), Dictionary{{"id", "p"}, {"cuid", Value()}}, record());
  manager->sendxelt(Dictionary{{"host", kXelt}}, Dictionary{{"a", 1}}, record());
  manager->sendxelt(Dictionary{{"path", "x"}}, Value(), record());
  manager->info()->changeProjectID("");  // no "appId" to send
  manager->updateSession(Value(), std::string("u"), record());
  host.runLoop->runUntilIdle();
  ASSERT_EQ(outcomes.size(), 7u);
  for (const auto& [success, result] : outcomes) {
    EXPECT_FALSE(success);
    EXPECT_EQ(result, failure("0", PushManager::kMissingReportValueMessage));
  }
  // A body JSON cannot hold fails with the writer's error.
  manager->sendxelt(Dictionary{{"path", "x"}}, Dictionary{{"when", Date{1.0}}}, record());
  host.runLoop->runUntilIdle();
  EXPECT_EQ(outcomes.back().second->asDictionary()->get("code"),
            Value(std::to_string(kJsonErrorNoJsonForm)));
  EXPECT_EQ(http->requestCount(), 0u);
  EXPECT_TRUE(manager->purchaseArray().empty());
}

// A report or receiver call that reaches the gate before the posted start-up
// has run makes the record itself; it must be the record start-up makes.
TEST_F(ReportsTest, ACallBeforeStartUpLeavesTheRecordAsStartUpWould) {
  host.bundleDir.write("embedded.mobileprovision",
                       "<plist version=\"1.0\"><dict><key>Entitlements</key><dict>"
                       "<key>aps-environment</key><string>development</string></dict></dict>"
                       "</plist>");
  struct Row {
    const char* name;
    std::function<void(PushManager&)> call;
    Array listAfter;
    std::size_t requests;
    std::vector<std::string> modesSent;  // APNS_MODE of every request
  };
  const Array stored{"p1", "p2"};
  const Row rows[] = {
      {"repeated purchase",
       [&](PushManager& m) { m.updatePurchase(Value(), std::string("p1"), "u1", record()); },
       stored,
       0,
       {}},
      {"new purchase",
       [&](PushManager& m) { m.updatePurchase(Value(), std::string("p3"), "u1", record()); },
       Array{"p1", "p2", "p3"},
       1,
       {}},
      {"session", [&](PushManager& m) { m.updateSession(Value(), "u1", record()); }, stored, 1, {}},
      {"receiver call",
       [&](PushManager& m) {
         http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
         http->enqueueEnvelope(Dictionary{});
         m.registerServiceWithHandler(Value(), "0abc", nullptr);
       },
       stored,
       2,
       {"DEV"}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    resetProcessState();
    host.settings->set("push_xelt_purchase_array", stored);
    host.log->clear();
    outcomes.clear();
    const std::size_t sent = http->requestCount();

    manager = PushManager::defaultManager();  // start-up posted, not run
    row.call(*manager);
    host.runLoop->runUntilIdle();
    ASSERT_NE(manager->info(), nullptr);
    EXPECT_EQ(manager->info()->mode(), "DEV");
    EXPECT_EQ(manager->purchaseArray(), row.listAfter);
    EXPECT_EQ(host.settings->get("push_xelt_purchase_array"), Value(row.listAfter));
    EXPECT_EQ(host.log->count("------------ Push Library Version 5.1.6 ------------"), 1u);
    EXPECT_EQ(http->requestCount() - sent, row.requests);
    std::vector<std::string> modes;
    for (std::size_t i = sent; i < http->requestCount(); ++i) {
      const Value mode = ScriptedHttpClient::decodeForm(http->requests()[i].body).get("APNS_MODE");
      if (!mode.isNull()) modes.push_back(mode.stringOr("?"));
    }
    EXPECT_EQ(modes, row.modesSent);
  }
}

TEST_F(ReportsTest, ListChangesFromManyThreadsKeepTheStoreLatest) {
  start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i) manager->updatePurchaseArray(Value(t * 100 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(manager->purchaseArray().size(), 10u);
  EXPECT_EQ(host.settings->get("push_xelt_purchase_array"), Value(manager->purchaseArray()));
}

}  // namespace
}  // namespace orvo::test
