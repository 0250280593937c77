// The manager's start-up from a fresh process state to a loaded stored
// record, and notification intake with the acknowledgement answered at once.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "orvo/Json.h"
#include "orvo/PushManager.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"
#include "orvo/platform/SimulatedNotificationHost.h"
#include "orvo/testing/CapturingLogSink.h"
#include "orvo/testing/FixedDevice.h"
#include "orvo/testing/MemoryKeychain.h"
#include "orvo/testing/MemorySettingsStore.h"
#include "orvo/testing/ProcessReset.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "support/Manifest.h"

namespace {

using namespace orvo;
using orvo::bench::ScratchDir;

const std::string kManifest = test::manifestXml(test::ManifestOptions{
    .storage = true, .applicationID = "com.example.bench", .log = false, .logServer = ""});
// The same with every acknowledgement going through the outbox.
const std::string kOutboxManifest =
    test::manifestXml(test::ManifestOptions{.storage = true,
                                            .applicationID = "com.example.bench",
                                            .log = false,
                                            .logServer = "",
                                            .extra = "<outbox><enabled>true</enabled></outbox>"});

// A desktop host over a scratch bundle and settings directory, with the
// record's database already written once (the usual second launch).
struct DesktopFixture {
  ScratchDir dir;
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<Host> host;

