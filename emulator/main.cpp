// orvo-emulator: serve the emulated service, or talk to a running one.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Emulator.h"
#include "Faults.h"
#include "Input.h"
#include "Limits.h"
#include "Receiver.h"
#include "State.h"

using namespace orvo::emulator;

namespace {

constexpr int kUsageError = 2;
constexpr int kFailed = 1;

int fail(const std::string& message, int status = kFailed) {
  std::cerr << "orvo-emulator: " << message << std::endl;
  return status;
}

// "3600", "90s", "500ms", "5m", "1h": whole numbers, at most a century.
std::optional<std::chrono::milliseconds> parseDuration(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  std::int64_t value = 0;
  if (digits == 0 || digits > 18 || !parseCount(text.substr(0, digits), value)) return std::nullopt;
  const std::string unit = text.substr(digits);
  const std::int64_t scale = unit.empty() || unit == "s" ? 1000
                             : unit == "ms"              ? 1
                             : unit == "m"               ? 60000
                             : unit == "h"               ? 3600000
                                                         : 0;
  if (scale == 0 || value > limits::kDurationMs / scale) return std::nullopt;
  return std::chrono::milliseconds(value * scale);
}

// A file read whole, refused before reading when it is not a regular file
// of at most `limit` bytes.
std::optional<std::string> readFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return std::nullopt;
  }
  std::string text;
  if (S_ISDIR(info.st_mode))
    error = path + " is a folder, not a file";
  else if (!S_ISREG(info.st_mode))
    error = path + " is not a regular file";
  else if (static_cast<std::uint64_t>(info.st_size) > limits::kFile)
    error = path + " is larger than " + std::to_string(limits::kFile) + " bytes";
  while (error.empty()) {
    char buffer[65536];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = "cannot read " + path + ": " + std::strerror(errno);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > limits::kFile)
      error = path + " is larger than " + std::to_string(limits::kFile) + " bytes";
  }
  close(fd);
  if (!error.empty()) return std::nullopt;
  return text;
}

// Written beside the target, owner-only (a snapshot holds auth keys), and
// renamed, so a failed write leaves the last good one.
bool writeFile(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return error = "cannot write " + temporary + ": " + std::strerror(errno), false;
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    written += static_cast<std::size_t>(put);
  }
  const int problem = written < text.size() ? errno : fsync(fd) != 0 ? errno : 0;
  close(fd);
  if (problem != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int cause = problem != 0 ? problem : errno;
    std::remove(temporary.c_str());
    error = (problem != 0 ? "cannot write " + temporary : "cannot replace " + path) + ": " +
            std::strerror(cause);
    return false;
  }
  return true;
}

// --- the command line ---

struct Settings {
  EmulatorOptions options;
  std::string authTtl;
  std::string retain;
  std::string faultsFile;
  bool log = false;
  std::vector<std::string> command;
  // Client commands.
  std::string url;
  std::string token;
  std::string user, group, device, app, ext, reserve, text;
  std::optional<std::int64_t> badge;
  bool all = false, silent = false;
  std::string endpoint;
  std::optional<std::int64_t> limit;
  bool json = false;
  std::string rule, file;
};

// A whole number in a range, said in words: "--badge: "abc" is not a whole number from 0 to 9".
CLI::Validator wholeNumber(std::int64_t low, std::int64_t high) {
  return CLI::Validator(
      [low, high](std::string& text) {
        std::int64_t value = 0;
        const bool negative = text.size() > 1 && text[0] == '-';
        const bool number = parseCount(negative ? text.substr(1) : text, value);
        if (number && (negative ? -value : value) >= low && (negative ? -value : value) <= high)
          return std::string();
        return "\"" + text + "\" is not a whole number from " + std::to_string(low) + " to " +
               std::to_string(high);
      },
      "N");
}

CLI::Validator durationCheck() {
  return CLI::Validator(
      [](std::string& text) {
        return parseDuration(text) ? std::string()
                                   : "\"" + text +
                                         "\" is not a duration such as 3600, 90s, 500ms, 5m or "
                                         "1h of at most a century";
      },
      "DURATION");
}

