// orvo-sim: simulated devices running the library against the emulator.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Control.h"
#include "Device.h"
#include "Fleet.h"
#include "Input.h"
#include "Payload.h"
#include "Scenario.h"
#include "orvo/Version.h"

using namespace orvo::sim;

namespace {

struct Common {
  std::string emulator;
  std::string stateDir;
  bool json = false;
};

int fail(const Common& common, const std::string& message) {
  if (common.json)
    // A file name need not be UTF-8; its bytes are replaced, not a reason to fail.
    std::cout << Json{{"ok", false}, {"error", message}}.dump(-1, ' ', false,
                                                              Json::error_handler_t::replace)
              << std::endl;
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

std::string describeEvent(const Json& event) {
  std::string line = "\xE2\x86\x90 \"" + event.value("text", "") + "\"  status " +
                     event.value("status", "") + "  badge " + event.value("badge", Json(0)).dump();
  if (!event.value("sender", "").empty()) line += "  from " + event.value("sender", "");
  if (event.value("read", false)) line += "  read";
  return line;
}

// Sends one command to a running device and reports its answer.
int callDevice(const Common& common, const std::string& name, const Json& request,
               const std::string& success) {
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
  if (common.json) {
    std::cout << answer->dump() << std::endl;
  } else if (request["command"] == "events") {
    const Json& events = (*answer)["events"];
    if (events.empty()) std::cout << name << ": nothing received" << std::endl;
    for (const auto& event : events) std::cout << name << ": " << describeEvent(event) << "\n";
  } else if (request["command"] == "doctor") {
    std::cout << (*answer)["text"].get<std::string>();
  } else if (!success.empty()) {
    std::cout << name << ": " << success << std::endl;
  }
  return 0;
}

int pushCommand(const Common& common, const std::string& name, const std::string& file) {
  std::string error;
  const auto text = readInput(file, kMaxPayloadBytes, error);
  if (!text) return fail(common, error);
  auto payload = checkPayload(*text, error);
  if (!payload) return fail(common, "payload refused: " + error);
  return callDevice(common, name, {{"command", "push"}, {"payload", *payload}},
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

int runCommand(int argc, char** argv) {
  Common common;
  if (const char* url = std::getenv("ORVO_EMULATOR_URL")) common.emulator = url;
  common.stateDir = defaultStateDir();

  CLI::App app{"Simulated devices running the library against orvo-emulator.", "orvo-sim"};
  app.set_version_flag("--version", "orvo-sim " + std::string(orvo::kLibraryVersion),
                       "the library's version");
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("--emulator", common.emulator, "the emulator (default: $ORVO_EMULATOR_URL)")
      ->type_name("URL")
      ->check(emulatorUrl());
  app.add_option("--state-dir", common.stateDir,
                 "where devices keep their files (default: $ORVO_SIM_STATE, else "
                 "$XDG_STATE_HOME/orvo-sim, else ~/.local/state/orvo-sim)")
      ->type_name("DIR");
  app.add_flag("--json", common.json, "machine-readable output");

  DeviceOptions device;
  std::string name, text, to, ext, reserve, seqno, badge, state, file, purchaseId;
  std::vector<std::string> scenarios;
  auto named = [&](CLI::App* sub) {
    sub->add_option("NAME", name, "the device")->required()->type_name("")->check(deviceName());
    sub->footer(
        "Every command also takes --emulator URL, --state-dir DIR and --json (orvo-sim --help).\n");
    return sub;
  };

  auto* run = named(app.add_subcommand(
      "run", "start a device and keep it running (its identity kept under the state folder)"));
  run->add_option("--user", device.user, "register this user ID")
      ->type_name("ID")
      ->check(nonEmpty());
  run->add_option("--name", device.userName, "the user's name (default: the user ID)")
      ->type_name("TEXT");
  run->add_option("--group", device.group, "join this group sequence number")
      ->type_name("SEQ")
      ->check(digits());
  run->add_flag("--auto-read", device.autoRead, "read every message as it arrives");
  run->add_flag("--deny-permission", device.denyPermission, "the user refuses notifications");
  run->add_flag("--durable", device.durable,
                "the library's outbox and duplicate filter on (retries within a second)");
  run->add_flag(
      "--consent-required", device.consentRequired,
      "the user's consent is asked for: nothing is sent until `orvo-sim consent NAME yes`");
  run->add_flag("--trace-requests", device.tracing,
                "a request identifier on every request, in the device's log and the journal");
  run->add_option("--state", device.state, "the application's state (default foreground)")
      ->type_name("foreground|background|terminated")
      ->check(oneOf({"foreground", "background", "terminated"}));
  run->add_option("--app", device.applicationID, "the application ID (default com.orvo.sim)")
      ->type_name("APP_ID")
      ->check(manifestText());
  run->add_option("--receiver-version", device.receiverVersion,
                  "the receiver version in the manifest (default 3.6)")
      ->type_name("V")
      ->check(dottedVersion());

  auto* send = named(app.add_subcommand("send", "send a message to a user through the receiver"));
  send->add_option("--to", to, "the user ID")->required()->type_name("USER")->check(nonEmpty());
  send->add_option("TEXT", text, "the message")->required()->type_name("")->check(nonEmpty());
  send->add_option("--ext", ext, "the message's ext text")->type_name("TEXT");
  send->add_option("--reserve", reserve, "send it at this UTC date")
      ->type_name("yyyyMMddHHmmss")
      ->check(compactDate());

  auto* read = named(app.add_subcommand("read", "read the newest unread message (or message N)"));
  read->add_option("--seqno", seqno, "the message's sequence number")
      ->type_name("N")
      ->check(digits());

  auto* badgeCommand = named(app.add_subcommand("badge", "set the badge on the device and server"));
  badgeCommand->add_option("N", badge, "the badge")->required()->type_name("")->check(digits());

  auto* stateCommand = named(app.add_subcommand("state", "move the application to a state"));
  stateCommand->add_option("STATE", state, "foreground, background or terminated")
      ->required()
      ->type_name("")
      ->check(oneOf({"foreground", "background", "terminated"}));

  auto* session = named(app.add_subcommand("session", "report a session"));
  auto* purchase = named(app.add_subcommand("purchase", "report a purchase"));
  purchase->add_option("ID", purchaseId, "the purchase")
      ->required()
      ->type_name("")
      ->check(nonEmpty());
  auto* unregister = named(app.add_subcommand("unregister", "remove the device's registration"));
  auto* push =
      named(app.add_subcommand("push", "give the device a payload directly, without the server"));
  push->add_option("FILE", file, "a JSON payload, or - for standard input")
      ->required()
      ->type_name("");
  auto* events = named(app.add_subcommand("events", "what the device received"));
  std::string consentAnswer;
  auto* consent = named(app.add_subcommand(
      "consent", "give (yes) or withdraw (no) the user's consent to the push service"));
  consent->add_option("ANSWER", consentAnswer, "yes or no")
      ->required()
      ->type_name("")
      ->check(oneOf({"yes", "no"}));
  auto* doctor = named(app.add_subcommand("doctor", "why notifications may not arrive"));
  auto* stop = named(app.add_subcommand("stop", "end a running device"));
  auto* devices = app.add_subcommand("devices", "the simulated devices");
  auto* scenario =
      app.add_subcommand("scenario", "run scripted steps across devices and check what happens");
  scenario->add_option("FILE", scenarios, "scenario files (JSON)")->required()->type_name("");

  FleetOptions fleetOptions;
  fleetOptions.prefix = "fleet";
  auto* fleet = app.add_subcommand(
      "fleet", "start N devices, each a process, report their registration, stop them on exit");
  fleet->add_option("N", fleetOptions.count, "how many devices")
      ->required()
      ->type_name("")
      ->check(CLI::Range(1, 10000));
  fleet
      ->add_option("--prefix", fleetOptions.prefix,
                   "their names and users: PREFIX-1 to PREFIX-N (default fleet)")
      ->type_name("NAME")
      ->check(deviceName());
  fleet
      ->add_option("--broadcast", fleetOptions.broadcast,
                   "once all registered, send this text to every device and time its arrival")
      ->type_name("TEXT")
      ->check(nonEmpty());
  fleet
      ->add_option("--for", fleetOptions.seconds,
                   "stop the devices after this many seconds (default: at Ctrl-C)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 1e6));
  fleet
      ->add_option("--start-timeout", fleetOptions.startSeconds,
                   "seconds given to registration (default 60)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1.0, 3600.0));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return usageError(app, error);
  }

  if (*devices) return devicesCommand(common);
  if (*fleet) {
    if (common.emulator.empty())
      return fail(common, "no emulator: give --emulator URL or set ORVO_EMULATOR_URL");
    fleetOptions.emulatorUrl = common.emulator;
    fleetOptions.stateDir = common.stateDir;
    return runFleet(fleetOptions);
  }
  if (*scenario) return runScenarios(scenarios, ScenarioOptions{common.emulator, common.json});
  if (*run) {
    if (common.emulator.empty())
      return fail(common, "no emulator: give --emulator URL or set ORVO_EMULATOR_URL");
    device.name = name;
    device.stateRoot = common.stateDir;
    device.emulatorUrl = common.emulator;
    device.json = common.json;
    return runDevice(device);
  }
  if (*send) {
    Json request = {{"command", "send"}, {"to", to}, {"text", text}};
    if (send->count("--ext")) request["ext"] = ext;
    if (!reserve.empty()) request["reserve"] = reserve;
    return callDevice(common, name, request, "sent \"" + text + "\" to " + to);
  }
  if (*read) {
    Json request = {{"command", "read"}};
    if (!seqno.empty()) request["seqno"] = seqno;
    return callDevice(common, name, request, "read");
  }
  if (*badgeCommand)
    return callDevice(common, name, {{"command", "badge"}, {"badge", std::stoll(badge)}},
                      "badge " + badge);
  if (*stateCommand)
    return callDevice(common, name, {{"command", "state"}, {"state", state}}, "now " + state);
  if (*session) return callDevice(common, name, {{"command", "session"}}, "session reported");
  if (*purchase)
    return callDevice(common, name, {{"command", "purchase"}, {"id", purchaseId}},
                      "purchase " + purchaseId + " reported");
  if (*unregister) return callDevice(common, name, {{"command", "unregister"}}, "unregistered");
  if (*push) return pushCommand(common, name, file);
  if (*events) return callDevice(common, name, {{"command", "events"}}, "");
  if (*consent)
    return callDevice(common, name, {{"command", "consent"}, {"given", consentAnswer == "yes"}},
                      consentAnswer == "yes" ? "consent given" : "consent withdrawn");
  if (*doctor) return callDevice(common, name, {{"command", "doctor"}}, "");
  if (*stop) return callDevice(common, name, {{"command", "stop"}}, "stopped");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (orvo-sim events bob | head -1) ends the output,
  // not the process with a signal.
  std::signal(SIGPIPE, SIG_IGN);
  // Whatever slips past the checks is one line and a failure, never an abort.
  try {
    return runCommand(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "orvo-sim: internal error: " << error.what() << std::endl;
  } catch (...) {
    std::cerr << "orvo-sim: internal error" << std::endl;
  }
  return 1;
}
