// The service extension's default handling of one notification in a fresh
// process, as the phone runs it: the probe starts, acknowledges the
// notification to a receiver on 127.0.0.1 and hands the content back. Wall
// time from spawn to exit, and the child's peak resident memory. Beside it
// the floor: the same process ending as soon as it is loaded.
//
// Two peaks are reported. peak_rss_MiB is the child's own address space
// (VmHWM, which the probe prints), shared library pages included;
// private_dirty_MiB is its private dirty memory at the end, the part a phone
// charges an extension for. rusage_maxrss_MiB is the child's
// ru_maxrss as RUSAGE_CHILDREN gives it (per child, from wait4); Linux
// carries the spawning process's high-water mark over exec into it, so it is
// never below this benchmark process's own size.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "integration/LoopbackServer.h"
#include "orvo/Json.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "support/Manifest.h"

extern char** environ;

namespace {

using namespace orvo;
using orvo::bench::ScratchDir;

constexpr const char* kProbe = ORVO_EXTENSION_PROBE;
constexpr const char* kAckPath = "/rcv_register_sent_ack.ctl";
constexpr double kKiBPerMiB = 1024.0;
constexpr const char* kLoadedOnly = "--loaded-only";

struct ProbeRun {
  bool ok = false;
  double wallSeconds = 0;
  double inProcessSeconds = 0;
  long peakKiB = 0;
  long dirtyKiB = 0;
  long maxrssKiB = 0;
};

// Spawns the probe with its output in a pipe and waits for it to end.
ProbeRun runProbe(std::vector<std::string> arguments) {
  ProbeRun run;
  int out[2];
  if (::pipe(out) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  arguments.insert(arguments.begin(), kProbe);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int spawned = posix_spawn(&child, kProbe, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string printed;
  char buffer[64];
  for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof(buffer))) > 0;) {
    printed.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  if (spawned != 0 || ::wait4(child, &status, 0, &usage) != child) return run;
  run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  char* rest = nullptr;
  run.inProcessSeconds = std::strtod(printed.c_str(), &rest) / 1e6;
  run.peakKiB = std::strtol(rest, &rest, 10);
  run.dirtyKiB = std::strtol(rest, nullptr, 10);
  run.maxrssKiB = usage.ru_maxrss;
  return run;
}

// Times the runs and reports the largest memory figures and the mean
// in-process time.
void measure(benchmark::State& state, const std::vector<std::string>& arguments) {
  long peakKiB = 0;
  long dirtyKiB = 0;
  long maxrssKiB = 0;
  double inProcess = 0;
  for (auto _ : state) {
    const ProbeRun run = runProbe(arguments);
    if (!run.ok) {
      state.SkipWithError("the probe failed");
      break;
    }
    state.SetIterationTime(run.wallSeconds);
    inProcess += run.inProcessSeconds;
    peakKiB = std::max(peakKiB, run.peakKiB);
    dirtyKiB = std::max(dirtyKiB, run.dirtyKiB);
    maxrssKiB = std::max(maxrssKiB, run.maxrssKiB);
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["peak_rss_MiB"] = static_cast<double>(peakKiB) / kKiBPerMiB;
  state.counters["private_dirty_MiB"] = static_cast<double>(dirtyKiB) / kKiBPerMiB;
  state.counters["rusage_maxrss_MiB"] = static_cast<double>(maxrssKiB) / kKiBPerMiB;
  state.counters["in_process_ms"] = iterations > 0 ? inProcess / iterations * 1e3 : 0;
}

void BM_ExtensionFreshProcessAcknowledgement(benchmark::State& state) {
  std::atomic<int> acknowledged{0};
  test::LoopbackServer server;
  server.server().Post(R"(/([A-Za-z_]+\.ctl))", [&acknowledged](const httplib::Request& request,
                                                                httplib::Response& response) {
    Dictionary body;
    if (request.path == kAckPath) ++acknowledged;
    body.set("AUTHKEY", "bench-key");
    response.set_content(receiverEnvelope(body), "application/json; charset=utf-8");
  });
  server.start();

  ScratchDir dir;
  const std::string bundle = dir.path() + "/bundle";
  std::filesystem::create_directories(bundle + "/res");
  std::ofstream(bundle + "/res/Manifest.xml")
      << test::manifestXml(test::ManifestOptions{.storage = true,
                                                 .server = server.url("/"),
                                                 .applicationID = "com.example.bench",
                                                 .log = false,
                                                 .logServer = ""});
  // The application has run before: its stored record exists.
  if (!runProbe({bundle, dir.path()}).ok) {
    state.SkipWithError("the probe did not hand back acknowledged content");
    return;
  }

  measure(state, {bundle, dir.path()});
  state.counters["acknowledgements"] = acknowledged.load();
}
BENCHMARK(BM_ExtensionFreshProcessAcknowledgement)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ExtensionProcessLoadedOnly(benchmark::State& state) { measure(state, {kLoadedOnly}); }
BENCHMARK(BM_ExtensionProcessLoadedOnly)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
