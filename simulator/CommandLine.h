// What orvo-sim accepts on its command line: each check names the argument
// and the value it refuses, in one line.
#pragma once

#include <CLI/CLI.hpp>
#include <initializer_list>
#include <string>

namespace orvo::sim {

CLI::Validator deviceName();
CLI::Validator nonEmpty();
CLI::Validator digits();
CLI::Validator dottedVersion();
CLI::Validator compactDate();
CLI::Validator emulatorUrl();
// Text a manifest can carry (see xmlEscape).
CLI::Validator manifestText();
CLI::Validator oneOf(std::initializer_list<const char*> choices);

// Help and --version go to standard output with status 0; any other mistake
// is one line on standard error with status 2.
int usageError(const CLI::App& app, const CLI::ParseError& error);

}  // namespace orvo::sim
