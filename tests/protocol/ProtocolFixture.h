// A receiver protocol on a host of doubles: a scripted HTTP client, a record
// in memory, and the owner's log switch.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "orvo/PushErrors.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "orvo/testing/ScriptedHttpClient.h"
#include "support/TestHost.h"

namespace orvo::test {

inline constexpr const char* kAuthEndpoint = "asking_authorization.ctl";
using Keys = std::set<std::string>;

class FixedContext : public ReceiverContext {
 public:
  std::shared_ptr<PushManagerInfo> info() const override { return record; }
  bool logEnabled() const override { return logging; }
  std::shared_ptr<PushManagerInfo> record = std::make_shared<PushManagerInfo>(false);
  bool logging = false;
};

// What one completion received, and where.
struct Outcome {
  int calls = 0;
  bool success = false;
  std::optional<ErrorInfo> error;
  std::optional<Dictionary> body;
  std::string key;
  std::thread::id thread;
};

// A copy of d with the pairs, written flat, set: {"K1", "v1", "K2", "v2"}.
inline Dictionary with(Dictionary d, std::initializer_list<std::string> flat) {
  for (auto it = flat.begin(); it != flat.end(); it += 2) d.set(*it, it[1]);
  return d;
}
inline Dictionary pairs(std::initializer_list<std::string> flat) { return with({}, flat); }
inline Keys plus(Keys keys, const Keys& more) {
  keys.insert(more.begin(), more.end());
  return keys;
}

inline HttpResult envelopeAnswer(const Dictionary& body, std::string_view resultCode = "0000") {
  return ScriptedHttpClient::jsonAnswer(receiverEnvelope(body, resultCode));
}

class ProtocolTest : public ::testing::Test {
 protected:
  using Call = std::function<void(Outcome&)>;

  ProtocolTest() {
    host.host->http = http;
    info().config()->setApplicationID("app.one");
    info().config()->setCustomerCode("CUST9");
    info().config()->setUsePhoneNumber(true);
    info().setClientUID("alice");
    info().setClientName("Alice");
    info().setPushServiceID("tok123");
    info().setPhoneNumber("0105551234");
    info().setGroupSequenceNumber("77");
    info().changeDeviceUUID("dev-1");
    info().setAuthKey(std::string("K"));
  }

  PushManagerInfo& info() { return *context->record; }
  Call op(void (ReceiverProtocol::*f)(ReceiverHandler)) {
    return [this, f](Outcome& o) { ((*protocol).*f)(capture(o)); };
  }
  void setReceiverVersion(const std::string& v) { info().config()->setReceiverVersion(v); }
  void drain() { host.runLoop->runUntilIdle(); }

  static void store(Outcome& o, bool success, const std::optional<ErrorInfo>& error,
                    std::optional<Dictionary> body = {}, std::string key = {}) {
    o = {o.calls + 1, success, error, std::move(body), std::move(key), std::this_thread::get_id()};
  }
  static ReceiverHandler capture(Outcome& o) {
    return [&o](bool success, const auto& error) { store(o, success, error); };
  }
  static ReceiverBodyHandler captureBody(Outcome& o) {
    return
        [&o](bool success, const auto& error, const auto& body) { store(o, success, error, body); };
  }
  static AuthKeyHandler captureKey(Outcome& o) {
    return [&o](bool success, const auto& key, const auto& error) {
      store(o, success, error, {}, key);
    };
  }

  // Answers each endpoint the same way every time; any other endpoint fails
  // at the transport.
  void answerByEndpoint(std::map<std::string, HttpResult> answers) {
    http->setResponder([answers = std::move(answers)](const HttpRequest& request) {
      auto found = answers.find(request.url.substr(request.url.rfind('/') + 1));
      if (found != answers.end()) return found->second;
      return HttpResult{std::nullopt, ErrorInfo{"Elsewhere", -1, "unexpected", {}}};
    });
  }

  // A call the server answers with success: completed on the main queue
  // after one request to the endpoint, whose form is returned.
  Dictionary sent(const Call& call, const std::string& endpoint, const Dictionary& answer = {}) {
    const std::size_t before = requestCount();
    http->enqueueEnvelope(answer);
    Outcome outcome;
    call(outcome);
    EXPECT_EQ(outcome.calls, 0);
    drain();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.success);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    EXPECT_EQ(requestCount(), before + 1);
    if (requestCount() != before + 1) return {};
    EXPECT_EQ(endpointOf(before), endpoint);
    return formOf(before);
  }

