// The application manifest the tests and benchmarks start from, with the
// settings they vary.
#pragma once

#include <string>

namespace orvo::test {

struct ManifestOptions {
  bool storage = false;
  std::string server = "https://receiver.example.com/push/";
  std::string applicationID = "com.example.app";
  std::string version = "4.0";
  bool log = true;
  bool granted = true;
  std::string logServer = "https://log.example.com/";
  // More elements under <push> (the outbox, the duplicate filter).
  std::string extra = "";
};

inline std::string manifestXml(const ManifestOptions& options) {
  auto flag = [](bool on) { return on ? std::string("true") : std::string("false"); };
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest><settings><push>
  <storage>)" +
         flag(options.storage) +
         R"(</storage>
  <receiver>
    <mode>production</mode>
    <server><production>)" +
         options.server + R"(</production>
      <development>https://dev.receiver.example.com/push/</development></server>
    <policy>user</policy>
    <customer-code>CUST0001</customer-code>
    <application-id>)" +
         options.applicationID + R"(</application-id>
    <version>)" +
         options.version +
         R"(</version>
    <log>)" +
         flag(options.log) +
         R"(</log>
    <log-server>)" +
         options.logServer +
         R"(</log-server>
    <granted>)" +
         flag(options.granted) +
         R"(</granted>
  </receiver>
)" + options.extra +
         R"(
</push></settings></manifest>
)";
}

}  // namespace orvo::test
