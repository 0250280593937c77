// Requests an attacker or a careless client makes, against a running
// emulator: each is refused with its status and the message that names what
// is wrong, changes nothing, and leaves the emulator answering.
#include <gtest/gtest.h>
#include <httplib.h>

#include <climits>
#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"

namespace orvo::test {
namespace {

struct Request {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;
  std::string contentType;
  bool chunked;
};

Request post(std::string path, std::string body, httplib::Headers headers = {},
             std::string contentType = "application/json") {
  return {"POST", std::move(path), std::move(body), std::move(headers), std::move(contentType),
          false};
}
Request chunked(std::string path, std::string body) {
  return {"POST", std::move(path), std::move(body), {}, "application/json", true};
}
Request get(std::string path, httplib::Headers headers = {}) {
  return {"GET", std::move(path), "", std::move(headers), "", false};
}

Reply send(int port, const Request& request) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(10, 0);
  httplib::Result result{nullptr, httplib::Error::Unknown};
  if (request.method == "GET") {
    result = client.Get(request.path, request.headers);
  } else if (request.chunked) {
    // No length: the client sends it in chunks, as it produces it.
    const std::string body = request.body;
    result = client.Post(
        request.path, request.headers,
        [body](std::size_t offset, httplib::DataSink& sink) {
          if (offset < body.size())
            sink.write(body.data() + offset, std::min<std::size_t>(body.size() - offset, 65536));
          else
            sink.done();
          return true;
        },
        request.contentType);
  } else {
    result = client.Post(request.path, request.headers, request.body, request.contentType);
  }
  Reply reply;
  if (!result) return reply;
  reply.status = result->status;
  reply.json = Json::parse(result->body, nullptr, false);
  return reply;
}

std::string nested(const std::string& open, const std::string& close, int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += "1";
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

Json error(const std::string& message) { return {{"error", message}}; }
Json reportError(const std::string& message) { return {{"code", "400"}, {"message", message}}; }

TEST(HostileRequestsTest, EachIsRefusedAndTheEmulatorGoesOn) {
  RunningEmulator emu;
  const int port = emu.emulator().port();
  emu.registerDevice("com.example.hostile", "ann");
  ASSERT_EQ(emu.post("/__admin/send", {{"user", "ann"}, {"message", "kept"}}).status, 200);
  const Json before = emu.get("/__admin/snapshot").json;
  const std::string host = "127.0.0.1:" + std::to_string(port);

  Json snapshotBadClock = before;
  snapshotBadClock["clock_offset_ms"] = "x";
  Json snapshotBadPayload = before;
  snapshotBadPayload["tables"]["deliveries"][0]["payload"] = "not json";
  Json snapshotBadType = before;
  snapshotBadType["tables"]["devices"][0]["registered"] = "yes";

  const std::string deep = nested("[", "]", 100000);
  const std::string deepReport = nested("{\"a\":", "}", 10000);
  const std::string nestDepth = "the body nests deeper than 32 levels";
  struct Case {
    const char* what;
    Request request;
    int status;
    Json answer;
  };
  const std::vector<Case> cases = {
      {"deep JSON to the faults", post("/__admin/faults", deep), 400, error(nestDepth)},
      {"deep JSON to a send", post("/__admin/send", deep), 400, error(nestDepth)},
      {"deep JSON to a purchase", post("/mobile/purchase", deepReport), 400,
       reportError(nestDepth)},
      {"deep JSON to a session", post("/mobile/last-session", deepReport), 400,
       reportError(nestDepth)},
      {"a chunked body past the cap", chunked("/__admin/send", std::string(3 << 20, ' ')), 413,
       error("the body is larger than 1048576 bytes")},
      {"a long body past the cap", post("/__admin/send", std::string(3 << 20, ' ')), 413,
       error("the body is larger than 1048576 bytes")},
      {"a GET with a chunked body", get("/healthz", {{"Transfer-Encoding", "chunked"}}), 400,
       error("a GET request carries no body")},
      {"a message past its limit",
       post("/__admin/send", Json{{"user", "ann"}, {"message", std::string(9000, 'm')}}.dump()),
       400, error("\"message\" is longer than 8192 bytes")},
      {"a fault of 4 GiB of garbage",
       post("/__admin/faults", R"({"effect": "garbage", "bytes": 4294967296})"), 400,
       error("\"bytes\" must be an integer from 0 to 1048576, not 4294967296")},
      {"a user that is a number", post("/__admin/send", R"({"user": 5, "message": "x"})"), 400,
       error("\"user\" must be a string, not 5")},
      {"a snapshot whose clock is text", post("/__admin/snapshot", snapshotBadClock.dump()), 400,
       error("\"clock_offset_ms\" must be an integer from 0 to 3162240000000, not \"x\"")},
      {"a snapshot with a payload that is not JSON",
       post("/__admin/snapshot", snapshotBadPayload.dump()), 400,
       error("table deliveries, row 1: \"payload\" is not JSON (parse error at line 1, column 2: "
             "syntax error while parsing value - invalid literal; last read: 'no')")},
      {"a snapshot with a flag that is text", post("/__admin/snapshot", snapshotBadType.dump()),
       400, error("table devices, row 1: \"registered\" must be an integer, not \"yes\"")},
      {"a clock moved to overflow",
       post("/__admin/clock", R"({"advance_ms": 9223372036854775807})"), 400,
       error("\"advance_ms\" must be an integer from 0 to 3162240000000, not "
             "9223372036854775807")},
      {"a settings lifetime past a century",
       post("/__admin/settings", R"({"auth_ttl_ms": 18446744073709551615})"), 400,
       error("\"auth_ttl_ms\" must be an integer from 0 to 3162240000000, not "
             "18446744073709551615")},
      {"a cross-site text/plain reset", post("/__admin/reset", "{}", {}, "text/plain"), 415,
       error("the admin API takes Content-Type: application/json on POST /__admin/reset")},
      {"a cross-site form send",
       post("/__admin/send", "user=ann&message=x", {}, "application/x-www-form-urlencoded"), 415,
       error("the admin API takes Content-Type: application/json on POST /__admin/send")},
      {"a page of another site", post("/__admin/reset", "{}", {{"Origin", "http://evil.example"}}),
       403,
       error("a request from the page at \"http://evil.example\" is refused: only the "
             "emulator's own pages may use the admin API and console")},
      {"DNS rebinding to the snapshot",
       get("/__admin/snapshot", {{"Host", "evil.example:" + std::to_string(port)}}), 403,
       error("the Host header \"evil.example:" + std::to_string(port) +
             "\" is not a name of this emulator (" + host + ", localhost:" + std::to_string(port) +
             "): only its own pages may use the admin API and console")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reply reply = send(port, c.request);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.json, c.answer);
    EXPECT_EQ(emu.get("/healthz").status, 200);
  }
  EXPECT_EQ(emu.get("/__admin/snapshot").json, before) << "a refused request changed the state";
}

TEST(HostileRequestsTest, AdminMistakesNameTheField) {
  RunningEmulator emu;
  emu.registerDevice("com.example.hostile", "ann");
  ASSERT_EQ(emu.post("/__admin/clock", {{"advance_ms", 5000}}).status, 200);
  struct Case {
    const char* path;
    Json body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"/__admin/send",
       {{"usr", "ann"}, {"message", "hi"}},
       "unknown field \"usr\" in the send (known: user, group, device, all, app_id, message, ext, "
       "silent, badge, reserve_date)"},
      {"/__admin/send",
       {{"user", "ann"}},
       "\"message\" is missing: a send that is not silent needs its text"},
      {"/__admin/send",
       {{"user", "ann"}, {"message", "hi"}, {"badge", -1}},
       "\"badge\" must be an integer from 0 to 2147483647, not -1"},
      {"/__admin/send",
       {{"user", "ann"}, {"message", "hi"}, {"badge", 1.5}},
       "\"badge\" must be an integer from 0 to 2147483647, not 1.5"},
      {"/__admin/send",
       {{"user", "ann"}, {"message", "hi"}, {"reserve_date", "2030-02-31T00:00:00"}},
       "\"reserve_date\" must be a date that exists, yyyyMMddHHmmss or yyyy-MM-ddTHH:mm:ss "
       "(UTC), not \"2030-02-31T00:00:00\""},
      {"/__admin/send",
       {{"user", "ann"}, {"group", "7"}, {"message", "hi"}},
       "give only one of \"user\", \"group\", \"device\" and \"all\""},
      {"/__admin/faults",
       {{"endpoint", "rcv_send_message.ctl"}, {"effect", "reset"}},
       "\"endpoint\" \"rcv_send_message.ctl\" is not served by the emulator; a rule may name "
       "asking_authorization.ctl, rcv_register_service.ctl, rcv_get_service.ctl, "
       "rcv_appAlive.ctl, rcv_delete_service.ctl, rcv_register_user.ctl, rcv_delete_user.ctl, "
       "rcv_register_usergroup_user.ctl, rcv_delete_usergroup_user.ctl, "
       "new_rcv_register_service_and_user.ctl, rcv_register_sent_ack.ctl, "
       "rcv_register_send_result.ctl, rcv_register_message.ctl, rcv_init_badgeNo.ctl, "
       "putAppLog.ctl, mobile/last-session, mobile/purchase, images or /images/FILE"},
      {"/__admin/faults",
       {{"effect", "status"}, {"times", "2"}},
       "\"times\" must be an integer from 1 to 1099511627776, not \"2\""},
      {"/__admin/requests/count",
       {{"endpiont", "rcv_register_user.ctl"}},
       "unknown field \"endpiont\" in the count's criteria (known: endpoint, result_code, method, "
       "path, psid, cuid, fault, has_notes)"},
      {"/__admin/requests/count",
       {{"fault", "yes"}},
       "\"fault\" must be true or false, not \"yes\""},
      {"/__admin/apps",
       {{"app_id", "com.example.hostile"}, {"receiver_version", "four"}},
       "\"receiver_version\" must be a version such as \"4.0\", not \"four\""},
      {"/__admin/devices/state",
       {{"psid", 5}, {"state", "foreground"}},
       "\"psid\" must be a string, not 5"},
      {"/__admin/clock",
       {{"advance_ms", -1}},
       "\"advance_ms\" must be an integer from 0 to 3162240000000, not -1"},
      {"/__admin/clock",
       {{"advance_ms", 3162240000000}},
       "the clock would be more than 3162240000000 ms ahead; POST /__admin/reset sets it back"},
      {"/__admin/reset",
       {{"everything", true}},
       "unknown field \"everything\" in the reset (it takes none)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.dump());
    const Reply reply = emu.post(c.path, c.body);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.json, error(c.error));
  }
  EXPECT_EQ(emu.list("messages"), Json::array());
  EXPECT_EQ(emu.list("faults"), Json::array());
  // Reset puts the clock back where a fresh emulator has it.
  EXPECT_EQ(emu.get("/__admin/clock").json["offset_ms"], 5000);
  ASSERT_EQ(emu.post("/__admin/reset", Json::object()).status, 200);
  EXPECT_EQ(emu.get("/__admin/clock").json["offset_ms"], 0);
}

TEST(HostileRequestsTest, BeyondLoopbackTheAdminApiNeedsTheToken) {
  auto options = quietEmulator();
  options.listenAny = true;
  RunningEmulator emu(options);
  const std::string token = emu.emulator().adminToken();
  ASSERT_EQ(token.size(), 32u);
  const Request snapshot = get("/__admin/snapshot");
  const Json refused = error(
      "the admin API needs the token printed at start: \"Authorization: Bearer TOKEN\" or "
      "?admin_token=TOKEN");
  struct Case {
    const char* what;
    httplib::Headers headers;
    std::string query;
    int status;
  };
  const std::vector<Case> cases = {
      {"no token", {}, "", 401},
      {"a wrong token", {{"Authorization", "Bearer " + std::string(32, '0')}}, "", 401},
      {"the token", {{"Authorization", "Bearer " + token}}, "", 200},
      {"the token as a parameter, as the console's event stream gives it",
       {},
       "?admin_token=" + token,
       200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Request request = snapshot;
    request.headers = c.headers;
    request.path += c.query;
    const Reply reply = send(emu.emulator().port(), request);
    EXPECT_EQ(reply.status, c.status);
    if (c.status == 401) {
      EXPECT_EQ(reply.json, refused);
    }
  }
}

}  // namespace
}  // namespace orvo::test
