// A receiver's answer, status and body as they arrive, through the envelope
// handling of each kind of call to its completion: whatever the bytes, the
// completion runs exactly once, on the main queue.
#include <thread>

#include "FuzzSupport.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/testing/ScriptedHttpClient.h"

using namespace orvo;

namespace {

class Context : public ReceiverContext {
 public:
  std::shared_ptr<PushManagerInfo> info() const override { return record; }
  bool logEnabled() const override { return logging; }
  std::shared_ptr<PushManagerInfo> record = std::make_shared<PushManagerInfo>(false);
  bool logging = false;
};

constexpr long kStatuses[] = {200, 201, 204, 206, 299, 300, 302, 400, 401, 404, 500, 503, 0, 999};

// The fuzzing thread runs the run loop: a completion elsewhere is a fault.
struct Count {
  int calls = 0;
  bool onMain = true;
  std::thread::id main = std::this_thread::get_id();
};

void counted(Count& count) {
  ++count.calls;
  count.onMain = count.onMain && std::this_thread::get_id() == count.main;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::TestHost& host = fuzz::host();
  static auto http = std::make_shared<ScriptedHttpClient>(host.runLoop);
  static auto context = std::make_shared<Context>();
  static auto protocol = [] {
    fuzz::host().host->http = http;
    return ReceiverProtocol::create(context, fuzz::host().host);
  }();

  fuzz::Input input(data, size);
  const std::uint8_t operation = input.byte();
  const long status = kStatuses[input.byte() % std::size(kStatuses)];
  const std::uint8_t flags = input.byte();
  const std::string body(input.rest());

  PushManagerInfo& record = *context->record;
  record.config()->setApplicationID("app.one");
  record.config()->setCustomerCode("CUST9");
  record.config()->setReceiverVersion((flags & 1) != 0 ? "3.6" : "4.0");
  record.setClientUID("alice");
  record.setPushServiceID("tok123");
  record.changeDeviceUUID("dev-1");
  record.setGroupSequenceNumber("77");
  // Without a key every call first asks for one, through the same answer.
  if ((flags & 2) != 0) {
    record.setAuthKey(std::string("K"));
  } else {
    record.setAuthKey(std::nullopt);
  }
  context->logging = (flags & 4) != 0;
  const std::string contentType = (flags & 8) != 0 ? "text/html" : "application/json";
  http->setResponder([status, contentType, body](const HttpRequest&) {
    return HttpResult{HttpResponse{status, {}, contentType, "utf-8", body}, {}};
  });

  Count count;
  auto plain = [&count](bool, const std::optional<ErrorInfo>&) { counted(count); };
  auto withBody = [&count](bool, const std::optional<ErrorInfo>&, const auto&) { counted(count); };
  const Dictionary notification{
      {"orv", Dictionary{{"messageuniquekey", "M1"}, {"seqno", "12"}, {"db_in", "Y"}}}};
  switch (operation % 12) {
    case 0:
      protocol->asking([&count](bool, const std::string&, const auto&) { counted(count); }, "alice",
                       "tok123", true);
      break;
    case 1:
      protocol->registerService(plain);
      break;
    case 2:
      protocol->getRegisteredService(plain);
      break;
    case 3:
      protocol->callAppAlive(plain);
      break;
    case 4:
      protocol->unregisterService(plain);
      break;
    case 5:
      protocol->registerServiceAndUser(withBody);
      break;
    case 6:
      protocol->registerUser(plain);
      break;
    case 7:
      protocol->registerGroup(plain);
      break;
    case 8:
      protocol->feedback(plain, notification);
      break;
    case 9:
      protocol->read(plain, notification, 1, Value(std::int64_t{3}));
      break;
    case 10:
      protocol->update(plain, Value(std::int64_t{5}));
      break;
    default:
      protocol->send(withBody, std::string("bob"), std::string("hello"), std::string("S1"),
                     std::nullopt, std::nullopt);
      break;
  }
  host.runLoop->runUntilIdle();
  http->clearRequests();
  FUZZ_CHECK(count.calls == 1, "the completion runs exactly once");
  FUZZ_CHECK(count.onMain, "the completion runs on the main queue");
  return 0;
}
