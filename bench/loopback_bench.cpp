// One thousand receiver requests against a server on 127.0.0.1: through the
// whole transport (request built, sent by the libcurl client from the main
// run loop, envelope parsed, completion run on the main queue), beside a bare libcurl
// keep-alive loop posting the same bodies, and the transport again with a
// new connection per request.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "integration/LoopbackServer.h"
#include "orvo/FormEncoding.h"
#include "orvo/Json.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Bundle.h"
#include "orvo/platform/Clock.h"
#include "orvo/platform/CurlHttpClient.h"
#include "orvo/platform/Device.h"
#include "orvo/platform/Host.h"
#include "orvo/platform/Keychain.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/SettingsStore.h"
#include "orvo/testing/CapturingLogSink.h"
#include "orvo/testing/FixedDevice.h"
#include "orvo/testing/MemoryKeychain.h"
#include "orvo/testing/MemorySettingsStore.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "transport/PushNetworkManager.h"

namespace {

using namespace orvo;

constexpr int kPosts = 1000;
constexpr const char* kEndpointPath = "/rcv_register_service.ctl";
constexpr auto kAnswerWait = std::chrono::seconds(10);

using orvo::bench::ScratchDir;

// The receiver: every request gets the same success envelope.
class Receiver {
 public:
  Receiver() {
    const std::string answer = receiverEnvelope({{"PSID", "a1b2c3d4e5f6"}, {"SERVICE", "Y"}});
    server_.server().Post(kEndpointPath, [answer](const httplib::Request&, httplib::Response& res) {
      res.set_content(answer, "application/json; charset=utf-8");
    });
    server_.start();
  }
  std::string base() const { return server_.url("/"); }
  std::string endpoint() const { return server_.url(kEndpointPath); }

 private:
  test::LoopbackServer server_;
};

std::string numbered(std::string_view prefix, int n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

// Realistic form bodies, different for every request.
const std::vector<std::string>& bodies() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> out;
    for (int i = 0; i < kPosts; ++i) {
      out.push_back(queryStringForOrvo(Dictionary{
          {"APP_ID", "com.example.bench"},
          {"AUTHKEY", numbered("K", 7'000'000 + i)},
          {"CUID", numbered("user-", i)},
          {"CNAME", numbered("Bench User ", i)},
          {"DEVICE_ID", "00000000-0000-4000-8000-000000000001"},
          {"PSID", "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90"},
          {"TYPE", "I"},
          {"OS", "17.0"},
      }));
    }
    return out;
  }();
  return all;
}

void postThroughTransport(benchmark::State& state, bool reuseConnections) {
  Receiver receiver;
  ScratchDir dir;
  auto loop = std::make_shared<RunLoop>();
  auto host = std::make_shared<Host>();
  host->mainQueue = loop;
  host->settings = std::make_shared<MemorySettingsStore>();
  host->keychain = std::make_shared<MemoryKeychain>();
  host->bundle = std::make_shared<DirectoryBundle>(dir.path(), "com.example.bench",
                                                   Dictionary{{"CFBundleVersion", "1"}});
  host->device = std::make_shared<FixedDevice>();
  host->log = std::make_shared<CapturingLogSink>();
  host->clock = std::make_shared<SystemClock>();
  CurlHttpClientOptions options;
  options.reuseConnections = reuseConnections;
  auto http = std::make_shared<CurlHttpClient>(loop, options);
  host->http = http;
  Host::setCurrent(host);
  auto record = std::make_shared<PushManagerInfo>(false, receiver.base());

  TransportEnvironment environment;
  environment.http = http;
  environment.mainQueue = loop;
  environment.info = [record] { return record; };
  environment.logEnabled = [] { return false; };
  environment.log = host->log;

  const auto& forms = bodies();
  for (auto _ : state) {
    for (const std::string& form : forms) {
      bool done = false;
      bool succeeded = false;
      PushNetworkManager::connect(
          environment, endpoints::kRegisterService, form,
          [&](const std::optional<HttpResponse>&, const std::optional<Dictionary>&,
              const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
            done = true;
            succeeded = !error && body && body->contains("PSID");
          });
      if (!loop->runUntil([&] { return done; }, kAnswerWait) || !succeeded) {
        state.SkipWithError("a request failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
  environment = {};
  host.reset();
  http.reset();
  Host::setCurrent(nullptr);
}

void BM_PushNetworkManager1000Posts(benchmark::State& state) { postThroughTransport(state, true); }
BENCHMARK(BM_PushNetworkManager1000Posts)->Unit(benchmark::kMillisecond);

void BM_PushNetworkManager1000PostsNoReuse(benchmark::State& state) {
  postThroughTransport(state, false);
}
BENCHMARK(BM_PushNetworkManager1000PostsNoReuse)->Unit(benchmark::kMillisecond);

size_t collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The floor: one easy handle, one kept-alive connection, no threads.
void BM_RawCurlKeepAlive1000Posts(benchmark::State& state) {
  Receiver receiver;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = curl_easy_init();
  std::string answer;
  const std::string url = receiver.endpoint();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);

  const auto& forms = bodies();
  for (auto _ : state) {
    for (const std::string& form : forms) {
      curl_slist* headers =
          curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
      headers =
          curl_slist_append(headers, ("Content-Length: " + std::to_string(form.size())).c_str());
      headers = curl_slist_append(headers, "Expect:");
      curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, form.data());
      answer.clear();
      const CURLcode code = curl_easy_perform(easy);
      curl_slist_free_all(headers);
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      if (code != CURLE_OK || status != 200 || answer.empty()) {
        state.SkipWithError("a request failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_RawCurlKeepAlive1000Posts)->Unit(benchmark::kMillisecond);

}  // namespace
