#include <algorithm>
#include <chrono>
#include <functional>

#include "manager/ManagerFixture.h"
#include "orvo/platform/HttpClient.h"
#include "orvo/testing/ProcessReset.h"

namespace orvo::test {
namespace {

ManifestOptions durable(const std::string& bounds = "") {
  ManifestOptions options;
  options.log = false;
  options.extra =
      "<outbox><enabled>true</enabled><first-delay>2</first-delay><max-delay>60</max-delay>" +
      bounds + "</outbox><duplicates><enabled>true</enabled></duplicates>";
  return options;
}

enum class Answer { Refused, Status500, TooMany, Refusal, Success };

class OutboxTest : public ManagerTest {
 protected:
  explicit OutboxTest(ManifestOptions options = durable()) : ManagerTest(std::move(options)) {}

  // The first answer of the operation's endpoint is `first`; later ones succeed.
  void script(Answer first) {
    http->setResponder([this, first](const HttpRequest& request) -> HttpResult {
      const bool logServer = request.url.find("putAppLog") != std::string::npos;
      const bool receiver = request.url.find(".ctl") != std::string::npos;
      if (request.url.find("asking_authorization") != std::string::npos || attempts++ != 0 ||
          first == Answer::Success) {
        return receiver ? receiverAnswer(request) : ScriptedHttpClient::jsonAnswer("{\"ok\":1}");
      }
      HttpResult result =
          ScriptedHttpClient::jsonAnswer("{}", first == Answer::TooMany ? 429 : 500);
      if (first == Answer::TooMany) result.response->headers.set("retry-after", "30");
      if (first == Answer::Refused) return refusedConnection();
      if (first != Answer::Refusal) return result;
      return receiver ? receiverAnswer(request, logServer ? "9999" : "40400")
                      : ScriptedHttpClient::jsonAnswer("{}", 400);
    });
  }

  // A new process on the same stores, before the manager starts.
  void relaunch() {
    resetProcessState();
    attempts = 0;
    delays.clear();
    retries.clear();
    completions.clear();
    reports.clear();
  }

  void start() {
    manager = started();
    manager->info()->changexeltHost("https://xelt.example.com/");
    manager->setOutboxJitter([] { return 0.5; });
    manager->setOutboxScheduler([this](std::chrono::milliseconds delay, std::function<void()> t) {
      delays.push_back(delay.count());
      retries.push_back(std::move(t));
    });
    auto delegate = recordingDelegate();
    delegate->didFinishQueuedOperation = [this](PushManager&, const OutboxReport& report) {
      reports.push_back(report);
    };
    manager->initilaizeWithDelegate(delegate);
  }

  ResultHandler result() {
    return [this](bool ok) { completions.emplace_back(ok, PushManager::queuedEntry()); };
  }
  ReportHandler report() {
    return [this](bool ok, const std::optional<Value>&) {
      completions.emplace_back(ok, PushManager::queuedEntry());
    };
  }

