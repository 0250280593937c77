#include "manager/ManagerFixture.h"

namespace orvo::test {
namespace {

// One classic failure: the manifest, what happens before the doctor is
// asked, and the one verdict it must give.
struct Failure {
  const char* name;
  ManifestOptions manifest;
  std::function<void(TestHost&, PushManager&, const std::function<void()>& drain)> setUp;
  std::string verdict;
};

ManifestOptions with(std::string version, std::string extra = "") {
  ManifestOptions options;
  options.log = false;
  options.version = std::move(version);
  options.extra = std::move(extra);
  return options;
}

const std::vector<Failure>& failures() {
  static const std::vector<Failure> rows = {
      {"wrong environment", with("4.0"), nullptr,
       "Wrong environment: the build is signed for the development push environment "
       "(embedded.mobileprovision says so), but the manifest's receiver mode is production"},
      {"token changed while closed", with("3.5"),
       [](TestHost&, PushManager& m, auto&) {
         m.info()->setPushServiceID("ab12ab12ab12ab12");
         m.applicationDidRegisterForRemoteNotificationsWithDeviceToken({}, Bytes{0xcd, 0x34});
       },
       "Token changed while the application was closed: the platform now gives cd34..., the "
       "receiver knows ab12ab12ab12...; register the service again"},
      {"version refusing the call", with("3.6"),
       [](TestHost&, PushManager& m, auto&) { m.registerServiceAndUser({}, nullptr); },
       "Receiver version refuses the call: registerServiceAndUser is refused: it needs a "
       "receiver version above 3.6, and the receiver version is 3.6"},
      {"permission denied", with("4.0"),
       [](TestHost& host, PushManager&, auto&) {
         host.notifications->scriptAuthorizationStatus(AuthorizationStatus::Denied);
       },
       "Permission denied: the user turned notifications off for this application"},
      {"outbox stuck", with("4.0", "<outbox><enabled>true</enabled></outbox>"),
       [](TestHost& host, PushManager& m, const std::function<void()>& drain) {
         auto http = std::dynamic_pointer_cast<ScriptedHttpClient>(host.host->http);
         http->setResponder([](const HttpRequest& request) -> HttpResult {
           if (request.url.find("asking_authorization") == std::string::npos)
             return ScriptedHttpClient::jsonAnswer("{}", 503);
           return ScriptedHttpClient::jsonAnswer(receiverEnvelope(Dictionary{{"AUTHKEY", "k"}}));
         });
         m.setOutboxScheduler([](std::chrono::milliseconds, std::function<void()>) {});
         m.update({}, 3, nullptr);
         drain();
         host.clock->advance(120);
       },
       "Outbox stuck: 1 entries waiting, the oldest for 120 s; the last failure: "
       "rcv_init_badgeNo.ctl HTTP status 503"},
      {"consent withheld", with("4.0", "<consent><required>true</required></consent>"),
       [](TestHost&, PushManager&, auto&) {},
       "Consent not given: nothing is sent until the application calls setConsentGiven(true)"},
  };
  return rows;
}

class DoctorTest : public ManagerTest, public ::testing::WithParamInterface<Failure> {
 protected:
  DoctorTest() : ManagerTest(GetParam().manifest) {
    // Read once per process, at start-up: it must be there before.
    if (GetParam().setUp) return;
    host.bundleDir.write("embedded.mobileprovision",
                         "<plist version=\"1.0\"><dict><key>Entitlements</key><dict>"
                         "<key>aps-environment</key><string>development</string>"
                         "</dict></dict></plist>");
  }
};

TEST_P(DoctorTest, NamesTheCauseInOneLine) {
  auto manager = started();
  if (GetParam().setUp) GetParam().setUp(host, *manager, [this] { drain(); });
  std::optional<Dictionary> report;
  std::string text;
  manager->diagnose([&](const Dictionary& r, const std::string& t) {
    report = r;
    text = t;
  });
  drain();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->get("verdicts"), Value(Array{GetParam().verdict}));
  EXPECT_NE(text.find("  " + GetParam().verdict + "\n"), std::string::npos) << text;
  EXPECT_EQ(text.find(GetParam().verdict), text.rfind(GetParam().verdict)) << text;
  // No row has a registration the receiver could be asked about.
  EXPECT_EQ(report->get("server"), Value(Dictionary{{"checked", false}}));
}

INSTANTIATE_TEST_SUITE_P(ClassicFailures, DoctorTest, ::testing::ValuesIn(failures()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == ' ') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace orvo::test

namespace orvo::test {
namespace {

class TracingTest : public ManagerTest {
 protected:
  TracingTest() : ManagerTest(with("4.0", "<doctor><tracing>true</tracing></doctor>")) {}
};

// A request and its log lines carry the same identifier.
TEST_F(TracingTest, EveryRequestCarriesTheIdentifierItsLogLineNames) {
  auto manager = started();
  manager->update({}, 3, nullptr);
  drain();
  ASSERT_GE(http->requestCount(), 1u);
  const HttpRequest first = http->requests().front();
  const std::string* id = first.headers.getString("X-Orvo-Request-Id");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(host.log->count("PushManager - request " + *id + " " + first.url), 1u);
  EXPECT_EQ(host.log->count("PushManager - request " + *id + " answered -1"), 1u);
}

}  // namespace
}  // namespace orvo::test