  DesktopFixture() {
    std::filesystem::create_directories(dir.path() + "/bundle/res");
    std::ofstream(dir.path() + "/bundle/res/Manifest.xml") << kManifest;
    DesktopHostOptions options;
    options.bundleDirectory = dir.path() + "/bundle";
    options.bundleIdentifier = "com.example.bench";
    options.dataDirectory = dir.path() + "/data";
    options.keychainDirectory = dir.path() + "/keychain";
    options.mainQueue = loop;
    options.log = std::make_shared<CapturingLogSink>();
    host = makeDesktopHost(options);
    Host::setCurrent(host);
    resetProcessState();
    auto manager = PushManager::defaultManager();
    manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
    loop->runUntilIdle();
    manager->info()->setClientUID(std::string("bench-user"));
  }
  ~DesktopFixture() {
    resetProcessState();
    Host::setCurrent(nullptr);
  }
};

void BM_ManagerStartUpToStoredRecord(benchmark::State& state) {
  DesktopFixture fixture;
  for (auto _ : state) {
    state.PauseTiming();
    resetProcessState();
    state.ResumeTiming();
    auto manager = PushManager::defaultManager();
    manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
    fixture.loop->runUntilIdle();
    auto record = manager->info();
    if (!record || !record->useStorage() || record->clientUID() != "bench-user") {
      state.SkipWithError("the stored record was not loaded");
      break;
    }
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_ManagerStartUpToStoredRecord)->Unit(benchmark::kMicrosecond);

// Answers every request at once, through the main queue as a real client
// does, with a success envelope; keeps nothing.
class InstantReceiver : public HttpClient {
 public:
  explicit InstantReceiver(std::shared_ptr<MainQueue> queue) : queue_(std::move(queue)) {}
  void send(HttpRequest, std::function<void(HttpResult)> completion) override {
    queue_->post([this, completion = std::move(completion)] {
      completion(HttpResult{HttpResponse{200, {}, "application/json", "utf-8", answer_}, {}});
    });
  }

 private:
  std::shared_ptr<MainQueue> queue_;
  const std::string answer_ = receiverEnvelope({{"AUTHKEY", "bench-key"}});
};

// About 300 bytes as JSON, like a typical message.
Dictionary typicalPayload(std::int64_t n) {
  return Dictionary{
      {"aps", Dictionary{{"alert", "Your order 48213 has shipped and will arrive on Tuesday."},
                         {"badge", 3},
                         {"sound", "default"}}},
      {"orv", Dictionary{{"messageuniquekey", "MK-" + std::to_string(1'000'000 + n)},
                         {"seqno", std::to_string(n)},
                         {"senddate", "20261206153000"},
                         {"sender", "shop-service"},
                         {"db_in", "Y"},
                         {"psid", "a1b2c3d4e5f60718293a4b5c6d7e8f90"},
                         {"ext", "https://img.example.com/p/48213.jpg"}}}};
}

std::size_t heapInUse() { return mallinfo2().uordblks; }

void intake(benchmark::State& state, const std::string& manifest) {
  auto loop = std::make_shared<RunLoop>();
  auto host = std::make_shared<Host>();
  host->mainQueue = loop;
  host->settings = std::make_shared<MemorySettingsStore>();
  host->keychain = std::make_shared<MemoryKeychain>("BENCHSEED1.com.example.bench");
  ScratchDir bundle;
  std::filesystem::create_directories(bundle.path() + "/res");
  std::ofstream(bundle.path() + "/res/Manifest.xml") << manifest;
  host->bundle = std::make_shared<DirectoryBundle>(bundle.path(), "com.example.bench");
  host->device = std::make_shared<FixedDevice>();
  host->clock = std::make_shared<SystemClock>();
  host->log = std::make_shared<CapturingLogSink>();
  host->notifications = std::make_shared<SimulatedNotificationHost>(loop);
  host->http = std::make_shared<InstantReceiver>(loop);
  Host::setCurrent(host);
  resetProcessState();

  auto manager = PushManager::defaultManager();
  manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
  loop->runUntilIdle();
  std::int64_t delivered = 0;
  auto delegate = std::make_shared<PushManagerDelegate>();
  delegate->didReceiveUserNotification = [&delivered](PushManager&, const Dictionary&,
                                                      const std::string&,
                                                      const std::string&) { ++delivered; };
  manager->initilaizeWithDelegate(delegate);

  // Distinct payloads made up front: building them is the sender's work.
  std::vector<Dictionary> arriving;
  for (std::int64_t i = 0; i < 1024; ++i) arriving.push_back(typicalPayload(i));
  const std::size_t payloadBytes = writeJson(arriving[0]).value().size();
  std::int64_t n = 0;
  const std::size_t heapBefore = heapInUse();
  for (auto _ : state) {
    manager->applicationDidReceiveRemoteNotification(Value(), arriving[n++ % arriving.size()]);
    loop->runUntilIdle();
  }
  const std::size_t heapAfter = heapInUse();
  const auto kept = manager->notificationCenter()->notifications();
  if (delivered != n || static_cast<std::int64_t>(kept.size()) != n) {
    state.SkipWithError("not every notification was stored and delivered once");
  }
  // What the stored payloads themselves take, to leave them out of the
  // per-notification cost.
  const std::size_t payloadsBefore = heapInUse();
  std::vector<Dictionary> payloads;
  payloads.reserve(static_cast<std::size_t>(n));
  for (const auto& notification : kept) payloads.push_back(notification->payload());
  const std::size_t payloadHeap = heapInUse() - payloadsBefore;

  state.SetItemsProcessed(n);
  if (n > 0) {
    const double perNotification = static_cast<double>(heapAfter - heapBefore) / n;
    const double perPayload = static_cast<double>(payloadHeap) / n;
    state.counters["payload_json_bytes"] = static_cast<double>(payloadBytes);
    state.counters["heap_per_notification"] = perNotification;
    state.counters["heap_per_payload"] = perPayload;
    state.counters["heap_beyond_payload"] = perNotification - perPayload;
  }
  resetProcessState();
  Host::setCurrent(nullptr);
}
void BM_RemoteIntakeAcknowledgedStoredDelivered(benchmark::State& state) {
  intake(state, kManifest);
}
BENCHMARK(BM_RemoteIntakeAcknowledgedStoredDelivered)->Unit(benchmark::kMicrosecond);

// Each acknowledgement written to the outbox (in the in-memory settings store
// of this benchmark) before its attempt and removed after it.
void BM_RemoteIntakeThroughOutbox(benchmark::State& state) { intake(state, kOutboxManifest); }
BENCHMARK(BM_RemoteIntakeThroughOutbox)->Unit(benchmark::kMicrosecond);

}  // namespace
