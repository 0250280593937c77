// A session or purchase report's answer, status and body as they arrive, to
// the outcome the application's completion receives: exactly once, on the
// main queue, a success only with a body that is JSON.
#include <thread>

#include "FuzzSupport.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/testing/ScriptedHttpClient.h"
#include "support/Manifest.h"

using namespace orvo;

namespace {

constexpr long kStatuses[] = {200, 201, 204, 299, 300, 400, 404, 500, 0, 199};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::TestHost& host = fuzz::host();
  static const std::thread::id mainThread = std::this_thread::get_id();
  static auto http = std::make_shared<ScriptedHttpClient>(host.runLoop);
  static std::shared_ptr<PushManager> manager = [&host] {
    host.bundleDir.write("res/Manifest.xml", test::manifestXml({.log = false}));
    host.host->http = http;
    auto started = PushManager::defaultManager();
    host.runLoop->runUntilIdle();
    return started;
  }();

  fuzz::Input input(data, size);
  const std::uint8_t choice = input.byte();
  const long status = kStatuses[input.byte() % std::size(kStatuses)];
  const std::string body(input.rest());
  http->setResponder([status, body](const HttpRequest&) {
    return HttpResult{HttpResponse{status, {}, "application/json", "utf-8", body}, {}};
  });

  int calls = 0;
  bool onMain = true;
  bool succeeded = false;
  ReportHandler completion = [&](bool success, const std::optional<Value>& result) {
    ++calls;
    onMain = std::this_thread::get_id() == mainThread;
    succeeded = success;
    FUZZ_CHECK(!success || result.has_value(), "a success carries the answer");
  };
  const std::string reports = "https://reports.example.com";
  if ((choice & 1) != 0) {
    manager->updateSessionWithOption(Value(), Dictionary{{"host", reports}, {"cuid", "alice"}},
                                     completion);
  } else {
    // Purchases reported once are refused after: a few identifiers keep both
    // paths in play.
    manager->updatePurchase(
        Value(),
        Dictionary{{"host", reports}, {"cuid", "alice"}, {"id", "order-" + std::to_string(choice)}},
        completion);
  }
  host.runLoop->runUntilIdle();
  http->clearRequests();
  FUZZ_CHECK(calls == 1, "the completion runs exactly once");
  FUZZ_CHECK(onMain, "the completion runs on the main queue");
  if (succeeded) {
    FUZZ_CHECK(status >= 200 && status <= 299 && parseJson(body).ok(),
               "success only for a 2xx answer with a JSON body");
  }
  return 0;
}
