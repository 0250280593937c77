#include "Console.h"

#include "ConsoleFiles.h"

namespace orvo::emulator {

namespace {

std::string_view typeOf(std::string_view name) {
  auto endsWith = [name](std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (endsWith(".html")) return "text/html; charset=utf-8";
  if (endsWith(".css")) return "text/css; charset=utf-8";
  if (endsWith(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace

std::optional<ConsoleFile> consoleFile(std::string_view name) {
  for (const auto& file : embedded::kConsoleFiles)
    if (name == file.name)
      return ConsoleFile{{reinterpret_cast<const char*>(file.data), file.size}, typeOf(name)};
  return std::nullopt;
}

}  // namespace orvo::emulator
