// Every operation of the library that talks to a server, against every fault
// the emulator injects, over real sockets: the completion comes once, on the
// main queue, with the error the library documents for the fault; a failed
// operation leaves the stored record as it was, and the same operation
// succeeds once the fault is gone.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "State.h"
#include "emulator/EmulatorHarness.h"
#include "emulator/LibraryDevice.h"
#include "foundation/Log.h"
#include "integration/LoopbackServer.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/PushNotificationServiceExtension.h"
#include "orvo/platform/SimulatedNotificationHost.h"
#include "orvo/testing/ProcessReset.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "support/Manifest.h"
#include "support/TestHost.h"
#include "transport/PushNetworkManager.h"

namespace orvo::test {
namespace {

constexpr const char* kApp = "com.example.matrix";
// Past the client's 8 MiB cap and the extension's 5 MiB one.
constexpr long long kHugeBytes = 9LL << 20;

// The stored record: the identity fields and the purchase list.
enum Field : unsigned {
  kUser = 1,  // client UID and name
  kPhone = 2,
  kGroup = 4,
  kServiceID = 8,
  kLastDate = 16,
  kPurchases = 32,
};

struct Record {
  std::string clientUID, clientName, phone, group, serviceID, deviceUUID;
  double lastDate = 0;
  Value purchases;

  // The fields `other` differs in, beyond those in `allowed`.
  std::vector<std::string> changedFrom(const Record& other, unsigned allowed) const {
    std::vector<std::string> changed;
    auto check = [&](bool same, unsigned field, const char* name) {
      if (!same && !(allowed & field)) changed.push_back(name);
    };
    check(clientUID == other.clientUID && clientName == other.clientName, kUser, "user");
    check(phone == other.phone, kPhone, "phone");
    check(group == other.group, kGroup, "group");
    check(serviceID == other.serviceID, kServiceID, "push service ID");
    check(lastDate == other.lastDate, kLastDate, "last date");
    check(purchases == other.purchases, kPurchases, "purchases");
    check(deviceUUID == other.deviceUUID, 0, "device UUID");
    return changed;
  }
};

// What reached the operation's completion.
struct Seen {
  int calls = 0;
  bool offMainQueue = false;
  bool success = false;
  std::optional<ErrorInfo> error;  // when the operation hands one over
  std::optional<Value> result;     // a report's result
  std::vector<std::string> log;    // the log as it stood at the first call
};

enum class Family { Receiver, Report, ServerLog, Image };

// What an operation of a family ends with under one fault. `text` is the
// error's description; for errors of the platform (transport, JSON) only
// its start, the rest being the platform's detail.
struct Outcome {
  bool success = true;
  std::string domain;
  std::int64_t code = 0;
  std::string text;
};

Outcome ok() { return {}; }
Outcome network(std::string_view text, std::int64_t code = 0) {
  return {false, std::string(kNetworkErrorDomain), code, std::string(text)};
}
Outcome transport(CURLcode code) {
  return {false, std::string(kHttpTransportErrorDomain), code, curl_easy_strerror(code)};
}
Outcome json() {
  return {false, std::string(kJsonErrorDomain), kJsonErrorInvalidText, "Invalid JSON: "};
}
Outcome report(long status, std::string_view message) {
  return {false, "", status, std::string(message)};
}
// A 200 answer that is no image: the phone takes no ".tmp" attachment.
Outcome notAnImage() {
  return {false, std::string(kNotificationAttachmentErrorDomain),
          attachment_errors::kUnsupportedType,
          std::string(attachment_errors::kUnsupportedTypeText)};
}
Outcome imageStatus(int status) {
  return {false, std::string(kServiceExtensionErrorDomain), extension_errors::kHttpStatus,
          "The image server answered with status " + std::to_string(status)};
}

struct FaultCase {
  std::string name;
  Json rule;         // without its endpoint
  Outcome receiver;  // the receiver's calls and the acknowledgement
  Outcome report;    // session and purchase reports
  Outcome image;     // the extension's image download
  int logAttempts;   // posts of one log record
};

const std::string kSuccessEnvelope = receiverEnvelope();

// The table that drives the matrix. Only a rule with "times" ends by itself;
// the others stay until the cell's call is over, so that a retry of the
// connection by libcurl meets the fault too.
std::vector<FaultCase> faultCases() {
  return {
      {"latency", {{"effect", "latency"}, {"ms", 100}}, ok(), ok(), ok(), 1},
      {"timeout",
       {{"effect", "timeout"}, {"ms", 5000}},
       transport(CURLE_OPERATION_TIMEDOUT),
       transport(CURLE_OPERATION_TIMEDOUT),
       transport(CURLE_OPERATION_TIMEDOUT),
       3},
      {"reset",
       {{"effect", "reset"}},
       transport(CURLE_GOT_NOTHING),
       transport(CURLE_GOT_NOTHING),
       transport(CURLE_GOT_NOTHING),
       3},
      // No body: the receiver's "no data" comes before its status check.
      {"status 500",
       {{"effect", "status"}, {"status", 500}},
       network("invalid_result_data"),
       json(),
       imageStatus(500),
       3},
      // A success envelope under an error status; the log server reads only
      // the envelope.
      {"status 404",
       {{"effect", "status"}, {"status", 404}, {"body", kSuccessEnvelope}},
       network("invalid_status_code"),
       report(404, "invalid_status_code"),
       imageStatus(404),
       1},
      {"garbage", {{"effect", "garbage"}}, json(), json(), notAnImage(), 3},
      // Half an image is still a ".png" to the phone.
      {"truncate", {{"effect", "truncate"}}, json(), json(), ok(), 3},
      // The report server's answer is any JSON, whatever it says.
      {"result_code 9999",
       {{"effect", "result_code"}, {"result_code", "9999"}},
       network("invalid_result_code"),
       ok(),
       notAnImage(),
       3},
      {"40100 once",
       {{"effect", "result_code"}, {"result_code", "40100"}, {"times", 1}},
       ok(),
       ok(),
       notAnImage(),
       2},
      {"40100 always",
       {{"effect", "result_code"}, {"result_code", "40100"}},
       network("fail_auth", 40100),
       ok(),
       notAnImage(),
       3},
      {"no_header",
       {{"effect", "no_header"}},
       network("invalid_result_header"),
       ok(),
       notAnImage(),
       3},
      {"no_body", {{"effect", "no_body"}}, network("invalid_result_body"), ok(), notAnImage(), 1},
      {"huge_body",
       {{"effect", "huge_body"}, {"bytes", kHugeBytes}},
       transport(CURLE_FILESIZE_EXCEEDED),
       transport(CURLE_FILESIZE_EXCEEDED),
       transport(CURLE_FILESIZE_EXCEEDED),
       3},
  };
}

// One device with the library in it, as a fresh process would have it.
class Cell : public LibraryDevice {
 public:
  Cell(RunningEmulator& emulator, const std::string& name)
      : LibraryDevice(emulator, name, kApp), emu(emulator) {
    std::filesystem::create_directories(imageDir());
    manager = PushManager::defaultManager();
    manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
    manager->initilaizeWithDelegate(delegate);
    EXPECT_TRUE(runUntil([&] { return manager->info() != nullptr; }));
    manager->info()->changexeltHost(emu.url() + "/");
  }

