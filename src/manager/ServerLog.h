// Failure reports to the log server: one JSON record per failure, posted as
// a form body, retried a bounded number of times and never reported back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Host.h"

namespace orvo {

class ServerLog {
 public:
  using InfoSource = std::function<std::shared_ptr<PushManagerInfo>()>;

  // A delivery attempt with this retry count or a higher one sends nothing.
  static constexpr std::int32_t kRetryLimit = 3;

  // `info` gives the current record when an attempt starts.
  ServerLog(std::shared_ptr<const Host> host, InfoSource info);

  // One delivery attempt; a failed one starts the next at once, with
  // retryCount + 1. Nothing is sent without a record, with an empty log
  // server host, or from kRetryLimit on.
  void send(const std::string& errorText, std::int32_t retryCount) const;
  // One attempt and nothing more: `done` gets the exchange and whether the
  // server took the record. False at once (no result) when nothing can be
  // sent: no record or an empty log server host.
  void attempt(const std::string& errorText, std::int32_t retryCount,
               std::function<void(const HttpResult* result, bool delivered)> done) const;

 private:
  std::shared_ptr<const Host> host_;
  InfoSource info_;
};

}  // namespace orvo
