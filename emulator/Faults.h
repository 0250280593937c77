// Switchable faults: rules with selectors, a count and a seeded probability,
// each with one effect from a fixed vocabulary.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Database.h"

namespace orvo::emulator {

struct FaultRule {
  std::string id;
  // Selectors; empty matches everything.
  std::string endpoint;  // file name ("rcv_register_user.ctl") or path ("/mobile/purchase")
  std::string psid;
  std::string cuid;
  std::optional<long long> times;  // remaining applications; absent = every time
  double probability = 1.0;
  std::uint64_t seed = 0;
  std::string effect;
  long long ms = 0;        // latency; timeout's longest hold
  int status = 500;        // status
  std::string body;        // status
  std::string resultCode;  // result_code
  long long bytes = 0;     // garbage, huge_body
  long long seconds = 1;   // retry_after
  long long applied = 0;
  std::mt19937_64 random;

  Json toJson() const;
};

// Parses one rule; on failure says what is wrong, naming the field.
std::optional<FaultRule> parseFaultRule(const Json& json, std::string& error);
// What a rule's "endpoint" may name, besides "/images/FILE".
std::vector<std::string> faultEndpoints();

class Faults {
 public:
  static const std::vector<std::string>& vocabulary();

  // Adds rules from a JSON object or array of objects; all or none, and at
  // most a thousand in all.
  bool add(const Json& rules, std::string& error, Json* added = nullptr);
  bool remove(const std::string& id);
  void clear();
  Json list();

  // The first rule that matches and fires for this request, already counted.
  // Delivery rules (duplicate) are not among them.
  std::optional<FaultRule> match(const std::string& endpoint, const std::string& path,
                                 const std::string& psid, const std::string& cuid);
  // The first duplicate rule that fires for a payload streamed to the device
  // of this token.
  std::optional<FaultRule> matchDelivery(const std::string& token);
  long long injected() const { return injected_; }

 private:
  std::optional<FaultRule> fire(bool delivery, const std::string& endpoint, const std::string& path,
                                const std::string& psid, const std::string& cuid);

  std::mutex mutex_;
  std::vector<FaultRule> rules_;
  long long nextId_ = 1;
  long long injected_ = 0;
};

}  // namespace orvo::emulator