  ~Cell() {
    EXPECT_TRUE(settle());
    logging::setSwitch(nullptr);
    resetProcessState();
    Host::setCurrent(nullptr);
  }

  bool runUntil(const std::function<bool()>& done) { return loop->runUntil(done, kGenerousWait); }
  // Runs the loop until no exchange is under way, the late ones included.
  bool settle() {
    if (!runUntil([&] { return http->pending() == 0; })) return false;
    loop->runUntilIdle();
    return true;
  }

  bool registerUser() {
    std::optional<bool> done;
    manager->registerServiceAndUser(Value(), "alice", "Alice", [&](bool ok) { done = ok; });
    // The day's app-alive follows the registration.
    return runUntil([&] { return done.has_value(); }) && *done && settle() &&
           emu.count({{"endpoint", "rcv_appAlive.ctl"}, {"result_code", "0000"}}) == 1;
  }
  // A message from the service to alice, as her phone hands it over.
  bool receiveMessage() {
    const Reply sent = emu.post("/__admin/send", {{"user", "alice"}, {"message", "m"}});
    if (sent.status != 200) return false;
    for (const auto& row : emu.list("messages")) {
      if (row["seqno"] == sent.json["seqno"]) {
        payload = payloadOf(row["deliveries"][0]["payload"]);
        return !payload.empty();
      }
    }
    return false;
  }
  // An operation run for its effect alone, without a fault.
  bool succeeds(const std::function<void(ResultHandler)>& start) {
    std::optional<bool> outcome;
    start([&](bool success) { outcome = success; });
    return runUntil([&] { return outcome.has_value(); }) && *outcome && settle();
  }

