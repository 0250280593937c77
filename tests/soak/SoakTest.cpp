// Twenty simulated devices, each an orvo-sim process, exchange messages
// through the emulator while it fails a seeded 5% of the requests and one
// device is killed and started again half-way. Afterwards every message the
// emulator accepted has reached its recipient's application, every delivery
// the library acknowledged is recorded, no process crashed and every device
// kept its identity.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Control.h"
#include "Device.h"
#include "emulator/EmulatorHarness.h"
#include "support/TestHost.h"

extern char** environ;

namespace orvo::test {
namespace {

constexpr int kDevices = 20;
constexpr int kMessagesEach = 50;
constexpr int kVictim = 7;  // the device killed half-way
constexpr double kFaultShare = 0.05;
constexpr std::uint64_t kSeed = 20240611;
constexpr auto kDeadline = std::chrono::seconds(90);

std::string deviceName(int i) { return (i < 10 ? "d0" : "d") + std::to_string(i); }
std::string userOf(int i) { return "u" + deviceName(i).substr(1); }

// One orvo-sim device process, its output in a file of its own.
struct DeviceProcess {
  pid_t pid = -1;
  int exitStatus = -1;

  bool start(const std::string& stateDir, const std::string& url, int i, int generation) {
    const std::string out =
        stateDir + "/" + deviceName(i) + "." + std::to_string(generation) + ".out";
    std::vector<std::string> args = {ORVO_SIM,      "run",    deviceName(i), "--user", userOf(i),
                                     "--state-dir", stateDir, "--emulator",  url,      "--json"};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) pid = -1;
    return started;
  }
  // Waits for the process to end; its wait status.
  int reap() {
    if (pid > 0) ::waitpid(std::exchange(pid, -1), &exitStatus, 0);
    return exitStatus;
  }
};

// The JSON lines a device printed, across its runs.
std::vector<Json> printed(const std::string& stateDir, int i, int generations) {
  std::vector<Json> lines;
  for (int generation = 0; generation < generations; ++generation) {
    std::ifstream in(stateDir + "/" + deviceName(i) + "." + std::to_string(generation) + ".out");
    for (std::string line; std::getline(in, line);) {
      Json json = Json::parse(line, nullptr, false);
      if (json.is_object()) lines.push_back(std::move(json));
    }
  }
  return lines;
}

class Soak {
 public:
  explicit Soak(RunningEmulator& emu) : emu_(emu) {}
  // A test that stops early leaves no sender and no device behind.
  ~Soak() {
    running_ = false;
    {
      std::lock_guard lock(victimMutex_);
      victimUp_ = true;
    }
    victimBack_.notify_all();
    for (auto& sender : senders_)
      if (sender.joinable()) sender.join();
    for (auto& device : devices_) {
      if (device.pid > 0) ::kill(device.pid, SIGKILL);
      device.reap();
    }
  }

  std::optional<Json> call(int i, const Json& request, int timeoutMs = 35000) {
    std::string error;
    return sim::controlCall(sim::controlSocket(dir_.path(), deviceName(i)), request, timeoutMs,
                            error);
  }
  // Up (and registered, when asked), with its identity as the device
  // reports it.
  std::optional<Json> waitUp(int i, bool registered) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      auto status = call(i, {{"command", "status"}}, 5000);
      // Before start-up has loaded its record a device knows no identity.
      if (status && !status->value("psid", "").empty() &&
          (!registered || status->value("registered", false)))
        return status;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
  }
  bool start(int i) { return devices_[i].start(dir_.path(), emu_.url(), i, generations_[i]++); }

