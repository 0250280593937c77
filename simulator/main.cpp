// orvo-sim: simulated devices running the library against the emulator.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "Control.h"
#include "Device.h"
#include "Payload.h"
#include "Scenario.h"

using namespace orvo::sim;

namespace {

constexpr const char* kUsage = R"(usage: orvo-sim COMMAND [options]

  run NAME [--user ID [--name TEXT]] [--group SEQ] [--auto-read] [--deny-permission]
           [--state foreground|background|terminated] [--app APP_ID] [--receiver-version V]
                            start a device and keep it running (identity kept under the state folder)
  send NAME --to USER TEXT [--ext TEXT] [--reserve yyyyMMddHHmmss]
  read NAME [--seqno N]     read the newest unread message (or message N)
  badge NAME N              set the badge on the device and at the server
  state NAME foreground|background|terminated
  session NAME              report a session
  purchase NAME ID          report a purchase
  unregister NAME           remove the device's registration
  push NAME FILE|-          give the device a payload directly, without the server
  events NAME               what the device received
  devices                   the simulated devices
  stop NAME                 end a running device
  scenario FILE...          run scripted steps across devices and check what happens

options for every command:
  --emulator URL            the emulator (default: $ORVO_EMULATOR_URL)
  --state-dir DIR           where devices keep their files (default: $ORVO_SIM_STATE,
                            else $XDG_STATE_HOME/orvo-sim, else ~/.local/state/orvo-sim)
  --json                    machine-readable output
)";

struct Common {
  std::string emulator;
  std::string stateDir;
  bool json = false;
};

int fail(const Common& common, const std::string& message) {
  if (common.json)
    std::cout << Json{{"ok", false}, {"error", message}}.dump() << std::endl;
  else
    std::cerr << "orvo-sim: " << message << std::endl;
  return 1;
}

std::string defaultStateDir() {
  if (const char* dir = std::getenv("ORVO_SIM_STATE"); dir && *dir) return dir;
  if (const char* dir = std::getenv("XDG_STATE_HOME"); dir && *dir)
    return std::string(dir) + "/orvo-sim";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.local/state/orvo-sim";
}

// Takes the options every command has out of args.
Common takeCommon(std::vector<std::string>& args) {
  Common common;
  if (const char* url = std::getenv("ORVO_EMULATOR_URL")) common.emulator = url;
  common.stateDir = defaultStateDir();
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--emulator" && i + 1 < args.size())
      common.emulator = args[++i];
    else if (args[i] == "--state-dir" && i + 1 < args.size())
      common.stateDir = args[++i];
    else if (args[i] == "--json")
      common.json = true;
    else
      rest.push_back(args[i]);
  }
  args = rest;
  return common;
}

bool validName(const std::string& name) {
  return !name.empty() && name.size() <= 40 &&
         name.find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") ==
             std::string::npos;
}

// Sends one command to a running device and reports its answer.
int callDevice(const Common& common, const std::string& name, Json request,
               const std::string& success) {
  if (!validName(name))
    return fail(common, "bad device name \"" + name + "\" (letters, digits, - and _)");
  std::string error;
  auto answer = controlCall(controlSocket(common.stateDir, name), request, 35000, error);
  if (!answer) {
    if (error == "not running")
      return fail(common,
                  "device " + name + " is not running (start it with: orvo-sim run " + name + ")");
    return fail(common, "device " + name + ": " + error);
  }
  if (!(*answer)["ok"].get<bool>())
    return fail(common, name + ": " + answer->value("error", "failed"));
  if (common.json)
    std::cout << answer->dump() << std::endl;
  else if (!success.empty())
    std::cout << name << ": " << success << std::endl;
  return 0;
}

int runCommand(const Common& common, std::vector<std::string> args) {
  if (args.empty() || args[0].rfind("--", 0) == 0) return fail(common, "run needs a device NAME");
  DeviceOptions options;
  options.name = args[0];
  if (!validName(options.name)) return fail(common, "bad device name \"" + options.name + "\"");
  options.stateRoot = common.stateDir;
  options.emulatorUrl = common.emulator;
  options.json = common.json;
  if (options.emulatorUrl.empty())
    return fail(common, "no emulator: give --emulator URL or set ORVO_EMULATOR_URL");
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--user" && value(v))
      options.user = v;
    else if (arg == "--name" && value(v))
      options.userName = v;
    else if (arg == "--group" && value(v))
      options.group = v;
    else if (arg == "--app" && value(v))
      options.applicationID = v;
    else if (arg == "--receiver-version" && value(v))
      options.receiverVersion = v;
    else if (arg == "--state" && value(v)) {
      if (v != "foreground" && v != "background" && v != "terminated")
        return fail(common, "--state must be foreground, background or terminated");
      options.state = v;
    } else if (arg == "--auto-read")
      options.autoRead = true;
    else if (arg == "--deny-permission")
      options.denyPermission = true;
    else
      return fail(common, "run: bad argument " + arg);
  }
  return runDevice(options);
}