  Record record() const {
    const auto info = manager->info();
    return Record{info->clientUID(),
                  info->clientName(),
                  info->phoneNumber(),
                  info->groupSequenceNumber(),
                  info->pushServiceID(),
                  info->deviceUUID(),
                  info->pushServiceLastDate().secondsSince1970,
                  host->settings->get(PushManager::kPurchaseArrayKey)};
  }

  // A completion that notes how it was called.
  std::function<void(bool, std::optional<ErrorInfo>, std::optional<Value>)> recorder(Seen& seen) {
    return
        [this, &seen](bool success, std::optional<ErrorInfo> error, std::optional<Value> result) {
          if (!loop->isRunningOnThisThread()) seen.offMainQueue = true;
          if (seen.calls++ > 0) return;
          seen.success = success;
          seen.error = std::move(error);
          seen.result = std::move(result);
          seen.log = log->lines();
        };
  }

  std::string imageDir() const { return dataDir.path() + "/images"; }
  std::size_t imagesKept() const {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(imageDir()))
      ++count;
    return count;
  }

  RunningEmulator& emu;
  std::shared_ptr<PushManagerDelegate> delegate = std::make_shared<PushManagerDelegate>();
  std::shared_ptr<PushManager> manager;
  Dictionary payload;
  int calls = 0;  // the operation's calls in this cell so far
};

struct Operation {
  std::string name;
  Family family;
  std::string endpoint;
  bool registered = true;  // alice registered before the first call
  unsigned keeps = 0;      // fields it stores whatever the server answers
  // Before each call (none when empty); false when it could not be done.
  std::function<bool(Cell&)> prepare;
  std::function<void(Cell&, Seen&)> start;
  // Where an operation's own handling gives another outcome than its family.
  std::vector<std::pair<std::string, Outcome>> exceptions = {};
};

using ResultStart = std::function<void(Cell&, ResultHandler)>;
// An operation whose completion has the success flag alone.
std::function<void(Cell&, Seen&)> flagOnly(ResultStart start) {
  return [start](Cell& cell, Seen& seen) {
    auto record = cell.recorder(seen);
    start(cell, [record](bool success) { record(success, std::nullopt, std::nullopt); });
  };
}
std::function<void(Cell&, Seen&)> reportOf(std::function<void(Cell&, ReportHandler)> start) {
  return [start](Cell& cell, Seen& seen) {
    auto record = cell.recorder(seen);
    start(cell, [record](bool success, const std::optional<Value>& result) {
      record(success, std::nullopt, result);
    });
  };
}

std::vector<Operation> operations() {
  const auto message = [](Cell& cell) { return cell.receiveMessage(); };
  const auto bob = [](Cell& cell) { return !cell.emu.registerDevice(kApp, "bob").empty(); };
  return {
      {"registerServiceAndUser", Family::Receiver, "new_rcv_register_service_and_user.ctl", false,
       kUser | kServiceID | kLastDate, nullptr,
       [](Cell& cell, Seen& seen) {
         auto record = cell.recorder(seen);
         cell.manager->registerServiceAndUserWithInfo(
             Value(), "alice", "Alice",
             [record](bool success, const std::optional<ErrorInfo>& error,
                      const std::optional<Dictionary>&) { record(success, error, std::nullopt); });
       }},
      // Again after unregistering: the receiver knows the device, not
      // registered.
      {"registerService", Family::Receiver, "rcv_register_service.ctl", true, kServiceID,
       [](Cell& cell) {
         return cell.succeeds([&](ResultHandler done) {
           cell.manager->unregisterService(Value(), std::move(done));
         });
       },
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->registerService(Value(), std::move(done));
       })},
      {"getRegisteredService", Family::Receiver, "rcv_get_service.ctl", true, 0, nullptr,
       [](Cell& cell, Seen& seen) {
         auto record = cell.recorder(seen);
         cell.manager->getRegisteredService(
             Value(), [record](bool registered, const std::optional<ErrorInfo>& error) {
               record(registered, error, std::nullopt);
             });
       }},
      {"unregisterService", Family::Receiver, "rcv_delete_service.ctl", true, kLastDate, nullptr,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->unregisterService(Value(), std::move(done));
       })},
      // A refused key ends in the registered-service query, which decides.
      {"registerUser",
       Family::Receiver,
       "rcv_register_user.ctl",
       true,
       kUser | kPhone | kLastDate,
       nullptr,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->registerUser(Value(), "alice", "Alice Lee", "01012345678", std::move(done));
       }),
       {{"40100 always", ok()}}},
      {"unregisterUser", Family::Receiver, "rcv_delete_user.ctl", true, kUser | kPhone | kGroup,
       [](Cell& cell) {
         return cell.succeeds([&](ResultHandler done) {
           cell.manager->registerUser(Value(), "alice", "Alice", std::move(done));
         });
       },
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->unregisterUser(Value(), std::move(done));
       })},
      {"registerGroup", Family::Receiver, "rcv_register_usergroup_user.ctl", true, kGroup, nullptr,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->registerGroup(Value(), "G7", std::move(done));
       })},
      {"unregisterGroup", Family::Receiver, "rcv_delete_usergroup_user.ctl", true, kGroup,
       [](Cell& cell) {
         return cell.succeeds([&](ResultHandler done) {
           cell.manager->registerGroup(Value(), "G7", std::move(done));
         });
       },
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->unregisterGroup(Value(), "G7", std::move(done));
       })},
      {"feedback", Family::Receiver, "rcv_register_sent_ack.ctl", true, 0, message,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->feedback(Value(), cell.payload, std::move(done));
       })},
      {"read", Family::Receiver, "rcv_register_send_result.ctl", true, 0, message,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->read(Value(), cell.payload, std::move(done));
       })},
      {"update badge", Family::Receiver, "rcv_init_badgeNo.ctl", true, 0, nullptr,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->update(Value(), Value(5), std::move(done));
       })},
      {"send", Family::Receiver, "rcv_register_message.ctl", true, 0, bob,
       flagOnly([](Cell& cell, ResultHandler done) {
         cell.manager->send(Value(), "bob", "hello", Value(), "SVC1", "ext", std::move(done));
       })},
      {"send reserved", Family::Receiver, "rcv_register_message.ctl", true, 0, bob,
       [](Cell& cell, Seen& seen) {
         auto record = cell.recorder(seen);
         cell.manager->sendWithReserveDate(
             Value(), "bob", "later", "SVC1", emulator::compactDate(realTimeMs() + 3'600'000), "",
             [record](bool success, const std::optional<Dictionary>&) {
               record(success, std::nullopt, std::nullopt);
             });
       }},
      // A notification the phone hands over reaches the application after
      // its acknowledgement, marked only when that succeeded.
      {"notification intake", Family::Receiver, "rcv_register_sent_ack.ctl", true, 0, message,
       [](Cell& cell, Seen& seen) {
         auto record = cell.recorder(seen);
         cell.delegate->didReceiveUserNotification = [record](
                                                         PushManager&, const Dictionary& payload,
                                                         const std::string&, const std::string&) {
           const std::string* mark = payload.getString(payload_keys::kFeedback);
           record(mark && *mark == payload_keys::kFeedbackDone, std::nullopt, std::nullopt);
         };
         cell.phone->deliverRemoteNotification(cell.payload);
       }},
      // The extension's acknowledgement: the content comes back marked only
      // when it succeeded, after the extension object itself is gone.
      {"extension acknowledgement", Family::Receiver, "rcv_register_sent_ack.ctl", true, 0, message,
       [](Cell& cell, Seen& seen) {
         auto record = cell.recorder(seen);
         PushNotificationServiceExtension extension;
         NotificationRequest request;
         request.identifier = "matrix";
         request.content.userInfo = cell.payload;
         extension.didReceiveNotificationRequest(
             request, [record](const NotificationContent& content) {
               const std::string* mark = content.userInfo.getString(payload_keys::kFeedback);
               record(mark && *mark == payload_keys::kFeedbackDone, std::nullopt, std::nullopt);
             });
       }},
      {"extension image", Family::Image, "images", true, 0, nullptr,
       [](Cell& cell, Seen& seen) {
         auto record = cell.recorder(seen);
         PushNotificationServiceExtension extension;
         extension.setTemporaryDirectory(cell.imageDir());
         extension.requestAttachmentImage(
             cell.emu.url() + "/images/sample.png",
             [record](const std::optional<ErrorInfo>& error,
                      const std::optional<NotificationAttachment>& attachment) {
               // Exactly one of the two: both or neither fails the cell.
               record(attachment.has_value(), error, std::nullopt);
             });
       }},
      {"updateSession", Family::Report, "mobile/last-session", true, 0, nullptr,
       reportOf([](Cell& cell, ReportHandler done) {
         cell.manager->updateSession(Value(), "alice", std::move(done));
       })},
      // Recorded on the outcome, whatever it is; each call a new purchase.
      {"updatePurchase", Family::Report, "mobile/purchase", true, kPurchases, nullptr,
       reportOf([](Cell& cell, ReportHandler done) {
         cell.manager->updatePurchase(Value(), "P-" + std::to_string(cell.calls), "alice",
                                      std::move(done));
       })},
      {"sendServerLog", Family::ServerLog, "putAppLog.ctl", true, 0, nullptr,
       [](Cell& cell, Seen&) { cell.manager->sendServerLog("matrix failure", 0); }},
  };
}

