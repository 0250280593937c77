// The receiver emulator under load, served from this process: requests per
// second and their latency over kept-alive connections from 1 and 8 client
// threads, against the health check and against a full send to a user with
// 100 devices, and the time from an admin send to the payload read on a
// device's stream. The client threads share the machine's cores with the
// emulator's, so every figure is that of both together.
//
// Counters: req_per_s (all clients together), p50_us and p99_us (the latency
// of one request, or of one send until its payload is read), and cpu_us: the
// processor time of the whole process (emulator and clients) per request,
// which a busy shared machine disturbs far less than the rate.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Emulator.h"

namespace {

using orvo::emulator::Emulator;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kApp = "com.example.bench";
constexpr const char* kUser = "bench-user";
constexpr const char* kFormType = "application/x-www-form-urlencoded";
constexpr int kUserDevices = 100;
// Every iteration keeps the clients busy for one slice; with a fixed count of
// slices a run (a fresh emulator each) stays under a second.
constexpr auto kSlice = std::chrono::milliseconds(100);
constexpr int kSlices = 6;
constexpr long long kMaxRequestsPerSlice = 200000;
constexpr auto kDeliveryWait = std::chrono::seconds(5);

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Nearest rank.
double percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
  const auto at = samples.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(rank, 1) - 1);
  std::nth_element(samples.begin(), at, samples.end());
  return *at;
}

// Processor time of every thread of the process, in microseconds.
double processCpu() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void reportLatency(benchmark::State& state, long long requests, const std::vector<double>& us,
                   double cpuUs) {
  state.counters["req_per_s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
  state.counters["cpu_us"] = requests > 0 ? cpuUs / static_cast<double>(requests) : 0;
  state.counters["p50_us"] = percentile(us, 0.50);
  state.counters["p99_us"] = percentile(us, 0.99);
}

std::unique_ptr<httplib::Client> keepAliveClient(const std::string& url) {
  auto client = std::make_unique<httplib::Client>(url);
  client->set_keep_alive(true);
  // As the library's libcurl client: a request is not held back for an ACK.
  client->set_tcp_nodelay(true);
  return client;
}

std::string resultCode(const Json& envelope) {
  if (!envelope.is_object()) return {};
  const auto header = envelope.find("HEADER");
  if (header == envelope.end() || !header->is_object()) return {};
  const auto code = header->find("RESULT_CODE");
  return code != header->end() && code->is_string() ? code->get<std::string>() : std::string();
}

// The envelope's BODY of a successful receiver call, or null.
Json receiverCall(httplib::Client& client, const std::string& endpoint,
                  const httplib::Params& form) {
  const auto result = client.Post(("/" + endpoint).c_str(), form);
  if (!result || result->status != 200) return nullptr;
  Json envelope = Json::parse(result->body, nullptr, false);
  if (resultCode(envelope) != "0000" || !envelope["BODY"].is_object()) return nullptr;
  return envelope["BODY"];
}

std::string textOf(const Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key) || !object[key].is_string()) return {};
  return object[key].get<std::string>();
}

// A fresh emulator where `kUser` has `devices` devices, registered through the
// receiver as the library registers them.
struct Service {
  std::unique_ptr<Emulator> emulator;
  std::vector<std::string> tokens;
  std::string authKey;  // the first device's
  std::string error;
};

