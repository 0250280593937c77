// A notification payload as the platform hands it over: the silent-push
// test, the notification record, and the manager's intake with its
// acknowledgement, whose form must always encode and decode.
#include "FuzzSupport.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/PushNotification.h"
#include "orvo/PushNotificationCenter.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "orvo/testing/ScriptedHttpClient.h"
#include "support/Manifest.h"

using namespace orvo;

namespace {

struct Started {
  std::shared_ptr<ScriptedHttpClient> http;
  std::shared_ptr<PushManager> manager;
  std::shared_ptr<int> delivered = std::make_shared<int>(0);
};

Started& started() {
  static Started* kept = [] {
    test::TestHost& host = fuzz::host();
    host.bundleDir.write("res/Manifest.xml", test::manifestXml({.log = false}));
    auto* s = new Started;
    s->http = std::make_shared<ScriptedHttpClient>(host.runLoop);
    s->http->setResponder([](const HttpRequest&) {
      return ScriptedHttpClient::jsonAnswer(receiverEnvelope({{"AUTHKEY", "k"}}));
    });
    host.host->http = s->http;
    host.notifications->setApplication(std::make_shared<PushApplicationDelegate>());
    s->manager = PushManager::defaultManager();
    auto delegate = std::make_shared<PushManagerDelegate>();
    delegate->didReceiveUserNotification = [count = s->delivered](PushManager&, const Dictionary&,
                                                                  const std::string&,
                                                                  const std::string&) { ++*count; };
    s->manager->initilaizeWithDelegate(delegate);
    host.runLoop->runUntilIdle();
    return s;
  }();
  return *kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Started& s = started();
  test::TestHost& host = fuzz::host();
  fuzz::Input input(data, size);
  const std::int64_t status = input.byte() % 6;
  Result<Value> parsed = parseJson(input.rest());
  if (!parsed.ok() || !parsed.value().asDictionary()) return 0;
  const Dictionary payload = *parsed.value().asDictionary();

  const bool silent = PushManager::isOrvoSilentPush(payload);
  auto notification = PushNotification::create(payload, status, host.device);
  FUZZ_CHECK(notification->messageUID().size() == 34, "the message UID has its form");
  (void)notification->aps();
  (void)notification->orv();
  (void)notification->title();
  (void)notification->ext();
  (void)notification->statusString();

  const std::size_t before = s.http->requestCount();
  const int deliveredBefore = *s.delivered;
  s.manager->applicationDidReceiveRemoteNotification(Value(), payload);
  host.runLoop->runUntilIdle();
  const std::vector<HttpRequest> requests = s.http->requests();
  for (std::size_t i = before; i < requests.size(); ++i) {
    const Dictionary form = ScriptedHttpClient::decodeForm(requests[i].body);
    FUZZ_CHECK(!form.empty(), "a request carries its form");
  }
  if (silent) {
    FUZZ_CHECK(requests.size() == before, "a silent push is not acknowledged");
  }
  FUZZ_CHECK(*s.delivered - deliveredBefore <= 1,
             "a notification reaches the delegate at most once");
  s.manager->notificationCenter()->clear();
  s.http->clearRequests();
  return 0;
}