  std::shared_ptr<PushManager> manager;
  int attempts = 0;
  std::vector<std::int64_t> delays;
  std::vector<std::function<void()>> retries;
  std::vector<std::pair<bool, std::optional<std::int64_t>>> completions;
  std::vector<OutboxReport> reports;
};

TEST_F(OutboxTest, EachOperationRetriesWhatCanChangeAndEndsWhatCannot) {
  struct Operation {
    const char* name;
    std::function<void()> call;
    bool hasCompletion;
  };
  const std::vector<Operation> operations{
      {"feedback", [this] { manager->feedback(Value(), kMessage, result()); }, true},
      {"read", [this] { manager->read(Value(), kMessage, result()); }, true},
      {"update", [this] { manager->update(Value(), Value(3), result()); }, true},
      {"session", [this] { manager->updateSession(Value(), std::string("u1"), report()); }, true},
      {"purchase",
       [this] { manager->updatePurchase(Value(), std::string("p1"), std::string("u1"), report()); },
       true},
      {"readKey",
       [this] {
         manager->info()->changeReceiverVersion("3.5");
         manager->read(Value(), std::string("mk"), std::string("12"), result());
       },
       true},
      {"log", [this] { manager->sendServerLog("it failed", 0); }, false},
  };
  struct Row {
    Answer answer;
    bool retried;
    bool success;           // the first outcome, or the final one after the retry
    std::int64_t minDelay;  // of the retry, in ms: half of 2 s, or Retry-After
  };
  const std::vector<Row> rows{
      // A timeout takes the refused connection's way: both are the transport's.
      {Answer::Refused, true, true, 1000},  {Answer::Status500, true, true, 1000},
      {Answer::TooMany, true, true, 30000}, {Answer::Refusal, false, false, 0},
      {Answer::Success, false, true, 0},
  };
  for (const auto& operation : operations) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(operation.name) + " answer " +
                   std::to_string(static_cast<int>(row.answer)));
      relaunch();
      host.settings->remove("push_xelt_purchase_array");
      script(row.answer);
      start();
      operation.call();
      drain();
      if (operation.hasCompletion) {
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0].first, !row.retried && row.success);
        EXPECT_EQ(completions[0].second.has_value(), row.retried);
      }
      ASSERT_EQ(retries.size(), row.retried ? 1u : 0u);
      EXPECT_EQ(manager->outboxDepth(), row.retried ? 1u : 0u);
      if (row.retried) {
        EXPECT_EQ(delays[0], row.minDelay);
        retries[0]();
        drain();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].operation, operation.name);
        EXPECT_TRUE(reports[0].success);
        EXPECT_EQ(reports[0].attempts, 2);
      } else {
        EXPECT_TRUE(reports.empty());
      }
      EXPECT_EQ(completions.size(), operation.hasCompletion ? 1u : 0u);
      EXPECT_EQ(manager->outboxDepth(), 0u);
    }
  }
}

TEST_F(OutboxTest, RetryAfterAndRefusedAuthKeysShapeTheRetries) {
  // The badge endpoint's answers, one per request, the last one repeated:
  // "ok", "500", "40100", or else a 429 with that Retry-After. The clock
  // reads Tue, 14 Nov 2023 22:13:20 GMT; jitter 0.5 of 2 s × 2^attempt.
  struct Row {
    const char* what;
    std::vector<std::string> answers;
    std::vector<std::int64_t> delays;
    bool success;
  };
  const std::vector<Row> rows{
      {"seconds", {"30", "ok"}, {30000}, true},
      {"a date", {"Tue, 14 Nov 2023 22:14:05 GMT", "ok"}, {45000}, true},
      {"an older date form", {"Tuesday, 14-Nov-23 22:14:05 GMT", "ok"}, {45000}, true},
      {"a date past", {"Tue, 14 Nov 2023 22:00:00 GMT", "ok"}, {1000}, true},
      {"a date beyond max-delay", {"Wed, 15 Nov 2023 22:13:20 GMT", "ok"}, {60000}, true},
      {"seconds beyond max-delay", {"999999", "ok"}, {60000}, true},
      {"neither", {"soon", "ok"}, {1000}, true},
      // Each attempt asks a new auth key and resends once: two requests.
      {"40100 three times in a row", {"40100"}, {1000, 2000}, false},
      {"40100 broken by a 500",
       {"40100", "40100", "500", "40100"},
       {1000, 2000, 4000, 8000},
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    relaunch();
    std::size_t requests = 0;
    http->setResponder([&](const HttpRequest& request) -> HttpResult {
      if (request.url.find("asking_authorization") != std::string::npos) {
        return receiverAnswer(request);
      }
      const std::string& answer = row.answers[std::min(requests++, row.answers.size() - 1)];
      if (answer == "ok") return receiverAnswer(request);
      if (answer == "500") return ScriptedHttpClient::jsonAnswer("{}", 500);
      if (answer == "40100") return receiverAnswer(request, "40100");
      HttpResult result = ScriptedHttpClient::jsonAnswer("{}", 429);
      result.response->headers.set("retry-after", answer);
      return result;
    });
    start();
    manager->update(Value(), Value(3), result());
    drain();
    while (!retries.empty() && retries.size() <= row.delays.size()) {
      retries.back()();
      drain();
      if (!reports.empty()) break;
    }
    EXPECT_EQ(delays, row.delays);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].success, row.success);
    EXPECT_EQ(reports[0].attempts, static_cast<std::int32_t>(row.delays.size() + 1));
    EXPECT_EQ(manager->outboxDepth(), 0u);
  }
}

