// orvo-emulator: serve the emulated service, or talk to a running one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Emulator.h"

using orvo::emulator::Emulator;
using orvo::emulator::EmulatorOptions;
using orvo::emulator::Json;

namespace {

constexpr const char* kUsage = R"(usage:
  orvo-emulator [serve] [options]            serve until interrupted
  orvo-emulator exec [options] -- COMMAND    serve on a free port, run COMMAND with
                                             ORVO_EMULATOR_URL set, exit with its status
  orvo-emulator send [--url URL] (--user ID | --group SEQ | --device NAME | --all)
                [--app APP_ID] [--ext TEXT] [--badge N] [--silent] [--reserve DATE] TEXT
  orvo-emulator requests [--url URL] [--endpoint FILE] [--limit N] [--json]
  orvo-emulator faults add [--url URL] RULE_JSON | faults list | faults clear
  orvo-emulator snapshot export FILE | snapshot import FILE   [--url URL]

serve options:
  --port N                 listen on N (default: a free port)
  --address ADDR           listen address (default 127.0.0.1)
  --listen-any             allow an address that is not loopback
  --state FILE             keep the state in FILE (default: in memory)
  --auth-ttl DURATION      auth-key lifetime: 3600, 90s, 500ms, 5m, 1h (default 1h)
  --receiver-version V     receiver version requests are checked against (default 3.6)
  --assets DIR             images served under /images/ (sample.png is built in)
  --faults FILE            fault rules (JSON object or array) to start with
  --journal-size N         requests kept in the journal (default 10000)
  --quiet | --json-log     no request lines | one JSON object per request line
  --log                    with exec: print request lines too

The client commands find the emulator at --url or $ORVO_EMULATOR_URL.
)";

int fail(const std::string& message) {
  std::cerr << "orvo-emulator: " << message << std::endl;
  return 2;
}

bool parseDuration(const std::string& text, std::chrono::milliseconds& into) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || value < 0) return false;
  const std::string unit(end);
  double ms;
  if (unit.empty() || unit == "s")
    ms = value * 1000;
  else if (unit == "ms")
    ms = value;
  else if (unit == "m")
    ms = value * 60000;
  else if (unit == "h")
    ms = value * 3600000;
  else
    return false;
  into = std::chrono::milliseconds(static_cast<long long>(ms));
  return true;
}

// Serve options; returns false with a message for anything it does not know.
bool parseServeOptions(std::vector<std::string>& args, EmulatorOptions& options, bool& log,
                       std::string& error) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    if (arg == "--port") {
      auto v = value();
      if (!v) return false;
      char* end = nullptr;
      const long port = std::strtol(v->c_str(), &end, 10);
      if (*end || port < 0 || port > 65535) return error = "bad port " + *v, false;
      options.port = static_cast<int>(port);
    } else if (arg == "--address") {
      auto v = value();
      if (!v) return false;
      options.address = *v;
    } else if (arg == "--listen-any") {
      options.listenAny = true;
    } else if (arg == "--state") {
      auto v = value();
      if (!v) return false;
      options.statePath = *v;
    } else if (arg == "--auth-ttl") {
      auto v = value();
      if (!v) return false;
      if (!parseDuration(*v, options.authTtl)) return error = "bad duration " + *v, false;
    } else if (arg == "--receiver-version") {
      auto v = value();
      if (!v) return false;
      options.receiverVersion = *v;
    } else if (arg == "--assets") {
      auto v = value();
      if (!v) return false;
      options.assetsDir = *v;
    } else if (arg == "--faults") {
      auto v = value();
      if (!v) return false;
      std::ifstream in(*v);
      if (!in) return error = "cannot read " + *v, false;
      options.faults = Json::parse(in, nullptr, false);
      if (options.faults.is_discarded()) return error = *v + " is not JSON", false;
    } else if (arg == "--journal-size") {
      auto v = value();
      if (!v) return false;
      options.journalCapacity = std::strtoull(v->c_str(), nullptr, 10);
      if (options.journalCapacity == 0) return error = "bad journal size " + *v, false;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--json-log") {
      options.jsonLog = true;
    } else if (arg == "--log") {
      log = true;
    } else {
      rest.push_back(arg);
    }
  }
  args = rest;
  return true;
}

