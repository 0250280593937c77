// Cold load of the configuration from a full manifest on disk: locate, read,
// parse, flatten and apply.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ScratchDir.h"
#include "config/ProcessState.h"
#include "orvo/PushManagerConfig.h"
#include "orvo/platform/Host.h"
#include "orvo/testing/CapturingLogSink.h"
#include "orvo/testing/MemorySettingsStore.h"

namespace {

constexpr const char* kManifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest>
  <settings>
    <push>
      <storage>true</storage>
      <receiver>
        <mode>production</mode>
        <server>
          <production>https://receiver.example.com/push/</production>
          <development>https://dev.receiver.example.com/push/</development>
        </server>
        <policy>user</policy>
        <customer-code>CUST0001</customer-code>
        <application-id>com.example.app</application-id>
        <project-id>project-0001</project-id>
        <app-id>app-0001</app-id>
        <version>4.0EE</version>
        <log>false</log>
        <log-server>https://log.example.com/</log-server>
        <granted>true</granted>
        <use-phone_number>no</use-phone_number>
      </receiver>
      <xelt>
        <server>https://xelt.example.com/</server>
      </xelt>
    </push>
  </settings>
</manifest>
)";

// A bundle directory holding only the manifest.
class BenchBundle {
 public:
  BenchBundle() {
    std::filesystem::create_directories(scratch_.path() + "/res");
    std::ofstream(scratch_.path() + "/res/Manifest.xml") << kManifest;
  }
  const std::string& path() const { return scratch_.path(); }

 private:
  orvo::bench::ScratchDir scratch_;
};

void BM_ConfigColdLoad(benchmark::State& state) {
  BenchBundle bundle;
  auto host = std::make_shared<orvo::Host>();
  host->settings = std::make_shared<orvo::MemorySettingsStore>();
  host->bundle = std::make_shared<orvo::DirectoryBundle>(bundle.path(), "orvo.bench");
  host->log = std::make_shared<orvo::CapturingLogSink>();
  orvo::Host::setCurrent(host);
  orvo::detail::resetConfigProcessState();

  for (auto _ : state) {
    orvo::PushManagerConfig config;
    benchmark::DoNotOptimize(config.host());
  }
  orvo::PushManagerConfig check;
  if (check.host() != "https://receiver.example.com/push/" || check.applicationID() != "app-0001") {
    state.SkipWithError("manifest not applied");
  }
  orvo::Host::setCurrent(nullptr);
}
BENCHMARK(BM_ConfigColdLoad)->Unit(benchmark::kMicrosecond);

}  // namespace
