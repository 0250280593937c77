// An application's unit test built on the installed doubles: a manager on a
// host of doubles, its receiver answered by the scripted HTTP client.
#include <orvo/platform/RunLoop.h>
#include <orvo/testing/CapturingLogSink.h>
#include <orvo/testing/MemorySettingsStore.h>
#include <orvo/testing/ProcessReset.h>
#include <orvo/testing/ScriptedHttpClient.h>

#include <cstdio>

int main() {
  orvo::resetProcessState();
  auto loop = std::make_shared<orvo::RunLoop>();
  orvo::ScriptedHttpClient http(loop);
  http.enqueueEnvelope(orvo::Dictionary{{"AUTHKEY", "k"}});
  bool answered = false;
  http.send(orvo::HttpRequest{"http://receiver.test/asking_authorization.ctl"},
            [&](orvo::HttpResult result) {
              answered = result.response &&
                         result.response->body ==
                             R"({"BODY":{"AUTHKEY":"k"},"HEADER":{"RESULT_CODE":"0000"}})";
            });
  loop->runUntilIdle();
  if (!answered || http.requestCount() != 1) return 1;

  orvo::MemorySettingsStore store;
  store.set("key", orvo::Value("value"));
  if (store.get("key") != orvo::Value("value")) return 2;

  orvo::CapturingLogSink log;
  log.write("a line");
  if (!log.contains("line")) return 3;

  std::puts("testing ok");
  return 0;
}