int serve(std::vector<std::string> args) {
  EmulatorOptions options;
  bool log = false;
  std::string error;
  if (!parseServeOptions(args, options, log, error)) return fail(error);
  if (!args.empty()) return fail("unknown argument " + args.front() + "\n" + kUsage);
  // Signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  Emulator emulator(options);
  if (!emulator.start(error)) return fail(error);
  std::cout << "orvo-emulator listening on " << emulator.url() << "  (console: " << emulator.url()
            << "/  admin API: " << emulator.url() << "/__admin/)" << std::endl;
  int signal = 0;
  sigwait(&signals, &signal);
  emulator.stop();
  return 0;
}

int execCommand(std::vector<std::string> args) {
  const auto separator = std::find(args.begin(), args.end(), "--");
  if (separator == args.end() || separator + 1 == args.end())
    return fail("exec needs -- COMMAND [ARGS...]");
  std::vector<std::string> command(separator + 1, args.end());
  args.erase(separator, args.end());
  EmulatorOptions options;
  options.quiet = true;
  bool log = false;
  std::string error;
  if (!parseServeOptions(args, options, log, error)) return fail(error);
  if (!args.empty()) return fail("unknown argument " + args.front());
  if (log) options.quiet = false;
  Emulator emulator(options);
  if (!emulator.start(error)) return fail(error);
  setenv("ORVO_EMULATOR_URL", emulator.url().c_str(), 1);
  const pid_t child = fork();
  if (child < 0) return fail(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    std::vector<char*> argv;
    for (auto& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "orvo-emulator: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  emulator.stop();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// --- client commands ---

struct Client {
  std::string url;
  std::optional<httplib::Client> http;

  bool connect(std::string& error) {
    if (url.empty()) {
      const char* env = std::getenv("ORVO_EMULATOR_URL");
      url = env ? env : "";
    }
    if (url.empty()) return error = "no emulator: give --url or set ORVO_EMULATOR_URL", false;
    http.emplace(url);
    if (!http->is_valid()) return error = "bad emulator URL " + url, false;
    http->set_connection_timeout(5);
    return true;
  }
  // The answer's JSON, or an error that says whether the emulator was reached.
  std::optional<Json> call(const std::string& method, const std::string& path, const Json* body,
                           std::string& error) {
    httplib::Result result =
        method == "GET" ? http->Get(path.c_str())
        : method == "DELETE"
            ? http->Delete(path.c_str())
            : http->Post(path.c_str(), body ? body->dump() : "{}", "application/json");
    if (!result) {
      error = "the emulator at " + url + " is not reachable (" +
              httplib::to_string(result.error()) + ")";
      return std::nullopt;
    }
    Json json = Json::parse(result->body, nullptr, false);
    if (result->status >= 300) {
      error = json.is_object() && json.contains("error") ? json["error"].get<std::string>()
                                                         : "HTTP " + std::to_string(result->status);
      return std::nullopt;
    }
    if (json.is_discarded())
      return error = "the emulator answered something that is not JSON", std::nullopt;
    return json;
  }
};

bool takeUrl(std::vector<std::string>& args, Client& client) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--url") {
      client.url = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      return true;
    }
  return false;
}

int sendCommand(std::vector<std::string> args) {
  Client client;
  takeUrl(args, client);
  Json body = Json::object();
  std::string text;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    std::optional<std::string> v;
    if (arg == "--user" && (v = next()))
      body["user"] = *v;
    else if (arg == "--group" && (v = next()))
      body["group"] = *v;
    else if (arg == "--device" && (v = next()))
      body["device"] = *v;
    else if (arg == "--app" && (v = next()))
      body["app_id"] = *v;
    else if (arg == "--ext" && (v = next()))
      body["ext"] = *v;
    else if (arg == "--reserve" && (v = next()))
      body["reserve_date"] = *v;
    else if (arg == "--badge" && (v = next()))
      body["badge"] = std::atoll(v->c_str());
    else if (arg == "--all")
      body["all"] = true;
    else if (arg == "--silent")
      body["silent"] = true;
    else if (!arg.empty() && arg[0] != '-')
      text = arg;
    else
      return fail("send: bad argument " + arg);
  }
  body["message"] = text;
  std::string error;
  if (!client.connect(error)) return fail(error);
  auto answer = client.call("POST", "/__admin/send", &body, error);
  if (!answer) return fail(error);
  std::cout << "sent message " << (*answer)["seqno"] << " to " << (*answer)["targets"]
            << " device(s)" << ((*answer)["reserved"].get<bool>() ? " (reserved)" : "")
            << std::endl;
  return 0;
}