void addServeOptions(CLI::App& app, Settings& settings, bool exec) {
  auto& options = settings.options;
  app.add_option("--port", options.port, "listen on this port (default: a free one)")
      ->check(wholeNumber(0, 65535));
  app.add_option("--address", options.address, "listen address (default 127.0.0.1)");
  app.add_flag("--listen-any", options.listenAny,
               "allow an address that is not loopback; the admin API then needs a token");
  app.add_option("--admin-token", options.adminToken,
                 "the token admin requests must carry (default with --listen-any: a new one)")
      ->check(CLI::Validator(
          [](std::string& token) {
            const bool visible =
                std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
            return visible && token.size() >= 8 && token.size() <= 256
                       ? std::string()
                       : std::string("must be 8 to 256 visible ASCII characters");
          },
          "TOKEN"));
  app.add_option("--state", options.statePath, "keep the state in this file (default: memory)");
  app.add_option("--auth-ttl", settings.authTtl, "auth-key lifetime: 3600, 90s, 500ms, 5m, 1h")
      ->check(durationCheck());
  app.add_option("--receiver-version", options.receiverVersion,
                 "receiver version requests are checked against (default 3.6)")
      ->check(CLI::Validator(
          [](std::string& text) {
            return isVersionText(text) ? std::string()
                                       : "\"" + text + "\" is not a version such as 4.0";
          },
          "VERSION"));
  app.add_option("--assets", options.assetsDir, "images served under /images/")
      ->check(CLI::ExistingDirectory);
  app.add_option("--faults", settings.faultsFile,
                 "fault rules to start with (a JSON rule or array)");
  app.add_option("--journal-size", options.journalCapacity,
                 "requests kept in the journal (default 10000)")
      ->check(wholeNumber(1, limits::kJournalEntries));
  app.add_option("--threads", options.threads,
                 "serving threads (default 4); connections and streams do not take one each")
      ->check(wholeNumber(1, 256));
  app.add_option("--max-connections", options.maxConnections,
                 "open connections past which requests are answered 503 (default 16000)")
      ->check(wholeNumber(1, 1000000));
  app.add_option("--queue-cap", options.queueCap,
                 "payloads kept for a device that is not connected; past it the oldest are "
                 "dropped (default 100)")
      ->check(wholeNumber(1, 1000000));
  app.add_option("--retain", settings.retain,
                 "how long, on the emulator's clock, sent messages stay listed (default 24h)")
      ->check(durationCheck());
  auto* quiet = app.add_flag("--quiet", options.quiet, "no request lines");
  app.add_flag("--json-log", options.jsonLog, "one JSON object per request line")->excludes(quiet);
  if (exec) app.add_flag("--log", settings.log, "print request lines too");
}

// Whatever the arguments say beyond their own checks; false with a usage error.
bool finishServeOptions(Settings& settings, std::string& error) {
  if (!settings.authTtl.empty()) settings.options.authTtl = *parseDuration(settings.authTtl);
  if (!settings.retain.empty()) settings.options.retain = *parseDuration(settings.retain);
  if (settings.faultsFile.empty()) return true;
  std::string reason;
  auto text = readFile(settings.faultsFile, reason);
  std::optional<Json> rules;
  if (text) rules = parseJson(*text, reason, settings.faultsFile);
  if (rules && !Faults().add(*rules, reason)) rules.reset();
  if (!rules) return error = "--faults: " + reason, false;
  settings.options.faults = std::move(*rules);
  return true;
}

int serve(Settings& settings) {
  // Signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  Emulator emulator(settings.options);
  std::string error;
  if (!emulator.start(error)) return fail(error);
  const std::string url = emulator.url(), token = emulator.adminToken();
  std::cout << "orvo-emulator listening on " << url << ", checking receiver version "
            << settings.options.receiverVersion << "  (console: " << url << "/"
            << (token.empty() ? "" : "?token=" + token) << "  admin API: " << url << "/__admin/"
            << (token.empty() ? "" : " with \"Authorization: Bearer " + token + "\"") << ")"
            << std::endl;
  if (settings.options.listenAny && !isLoopbackAddress(settings.options.address))
    std::cerr << "orvo-emulator: listening beyond loopback: whoever reaches this port can "
                 "register devices and read what is sent to them; the admin API and console "
                 "need the token"
              << std::endl;
  int signal = 0;
  sigwait(&signals, &signal);
  emulator.stop();
  return 0;
}

