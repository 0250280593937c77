#include "Fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

namespace orvo::sim {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

struct Member {
  std::string name;
  pid_t pid = -1;
  int out = -1;  // the device's output, one JSON object a line
  std::string pending;
  bool registered = false, failed = false;
  std::optional<Clock::time_point> printed;  // the broadcast
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Fleet {
 public:
  explicit Fleet(const FleetOptions& options) : options_(options) {}
  ~Fleet() { stopAll(); }

  bool start(std::string& error);
  // Reads what the devices printed for up to `ms`, until `done` holds or a
  // signal comes; false on a signal.
  bool pump(int ms, const std::function<bool()>& done);
  std::vector<Member>& members() { return members_; }
  void stopAll();

 private:
  void take(Member& member);

  const FleetOptions& options_;
  std::vector<Member> members_;
  int signals_ = -1;
  sigset_t blocked_{};
};

bool Fleet::start(std::string& error) {
  // A pipe for each device, and the devices' own files.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  sigemptyset(&blocked_);
  sigaddset(&blocked_, SIGINT);
  sigaddset(&blocked_, SIGTERM);
  // The devices keep them blocked too, and wait for them as their stop.
  sigprocmask(SIG_BLOCK, &blocked_, nullptr);
  signals_ = signalfd(-1, &blocked_, SFD_CLOEXEC | SFD_NONBLOCK);
  std::error_code made;
  std::filesystem::create_directories(options_.stateDir, made);
  members_.resize(static_cast<std::size_t>(options_.count));
  for (int i = 0; i < options_.count; ++i) {
    Member& member = members_[static_cast<std::size_t>(i)];
    member.name = options_.prefix + "-" + std::to_string(i + 1);
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
      error = "cannot start device " + member.name + ": no more pipes";
      return false;
    }
    std::vector<std::string> args = {
        options_.self,     "run",        member.name,          "--user", member.name, "--state-dir",
        options_.stateDir, "--emulator", options_.emulatorUrl, "--json"};
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(pipe[1], STDOUT_FILENO);
      dup2(pipe[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(pipe[1]);
    if (pid < 0) {
      close(pipe[0]);
      error = "cannot start device " + member.name + ": no more processes";
      return false;
    }
    fcntl(pipe[0], F_SETFL, O_NONBLOCK);
    member.pid = pid;
    member.out = pipe[0];
  }
  return true;
}

void Fleet::take(Member& member) {
  char buffer[8192];
  for (;;) {
    const ssize_t size = read(member.out, buffer, sizeof buffer);
    if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
      close(member.out);
      member.out = -1;
      if (!member.registered) member.failed = true;
      return;
    }
    if (size < 0) return;
    member.pending.append(buffer, static_cast<std::size_t>(size));
    for (auto end = member.pending.find('\n'); end != std::string::npos;
         end = member.pending.find('\n')) {
      const Json line = Json::parse(member.pending.substr(0, end), nullptr, false);
      member.pending.erase(0, end + 1);
      if (!line.is_object()) continue;
      const auto event = line.value("event", "");
      if (event == "registered")
        (line.value("ok", false) ? member.registered : member.failed) = true;
      if (event == "notification" && options_.broadcast && !member.printed &&
          line.value("text", "") == *options_.broadcast)
        member.printed = Clock::now();
    }
  }
}

bool Fleet::pump(int ms, const std::function<bool()>& done) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  std::vector<pollfd> watched;
  std::vector<Member*> owners;
  while (!done() && Clock::now() < until) {
    watched.assign(1, pollfd{signals_, POLLIN, 0});
    owners.assign(1, nullptr);
    for (auto& member : members_)
      if (member.out >= 0) {
        watched.push_back({member.out, POLLIN, 0});
        owners.push_back(&member);
      }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (poll(watched.data(), watched.size(),
             static_cast<int>(std::max<long long>(0, left.count()))) < 0)
      continue;
    if (watched[0].revents & POLLIN) return false;
    for (std::size_t i = 1; i < watched.size(); ++i)
      if (watched[i].revents) take(*owners[i]);
  }
  return true;
}

void Fleet::stopAll() {
  for (auto& member : members_)
    if (member.pid > 0) kill(member.pid, SIGTERM);
  const auto until = Clock::now() + std::chrono::seconds(15);
  for (auto& member : members_) {
    while (member.pid > 0) {
      int status;
      if (waitpid(member.pid, &status, WNOHANG) == member.pid) {
        member.pid = -1;
      } else if (Clock::now() >= until) {
        kill(member.pid, SIGKILL);
        waitpid(member.pid, &status, 0);
        member.pid = -1;
      } else {
        // Their last lines must not fill the pipes they wait on.
        for (auto& other : members_)
          if (other.out >= 0) take(other);
        usleep(10000);
      }
    }
    if (member.out >= 0) close(member.out);
    member.out = -1;
  }
  members_.clear();
  if (signals_ >= 0) close(signals_);
  signals_ = -1;
}

// The broadcast goes out as a tester's own would: through the admin API.
bool sendBroadcast(const std::string& url, const std::string& text, std::string& error) {
  httplib::Client admin(url);
  admin.set_read_timeout(30, 0);
  const auto answer = admin.Post("/__admin/send", Json{{"all", true}, {"message", text}}.dump(),
                                 "application/json");
  if (answer && answer->status == 200) return true;
  error = answer ? "the emulator answered " + std::to_string(answer->status) + ": " + answer->body
                 : "no answer from the emulator (" + httplib::to_string(answer.error()) + ")";
  return false;
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace

int runFleet(const FleetOptions& given) {
  FleetOptions options = given;
  if (options.self.empty()) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    options.self = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "orvo-sim";
  }
  Fleet fleet(options);
  auto& members = fleet.members();
  const auto started = Clock::now();
  std::string error;
  if (!fleet.start(error)) {
    std::cerr << "orvo-sim fleet: " << error << std::endl;
    return 1;
  }
  auto count = [&](auto test) { return std::count_if(members.begin(), members.end(), test); };
  const auto settled = [&] {
    return count([](const Member& m) { return m.registered || m.failed; }) == options.count;
  };
  bool going = fleet.pump(static_cast<int>(options.startSeconds * 1000), settled);
  const auto registered = count([](const Member& m) { return m.registered; });
  std::printf("fleet: %ld of %d devices registered in %.1f s\n", static_cast<long>(registered),
              options.count, secondsSince(started));
  std::fflush(stdout);
  bool whole = registered == options.count;
  if (going && options.broadcast) {
    const auto sent = Clock::now();
    if (!sendBroadcast(options.emulatorUrl, *options.broadcast, error)) {
      std::cerr << "orvo-sim fleet: the broadcast was refused: " << error << std::endl;
      whole = false;
    } else {
      going = fleet.pump(30000, [&] {
        return count([](const Member& m) { return !m.registered || m.printed; }) == options.count;
      });
      std::vector<double> delays;
      for (const auto& member : members)
        if (member.printed)
          delays.push_back(std::chrono::duration<double>(*member.printed - sent).count());
      std::printf(
          "fleet: the broadcast was printed by %zu of %ld devices: p50 %.3f s, p99 %.3f s, "
          "last %.3f s\n",
          delays.size(), static_cast<long>(registered), percentile(delays, 0.5),
          percentile(delays, 0.99), percentile(delays, 1.0));
      std::fflush(stdout);
      whole = whole && static_cast<long>(delays.size()) == registered;
    }
  }
  if (going) {
    const int keep = options.seconds ? static_cast<int>(*options.seconds * 1000)
                                     : std::numeric_limits<int>::max();
    fleet.pump(keep, [] { return false; });
  }
  const auto stopping = Clock::now();
  fleet.stopAll();
  std::printf("fleet: %d devices stopped in %.1f s\n", options.count, secondsSince(stopping));
  return whole ? 0 : 1;
}

}  // namespace orvo::sim
