// The receiver server: the form-encoded calls the library makes, checked
// strictly against the key set of the receiver version configured for the
// application, answered with the JSON envelope.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "Contract.h"
#include "Gateway.h"
#include "State.h"

namespace orvo::emulator {

using Form = std::map<std::string, std::string>;

// What one request is answered with, and what the journal says about it.
struct Answer {
  int status = 200;
  std::string body;
  std::string contentType = "application/json; charset=utf-8";
  std::string resultCode;  // of an envelope; empty for other answers
  Json envelope;           // the envelope before it was written, when there is one
  std::vector<std::string> notes;
  // Who made the call, when the form does not say it plainly: {"cuid", "psid"}.
  Json caller;
};

namespace result {
inline constexpr const char* kSuccess = "0000";
inline constexpr const char* kAuthRefused = "40100";
inline constexpr const char* kBadRequest = "40000";
inline constexpr const char* kNotFound = "40400";
inline constexpr const char* kNotAvailable = "40500";
}  // namespace result

Answer envelopeAnswer(const std::string& code, Json body = Json::object());

struct ReceiverOptions {
  std::string receiverVersion = "3.6";
  std::chrono::milliseconds authTtl = std::chrono::hours(1);
};

class Receiver {
 public:
  Receiver(State& state, Gateway& gateway, ReceiverOptions options)
      : state_(state), gateway_(gateway), options_(std::move(options)) {}

  static bool isEndpoint(const std::string& endpoint);
  static const std::vector<std::string>& endpoints();

  // `duplicates` lists keys the form held more than once (the first value counts).
  Answer handle(const std::string& endpoint, const Form& form,
                const std::vector<std::string>& duplicates);

  // The version that requests of this application are checked against;
  // `known` tells whether the application has a row yet.
  std::string versionFor(const std::string& appId, bool* known = nullptr);
  void setVersion(const std::string& appId, const std::string& version);
  // Both under the state's mutex, as handle() reads them there.
  const ReceiverOptions& options() const { return options_; }
  void setAuthTtl(std::chrono::milliseconds ttl) { options_.authTtl = ttl; }

 private:
  State& state_;
  Gateway& gateway_;
  ReceiverOptions options_;
};

}  // namespace orvo::emulator