Service startService(int devices) {
  Service service;
  orvo::emulator::EmulatorOptions options;
  options.quiet = true;
  options.heartbeat = std::chrono::seconds(1);
  service.emulator = std::make_unique<Emulator>(options);
  if (!service.emulator->start(service.error)) return service;
  auto client = keepAliveClient(service.emulator->url());
  for (int i = 0; i < devices; ++i) {
    const std::string name = "bench-device-" + std::to_string(i);
    const auto issued =
        client->Post("/__gateway/devices", Json{{"name", name}}.dump(), "application/json");
    const std::string token = issued && issued->status == 200
                                  ? textOf(Json::parse(issued->body, nullptr, false), "token")
                                  : std::string();
    const std::string key =
        textOf(receiverCall(*client, "asking_authorization.ctl",
                            {{"APP_ID", kApp}, {"CUID", kUser}, {"PSID", token}}),
               "AUTHKEY");
    const Json registered = receiverCall(*client, "new_rcv_register_service_and_user.ctl",
                                         {{"PNSID", "APNS"},
                                          {"APP_ID", kApp},
                                          {"DEVICE_ID", name},
                                          {"DEVICE_TYPE", "I"},
                                          {"PSID", token},
                                          {"CUID", kUser},
                                          {"CNAME", "Bench User"},
                                          {"PHONENUM", "01000000000"},
                                          {"AUTHKEY", key}});
    if (token.empty() || key.empty() || registered.is_null()) {
      service.error = "cannot register " + name;
      return service;
    }
    service.tokens.push_back(token);
    if (i == 0) service.authKey = key;
  }
  return service;
}

// `clients` threads, each on its own kept-alive connection, send `request`
// back to back for a slice per iteration.
void serveLoad(benchmark::State& state, const std::string& url,
               const std::function<bool(httplib::Client&)>& request) {
  const auto clients = static_cast<std::size_t>(state.range(0));
  std::vector<std::unique_ptr<httplib::Client>> connections;
  for (std::size_t i = 0; i < clients; ++i) {
    connections.push_back(keepAliveClient(url));
    if (!request(*connections.back())) return state.SkipWithError("the first request failed");
  }
  std::vector<std::vector<double>> latencies(clients);
  for (auto& list : latencies) list.reserve(200000);
  long long requests = 0;
  double cpu = 0;
  bool failed = false;
  for (auto _ : state) {
    std::vector<long long> counts(clients, 0);
    std::vector<char> failures(clients, 0);
    std::vector<std::thread> threads;
    const auto started = Clock::now();
    const auto deadline = started + kSlice;
    const double cpuBefore = processCpu();
    for (std::size_t i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        auto& client = *connections[i];
        auto& mine = latencies[i];
        for (long long n = 0; n < kMaxRequestsPerSlice; ++n) {
          const auto before = Clock::now();
          if (before >= deadline) break;
          if (!request(client)) {
            failures[i] = 1;
            break;
          }
          mine.push_back(microseconds(Clock::now() - before));
          ++counts[i];
        }
      });
    }
    for (auto& thread : threads) thread.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - started).count());
    cpu += processCpu() - cpuBefore;
    for (std::size_t i = 0; i < clients; ++i) {
      requests += counts[i];
      failed = failed || failures[i];
    }
    if (failed) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  std::vector<double> all;
  for (const auto& list : latencies) all.insert(all.end(), list.begin(), list.end());
  reportLatency(state, requests, all, cpu);
}

void BM_EmulatorHealthz(benchmark::State& state) {
  Service service = startService(0);
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  serveLoad(state, service.emulator->url(), [](httplib::Client& client) {
    const auto result = client.Get("/healthz");
    return result && result->status == 200;
  });
}
BENCHMARK(BM_EmulatorHealthz)
    ->ArgName("clients")
    ->Arg(1)
    ->Arg(8)
    ->Iterations(kSlices)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// rcv_register_message.ctl from the user's first device to the user: the auth
// key check, the key set and value checks, the message stored and one payload
// queued for each of the 100 devices.
void BM_EmulatorFullSend(benchmark::State& state) {
  Service service = startService(kUserDevices);
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  const httplib::Params fields = {{"CUID", kUser},         {"PSID", service.tokens[0]},
                                  {"APP_ID", kApp},        {"MESSAGE", "Hello from the bench"},
                                  {"PRIORITY", "3"},       {"EXT", ""},
                                  {"TYPE", "T"},           {"SERVICECODE", "BENCH"},
                                  {"SENDERCODE", "bench"}, {"AUTHKEY", service.authKey},
                                  {"TARGET", "CUID"}};
  // Every send must reach all the user's devices; the first answer is read whole.
  auto probe = keepAliveClient(service.emulator->url());
  const Json first = receiverCall(*probe, "rcv_register_message.ctl", fields);
  if (!first.is_object() || !first.contains("TARGETS") || first["TARGETS"] != kUserDevices)
    return state.SkipWithError("the send did not reach the user's 100 devices");
  const std::string form = httplib::detail::params_to_query_str(fields);
  const std::string allTargets = "\"TARGETS\":" + std::to_string(kUserDevices);
  serveLoad(state, service.emulator->url(), [&](httplib::Client& client) {
    const auto result = client.Post("/rcv_register_message.ctl", form, kFormType);
    return result && result->status == 200 &&
           result->body.find(R"("RESULT_CODE":"0000")") != std::string::npos &&
           result->body.find(allTargets) != std::string::npos;
  });
}
BENCHMARK(BM_EmulatorFullSend)
    ->ArgName("clients")
    ->Arg(1)
    ->Arg(8)
    ->Iterations(kSlices)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A device's event stream read on a thread of its own; each payload is stamped