// The description of the first failed exchange the transport logged.
std::optional<std::string> firstLoggedError(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (line.rfind("error: ", 0) == 0) return line.substr(7);
  }
  return std::nullopt;
}

bool startsWith(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0;
}

void expectError(const Outcome& expected, const ErrorInfo& error) {
  EXPECT_EQ(error.domain, expected.domain) << error.description;
  EXPECT_EQ(error.code, expected.code) << error.description;
  if (expected.domain == kNetworkErrorDomain || expected.domain == kServiceExtensionErrorDomain ||
      expected.domain == kNotificationAttachmentErrorDomain) {
    EXPECT_EQ(error.description, expected.text);
  } else {
    EXPECT_TRUE(startsWith(error.description, expected.text)) << error.description;
  }
}

void expectOutcome(Family family, const Outcome& expected, const Seen& seen) {
  EXPECT_EQ(seen.success, expected.success);
  if (family == Family::Report) {
    // {"code", "message"} on failure; the parsed answer on success.
    ASSERT_TRUE(seen.result.has_value());
    const Dictionary* result = seen.result->asDictionary();
    ASSERT_NE(result, nullptr);
    if (expected.success) return;
    const std::string* code = result->getString("code");
    const std::string* message = result->getString("message");
    ASSERT_TRUE(code && message) << describe(*seen.result);
    EXPECT_EQ(*code, std::to_string(expected.code)) << *message;
    EXPECT_TRUE(expected.domain.empty() ? *message == expected.text
                                        : startsWith(*message, expected.text))
        << *message;
    return;
  }
  if (seen.error) {
    if (expected.success) {
      ADD_FAILURE() << "unexpected error " << describe(*seen.error);
    } else {
      expectError(expected, *seen.error);
    }
  }
  if (family == Family::Image) {
    EXPECT_EQ(seen.error.has_value(), !expected.success);
    return;
  }
  // The receiver's calls: what the transport logged before the completion.
  const auto logged = firstLoggedError(seen.log);
  if (expected.success) {
    // A refused key once leaves its trace before the resend.
    EXPECT_TRUE(!logged || *logged == "fail_auth") << *logged;
    return;
  }
  ASSERT_TRUE(logged.has_value()) << "no error logged";
  if (expected.domain == kNetworkErrorDomain) {
    EXPECT_EQ(*logged, expected.text);
  } else {
    EXPECT_TRUE(startsWith(*logged, expected.text)) << *logged;
  }
  if (expected.domain == kHttpTransportErrorDomain) {
    const std::string trace = "- error : Error Domain=" + expected.domain +
                              " Code=" + std::to_string(expected.code) + " ";
    EXPECT_TRUE(std::any_of(seen.log.begin(), seen.log.end(),
                            [&](const std::string& line) { return startsWith(line, trace); }))
        << "no line " << trace;
  }
}

