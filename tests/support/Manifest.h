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

inline std::string manifestXml(const ManifestOptions& o) {
  auto element = [](const std::string& name, const std::string& text) {
    return "<" + name + ">" + text + "</" + name + ">";
  };
  auto flag = [](bool on) { return std::string(on ? "true" : "false"); };
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest><settings><push>" +
         element("storage", flag(o.storage)) + "<receiver><mode>production</mode><server>" +
         element("production", o.server) +
         "<development>https://dev.receiver.example.com/push/</development></server>"
         "<policy>user</policy><customer-code>CUST0001</customer-code>" +
         element("application-id", o.applicationID) + element("version", o.version) +
         element("log", flag(o.log)) + element("log-server", o.logServer) +
         element("granted", flag(o.granted)) + "</receiver>" + o.extra +
         "</push></settings></manifest>\n";
}

}  // namespace orvo::test
