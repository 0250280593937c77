#include "ScenarioCheck.h"

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

#include "CommandLine.h"

namespace orvo::sim {
namespace {

using Json = nlohmann::json;

constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();
// A value quoted in a message is cut to this many bytes.
constexpr std::size_t kShownBytes = 40;

enum class Kind { Text, Flag, Whole, Choice, TextOrWhole, Object, List, Device };

struct Field {
  std::string key;
  Kind kind;
  bool required = false;
  std::int64_t max = kNoLimit;  // a Whole is from 0 to max
  std::vector<std::string> choices = {};
};

Field text(std::string key) { return {std::move(key), Kind::Text}; }
Field flag(std::string key) { return {std::move(key), Kind::Flag}; }
Field whole(std::string key, std::int64_t max = kNoLimit) {
  return {std::move(key), Kind::Whole, false, max};
}
Field choice(std::string key, std::vector<std::string> choices) {
  return {std::move(key), Kind::Choice, false, kNoLimit, std::move(choices)};
}
Field textOrWhole(std::string key) { return {std::move(key), Kind::TextOrWhole}; }
Field object(std::string key) { return {std::move(key), Kind::Object}; }
Field list(std::string key) { return {std::move(key), Kind::List}; }
Field device(std::string key) { return {std::move(key), Kind::Device}; }
Field required(Field field) {
  field.required = true;
  return field;
}

// What a step takes besides "do" or "expect", and "say".
struct Shape {
  std::vector<Field> fields;
  bool passesOn = false;  // the other keys go to the emulator, which checks them
};

const std::vector<std::string> kApplicationStates = {"foreground", "background", "terminated"};

const std::map<std::string, Shape>& actions() {
  const Field named = required(device("device"));
  const Field expectOk = flag("expect_ok");
  static const std::map<std::string, Shape> table = {
      {"start", {{named}}},
      {"stop", {{named}}},
      {"kill", {{named}}},
      {"restart", {{named, flag("kill")}}},
      {"send",
       {{named, required(text("to")), required(text("text")), text("ext"), text("reserve"),
         expectOk}}},
      {"read", {{named, textOrWhole("seqno"), expectOk}}},
      {"badge", {{named, required(whole("badge")), expectOk}}},
      {"state", {{named, required(choice("state", kApplicationStates)), expectOk}}},
      {"session", {{named, expectOk}}},
      {"purchase", {{named, required(text("id")), expectOk}}},
      {"unregister", {{named, expectOk}}},
      {"consent", {{named, required(flag("given")), expectOk}}},
      {"push", {{named, required(object("payload")), expectOk}}},
      {"admin_send", {{}, true}},
      {"fault", {{required(object("rule"))}}},
      {"faults_clear", {{}}},
      {"clock", {{required(whole("advance_ms"))}}},
      {"settings", {{}, true}},
      {"sleep", {{required(whole("ms", kMaxStepWaitMs))}}},
  };
  return table;
}

const std::map<std::string, Shape>& expectations() {
  const Field named = required(device("device"));
  const Field within = whole("within_ms", kMaxStepWaitMs);
  const std::vector<Field> received = {named, required(text("text")), text("status"),
                                       whole("badge"), flag("attachment")};
  const std::vector<Field> stored = {text("kind"), whole("at_least"), within};
  const std::vector<Field> badge = {named, required(whole("badge")), within};
  auto with = [](std::vector<Field> fields, Field more) {
    fields.push_back(std::move(more));
    return fields;
  };
  static const std::map<std::string, Shape> table = {
      {"received", {with(received, within)}},
      {"not_received", {with(received, whole("for_ms", kMaxStepWaitMs))}},
      {"message_state",
       {{device("device"), required(text("text")),
         required(choice("state", {"queued", "sent", "delivered", "read"})), within}}},
      {"server_badge", {badge}},
      {"device_badge", {badge}},
      {"device_status",
       {{named, flag("registered"), text("cuid"), choice("state", kApplicationStates),
         whole("badge"), whole("held"), within}}},
      {"psid_differs", {{named, required(device("other"))}}},
      {"journal",
       {{text("endpoint"), text("result_code"), text("psid"), text("cuid"), text("fault"),
         whole("count"), whole("at_least"), within}}},
      {"reports", {stored}},
      {"logs", {stored}},
  };
  return table;
}

const std::vector<Field>& scenarioFields() {
  static const std::vector<Field> fields = {text("name"), flag("reset"),
                                            object("receiver_versions"), object("devices"),
                                            required(list("steps"))};
  return fields;
}

const std::vector<Field>& deviceFields() {
  static const std::vector<Field> fields = {text("user"),
                                            text("name"),
                                            textOrWhole("group"),
                                            choice("state", kApplicationStates),
                                            text("app"),
                                            text("receiver_version"),
                                            flag("auto_read"),
                                            flag("deny_permission"),
                                            flag("durable"),
                                            flag("consent_required"),
                                            flag("trace_requests"),
                                            whole("start_ms", kMaxStepWaitMs)};
  return fields;
}

std::string shown(const Json& value) {
  std::string text = value.dump(-1, ' ', true, Json::error_handler_t::replace);
  if (text.size() > kShownBytes) text = text.substr(0, kShownBytes) + "...";
  return text;
}

std::string quoted(const std::string& key) { return "\"" + key + "\""; }

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

bool isWhole(const Json& value, std::int64_t max) {
  if (value.is_number_unsigned())
    return value.get<std::uint64_t>() <= static_cast<std::uint64_t>(max);
  return value.is_number_integer() && value.get<std::int64_t>() >= 0 &&
         value.get<std::int64_t>() <= max;
}

std::string mustBe(const Field& field) {
  switch (field.kind) {
    case Kind::Text:
      return "text";
    case Kind::Flag:
      return "true or false";
    case Kind::Whole:
      return field.max == kNoLimit ? "a whole number 0 or more"
                                   : "a whole number from 0 to " + std::to_string(field.max);
    case Kind::Choice:
      return "one of " + joined(field.choices);
    case Kind::TextOrWhole:
      return "text or a whole number 0 or more";
    case Kind::Object:
      return "an object";
    case Kind::List:
      return "an array";
    case Kind::Device:
      return "the name of a device in \"devices\"";
  }
  return "";
}

bool fits(const Field& field, const Json& value, const Json& devices) {
  switch (field.kind) {
    case Kind::Text:
      return value.is_string();
    case Kind::Flag:
      return value.is_boolean();
    case Kind::Whole:
      return isWhole(value, field.max);
    case Kind::Choice:
      return value.is_string() && std::find(field.choices.begin(), field.choices.end(),
                                            value.get<std::string>()) != field.choices.end();
    case Kind::TextOrWhole:
      return value.is_string() || isWhole(value, kNoLimit);
    case Kind::Object:
      return value.is_object();
    case Kind::List:
      return value.is_array();
    case Kind::Device:
      return value.is_string() && devices.contains(value.get<std::string>());
  }
  return false;
}

// The first problem with `object`'s keys, "" when none. `common` are the
// keys every one of its kind takes; `what` names its kind for an unknown key.
std::string checkKeys(const Json& object, const std::vector<Field>& fields,
                      const std::vector<std::string>& common, bool passesOn,
                      const std::string& what, const Json& devices) {
  std::vector<std::string> known = common;
  for (const Field& field : fields) {
    known.push_back(field.key);
    if (!object.contains(field.key)) {
      if (field.required) return quoted(field.key) + " is missing";
      continue;
    }
    if (!fits(field, object[field.key], devices))
      return quoted(field.key) + " must be " + mustBe(field) + ", not " + shown(object[field.key]);
  }
  if (passesOn) return "";
  std::sort(known.begin(), known.end());
  for (const auto& [key, value] : object.items())
    if (std::find(known.begin(), known.end(), key) == known.end())
      return "unknown key " + shown(key) + "; " + what + " takes " + joined(known);
  return "";
}

// "step N: ..." once the action is unknown, "step N (action): ..." after.
std::string checkStep(const Json& step, std::size_t number, const Json& devices) {
  const std::string where = "step " + std::to_string(number);
  if (!step.is_object())
    return where + ": a step must be an object with \"do\" or \"expect\", not " + step.type_name();
  const bool act = step.contains("do");
  if (act == step.contains("expect"))
    return where + (act ? ": a step has \"do\" or \"expect\", not both"
                        : ": a step must have \"do\" or \"expect\"");
  const std::string kind = act ? "do" : "expect";
  if (!step[kind].is_string())
    return where + ": " + quoted(kind) + " must be text, not " + shown(step[kind]);
  const std::string name = step[kind].get<std::string>();
  const auto& shapes = act ? actions() : expectations();
  const auto shape = shapes.find(name);
  if (shape == shapes.end())
    return where + (act ? ": unknown action " : ": unknown expectation ") + shown(name);
  std::string why = checkKeys(step, {text("say")}, {kind}, true, name, devices);
  if (why.empty())
    why =
        checkKeys(step, shape->second.fields, {kind, "say"}, shape->second.passesOn, name, devices);
  return why.empty() ? "" : where + " (" + name + "): " + why;
}

}  // namespace

std::string checkScenario(const Json& script) {
  if (!script.is_object())
    return std::string(
               "a scenario must be an object {\"devices\": {...}, \"steps\": [...]}, "
               "not ") +
           script.type_name();
  const Json devices = script.value("devices", Json::object());
  if (std::string why = checkKeys(script, scenarioFields(), {}, false, "a scenario", devices);
      !why.empty())
    return why;
  const Json versions = script.value("receiver_versions", Json::object());
  for (const auto& [app, version] : versions.items())
    if (!version.is_string())
      return "\"receiver_versions\": the version of " + shown(app) + " must be text, not " +
             shown(version);
  for (const auto& [name, config] : devices.items()) {
    std::string copy = name;
    if (std::string why = deviceName()(copy); !why.empty()) return "\"devices\": " + why;
    const std::string where = "device " + shown(name) + ": ";
    if (!config.is_object()) return where + "its settings must be an object, not " + shown(config);
    if (std::string why = checkKeys(config, deviceFields(), {}, false, "a device", devices);
        !why.empty())
      return where + why;
  }
  const Json& steps = script["steps"];
  for (std::size_t index = 0; index < steps.size(); ++index)
    if (std::string why = checkStep(steps[index], index + 1, devices); !why.empty()) return why;
  return "";
}

}  // namespace orvo::sim