TEST_F(OutboxTest, QueuedEntriesFollowATokenRotationUnlessTheyNamedTheirDevice) {
  http->setResponder([](const HttpRequest&) { return refusedConnection(); });
  start();
  manager->info()->setPushServiceID(std::string("token-1"));
  manager->info()->setClientUID(std::string("u1"));
  manager->feedback(Value(), kMessage, result());
  manager->feedback(Value(), kMessage, std::string("u9"), std::string("token-9"), result());
  drain();
  ASSERT_EQ(manager->outboxDepth(), 2u);
  manager->info()->setPushServiceID(std::string("token-2"));
  script(Answer::Success);
  retries.at(0)();
  drain();
  std::vector<std::string> sent;
  for (const auto& request : http->requests()) {
    if (request.url.find("sent_ack") == std::string::npos) continue;
    const Dictionary form = ScriptedHttpClient::decodeForm(request.body);
    sent.push_back(form.get("PSID").stringOr("-") + " " + form.get("CUID").stringOr("-") + " " +
                   form.get("SEQNO").stringOr("-"));
  }
  // The first attempt was refused before its auth key: both are sent once.
  EXPECT_EQ(sent, (std::vector<std::string>{"token-2 u1 7", "token-9 u9 7"}));
  EXPECT_EQ(manager->outboxDepth(), 0u);
}

TEST_F(OutboxTest, AQueueStoredUnderOneKeyByAnEarlierVersionIsMovedAndResumed) {
  auto record = [](std::int64_t id, std::int64_t badge) {
    return Value(Dictionary{{"id", id},
                            {"lane", "badge"},
                            {"operation", "update"},
                            {"arguments", Dictionary{{"badge", badge}}},
                            {"created", 1'699'999'990.0}});
  };
  host.settings->set(
      "PushManagerKeyOutbox",
      Dictionary{{"next", 20}, {"entries", Array{record(10, 4), Value("torn"), record(11, 5)}}});
  script(Answer::Success);
  start();
  manager->update(Value(), Value(6), result());
  drain();
  std::vector<std::string> badges;
  for (const auto& request : http->requests()) {
    if (request.url.find("rcv_init_badgeNo.ctl") == std::string::npos) continue;
    badges.push_back(ScriptedHttpClient::decodeForm(request.body).get("BADGENO").stringOr("-"));
  }
  EXPECT_EQ(badges, (std::vector<std::string>{"4", "5", "6"}));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].id, 11);
  EXPECT_EQ(completions,
            (std::vector<std::pair<bool, std::optional<std::int64_t>>>{{true, std::nullopt}}));
  const auto stored = host.settings->snapshot();
  EXPECT_FALSE(stored.contains("PushManagerKeyOutbox"));
  EXPECT_EQ(stored.at("PushManagerKeyOutboxNext"), Value(21));
}

TEST_F(OutboxTest, EntriesResumeInOrderAfterARelaunchAndDuplicatesStayOut) {
  http->setResponder([](const HttpRequest&) { return refusedConnection(); });
  start();
  manager->applicationDidReceiveRemoteNotification(Value(), kMessage);
  manager->read(Value(), kMessage, result());
  manager->update(Value(), Value(1), result());
  manager->update(Value(), Value(2), result());
  manager->applicationDidReceiveRemoteNotification(Value(), kMessage);  // a replay
  drain();
  EXPECT_EQ(delegateLog->payloads.size(), 1u);
  ASSERT_EQ(completions.size(), 3u);
  for (const auto& [ok, queued] : completions) EXPECT_TRUE(!ok && queued);
  EXPECT_EQ(manager->outboxDepth(), 4u);
  host.clock->advance(90);
  EXPECT_EQ(manager->outboxOldestAgeSeconds(), 90.0);

  // The process dies; the next one finds the entries and the seen message.
  relaunch();
  delegateLog->payloads.clear();
  http->clearRequests();
  script(Answer::Success);
  start();
  drain();
  // In order within each lane: the read after its acknowledgement, the
  // badges as they were set.
  std::vector<std::string> messages;
  std::vector<std::string> badges;
  for (const auto& request : http->requests()) {
    const std::string file = request.url.substr(request.url.rfind('/') + 1);
    if (file == "rcv_init_badgeNo.ctl") {
      badges.push_back(ScriptedHttpClient::decodeForm(request.body).get("BADGENO").stringOr("-"));
    } else if (file != "asking_authorization.ctl") {
      messages.push_back(file);
    }
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"rcv_register_sent_ack.ctl",
                                                "rcv_register_send_result.ctl"}));
  EXPECT_EQ(badges, (std::vector<std::string>{"1", "2"}));
  ASSERT_EQ(reports.size(), 4u);
  for (const auto& report : reports) EXPECT_TRUE(report.success);
  EXPECT_EQ(manager->outboxDepth(), 0u);
  manager->applicationDidReceiveRemoteNotification(Value(), kMessage);
  drain();
  EXPECT_TRUE(delegateLog->payloads.empty());
}

