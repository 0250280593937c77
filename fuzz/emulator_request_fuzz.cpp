// The emulator's request handling without sockets: admin JSON, receiver
// forms, report and log bodies, each answered without a crash or a 500, with
// JSON wherever the admin API promises it, whatever the state the inputs
// before it left.
#include "FuzzSupport.h"
#include "Service.h"

using orvo::emulator::HttpRequest;
using orvo::emulator::HttpResponse;
using orvo::emulator::Json;

namespace {

struct Target {
  const char* method;
  const char* path;
  const char* contentType;
};

constexpr const char* kJson = "application/json";
constexpr const char* kForm = "application/x-www-form-urlencoded";

// The seeds in fuzz/corpus/emulator_request/ start with the index of their
// target, then a byte that chooses which reads follow.
constexpr Target kTargets[] = {
    {"POST", "/__admin/send", kJson},
    {"POST", "/__admin/faults", kJson},
    {"POST", "/__admin/requests/count", kJson},
    {"POST", "/__admin/snapshot", kJson},
    {"POST", "/__admin/clock", kJson},
    {"POST", "/__admin/settings", kJson},
    {"POST", "/__admin/apps", kJson},
    {"POST", "/__admin/devices/state", kJson},
    {"POST", "/__gateway/devices", kJson},
    {"POST", "/mobile/purchase", kJson},
    {"POST", "/mobile/last-session", kJson},
    {"POST", "/putAppLog.ctl", kForm},
    {"POST", "/asking_authorization.ctl", kForm},
    {"POST", "/new_rcv_register_service_and_user.ctl", kForm},
    {"POST", "/rcv_register_message.ctl", kForm},
    {"POST", "/rcv_register_sent_ack.ctl", kForm},
    {"POST", "/rcv_register_send_result.ctl", kForm},
    {"POST", "/rcv_init_badgeNo.ctl", kForm},
    {"POST", "/rcv_register_usergroup_user.ctl", kForm},
    // The rest of the input is the query.
    {"GET", "/__admin/requests", nullptr},
    {"GET", "/__admin/messages", nullptr},
    {"GET", "/__gateway/stream", nullptr},
};

// Admin answers the console and the tools read: always JSON.
constexpr const char* kReads[] = {"/__admin/messages", "/__admin/reports", "/__admin/logs",
                                  "/__admin/devices",  "/__admin/groups",  "/__admin/snapshot",
                                  "/__admin/faults",   "/__admin/requests"};

HttpRequest request(const char* method, std::string path) {
  HttpRequest request;
  request.method = method;
  request.path = std::move(path);
  request.headers = {{"Host", "127.0.0.1:8750"}};
  request.client = "127.0.0.1:1";
  return request;
}

void checkJson(HttpResponse answer, const char* what) {
  // A latency rule an input adds: the answer at once, not after the wait.
  if (answer.kind == HttpResponse::Kind::Delay) answer = answer.then();
  FUZZ_CHECK(answer.status != 500, what);
  FUZZ_CHECK(answer.kind != HttpResponse::Kind::Body || Json::accept(answer.body), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* service = [] {
    orvo::emulator::EmulatorOptions options;
    options.quiet = true;
    options.receiverVersion = "4.0";
    auto* made = new orvo::emulator::Service(options);
    std::string error;
    FUZZ_CHECK(made->open(error), "the in-memory state opens");
    made->listening(8750);
    return made;
  }();
  static unsigned inputs = 0;
  // What the inputs before left stays a while, then goes, so the state stays small.
  if (++inputs % 256 == 0) {
    auto reset = request("POST", "/__admin/reset");
    reset.headers.emplace_back("Content-Type", kJson);
    FUZZ_CHECK(service->handle(reset).status == 200, "the state resets");
  }

  orvo::fuzz::Input input(data, size);
  const Target& target = kTargets[input.byte() % std::size(kTargets)];
  // One bit per read of the state after the request.
  const std::uint8_t reads = input.byte();
  auto fuzzed = request(target.method, target.path);
  if (target.contentType) {
    fuzzed.headers.emplace_back("Content-Type", target.contentType);
    fuzzed.body = std::string(input.rest());
  } else {
    fuzzed.query = orvo::emulator::decodeForm(input.rest());
  }
  const HttpResponse answer = service->handle(fuzzed);
  FUZZ_CHECK(answer.status != 500, "no request makes the emulator fail");
  if (fuzzed.path.rfind("/__", 0) == 0) checkJson(answer, "an admin answer is JSON");
  for (std::size_t i = 0; i < std::size(kReads); ++i)
    if ((reads >> i) & 1)
      checkJson(service->handle(request("GET", kReads[i])), "what the state holds reads as JSON");
  service->tick();
  return 0;
}