  // A call answered before any request: at once on the caller's thread,
  // nothing sent.
  Outcome atOnce(const Call& call) {
    const std::size_t before = requestCount();
    Outcome outcome;
    std::thread caller([&] { call(outcome); });
    const auto callerId = caller.get_id();
    caller.join();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.thread, callerId);
    drain();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(requestCount(), before);
    return outcome;
  }

  Outcome run(const Call& call) {
    Outcome outcome;
    call(outcome);
    drain();
    EXPECT_EQ(outcome.calls, 1);
    return outcome;
  }

  static void expectError(const Outcome& outcome, std::int64_t code, std::string_view text) {
    EXPECT_FALSE(outcome.success || outcome.body);
    EXPECT_EQ(outcome.error, std::optional<ErrorInfo>(libraryError(code, text)));
  }
  // Refused at once with the library's error; the line is written always, or
  // only while logging.
  void expectRefused(const Call& call, std::int64_t code, std::string_view text,
                     const std::string& line, bool alwaysLogged) {
    for (bool logging : {false, true}) {
      SCOPED_TRACE(logging ? "logging" : "not logging");
      context->logging = logging;
      host.log->clear();
      expectError(atOnce(call), code, text);
      EXPECT_EQ(host.log->count(line), alwaysLogged || logging ? 1u : 0u);
    }
  }
  // A failed auth-key request comes first and ends the call with its error;
  // the operation's line is written only while logging.
  void expectKeyFailureEnds(const Call& call, const std::string& linePrefix) {
    for (bool logging : {false, true}) {
      SCOPED_TRACE(logging ? "logging" : "not logging");
      context->logging = logging;
      info().setAuthKey(std::nullopt);
      host.log->clear();
      const std::size_t before = requestCount();
      http->enqueueEnvelope({}, "9999");
      Outcome o = run(call);
      EXPECT_FALSE(o.success || o.body);
      EXPECT_EQ(o.error->description, "invalid_result_code");
      EXPECT_EQ(requestCount(), before + 1);
      EXPECT_EQ(endpointOf(before), kAuthEndpoint);
      EXPECT_EQ(hasLine(linePrefix + "invalid_result_code"), logging);
    }
    info().setAuthKey(std::string("K"));
  }

  // Every key the service and user calls send, with this record's value.
  Dictionary recordValues(const std::string& authKey = "K") {
    return pairs({"APP_ID",      "app.one",    "CBSID",     "app.one", "CBS_ID",    "app.one",
                  "CUST_CD",     "CUST9",      "CUID",      "alice",   "CNAME",     "Alice",
                  "USER_NM",     "Alice",      "DEVICE_ID", "dev-1",   "DVC_ID",    "dev-1",
                  "DEVICE_TYPE", "I",          "DVC_TYP",   "I",       "PNSID",     "APNS",
                  "PNS_ID",      "APNS",       "PSID",      "tok123",  "PHONENUM",  "0105551234",
                  "USER_HP",     "0105551234", "GROUPSEQ",  "77",      "DEVICE_MD", "TestPhone",
                  "OS_VER",      "17.0",       "APP_VER",   "7",       "APNS_MODE", "REAL",
                  "AUTHKEY",     authKey});
  }
  // The entries of `values` under `keys`.
  static Dictionary pick(const Dictionary& values, const Keys& keys) {
    Dictionary picked;
    for (const auto& key : keys) picked.set(key, values.contains(key) ? values.get(key) : "?");
    return picked;
  }

  std::string endpointOf(std::size_t i) const {
    const std::string url = http->requests().at(i).url;
    return url.substr(url.rfind('/') + 1);
  }
  Dictionary formOf(std::size_t i) const {
    return ScriptedHttpClient::decodeForm(http->requests().at(i).body);
  }
  static Keys keysOf(const Dictionary& form) {
    auto keys = form.keys();
    return Keys(keys.begin(), keys.end());
  }
  std::size_t requestCount() const { return http->requestCount(); }
  std::size_t countOf(const std::string& endpoint) const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < requestCount(); ++i) n += endpointOf(i) == endpoint;
    return n;
  }
  bool hasLine(const std::string& line) const {
    auto lines = host.log->lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  TestHost host;
  std::shared_ptr<ScriptedHttpClient> http = std::make_shared<ScriptedHttpClient>(host.runLoop);
  std::shared_ptr<FixedContext> context = std::make_shared<FixedContext>();
  std::shared_ptr<ReceiverProtocol> protocol = ReceiverProtocol::create(context, host.host);
};

}  // namespace orvo::test
