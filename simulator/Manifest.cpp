#include "Manifest.h"

#include <nlohmann/json.hpp>

#include "Device.h"

namespace orvo::sim {

namespace {

bool isUtf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace

std::optional<std::string> xmlEscape(std::string_view text) {
  if (!isUtf8(text)) return std::nullopt;
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      // A parser turns a raw CR into a line feed.
      case '\r':
        out += "&#13;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') return std::nullopt;
        out += c;
    }
  }
  return out;
}

// Retries soon enough for a scenario to see them.
constexpr std::string_view kDurable = R"(
  <outbox><enabled>true</enabled><first-delay>0.1</first-delay><max-delay>1</max-delay></outbox>
  <duplicates><enabled>true</enabled></duplicates>)";

std::optional<std::string> manifestXml(const DeviceOptions& options, std::string& error) {
  std::string base = options.emulatorUrl;
  if (base.empty() || base.back() != '/') base += '/';
  const auto server = xmlEscape(base);
  const auto application = xmlEscape(options.applicationID);
  const auto version = xmlEscape(options.receiverVersion);
  if (!server || !application || !version) {
    error = std::string(!server        ? "the emulator's address"
                        : !application ? "the application ID"
                                       : "the receiver version") +
            " holds a character a manifest cannot carry";
    return std::nullopt;
  }
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<manifest><settings><push>
  <storage>true</storage>
  <receiver>
    <mode>production</mode>
    <server><production>)" +
         *server + "</production><development>" + *server + R"(</development></server>
    <policy>user</policy>
    <customer-code>SIM</customer-code>
    <application-id>)" +
         *application + R"(</application-id>
    <version>)" +
         *version + R"(</version>
    <log>true</log>
    <log-server>)" +
         *server + R"(</log-server>
    <granted>true</granted>
  </receiver>
  <xelt><server>)" +
         *server + R"(</server></xelt>)" +
         (options.durable ? std::string(kDurable) : std::string()) +
         (options.consentRequired ? "\n  <consent><required>true</required></consent>" : "") +
         (options.tracing ? "\n  <doctor><tracing>true</tracing></doctor>" : "") + R"(
</push></settings></manifest>
)";
}

}  // namespace orvo::sim