TEST_F(OutboxTest, APayloadAcknowledgedByAKilledProcessIsDeliveredWithoutASecondAcknowledgement) {
  script(Answer::Success);
  // What a process killed after queuing the acknowledgement left behind.
  host.settings->set("PushManagerKeySeenMessages",
                     Array{Value("K7"), Value(host.clock->now().secondsSince1970), Value(1)});
  start();
  manager->applicationDidReceiveRemoteNotification(Value(), kMessage);
  manager->applicationDidReceiveRemoteNotification(Value(), kMessage);
  drain();
  EXPECT_EQ(delegateLog->payloads.size(), 1u);
  EXPECT_EQ(attempts, 0);  // nothing sent
  // A week and a second later the key is forgotten.
  host.clock->advance(7 * 24 * 3600 + 1);
  manager->applicationDidReceiveRemoteNotification(Value(), kMessage);
  drain();
  EXPECT_EQ(delegateLog->payloads.size(), 2u);
  EXPECT_EQ(attempts, 1);
}

class BoundedOutboxTest : public OutboxTest {
 protected:
  BoundedOutboxTest()
      : OutboxTest(durable("<max-entries>2</max-entries><max-age>3600</max-age>")) {}
};

TEST_F(BoundedOutboxTest, PastItsBoundsTheOldestEntryIsDroppedAndReported) {
  http->setResponder([](const HttpRequest&) { return refusedConnection(); });
  start();
  for (int badge : {1, 2, 3}) manager->update(Value(), Value(badge), result());
  drain();
  // The second waited behind the first, under way: its caller hears false.
  EXPECT_EQ(manager->outboxDepth(), 2u);
  EXPECT_TRUE(reports.empty());
  ASSERT_EQ(completions.size(), 3u);
  EXPECT_EQ(completions[0], std::make_pair(false, std::optional<std::int64_t>()));
  EXPECT_TRUE(completions[1].second && completions[2].second);
  // An hour and a second later both queued ones are too old: the delegate
  // hears of them; the new one stays.
  host.clock->advance(3601);
  manager->update(Value(), Value(4), result());
  drain();
  EXPECT_EQ(manager->outboxDepth(), 1u);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].dropped && !reports[0].success);
  EXPECT_EQ(reports[0].arguments.get("badge"), Value(1));
  EXPECT_EQ(reports[1].arguments.get("badge"), Value(3));

  // What grows too old while the application is away is reported at the next launch.
  host.clock->advance(3601);
  relaunch();
  start();
  drain();
  EXPECT_EQ(manager->outboxDepth(), 0u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].dropped);
  EXPECT_EQ(reports[0].arguments.get("badge"), Value(4));
}

}  // namespace
}  // namespace orvo::test
