#include "Faults.h"

#include <algorithm>

#include "Input.h"
#include "Limits.h"
#include "Receiver.h"

namespace orvo::emulator {
namespace {

const std::vector<std::string> kEffects = {"latency", "timeout",   "reset",       "status",
                                           "garbage", "truncate",  "result_code", "no_header",
                                           "no_body", "huge_body", "retry_after", "duplicate"};

// What a duplicate rule's endpoint may name: the stream it acts on.
constexpr const char* kStreamEndpoint = "__gateway/stream";

// A body well past the library's default cap of 8 MiB.
constexpr long long kDefaultHugeBytes = 16LL * 1024 * 1024;

}  // namespace

const std::vector<std::string>& Faults::vocabulary() { return kEffects; }

Json FaultRule::toJson() const {
  Json json = {{"id", id}, {"effect", effect}, {"probability", probability}, {"applied", applied}};
  if (!endpoint.empty()) json["endpoint"] = endpoint;
  if (!psid.empty()) json["psid"] = psid;
  if (!cuid.empty()) json["cuid"] = cuid;
  if (times) json["times"] = *times;
  if (probability < 1.0) json["seed"] = seed;
  if (effect == "latency" || effect == "timeout" || effect == "duplicate") json["ms"] = ms;
  if (effect == "retry_after") json["seconds"] = seconds;
  if (effect == "status") {
    json["status"] = status;
    json["body"] = body;
  }
  if (effect == "result_code") json["result_code"] = resultCode;
  if (effect == "garbage" || effect == "huge_body") json["bytes"] = bytes;
  return json;
}

std::vector<std::string> faultEndpoints() {
  std::vector<std::string> names = Receiver::endpoints();
  names.insert(names.end(), {"putAppLog.ctl", "mobile/last-session", "mobile/purchase", "images"});
  return names;
}

namespace {

// What a rule's endpoint may name: a receiver file name, a report path with
// or without its slash, "images" or one image's path.
bool isFaultEndpoint(const std::string& endpoint) {
  if (endpoint == kStreamEndpoint || endpoint == std::string("/") + kStreamEndpoint) return true;
  const auto names = faultEndpoints();
  const std::string bare = endpoint.rfind('/', 0) == 0 ? endpoint.substr(1) : endpoint;
  if (std::find(names.begin(), names.end(), bare) != names.end()) return true;
  return endpoint.rfind("/images/", 0) == 0 && endpoint.size() > 8;
}

}  // namespace

std::optional<FaultRule> parseFaultRule(const Json& json, std::string& error) {
  Shape shape(json, "a fault rule");
  FaultRule rule;
  shape.require("effect");
  rule.effect = shape.text("effect", limits::kName).value_or("");
  rule.id = shape.text("id", limits::kName).value_or("");
  rule.endpoint = shape.text("endpoint", limits::kName).value_or("");
  rule.psid = shape.text("psid", limits::kName).value_or("");
  rule.cuid = shape.text("cuid", limits::kName).value_or("");
  rule.body = shape.text("body", limits::kDocument).value_or("");
  rule.resultCode = shape.text("result_code", limits::kName).value_or("");
  rule.times = shape.integer("times", 1, 1LL << 40);
  rule.ms = shape.integer("ms", 0, 3600000).value_or(0);
  rule.seconds = shape.integer("seconds", 0, 86400).value_or(1);
  rule.status = static_cast<int>(shape.integer("status", 100, 599).value_or(500));
  rule.seed = static_cast<std::uint64_t>(shape.integer("seed", 0, 1LL << 62).value_or(0));
  rule.probability = shape.number("probability", 0, 1).value_or(1.0);
  const bool huge = rule.effect == "huge_body";
  rule.bytes =
      shape.integer("bytes", 0, huge ? limits::kHugeBytes : limits::kGarbageBytes).value_or(0);
  if (!rule.effect.empty() &&
      std::find(kEffects.begin(), kEffects.end(), rule.effect) == kEffects.end())
    shape.refuse(
        "\"effect\" must be one of latency, timeout, reset, status, garbage, truncate, "
        "result_code, no_header, no_body, huge_body, retry_after, duplicate, not " +
        quoted(Json(rule.effect)));
  if (!rule.endpoint.empty() && !isFaultEndpoint(rule.endpoint)) {
    std::string names;
    for (const auto& name : faultEndpoints()) names += (names.empty() ? "" : ", ") + name;
    shape.refuse("\"endpoint\" " + quoted(Json(rule.endpoint)) +
                 " is not served by the emulator; a rule may name " + names + " or /images/FILE");
  }
  const bool onStream =
      rule.endpoint == kStreamEndpoint || rule.endpoint == std::string("/") + kStreamEndpoint;
  if (rule.effect == "duplicate" && !rule.endpoint.empty() && !onStream)
    shape.refuse(
        "the duplicate effect acts on payloads streamed to a device: its \"endpoint\" "
        "is __gateway/stream or none");
  if (rule.effect != "duplicate" && onStream)
    shape.refuse("only the duplicate effect acts on __gateway/stream");
  if (rule.effect == "result_code" && rule.resultCode.empty())
    shape.refuse("the result_code effect needs \"result_code\" (e.g. \"40100\")");
  if (!shape.check(error)) return std::nullopt;
  if (rule.effect == "timeout" && rule.ms == 0) rule.ms = 60000;
  if (rule.effect == "garbage" && rule.bytes == 0) rule.bytes = 64;
  if (huge && rule.bytes == 0) rule.bytes = kDefaultHugeBytes;
  rule.random.seed(rule.seed);
  return rule;
}

bool Faults::add(const Json& rules, std::string& error, Json* added) {
  if (rules.is_array() && rules.size() > limits::kFaultRules) {
    error = "more than " + std::to_string(limits::kFaultRules) + " fault rules";
    return false;
  }
  std::vector<FaultRule> parsed;
  auto take = [&](const Json& json) {
    auto rule = parseFaultRule(json, error);
    if (rule) parsed.push_back(std::move(*rule));
    return rule.has_value();
  };
  if (rules.is_array()) {
    for (const auto& json : rules)
      if (!take(json)) return false;
  } else if (!take(rules)) {
    return false;
  }
  std::lock_guard lock(mutex_);
  if (rules_.size() + parsed.size() > limits::kFaultRules) {
    error = "more than " + std::to_string(limits::kFaultRules) +
            " fault rules; DELETE /__admin/faults clears them";
    return false;
  }
  for (auto& rule : parsed) {
    // Appended, not "f" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on the sum.
    if (rule.id.empty()) rule.id.append("f").append(std::to_string(nextId_++));
    if (added) added->push_back(rule.toJson());
    rules_.push_back(std::move(rule));
  }
  return true;
}

bool Faults::remove(const std::string& id) {
  std::lock_guard lock(mutex_);
  const auto before = rules_.size();
  rules_.erase(std::remove_if(rules_.begin(), rules_.end(),
                              [&](const FaultRule& rule) { return rule.id == id; }),
               rules_.end());
  return rules_.size() != before;
}

void Faults::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

Json Faults::list() {
  std::lock_guard lock(mutex_);
  Json json = Json::array();
  for (const auto& rule : rules_) json.push_back(rule.toJson());
  return json;
}

std::optional<FaultRule> Faults::match(const std::string& endpoint, const std::string& path,
                                       const std::string& psid, const std::string& cuid) {
  return fire(false, endpoint, path, psid, cuid);
}

std::optional<FaultRule> Faults::matchDelivery(const std::string& token) {
  return fire(true, kStreamEndpoint, std::string("/") + kStreamEndpoint, token, "");
}

std::optional<FaultRule> Faults::fire(bool delivery, const std::string& endpoint,
                                      const std::string& path, const std::string& psid,
                                      const std::string& cuid) {
  std::lock_guard lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    auto& rule = *it;
    if ((rule.effect == "duplicate") != delivery) continue;
    if (!rule.endpoint.empty() && rule.endpoint != endpoint && rule.endpoint != path &&
        "/" + rule.endpoint != path)
      continue;
    if (!rule.psid.empty() && rule.psid != psid) continue;
    if (!rule.cuid.empty() && rule.cuid != cuid) continue;
    if (rule.probability < 1.0) {
      // Drawn only for matching requests, so a seed replays the same sequence.
      const double draw = std::uniform_real_distribution<double>(0.0, 1.0)(rule.random);
      if (draw >= rule.probability) continue;
    }
    ++rule.applied;
    ++injected_;
    FaultRule fired = rule;
    if (rule.times && --*rule.times == 0) rules_.erase(it);
    return fired;
  }
  return std::nullopt;
}

}  // namespace orvo::emulator
