#include "CommandLine.h"

#include <ctime>
#include <iostream>

#include "Manifest.h"

namespace orvo::sim {

namespace {

std::string inQuotes(const std::string& value) { return "\"" + value + "\""; }

// The help names an option's value by its type name; the check adds none.
CLI::Validator check(std::function<std::string(const std::string&)> test) {
  return CLI::Validator(
      [test = std::move(test)](std::string& value) {
        const std::string why = test(value);
        return why.empty() ? std::string() : inQuotes(value) + " " + why;
      },
      "");
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

CLI::Validator deviceName() {
  return check([](const std::string& name) -> std::string {
    if (name.empty() || name.size() > 40 ||
        name.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
            std::string::npos)
      return "is not a device name (1 to 40 letters, digits, - and _)";
    return "";
  });
}

CLI::Validator nonEmpty() {
  return check(
      [](const std::string& text) -> std::string { return text.empty() ? "is empty" : ""; });
}

CLI::Validator digits() {
  return check([](const std::string& text) -> std::string {
    if (!allDigits(text)) return "is not a whole number 0 or more";
    if (text.size() > 18) return "is too large";
    return "";
  });
}

CLI::Validator dottedVersion() {
  return check([](const std::string& text) -> std::string {
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = text.find('.', start);
      if (!allDigits(text.substr(start, dot - start)))
        return "is not a version of dotted numbers such as 3.6 or 4.0";
      if (dot == std::string::npos) return "";
      start = dot + 1;
    }
  });
}

// yyyyMMddHHmmss, a date that exists: 20300231000000 is refused, not moved
// to March.
CLI::Validator compactDate() {
  return check([](const std::string& text) -> std::string {
    if (text.size() != 14 || !allDigits(text)) return "is not a date yyyyMMddHHmmss";
    std::tm date{};
    date.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    date.tm_mon = std::stoi(text.substr(4, 2)) - 1;
    date.tm_mday = std::stoi(text.substr(6, 2));
    date.tm_hour = std::stoi(text.substr(8, 2));
    date.tm_min = std::stoi(text.substr(10, 2));
    date.tm_sec = std::stoi(text.substr(12, 2));
    const std::tm asked = date;
    const std::time_t at = timegm(&date);
    std::tm back{};
    if (at == static_cast<std::time_t>(-1) || !gmtime_r(&at, &back) ||
        back.tm_year != asked.tm_year || back.tm_mon != asked.tm_mon ||
        back.tm_mday != asked.tm_mday || back.tm_hour != asked.tm_hour ||
        back.tm_min != asked.tm_min || back.tm_sec != asked.tm_sec)
      return "is not a date that exists";
    return "";
  });
}

CLI::Validator emulatorUrl() {
  return check([](const std::string& url) -> std::string {
    const bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
    return web && url.find_first_of(" \t\r\n") == std::string::npos
               ? ""
               : "is not an http:// or https:// address";
  });
}

CLI::Validator manifestText() {
  return check([](const std::string& text) -> std::string {
    if (text.empty()) return "is empty";
    return xmlEscape(text) ? "" : "holds a character a manifest cannot carry";
  });
}

CLI::Validator oneOf(std::initializer_list<const char*> choices) {
  std::vector<std::string> list(choices.begin(), choices.end());
  std::string joined;
  for (const auto& choice : list) joined += (joined.empty() ? "" : ", ") + choice;
  return check([list, joined](const std::string& value) -> std::string {
    for (const auto& choice : list)
      if (value == choice) return "";
    return "is not one of " + joined;
  });
}

int usageError(const CLI::App& app, const CLI::ParseError& error) {
  if (error.get_exit_code() == 0) return app.exit(error);
  std::string where = app.get_name();
  for (const CLI::App* sub : app.get_subcommands()) where += " " + sub->get_name();
  std::string what = error.what();
  const auto rest = app.remaining();
  if (app.get_subcommands().empty() && !rest.empty() && rest.front().rfind("-", 0) != 0)
    what = "unknown command \"" + rest.front() + "\"";
  std::cerr << where << ": " << what << " (see " << where << " --help)" << std::endl;
  return 2;
}

}  // namespace orvo::sim
