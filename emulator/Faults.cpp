#include "Faults.h"

#include <algorithm>

namespace orvo::emulator {
namespace {

const std::vector<std::string> kEffects = {"latency", "timeout",  "reset",       "status",
                                           "garbage", "truncate", "result_code", "no_header",
                                           "no_body", "huge_body"};

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
  if (effect == "latency" || effect == "timeout") json["ms"] = ms;
  if (effect == "status") {
    json["status"] = status;
    json["body"] = body;
  }
  if (effect == "result_code") json["result_code"] = resultCode;
  if (effect == "garbage" || effect == "huge_body") json["bytes"] = bytes;
  return json;
}

std::optional<FaultRule> parseFaultRule(const Json& json, std::string& error) {
  if (!json.is_object()) {
    error = "a fault rule must be a JSON object";
    return std::nullopt;
  }
  FaultRule rule;
  auto text = [&](const char* key, std::string& into) {
    if (!json.contains(key)) return true;
    if (!json[key].is_string()) {
      error = std::string("\"") + key + "\" must be a string";
      return false;
    }
    into = json[key].get<std::string>();
    return true;
  };
  auto integer = [&](const char* key, long long& into, long long low, long long high) {
    if (!json.contains(key)) return true;
    if (!json[key].is_number_integer() || json[key].get<long long>() < low ||
        json[key].get<long long>() > high) {
      error = std::string("\"") + key + "\" must be an integer from " + std::to_string(low) +
              " to " + std::to_string(high);
      return false;
    }
    into = json[key].get<long long>();
    return true;
  };
  if (!text("effect", rule.effect) || !text("endpoint", rule.endpoint) ||
      !text("psid", rule.psid) || !text("cuid", rule.cuid) || !text("body", rule.body) ||
      !text("result_code", rule.resultCode) || !text("id", rule.id))
    return std::nullopt;
  if (std::find(kEffects.begin(), kEffects.end(), rule.effect) == kEffects.end()) {
    error =
        "\"effect\" must be one of latency, timeout, reset, status, garbage, truncate, "
        "result_code, no_header, no_body, huge_body";
    return std::nullopt;
  }
  long long times = -1, status = 500, seed = 0;
  if (!integer("times", times, 1, 1LL << 40) || !integer("ms", rule.ms, 0, 3600000) ||
      !integer("status", status, 100, 599) || !integer("bytes", rule.bytes, 0, 1LL << 32) ||
      !integer("seed", seed, 0, (1LL << 62)))
    return std::nullopt;
  if (times > 0) rule.times = times;
  rule.status = static_cast<int>(status);
  rule.seed = static_cast<std::uint64_t>(seed);
  if (json.contains("probability")) {
    if (!json["probability"].is_number() || json["probability"].get<double>() < 0 ||
        json["probability"].get<double>() > 1) {
      error = "\"probability\" must be a number from 0 to 1";
      return std::nullopt;
    }
    rule.probability = json["probability"].get<double>();
  }
  if (rule.effect == "result_code" && rule.resultCode.empty()) {
    error = "the result_code effect needs \"result_code\" (e.g. \"40100\")";
    return std::nullopt;
  }
  if (rule.effect == "timeout" && rule.ms == 0) rule.ms = 60000;
  if (rule.effect == "garbage" && rule.bytes == 0) rule.bytes = 64;
  if (rule.effect == "huge_body" && rule.bytes == 0) rule.bytes = kDefaultHugeBytes;
  rule.random.seed(rule.seed);
  return rule;
}

bool Faults::add(const Json& rules, std::string& error, Json* added) {
  std::vector<FaultRule> parsed;
  const Json list = rules.is_array() ? rules : Json::array({rules});
  for (const auto& json : list) {
    auto rule = parseFaultRule(json, error);
    if (!rule) return false;
    parsed.push_back(std::move(*rule));
  }
  std::lock_guard lock(mutex_);
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
  std::lock_guard lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    auto& rule = *it;
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
