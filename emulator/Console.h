// The browser console's files, built into the executable so an installed
// emulator serves them with nothing beside it.
#pragma once

#include <optional>
#include <string_view>

namespace orvo::emulator {

struct ConsoleFile {
  std::string_view body;
  std::string_view contentType;
};

// A file of the console by its name ("index.html", "console.js"); nullopt for
// anything else, so no path reaches the disk.
std::optional<ConsoleFile> consoleFile(std::string_view name);

}  // namespace orvo::emulator