// The retry counts of the log records posted, each once.
std::vector<std::string> logRetries(RunningEmulator& emu) {
  std::set<std::string> retries;
  for (const auto& entry : emu.journal("putAppLog.ctl")) {
    const Json record = Json::parse(entry["form"].value("log", ""), nullptr, false);
    retries.insert(record.is_object() ? record.value("retry count", "?") : "?");
  }
  return {retries.begin(), retries.end()};
}

TEST(FaultMatrixTest, EveryServerOperationAgainstEveryFault) {
  auto options = quietEmulator();
  options.receiverVersion = ManifestOptions{}.version;
  RunningEmulator emu(options);
  const auto faults = faultCases();
  const auto ops = operations();
  int cells = 0;
  for (const Operation& op : ops) {
    for (const FaultCase& fault : faults) {
      SCOPED_TRACE(op.name + " under " + fault.name);
      ++cells;
      ASSERT_EQ(emu.post("/__admin/reset", Json::object()).status, 200);
      Cell cell(emu, "alice");
      if (op.registered) {
        ASSERT_TRUE(cell.registerUser()) << "registration before the call";
      }
      Outcome expected = op.family == Family::Report  ? fault.report
                         : op.family == Family::Image ? fault.image
                                                      : fault.receiver;
      for (const auto& [name, outcome] : op.exceptions)
        if (name == fault.name) expected = outcome;

      // The call under the fault.
      if (op.prepare) {
        ASSERT_TRUE(op.prepare(cell)) << "preparing the call";
      }
      const Record before = cell.record();
      emu.del("/__admin/requests");
      Json rule = fault.rule;
      rule["endpoint"] = op.endpoint;
      ASSERT_EQ(emu.post("/__admin/faults", rule).status, 200);
      if (fault.name == "timeout") cell.http->shortTimeoutFor = "/" + op.endpoint;
      cell.log->clear();
      Seen seen;
      op.start(cell, seen);
      ++cell.calls;
      if (op.family == Family::ServerLog) {
        ASSERT_TRUE(cell.settle());
        // Each attempt goes out once the one before has failed, with its
        // retry count. (libcurl itself may send an attempt twice when the
        // kept-alive connection it chose was reset.)
        std::vector<std::string> expected;
        for (int retry = 0; retry < fault.logAttempts; ++retry)
          expected.push_back(std::to_string(retry));
        EXPECT_TRUE(eventually([&] { return logRetries(emu) == expected; }))
            << emu.journal(op.endpoint).dump(1);
      } else {
        ASSERT_TRUE(cell.runUntil([&] { return seen.calls > 0; })) << "no completion";
        ASSERT_TRUE(cell.settle());
        EXPECT_EQ(seen.calls, 1);
        EXPECT_FALSE(seen.offMainQueue) << "a completion ran outside the main queue";
        expectOutcome(op.family, expected, seen);
        // A held request is journalled once the emulator sees it closed.
        EXPECT_TRUE(eventually([&] {
          return emu.count({{"endpoint", op.endpoint}, {"fault", true}}) >= 1;
        })) << "the fault never met the call";
        if (!seen.success) {
          EXPECT_EQ(cell.record().changedFrom(before, op.keeps), std::vector<std::string>{})
              << "stored fields changed by a failed call";
        }
        if (op.family == Family::Image && !seen.success) {
          EXPECT_EQ(cell.imagesKept(), 0u) << "a file left behind";
        }
      }

      // The same call once the fault is gone.
      ASSERT_EQ(emu.del("/__admin/faults").status, 200);
      cell.http->shortTimeoutFor.clear();
      if (op.prepare) {
        ASSERT_TRUE(op.prepare(cell)) << "preparing the call again";
      }
      emu.del("/__admin/requests");
      cell.log->clear();
      Seen again;
      op.start(cell, again);
      ++cell.calls;
      if (op.family == Family::ServerLog) {
        ASSERT_TRUE(cell.settle());
        EXPECT_EQ(emu.count({{"endpoint", op.endpoint}, {"result_code", "0000"}}), 1);
        continue;
      }
      ASSERT_TRUE(cell.runUntil([&] { return again.calls > 0; })) << "no completion after";
      ASSERT_TRUE(cell.settle());
      EXPECT_EQ(again.calls, 1);
      EXPECT_TRUE(again.success) << "the call after the fault failed: "
                                 << firstLoggedError(again.log).value_or("") << " "
                                 << (again.error ? describe(*again.error) : "");
    }
  }
  std::printf("fault matrix: %zu operations x %zu faults = %d cells\n", ops.size(), faults.size(),
              cells);
}

}  // namespace
}  // namespace orvo::test
