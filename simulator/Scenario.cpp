#include "Scenario.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <thread>

#include "Control.h"
#include "Device.h"
#include "Input.h"
#include "ScenarioCheck.h"

namespace orvo::sim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultWaitMs = 5000;

struct StepFailure {
  std::string message;
};

struct RunningDevice {
  pid_t pid = -1;
  Json config;
  std::string psid;
};

class Scenario {
 public:
  Scenario(std::string file, ScenarioOptions options)
      : file_(std::move(file)), options_(std::move(options)), admin_(options_.emulatorUrl) {
    admin_.set_connection_timeout(3);
    admin_.set_read_timeout(30, 0);
  }
  ~Scenario();
  int run();

 private:
  void step(const Json& step);
  void act(const std::string& action, const Json& step);
  void expect(const std::string& what, const Json& step);
  Json adminCall(const std::string& method, const std::string& path, const Json& body = nullptr);
  Json device(const std::string& name, const Json& request, bool mustSucceed = true);
  void start(const std::string& name);
  void stop(const std::string& name, bool kill);
  std::string describe(const Json& step) const;
  Json expand(const Json& value);
  // Polls until check() gives an empty string or the time runs out; the
  // last thing check() said is the failure.
  void waitFor(int ms, const std::function<std::string()>& check);
  void say(bool ok, const std::string& text);

  std::string file_;
  ScenarioOptions options_;
  httplib::Client admin_;
  std::string stateDir_;
  std::string self_;
  Json devices_ = Json::object();
  std::map<std::string, RunningDevice> running_;
  std::string note_;  // what the last step saw, for the transcript
  int stepNumber_ = 0;
};