int pushCommand(const Common& common, const std::vector<std::string>& args) {
  if (args.size() != 2) return fail(common, "push NAME FILE|-");
  std::string text;
  if (args[1] == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream in(args[1], std::ios::binary);
    if (!in) return fail(common, "cannot read " + args[1]);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::string error;
  auto payload = checkPayload(text, error);
  if (!payload) return fail(common, "payload refused: " + error);
  return callDevice(common, args[0], {{"command", "push"}, {"payload", *payload}},
                    "payload delivered");
}

int devicesCommand(const Common& common) {
  namespace fs = std::filesystem;
  Json list = Json::array();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(common.stateDir, ec)) {
    if (!entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    std::string error;
    auto status =
        controlCall(controlSocket(common.stateDir, name), {{"command", "status"}}, 3000, error);
    Json device = {{"name", name}, {"running", status.has_value()}};
    if (status) {
      for (const char* key : {"psid", "cuid", "state", "badge", "registered", "notifications"})
        device[key] = (*status)[key];
    }
    list.push_back(device);
  }
  if (common.json) {
    std::cout << Json{{"ok", true}, {"devices", list}}.dump() << std::endl;
    return 0;
  }
  if (list.empty()) std::cout << "no simulated devices under " << common.stateDir << std::endl;
  for (const auto& device : list) {
    std::cout << device["name"].get<std::string>();
    if (!device["running"].get<bool>()) {
      std::cout << "  (not running)\n";
      continue;
    }
    std::cout << "  PSID " << device["psid"].get<std::string>().substr(0, 16) << "...  user "
              << device["cuid"].get<std::string>() << "  " << device["state"].get<std::string>()
              << "  badge " << device["badge"] << "  received " << device["notifications"] << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << kUsage;
    return args.empty() ? 2 : 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  Common common = takeCommon(args);
  const auto positional = [&](std::size_t n) { return args.size() >= n; };

  if (command == "run") return runCommand(common, args);
  if (command == "devices") return devicesCommand(common);
  if (command == "scenario") {
    if (args.empty()) return fail(common, "scenario FILE...");
    return runScenarios(args, ScenarioOptions{common.emulator, common.json});
  }
  if (!positional(1)) return fail(common, command + " needs a device NAME");
  const std::string name = args[0];
  if (command == "send") {
    Json request = {{"command", "send"}};
    std::string text;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--to" && i + 1 < args.size())
        request["to"] = args[++i];
      else if (args[i] == "--ext" && i + 1 < args.size())
        request["ext"] = args[++i];
      else if (args[i] == "--reserve" && i + 1 < args.size())
        request["reserve"] = args[++i];
      else if (args[i].rfind("--", 0) != 0)
        text = args[i];
      else
        return fail(common, "send: bad argument " + args[i]);
    }
    if (!request.contains("to")) return fail(common, "send needs --to USER");
    request["text"] = text;
    return callDevice(common, name, request,
                      "sent \"" + text + "\" to " + request["to"].get<std::string>());
  }
  if (command == "read") {
    Json request = {{"command", "read"}};
    if (args.size() == 3 && args[1] == "--seqno")
      request["seqno"] = args[2];
    else if (args.size() != 1)
      return fail(common, "read NAME [--seqno N]");
    return callDevice(common, name, request, "read");
  }
  if (command == "badge") {
    if (args.size() != 2) return fail(common, "badge NAME N");
    char* end = nullptr;
    const long long badge = std::strtoll(args[1].c_str(), &end, 10);
    if (*end || args[1].empty()) return fail(common, "the badge must be a number");
    return callDevice(common, name, {{"command", "badge"}, {"badge", badge}}, "badge " + args[1]);
  }
  if (command == "state") {
    if (args.size() != 2) return fail(common, "state NAME foreground|background|terminated");
    return callDevice(common, name, {{"command", "state"}, {"state", args[1]}}, "now " + args[1]);
  }
  if (command == "session")
    return callDevice(common, name, {{"command", "session"}}, "session reported");
  if (command == "purchase") {
    if (args.size() != 2) return fail(common, "purchase NAME ID");
    return callDevice(common, name, {{"command", "purchase"}, {"id", args[1]}},
                      "purchase " + args[1] + " reported");
  }
  if (command == "unregister")
    return callDevice(common, name, {{"command", "unregister"}}, "unregistered");
  if (command == "stop") return callDevice(common, name, {{"command", "stop"}}, "stopped");
  if (command == "events") {
    Common asJson = common;
    asJson.json = true;
    return callDevice(asJson, name, {{"command", "events"}}, "");
  }
  if (command == "push") return pushCommand(common, args);
  return fail(common, "unknown command " + command + " (see orvo-sim --help)");
}
