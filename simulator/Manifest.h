// The manifest a simulated device's bundle holds: the library's settings
// pointing every server at the emulator.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvo::sim {

struct DeviceOptions;

// Text made safe for XML character data and attribute values, so that the
// manifest's reader sees it as given: & < > " ' and CR become references.
// Nullopt for text XML cannot carry at all: bytes that are not UTF-8 and
// control characters other than tab and line feed.
std::optional<std::string> xmlEscape(std::string_view text);

// Nullopt, with `error` naming the setting, when one cannot be written.
std::optional<std::string> manifestXml(const DeviceOptions& options, std::string& error);

}  // namespace orvo::sim