int execCommand(Settings& settings) {
  auto options = settings.options;
  options.quiet = !settings.log;
  Emulator emulator(options);
  std::string error;
  if (!emulator.start(error)) return fail(error);
  setenv("ORVO_EMULATOR_URL", emulator.url().c_str(), 1);
  if (!emulator.adminToken().empty())
    setenv("ORVO_EMULATOR_TOKEN", emulator.adminToken().c_str(), 1);
  const pid_t child = fork();
  if (child < 0) return fail(std::string("fork: ") + std::strerror(errno));
  if (child == 0) {
    std::vector<char*> argv;
    for (auto& arg : settings.command) argv.push_back(arg.data());
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
  return kFailed;
}

// --- client commands ---

class Client {
 public:
  explicit Client(const Settings& settings) : url_(settings.url), token_(settings.token) {}

  bool connect(std::string& error) {
    if (url_.empty()) return error = "no emulator: give --url or set ORVO_EMULATOR_URL", false;
    http_.emplace(url_);
    if (!http_->is_valid()) return error = "bad emulator URL " + url_, false;
    http_->set_connection_timeout(5);
    if (!token_.empty()) http_->set_bearer_token_auth(token_.c_str());
    return true;
  }
  // The answer's JSON, or an error that says whether the emulator was reached.
  std::optional<Json> call(const std::string& method, const std::string& path, const Json* body,
                           std::string& error) {
    httplib::Result result =
        method == "GET" ? http_->Get(path.c_str())
        : method == "DELETE"
            ? http_->Delete(path.c_str())
            : http_->Post(path.c_str(), body ? body->dump() : "{}", "application/json");
    if (!result) {
      error = "the emulator at " + url_ + " is not reachable (" +
              httplib::to_string(result.error()) + ")";
      return std::nullopt;
    }
    std::string problem;
    auto json = parseJson(result->body, problem, "the answer");
    if (result->status >= 300) {
      error = json && json->is_object() && json->contains("error") && (*json)["error"].is_string()
                  ? (*json)["error"].get<std::string>()
                  : "HTTP " + std::to_string(result->status);
      return std::nullopt;
    }
    if (!json) error = "the emulator answered something that is not JSON";
    return json;
  }

 private:
  std::string url_, token_;
  std::optional<httplib::Client> http_;
};

int adminCall(const Settings& settings, const std::string& method, const std::string& path,
              const Json* body, const std::function<void(const Json&)>& show) {
  Client client(settings);
  std::string error;
  if (!client.connect(error)) return fail(error);
  auto answer = client.call(method, path, body, error);
  if (!answer) return fail(error);
  show(*answer);
  return 0;
}

int sendCommand(const Settings& settings) {
  const int targets =
      !settings.user.empty() + !settings.group.empty() + !settings.device.empty() + settings.all;
  if (targets != 1)
    return fail("send needs one of --user, --group, --device or --all", kUsageError);
  if (settings.text.empty() && !settings.silent)
    return fail("send needs the message TEXT (only a --silent send goes without)", kUsageError);
  Json body = {{"message", settings.text}};
  for (const auto& [key, value] : {std::pair{"user", &settings.user},
                                   {"group", &settings.group},
                                   {"device", &settings.device},
                                   {"app_id", &settings.app},
                                   {"ext", &settings.ext},
                                   {"reserve_date", &settings.reserve}})
    if (!value->empty()) body[key] = *value;
  if (settings.all) body["all"] = true;
  if (settings.silent) body["silent"] = true;
  if (settings.badge) body["badge"] = *settings.badge;
  return adminCall(settings, "POST", "/__admin/send", &body, [](const Json& answer) {
    std::cout << "sent message " << answer.value("seqno", 0LL) << " to "
              << answer.value("targets", 0) << " device(s)"
              << (answer.value("reserved", false) ? " (reserved)" : "") << std::endl;
  });
}

int requestsCommand(const Settings& settings) {
  httplib::Params params;
  if (!settings.endpoint.empty()) params.emplace("endpoint", settings.endpoint);
  if (settings.limit) params.emplace("limit", std::to_string(*settings.limit));
  const std::string query =
      params.empty() ? "" : "?" + httplib::detail::params_to_query_str(params);
  return adminCall(settings, "GET", "/__admin/requests" + query, nullptr, [&](const Json& answer) {
    if (settings.json) {
      std::cout << answer.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
      return;
    }
    for (const auto& entry : answer.value("requests", Json::array())) {
      std::cout << entry.value("time", "") << "  " << entry.value("method", "") << " "
                << entry.value("endpoint", "") << " -> " << entry.value("status", 0) << " "
                << entry.value("result_code", "");
      if (entry.contains("fault"))
        std::cout << "  [fault " << entry["fault"].value("effect", "") << "]";
      std::cout << "\n";
      for (const auto& note : entry.value("notes", Json::array()))
        std::cout << "    ! " << (note.is_string() ? note.get<std::string>() : note.dump()) << "\n";
    }
    if (answer.value("dropped", 0LL) > 0)
      std::cout << "(" << answer["dropped"] << " older requests were dropped)\n";
  });
}

int snapshotImport(const Settings& settings) {
  std::string error;
  auto text = readFile(settings.file, error);
  std::optional<Json> snapshot;
  if (text) snapshot = parseJson(*text, error, settings.file);
  if (!snapshot) return fail("snapshot import: " + error, kUsageError);
  return adminCall(settings, "POST", "/__admin/snapshot", &*snapshot, [&](const Json&) {
    std::cout << "snapshot imported from " << settings.file << std::endl;
  });
}

int snapshotExport(const Settings& settings) {
  std::string problem;
  const int status =
      adminCall(settings, "GET", "/__admin/snapshot", nullptr, [&](const Json& answer) {
        if (writeFile(settings.file, answer.dump(1) + "\n", problem))
          std::cout << "snapshot written to " << settings.file << std::endl;
      });
  return status != 0 ? status : problem.empty() ? 0 : fail("snapshot export: " + problem);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  CLI::App app("The receiver emulator: every server the library talks to, on one loopback port.",
               "orvo-emulator");
  app.set_version_flag("--version", std::string("orvo-emulator ") + ORVO_VERSION);
  app.footer(
      "With no command it serves. The client commands find the emulator at --url or "
      "$ORVO_EMULATOR_URL, and give --admin-token or $ORVO_EMULATOR_TOKEN to one that "
      "asks for it.");
  app.require_subcommand(0, 1);
  addServeOptions(app, settings, false);
  auto* serveApp = app.add_subcommand("serve", "serve until interrupted");
  addServeOptions(*serveApp, settings, false);
  auto* execApp = app.add_subcommand(
      "exec", "serve on a free port, run COMMAND with ORVO_EMULATOR_URL set, exit with its status");
  addServeOptions(*execApp, settings, true);
  execApp->add_option("COMMAND", settings.command, "after --: the command and its arguments")
      ->required();

  auto client = [&](CLI::App& command) {
    command.add_option("--url", settings.url, "the emulator's address")
        ->envname("ORVO_EMULATOR_URL");
    command.add_option("--admin-token", settings.token, "the token its admin API asks for")
        ->envname("ORVO_EMULATOR_TOKEN");
  };
  auto* send = app.add_subcommand("send", "send a message as an application's backend would");
  client(*send);
  auto* user = send->add_option("--user", settings.user, "to this user (CUID)");
  auto* group = send->add_option("--group", settings.group, "to this group");
  auto* device = send->add_option("--device", settings.device, "to this device or token");
  auto* all = send->add_flag("--all", settings.all, "to every device");
  user->excludes(group, device, all);
  group->excludes(device, all);
  device->excludes(all);
  send->add_option("--app", settings.app, "the application (needed when there are several)");
  send->add_option("--ext", settings.ext, "the payload's ext");
  send->add_option("--badge", settings.badge, "the badge the payload sets")
      ->check(wholeNumber(0, INT32_MAX));
  send->add_flag("--silent", settings.silent, "a silent push (content-available), no text");
  send->add_option("--reserve", settings.reserve, "send later: yyyy-MM-ddTHH:mm:ss (UTC)")
      ->check(CLI::Validator(
          [](std::string& text) {
            std::int64_t ms = 0;
            return parseDate(text, ms) ? std::string()
                                       : "\"" + text +
                                             "\" is not a date that exists (yyyy-MM-ddTHH:mm:ss "
                                             "or yyyyMMddHHmmss, UTC)";
          },
          "DATE"));
  send->add_option("TEXT", settings.text, "the message");

  auto* requests = app.add_subcommand("requests", "the newest requests of the journal");
  client(*requests);
  requests->add_option("--endpoint", settings.endpoint, "only this endpoint's");
  requests->add_option("--limit", settings.limit, "at most this many")
      ->check(wholeNumber(1, limits::kJournalEntries));
  requests->add_flag("--json", settings.json, "as JSON");

  auto* faults = app.add_subcommand("faults", "fault rules");
  faults->require_subcommand(1);
  auto* faultsAdd = faults->add_subcommand("add", "add a rule (JSON) or an array of them");
  client(*faultsAdd);
  faultsAdd->add_option("RULE", settings.rule, "the rule, e.g. '{\"effect\":\"reset\"}'")
      ->required();
  auto* faultsList = faults->add_subcommand("list", "the rules in force");
  client(*faultsList);
  auto* faultsClear = faults->add_subcommand("clear", "remove every rule");
  client(*faultsClear);

  auto* snapshot = app.add_subcommand("snapshot", "the whole state, to or from a file");
  snapshot->require_subcommand(1);
  auto* exportApp = snapshot->add_subcommand("export", "write the state to FILE");
  client(*exportApp);
  exportApp->add_option("FILE", settings.file, "the file")->required();
  auto* importApp = snapshot->add_subcommand("import", "replace the state with FILE's");
  client(*importApp);
  importApp->add_option("FILE", settings.file, "the file")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    // Named by the command it is about: "orvo-emulator faults: ...".
    CLI::App* command = &app;
    std::string path;
    while (!command->get_subcommands().empty()) {
      command = command->get_subcommands().front();
      path += " " + command->get_name();
    }
    std::string message = error.what();
    const auto choices = command->get_subcommands([](CLI::App*) { return true; });
    const bool aboutCommands = dynamic_cast<const CLI::RequiredError*>(&error) ||
                               dynamic_cast<const CLI::ExtrasError*>(&error);
    if (aboutCommands && !choices.empty()) {
      message += " (";
      for (std::size_t i = 0; i < choices.size(); ++i)
        message += (i ? ", " : "") + choices[i]->get_name();
      message += ")";
    }
    std::cerr << "orvo-emulator" << path << ": " << message << std::endl;
    return kUsageError;
  }
  std::string error;
  if ((!*send && !*requests && !*faults && !*snapshot) && !finishServeOptions(settings, error))
    return fail(error, kUsageError);
  if (*execApp) return execCommand(settings);
  if (*send) return sendCommand(settings);
  if (*requests) return requestsCommand(settings);
  if (*faultsAdd) {
    auto rule = parseJson(settings.rule, error, "the rule");
    if (!rule) return fail("faults add: " + error, kUsageError);
    return adminCall(settings, "POST", "/__admin/faults", &*rule,
                     [](const Json& answer) { std::cout << answer["added"].dump() << std::endl; });
  }
  if (*faultsList)
    return adminCall(settings, "GET", "/__admin/faults", nullptr, [](const Json& answer) {
      for (const auto& rule : answer.value("faults", Json::array()))
        std::cout << rule.dump() << "\n";
    });
  if (*faultsClear)
    return adminCall(settings, "DELETE", "/__admin/faults", nullptr,
                     [](const Json&) { std::cout << "faults cleared" << std::endl; });
  if (*exportApp) return snapshotExport(settings);
  if (*importApp) return snapshotImport(settings);
  return serve(settings);
}