// with the time it was read.
class StreamReader {
 public:
  StreamReader(const std::string& url, const std::string& token) : client_(url) {
    client_.set_read_timeout(std::chrono::seconds(60));
    client_.set_tcp_nodelay(true);
    thread_ = std::thread([this, token] {
      std::string pending;
      client_.Get(("/__gateway/stream?token=" + token).c_str(),
                  [this, &pending](const char* data, std::size_t size) {
                    pending.append(data, size);
                    for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                      std::string event = pending.substr(0, end);
                      pending.erase(0, end + 2);
                      // ": connected" and ": ping" are comments, not payloads.
                      if (event.find("data: ") == std::string::npos) continue;
                      std::lock_guard lock(mutex_);
                      events_.push_back({Clock::now(), std::move(event)});
                      changed_.notify_all();
                    }
                    return true;
                  });
      std::lock_guard lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~StreamReader() {
    client_.stop();
    thread_.join();
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // The `index`th payload (from 0) and when it was read; false if none came in time.
  bool await(std::size_t index, Clock::time_point& readAt, std::string& event) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kDeliveryWait, [&] { return events_.size() > index || ended_; }) ||
        events_.size() <= index)
      return false;
    readAt = events_[index].readAt;
    event = events_[index].text;
    return true;
  }

 private:
  struct Event {
    Clock::time_point readAt;
    std::string text;
  };
  httplib::Client client_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  bool ended_ = false;
};

// POST /__admin/send to one device, until its stream has read the payload.
void BM_EmulatorSendToDelivery(benchmark::State& state) {
  Service service = startService(1);
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  auto admin = keepAliveClient(service.emulator->url());
  std::vector<double> latencies;
  long long sends = 0;
  double cpu = 0;
  {
    StreamReader stream(service.emulator->url(), service.tokens[0]);
    for (auto _ : state) {
      const auto started = Clock::now();
      const auto deadline = started + kSlice;
      const double cpuBefore = processCpu();
      bool failed = false;
      for (long long n = 0; n < kMaxRequestsPerSlice; ++n) {
        const auto before = Clock::now();
        if (before >= deadline) break;
        const std::string text = "delivery " + std::to_string(sends);
        const auto result = admin->Post(
            "/__admin/send",
            Json{{"device", service.tokens[0]}, {"app_id", kApp}, {"message", text}}.dump(),
            "application/json");
        Clock::time_point readAt;
        std::string event;
        if (!result || result->status != 200 ||
            !stream.await(static_cast<std::size_t>(sends), readAt, event) ||
            event.find("\"alert\":\"" + text + "\"") == std::string::npos) {
          failed = true;
          break;
        }
        latencies.push_back(microseconds(readAt - before));
        ++sends;
      }
      state.SetIterationTime(std::chrono::duration<double>(Clock::now() - started).count());
      cpu += processCpu() - cpuBefore;
      if (failed) {
        state.SkipWithError("a payload did not reach the device's stream");
        break;
      }
    }
    // The stream ends with the emulator, which waits for kept-alive
    // connections to close.
    admin.reset();
    service.emulator->stop();
  }
  reportLatency(state, sends, latencies, cpu);
}
BENCHMARK(BM_EmulatorSendToDelivery)
    ->Iterations(kSlices)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
