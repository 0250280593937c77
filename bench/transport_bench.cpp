// The form string of a typical request against the same pairs escaped and
// joined with libcurl, and the reading of a typical success envelope.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <string>
#include <utility>
#include <vector>

#include "orvo/FormEncoding.h"
#include "transport/PushNetworkManager.h"

namespace {

// The thirteen parameters of a service-and-user registration.
const std::vector<std::pair<std::string, std::string>>& typicalParameters() {
  static const std::vector<std::pair<std::string, std::string>> parameters = {
      {"APP_ID", "com.example.pushdemo"},
      {"CUID", "user-000123456"},
      {"CNAME", "Jos\xC3\xA9 Kim"},
      {"DEVICE_ID", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
      {"DEVICE_TYPE", "I"},
      {"PSID", "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"},
      {"PNSID", "APNS"},
      {"PHONENUM", "+82-10-1234-5678"},
      {"DEVICE_MD", "iPhone14,2"},
      {"OS_VER", "17.4.1"},
      {"APP_VER", "5.1.6"},
      {"APNS_MODE", "REAL"},
      {"AUTHKEY", "b2a7f3c1e9d84c6a/Qx+Zk=="},
  };
  return parameters;
}

orvo::Dictionary typicalDictionary() {
  orvo::Dictionary dictionary;
  for (const auto& [key, value] : typicalParameters()) dictionary.set(key, value);
  return dictionary;
}

void BM_QueryStringForOrvo(benchmark::State& state) {
  const orvo::Dictionary parameters = typicalDictionary();
  for (auto _ : state) {
    std::string query = orvo::queryStringForOrvo(parameters);
    benchmark::DoNotOptimize(query);
  }
}
BENCHMARK(BM_QueryStringForOrvo);

void BM_CurlEasyEscapeJoin(benchmark::State& state) {
  const orvo::Dictionary parameters = typicalDictionary();
  CURL* curl = curl_easy_init();
  for (auto _ : state) {
    std::string query;
    bool first = true;
    for (const auto& [key, value] : parameters) {
      if (!first) query += '&';
      first = false;
      char* escapedKey = curl_easy_escape(curl, key.data(), static_cast<int>(key.size()));
      const std::string& text = *value.asString();
      char* escapedValue = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
      query += escapedKey;
      query += '=';
      query += escapedValue;
      curl_free(escapedKey);
      curl_free(escapedValue);
    }
    benchmark::DoNotOptimize(query);
  }
  curl_easy_cleanup(curl);
}
BENCHMARK(BM_CurlEasyEscapeJoin);

void BM_InterpretSuccessEnvelope(benchmark::State& state) {
  orvo::HttpResponse response;
  response.statusCode = 200;
  response.mimeType = "application/json";
  response.textEncodingName = "utf-8";
  response.headers.set("Content-Type", "application/json; charset=utf-8");
  response.body =
      R"({"HEADER":{"RESULT_CODE":"0000","RESULT_MSG":"success"},)"
      R"("BODY":{"AUTHKEY":"b2a7f3c1e9d84c6a","CUID":"user-000123456","CNAME":"Jose Kim",)"
      R"("PSID":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",)"
      R"("GROUP_SEQ":"17","LAST_DATE":"20240315101500"}})";
  const orvo::HttpResult result{response, std::nullopt};
  for (auto _ : state) {
    orvo::TransportOutcome outcome = orvo::PushNetworkManager::interpretResponse(result);
    benchmark::DoNotOptimize(outcome);
  }
}
BENCHMARK(BM_InterpretSuccessEnvelope);

}  // namespace