int requestsCommand(std::vector<std::string> args) {
  Client client;
  takeUrl(args, client);
  std::string query;
  bool json = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if ((args[i] == "--endpoint" || args[i] == "--limit") && i + 1 < args.size()) {
      // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) on "?" + text.
      query.append(query.empty() ? "?" : "&").append(args[i].substr(2));
      query.append("=").append(args[i + 1]);
      ++i;
    } else {
      return fail("requests: bad argument " + args[i]);
    }
  }
  std::string error;
  if (!client.connect(error)) return fail(error);
  auto answer = client.call("GET", "/__admin/requests" + query, nullptr, error);
  if (!answer) return fail(error);
  if (json) {
    std::cout << answer->dump(2) << std::endl;
    return 0;
  }
  for (const auto& entry : (*answer)["requests"]) {
    std::cout << entry["time"].get<std::string>() << "  " << entry["method"].get<std::string>()
              << " " << entry["endpoint"].get<std::string>() << " -> " << entry["status"] << " "
              << entry["result_code"].get<std::string>();
    if (entry.contains("fault"))
      std::cout << "  [fault " << entry["fault"]["effect"].get<std::string>() << "]";
    std::cout << "\n";
    for (const auto& note : entry["notes"])
      std::cout << "    ! " << note.get<std::string>() << "\n";
  }
  if ((*answer)["dropped"].get<long long>() > 0)
    std::cout << "(" << (*answer)["dropped"] << " older requests were dropped)\n";
  return 0;
}

int faultsCommand(std::vector<std::string> args) {
  Client client;
  takeUrl(args, client);
  if (args.empty()) return fail("faults: add RULE_JSON | list | clear");
  std::string error;
  if (!client.connect(error)) return fail(error);
  const std::string verb = args[0];
  if (verb == "add") {
    if (args.size() != 2)
      return fail(
          "faults add needs one rule as JSON, e.g. "
          "'{\"effect\":\"status\",\"status\":500,\"times\":2}'");
    Json rule = Json::parse(args[1], nullptr, false);
    if (rule.is_discarded()) return fail("the rule is not JSON");
    auto answer = client.call("POST", "/__admin/faults", &rule, error);
    if (!answer) return fail(error);
    std::cout << (*answer)["added"].dump() << std::endl;
    return 0;
  }
  if (verb == "list") {
    auto answer = client.call("GET", "/__admin/faults", nullptr, error);
    if (!answer) return fail(error);
    for (const auto& rule : (*answer)["faults"]) std::cout << rule.dump() << "\n";
    return 0;
  }
  if (verb == "clear") {
    auto answer = client.call("DELETE", "/__admin/faults", nullptr, error);
    if (!answer) return fail(error);
    std::cout << "faults cleared" << std::endl;
    return 0;
  }
  return fail("faults: unknown verb " + verb);
}

int snapshotCommand(std::vector<std::string> args) {
  Client client;
  takeUrl(args, client);
  if (args.size() != 2 || (args[0] != "export" && args[0] != "import"))
    return fail("snapshot export FILE | snapshot import FILE");
  std::string error;
  if (!client.connect(error)) return fail(error);
  const std::string& file = args[1];
  if (args[0] == "export") {
    auto answer = client.call("GET", "/__admin/snapshot", nullptr, error);
    if (!answer) return fail(error);
    // Written beside the target and renamed, so a failed export leaves the last good one.
    const std::string temporary = file + ".tmp";
    {
      std::ofstream out(temporary, std::ios::trunc);
      out << answer->dump(1) << "\n";
      out.flush();
      if (!out) {
        std::remove(temporary.c_str());
        return fail("cannot write " + temporary);
      }
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
      std::remove(temporary.c_str());
      return fail("cannot replace " + file + ": " + std::strerror(errno));
    }
    std::cout << "snapshot written to " << file << std::endl;
    return 0;
  }
  std::ifstream in(file);
  if (!in) return fail("cannot read " + file);
  Json snapshot = Json::parse(in, nullptr, false);
  if (snapshot.is_discarded()) return fail(file + " is not JSON");
  if (!client.call("POST", "/__admin/snapshot", &snapshot, error)) return fail(error);
  std::cout << "snapshot imported from " << file << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::cout << kUsage;
    return 0;
  }
  const std::string command = args.empty() || args[0].rfind("--", 0) == 0 ? "serve" : args[0];
  if (!args.empty() && args[0] == command) args.erase(args.begin());
  if (command == "serve") return serve(args);
  if (command == "exec") return execCommand(args);
  if (command == "send") return sendCommand(args);
  if (command == "requests") return requestsCommand(args);
  if (command == "faults") return faultsCommand(args);
  if (command == "snapshot") return snapshotCommand(args);
  return fail("unknown command " + command + "\n" + kUsage);
}