  // One device's messages, each sent until the library reports it accepted.
  void sendAll(int i) {
    for (int j = 0; j < kMessagesEach; ++j) {
      const int to = (i + 1 + j % (kDevices - 1)) % kDevices;
      const std::string text = "m-" + std::to_string(i) + "-" + std::to_string(j);
      for (;;) {
        if (!running_) return;
        if (i == kVictim) {
          std::unique_lock lock(victimMutex_);
          victimBack_.wait(lock, [&] { return victimUp_; });
        }
        auto answer = call(i, {{"command", "send"}, {"to", userOf(to)}, {"text", text}});
        if (answer && answer->value("ok", false)) break;
        ++retries_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      {
        std::lock_guard lock(mutex_);
        recipients_[text] = to;
      }
      ++sent_;
    }
  }

  test::TempDir dir_;
  RunningEmulator& emu_;
  std::vector<DeviceProcess> devices_ = std::vector<DeviceProcess>(kDevices);
  std::vector<std::thread> senders_;
  std::vector<int> generations_ = std::vector<int>(kDevices, 0);
  std::atomic<bool> running_{true};
  std::atomic<int> sent_{0};
  std::atomic<int> retries_{0};
  std::mutex mutex_;
  std::map<std::string, int> recipients_;  // logical message → recipient
  std::mutex victimMutex_;
  std::condition_variable victimBack_;
  bool victimUp_ = true;
};

TEST(SoakTest, TwentyDevicesUnderSeededFaultsAndAKill) {
  const auto began = std::chrono::steady_clock::now();
  auto options = quietEmulator();
  // A thread per open connection: a stream per device, and the library's
  // kept-alive connections beside them.
  options.threads = 256;
  options.journalCapacity = 100000;
  RunningEmulator emu(options);
  Soak soak(emu);

  std::map<int, Json> identity;
  for (int i = 0; i < kDevices; ++i) ASSERT_TRUE(soak.start(i)) << deviceName(i);
  for (int i = 0; i < kDevices; ++i) {
    auto status = soak.waitUp(i, true);
    ASSERT_TRUE(status) << deviceName(i) << " did not register";
    identity[i] = {{"psid", (*status)["psid"]}, {"cuid", (*status)["cuid"]}};
    ASSERT_EQ(identity[i]["cuid"], userOf(i));
  }

  // Faults from here on: each effect with its own seeded share, about 5%
  // of the requests in all.
  const std::vector<Json> effects = {{{"effect", "status"}, {"status", 500}},
                                     {{"effect", "reset"}},
                                     {{"effect", "truncate"}},
                                     {{"effect", "result_code"}, {"result_code", "40100"}},
                                     {{"effect", "latency"}, {"ms", 150}}};
  Json rules = Json::array();
  for (std::size_t k = 0; k < effects.size(); ++k) {
    Json rule = effects[k];
    // Drawn one after the other: together they hit kFaultShare of requests.
    rule["probability"] = 1 - std::pow(1 - kFaultShare, 1.0 / static_cast<double>(effects.size()));
    rule["seed"] = kSeed + k;
    rules.push_back(rule);
  }
  ASSERT_EQ(emu.post("/__admin/faults", rules).status, 200);
  const long long requestsBefore = emu.count(Json::object());

  for (int i = 0; i < kDevices; ++i) soak.senders_.emplace_back([&soak, i] { soak.sendAll(i); });

  // Half-way, the victim dies mid-traffic and comes back under its name.
  ASSERT_TRUE(eventually([&] { return soak.sent_ >= kDevices * kMessagesEach / 2; }, kDeadline));
  {
    std::lock_guard lock(soak.victimMutex_);
    soak.victimUp_ = false;
  }
  ::kill(soak.devices_[kVictim].pid, SIGKILL);
  const int killed = soak.devices_[kVictim].reap();
  EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
  ASSERT_TRUE(soak.start(kVictim));
  // Its registration at start-up meets the faults too; what it registered
  // before stands either way.
  auto restarted = soak.waitUp(kVictim, false);
  {
    std::lock_guard lock(soak.victimMutex_);
    soak.victimUp_ = true;
  }
  soak.victimBack_.notify_all();
  ASSERT_TRUE(restarted) << "the restarted device did not come up";
  EXPECT_EQ((*restarted)["psid"], identity[kVictim]["psid"]);
  EXPECT_EQ((*restarted)["cuid"], identity[kVictim]["cuid"]);

  for (auto& sender : soak.senders_) sender.join();
  ASSERT_EQ(soak.sent_, kDevices * kMessagesEach);

  // Every message accepted by the emulator, by its text: a send retried
  // after an answer cut short was accepted more than once.
  std::map<std::string, std::vector<long long>> accepted;  // text → seqnos
  for (const auto& message : emu.list("messages"))
    accepted[message["message"].get<std::string>()].push_back(message["seqno"].get<long long>());
  ASSERT_EQ(accepted.size(), soak.recipients_.size());

  // What reached each application; the restarted device's both runs.
  std::map<int, std::map<std::string, int>> arrived;     // device → text → times
  std::map<long long, std::pair<int, bool>> deliveries;  // seqno → device, acknowledged
  auto collect = [&] {
    arrived.clear();
    for (int i = 0; i < kDevices; ++i) {
      for (const auto& line : printed(soak.dir_.path(), i, soak.generations_[i])) {
        if (line.value("event", "") != "notification") continue;
        ++arrived[i][line.value("text", "")];
        const long long seqno = std::stoll(line.value("seqno", "0"));
        deliveries[seqno] = {i, line.value("acknowledged", false)};
      }
    }
    for (const auto& [text, to] : soak.recipients_)
      if (!arrived[to].count(text)) return false;
    return true;
  };
  const bool allArrived = eventually(collect, std::chrono::seconds(30));
  int lost = 0, duplicates = 0;
  for (const auto& [text, to] : soak.recipients_) {
    const int times = arrived[to].count(text) ? arrived[to][text] : 0;
    if (times == 0) {
      ++lost;
      Json rows = Json::array();
      for (const auto& message : emu.list("messages"))
        if (message["message"] == text) rows.push_back(message["deliveries"]);
      // Where the device's streams resumed tells whether it asked again.
      Json resumed = Json::array();
      for (const auto& entry : emu.journal("__gateway/stream")) resumed.push_back(entry["form"]);
      ADD_FAILURE() << text << " never reached " << deviceName(to) << "; the emulator has "
                    << rows.dump() << "; streams " << resumed.dump();
    }
    duplicates += std::max(0, times - 1);
  }
  EXPECT_TRUE(allArrived);

  // Each acknowledgement the library saw succeed is the emulator's too.
  int acknowledged = 0;
  std::map<long long, Json> messages;
  for (const auto& message : emu.list("messages")) messages[message["seqno"]] = message;
  for (const auto& [seqno, delivery] : deliveries) {
    if (!delivery.second) continue;
    ++acknowledged;
    const Json& rows = messages[seqno]["deliveries"];
    bool recorded = false;
    for (const auto& row : rows)
      if (row["device_name"] == deviceName(delivery.first) && !row["delivered_at"].is_null())
        recorded = true;
    EXPECT_TRUE(recorded) << "message " << seqno << " acknowledged by "
                          << deviceName(delivery.first) << " but not recorded: " << rows.dump();
  }

  // Every device ends as told, with the identity it started with.
  for (int i = 0; i < kDevices; ++i) {
    auto status = soak.call(i, {{"command", "status"}}, 5000);
    ASSERT_TRUE(status) << deviceName(i) << " is gone";
    EXPECT_EQ((*status)["psid"], identity[i]["psid"]) << deviceName(i);
    EXPECT_EQ((*status)["cuid"], identity[i]["cuid"]) << deviceName(i);
    soak.call(i, {{"command", "stop"}}, 5000);
  }
  int crashed = 0;
  for (int i = 0; i < kDevices; ++i) {
    const int status = soak.devices_[i].reap();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++crashed;
      ADD_FAILURE() << deviceName(i) << " ended with wait status " << status;
    }
  }

  const long long faults = emu.count({{"fault", true}});
  const long long requests = emu.count(Json::object()) - requestsBefore;
  const long long extra =
      static_cast<long long>(emu.list("messages").size()) - static_cast<long long>(accepted.size());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "soak: %d devices, %zu messages sent (%lld accepted twice), %d sends retried, "
      "%lld requests with %lld faults injected (%.1f%%), 1 device killed and restarted, "
      "lost %d, duplicates %d, %d deliveries acknowledged, %d crashed, %.1f s\n",
      kDevices, soak.recipients_.size(), extra, soak.retries_.load(), requests, faults,
      requests ? 100.0 * static_cast<double>(faults) / static_cast<double>(requests) : 0.0, lost,
      duplicates, acknowledged, crashed, seconds);
  EXPECT_GT(faults, 0);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(crashed, 0);
  EXPECT_LT(seconds, 120);
}

}  // namespace
}  // namespace orvo::test