Scenario::~Scenario() {
  for (auto& [name, device] : running_)
    if (device.pid > 0) {
      std::string ignored;
      controlCall(controlSocket(stateDir_, name), {{"command", "stop"}}, 2000, ignored);
    }
  for (auto& [name, device] : running_)
    if (device.pid > 0) {
      int status;
      for (int i = 0; i < 100 && waitpid(device.pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ::kill(device.pid, SIGKILL);
      waitpid(device.pid, &status, 0);
    }
  std::error_code ec;
  if (!stateDir_.empty()) fs::remove_all(stateDir_, ec);
}

void Scenario::say(bool ok, const std::string& text) {
  if (options_.json) {
    std::cout << Json{{"scenario", file_}, {"step", stepNumber_}, {"ok", ok}, {"text", text}}.dump()
              << std::endl;
  } else {
    std::cout << "  " << (ok ? "\xE2\x9C\x93 " : "\xE2\x9C\x97 ") << text << std::endl;
  }
}

Json Scenario::adminCall(const std::string& method, const std::string& path, const Json& body) {
  httplib::Result result =
      method == "GET" ? admin_.Get(path.c_str())
      : method == "DELETE"
          ? admin_.Delete(path.c_str())
          : admin_.Post(path.c_str(), body.is_null() ? "{}" : body.dump(), "application/json");
  if (!result)
    throw StepFailure{"the emulator at " + options_.emulatorUrl + " is not reachable (" +
                      httplib::to_string(result.error()) + ")"};
  Json json = Json::parse(result->body, nullptr, false);
  if (result->status >= 300)
    throw StepFailure{"the emulator refused " + method + " " + path + ": " +
                      (json.is_object() ? json.value("error", result->body) : result->body)};
  return json;
}

Json Scenario::device(const std::string& name, const Json& request, bool mustSucceed) {
  if (!running_.count(name) || running_[name].pid <= 0)
    throw StepFailure{"device " + name + " is not running"};
  std::string error;
  auto answer = controlCall(controlSocket(stateDir_, name), request, 35000, error);
  if (!answer) throw StepFailure{"device " + name + ": " + error};
  if (mustSucceed && !(*answer)["ok"].get<bool>())
    throw StepFailure{name + ": " + answer->value("error", "failed")};
  return *answer;
}

void Scenario::waitFor(int ms, const std::function<std::string()>& check) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  std::string last;
  for (;;) {
    last = check();
    if (last.empty()) return;
    if (Clock::now() >= deadline) throw StepFailure{last};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Scenario::start(const std::string& name) {
  if (!devices_.contains(name)) throw StepFailure{"no device \"" + name + "\" in \"devices\""};
  const Json config = devices_[name];
  std::vector<std::string> args = {
      self_, "run", name, "--state-dir", stateDir_, "--emulator", options_.emulatorUrl, "--json"};
  auto option = [&](const char* key, const char* flag) {
    if (config.contains(key)) {
      args.push_back(flag);
      args.push_back(config[key].is_string() ? config[key].get<std::string>() : config[key].dump());
    }
  };
  option("user", "--user");
  option("name", "--name");
  option("group", "--group");
  option("state", "--state");
  option("app", "--app");
  option("receiver_version", "--receiver-version");
  if (config.value("auto_read", false)) args.push_back("--auto-read");
  if (config.value("deny_permission", false)) args.push_back("--deny-permission");
  if (config.value("durable", false)) args.push_back("--durable");
  if (config.value("consent_required", false)) args.push_back("--consent-required");
  if (config.value("trace_requests", false)) args.push_back("--trace-requests");
  const std::string output = stateDir_ + "/" + name + ".out";
  const pid_t pid = fork();
  if (pid < 0) throw StepFailure{"cannot start a device process"};
  if (pid == 0) {
    // The device's own lines go to a file; the scenario prints the transcript.
    FILE* out = std::fopen(output.c_str(), "a");
    if (out) {
      dup2(fileno(out), STDOUT_FILENO);
      dup2(fileno(out), STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  running_[name].pid = pid;
  running_[name].config = config;
  const bool expectRegistered =
      !config.value("deny_permission", false) && !config.value("consent_required", false);
  std::string error;
  waitFor(config.value("start_ms", 10000), [&]() -> std::string {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      running_[name].pid = -1;
      std::ifstream in(output);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      return "device " + name + " ended at start: " + text;
    }
    auto answer = controlCall(controlSocket(stateDir_, name), {{"command", "status"}}, 2000, error);
    if (!answer) return "device " + name + " did not come up";
    if (expectRegistered && !(*answer)["registered"].get<bool>())
      return "device " + name + " did not register";
    running_[name].psid = (*answer)["psid"].get<std::string>();
    return "";
  });
}

void Scenario::stop(const std::string& name, bool kill) {
  auto& device = running_[name];
  if (device.pid <= 0) throw StepFailure{"device " + name + " is not running"};
  if (kill) {
    ::kill(device.pid, SIGKILL);
  } else {
    std::string ignored;
    controlCall(controlSocket(stateDir_, name), {{"command", "stop"}}, 5000, ignored);
  }
  int status;
  waitpid(device.pid, &status, 0);
  device.pid = -1;
}

std::string Scenario::describe(const Json& step) const {
  if (step.contains("say")) return step["say"].get<std::string>();
  std::string text =
      step.contains("do") ? step["do"].get<std::string>() : "expect " + step.value("expect", "?");
  for (const auto& [key, value] : step.items()) {
    if (key == "do" || key == "expect" || key == "payload" || key == "rule") continue;
    text += " " + key + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
  }
  return text;
}

void Scenario::act(const std::string& action, const Json& step) {
  const std::string name = step.value("device", "");
  auto request = [&](Json body) {
    const bool wantOk = step.value("expect_ok", true);
    Json answer = device(name, body, false);
    const bool ok = answer["ok"].get<bool>();
    if (ok != wantOk)
      throw StepFailure{wantOk ? name + ": " + answer.value("error", "failed")
                               : "expected the call to fail, but it succeeded"};
    note_ = ok ? "" : answer.value("error", "");
  };
  if (action == "start") return start(name);
  if (action == "stop") return stop(name, false);
  if (action == "kill") return stop(name, true);
  if (action == "restart") {
    const std::string before = running_[name].psid;
    stop(name, step.value("kill", false));
    start(name);
    if (running_[name].psid != before)
      throw StepFailure{"device " + name + " came back with PSID " + running_[name].psid +
                        ", not its old " + before};
    note_ = "same PSID " + before.substr(0, 12) + "...";
    return;
  }
  if (action == "send") {
    Json body = {
        {"command", "send"}, {"to", step.value("to", "")}, {"text", step.value("text", "")}};
    for (const char* key : {"ext", "reserve"})
      if (step.contains(key)) body[key] = step[key];
    return request(body);
  }
  if (action == "read") {
    Json body = {{"command", "read"}};
    // The device takes the sequence number as text, as the payload carries it.
    if (step.contains("seqno"))
      body["seqno"] =
          step["seqno"].is_string() ? step["seqno"].get<std::string>() : step["seqno"].dump();
    return request(body);
  }
  if (action == "badge")
    return request({{"command", "badge"}, {"badge", step.value("badge", 0LL)}});
  if (action == "state") return request({{"command", "state"}, {"state", step.value("state", "")}});
  if (action == "session") return request({{"command", "session"}});
  if (action == "purchase") return request({{"command", "purchase"}, {"id", step.value("id", "")}});
  if (action == "unregister") return request({{"command", "unregister"}});
  if (action == "consent") return request({{"command", "consent"}, {"given", step["given"]}});
  if (action == "push")
    return request({{"command", "push"}, {"payload", step.value("payload", Json())}});
  if (action == "admin_send") {
    Json body = step;
    body.erase("do");
    body.erase("say");
    const Json answer = adminCall("POST", "/__admin/send", body);
    note_ = std::to_string(answer.value("targets", 0)) + " device(s)";
    return;
  }
  if (action == "fault") {
    adminCall("POST", "/__admin/faults", step.value("rule", Json::object()));
    return;
  }
  if (action == "faults_clear") {
    adminCall("DELETE", "/__admin/faults");
    return;
  }
  if (action == "clock") {
    const Json answer =
        adminCall("POST", "/__admin/clock", {{"advance_ms", step.value("advance_ms", 0LL)}});
    note_ = "released " + std::to_string(answer.value("released", 0));
    return;
  }
  if (action == "settings") {
    Json body = step;
    body.erase("do");
    body.erase("say");
    adminCall("POST", "/__admin/settings", body);
    return;
  }
  if (action == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(step.value("ms", 0)));
    return;
  }
  throw StepFailure{"unknown action \"" + action + "\""};
}

void Scenario::expect(const std::string& what, const Json& step) {
  const std::string name = step.value("device", "");
  const int within = step.value("within_ms", kDefaultWaitMs);
  if (what == "received" || what == "not_received") {
    const std::string text = step.value("text", "");
    auto find = [&]() -> std::pair<std::optional<Json>, std::string> {
      const Json events = device(name, {{"command", "events"}})["events"];
      std::string seen;
      for (const auto& event : events) {
        // Appended piece by piece: GCC 12 at -O3 misreads the one-expression
        // form as an overlapping copy (-Wrestrict).
        if (!seen.empty()) seen += ", ";
        seen += '"';
        seen += event["text"].get<std::string>();
        seen += "\" ";
        seen += event["status"].get<std::string>();
        if (event["text"] != text) continue;
        if (step.contains("status") && event["status"] != step["status"]) continue;
        if (step.contains("badge") && event["badge"] != step["badge"]) continue;
        if (step.value("attachment", false) && !event["payload"].contains("attachment")) continue;
        return {event, seen};
      }
      return {std::nullopt, seen.empty() ? "nothing" : seen};
    };
    if (what == "not_received") {
      const auto until = Clock::now() + std::chrono::milliseconds(step.value("for_ms", 300));
      while (Clock::now() < until) {
        if (find().first)
          throw StepFailure{name + " received \"" + text + "\", which it should not"};
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return;
    }
    const auto started = Clock::now();
    waitFor(within, [&]() -> std::string {
      auto [event, seen] = find();
      if (!event)
        return name + " did not receive \"" + text + "\"" +
               (step.contains("status") ? " with status " + step["status"].get<std::string>()
                                        : "") +
               (step.contains("badge") ? " and badge " + step["badge"].dump() : "") + " within " +
               std::to_string(within) + " ms; it received: " + seen;
      note_ = (*event)["status"].get<std::string>() + ", badge " + (*event)["badge"].dump() + ", " +
              std::to_string(
                  std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
                      .count()) +
              " ms";
      if (event->contains("payload") && (*event)["payload"].contains("attachment"))
        note_ += ", image at " + (*event)["payload"]["attachment"].get<std::string>();
      return "";
    });
    return;
  }
  if (what == "message_state") {
    const std::string text = step.value("text", "");
    const std::string wanted = step.value("state", "");
    std::string token;
    if (!name.empty()) token = device(name, {{"command", "status"}})["token"].get<std::string>();
    waitFor(within, [&]() -> std::string {
      std::string seen = "no message \"" + text + "\" at the emulator";
      const Json messages = adminCall("GET", "/__admin/messages")["messages"];
      for (const auto& message : messages) {
        if (message["message"] != text) continue;
        for (const auto& delivery : message["deliveries"]) {
          if (!token.empty() && delivery["token"] != token) continue;
          if (delivery["state"] == wanted) return "";
          seen = "message \"" + text + "\" is " + delivery["state"].get<std::string>() +
                 (name.empty() ? "" : " for " + name);
        }
        if (message["deliveries"].empty()) seen = "message \"" + text + "\" went to no device";
      }
      return "expected the emulator's message state \"" + wanted + "\"; " + seen;
    });
    note_ = wanted;
    return;
  }
  if (what == "server_badge" || what == "device_badge") {
    const long long wanted = step.value("badge", 0LL);
    waitFor(within, [&]() -> std::string {
      long long badge = -1;
      if (what == "device_badge") {
        badge = device(name, {{"command", "status"}})["badge"].get<long long>();
      } else {
        const std::string token = device(name, {{"command", "status"}})["token"].get<std::string>();
        const Json devices = adminCall("GET", "/__admin/devices")["devices"];
        for (const auto& row : devices)
          if (row["psid"] == token) badge = row["badge"].get<long long>();
      }
      if (badge == wanted) return "";
      return "expected " + std::string(what == "server_badge" ? "the server's" : "the device's") +
             " badge " + std::to_string(wanted) + " for " + name + "; it is " +
             std::to_string(badge);
    });
    note_ = "badge " + std::to_string(wanted);
    return;
  }
  if (what == "journal") {
    Json filter = Json::object();
    for (const char* key : {"endpoint", "result_code", "psid", "cuid", "fault"})
      if (step.contains(key)) filter[key] = step[key];
    const long long atLeast = step.value("at_least", 1LL);
    waitFor(within, [&]() -> std::string {
      const long long count =
          adminCall("POST", "/__admin/requests/count", filter)["count"].get<long long>();
      if (step.contains("count") ? count == step["count"].get<long long>() : count >= atLeast) {
        note_ = std::to_string(count) + " request(s)";
        return "";
      }
      return "expected " +
             (step.contains("count") ? step["count"].dump()
                                     : "at least " + std::to_string(atLeast)) +
             " journal entries matching " + filter.dump() + "; found " + std::to_string(count);
    });
    return;
  }
  if (what == "reports" || what == "logs") {
    const long long atLeast = step.value("at_least", 1LL);
    waitFor(within, [&]() -> std::string {
      long long count = 0;
      const Json rows = adminCall("GET", "/__admin/" + what)[what];
      for (const auto& row : rows)
        if (!step.contains("kind") || row["kind"] == step["kind"]) ++count;
      if (count >= atLeast) {
        note_ = std::to_string(count) + " stored";
        return "";
      }
      return "expected at least " + std::to_string(atLeast) + " " + what +
             (step.contains("kind") ? " of kind " + step["kind"].get<std::string>() : "") +
             " at the emulator; found " + std::to_string(count);
    });
    return;
  }
  if (what == "device_status") {
    waitFor(within, [&]() -> std::string {
      const Json status = device(name, {{"command", "status"}});
      for (const char* key : {"registered", "cuid", "state", "badge", "held"}) {
        if (step.contains(key) && status[key] != step[key])
          return "expected " + name + "'s " + key + " " + step[key].dump() + "; it is " +
                 status[key].dump();
      }
      note_ = "PSID " + status["psid"].get<std::string>().substr(0, 12) + "..., user " +
              status["cuid"].get<std::string>();
      return "";
    });
    return;
  }
  if (what == "psid_differs") {
    const std::string other = step.value("other", "");
    const std::string mine = device(name, {{"command", "status"}})["psid"].get<std::string>();
    const std::string theirs = device(other, {{"command", "status"}})["psid"].get<std::string>();
    if (mine.empty() || mine == theirs)
      throw StepFailure{name + " and " + other + " share the PSID \"" + mine + "\""};
    note_ = mine.substr(0, 8) + "... and " + theirs.substr(0, 8) + "...";
    return;
  }
  throw StepFailure{"unknown expectation \"" + what + "\""};
}

// "${EMULATOR}" stands for the emulator's address, and a date "+90s" for
// that long after the emulator's present time.
Json Scenario::expand(const Json& value) {
  if (value.is_object() || value.is_array()) {
    Json copy = value;
    for (auto& [key, item] : copy.items()) item = expand(item);
    return copy;
  }
  if (!value.is_string()) return value;
  std::string text = value.get<std::string>();
  for (std::size_t at; (at = text.find("${EMULATOR}")) != std::string::npos;)
    text.replace(at, 11, options_.emulatorUrl);
  if (text.size() > 2 && text[0] == '+' && text.back() == 's' &&
      text.find_first_not_of("0123456789", 1) == text.size() - 1) {
    const std::string now = adminCall("GET", "/__admin/clock")["now"].get<std::string>();
    std::tm utc{};
    strptime(now.substr(0, 19).c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
    const std::time_t at = timegm(&utc) + std::stoll(text.substr(1, text.size() - 2));
    gmtime_r(&at, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y%m%d%H%M%S", &utc);
    text = date;
  }
  return text;
}

// The script has been checked whole: each step is an object with a known
// action or expectation and values of the right types.
void Scenario::step(const Json& raw) {
  note_.clear();
  const Json step = expand(raw);
  if (step.contains("do"))
    act(step["do"].get<std::string>(), step);
  else
    expect(step["expect"].get<std::string>(), step);
}

int Scenario::run() {
  std::string error;
  const auto text = readInput(file_, kMaxScenarioBytes, error);
  if (!text) {
    std::cerr << "orvo-sim: " << error << std::endl;
    return 1;
  }
  JsonProblem problem;
  auto parsed = parseInputJson(*text, problem);
  if (!parsed) {
    std::cerr << "orvo-sim: " << file_
              << (problem.byte ? " is not JSON (byte " + std::to_string(*problem.byte) + ")" : "")
              << ": " << problem.reason << std::endl;
    return 1;
  }
  const Json script = std::move(*parsed);
  if (const std::string why = checkScenario(script); !why.empty()) {
    std::cerr << "orvo-sim: " << file_ << ": " << why << std::endl;
    return 1;
  }
  if (options_.emulatorUrl.empty()) {
    std::cerr << "orvo-sim: no emulator: give --emulator URL or set ORVO_EMULATOR_URL" << std::endl;
    return 1;
  }
  devices_ = script.value("devices", Json::object());
  char pattern[] = "/tmp/orvo-sim-scenario-XXXXXX";
  if (!mkdtemp(pattern)) {
    std::cerr << "orvo-sim: cannot make a temporary folder" << std::endl;
    return 1;
  }
  stateDir_ = pattern;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  self_ = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "orvo-sim";

  const auto started = Clock::now();
  if (!options_.json)
    std::cout << script.value("name", fs::path(file_).stem().string()) << std::endl;
  try {
    if (script.value("reset", true)) adminCall("POST", "/__admin/reset");
    const Json versions = script.value("receiver_versions", Json::object());
    for (const auto& [app, version] : versions.items())
      adminCall("POST", "/__admin/apps", {{"app_id", app}, {"receiver_version", version}});
  } catch (const StepFailure& failure) {
    say(false, failure.message);
    return 1;
  }
  for (const auto& entry : script["steps"]) {
    ++stepNumber_;
    const std::string text = describe(entry);
    std::optional<std::string> failed;
    try {
      step(entry);
    } catch (const StepFailure& failure) {
      failed = failure.message;
    } catch (const std::exception& error) {
      failed = std::string("internal error: ") + error.what();
    }
    if (failed) {
      say(false, text + ": " + *failed);
      if (!options_.json)
        std::cout << "stopped at step " << stepNumber_ << " of " << script["steps"].size()
                  << " (device output in " << stateDir_ << " is removed on exit)" << std::endl;
      return 1;
    }
    say(true, text + (note_.empty() ? "" : "  (" + note_ + ")"));
  }
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  if (!options_.json)
    std::cout << "all " << script["steps"].size() << " steps held (" << ms << " ms)" << std::endl;
  return 0;
}

}  // namespace

int runScenarios(const std::vector<std::string>& files, const ScenarioOptions& options) {
  std::signal(SIGPIPE, SIG_IGN);
  int failed = 0;
  for (const auto& file : files) {
    try {
      Scenario scenario(file, options);
      if (scenario.run() != 0) ++failed;
    } catch (const std::exception& error) {
      std::cerr << "orvo-sim: " << file << ": internal error: " << error.what() << std::endl;
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace orvo::sim
