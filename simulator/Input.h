// What orvo-sim reads from outside, bounded before it is read whole: a file
// (or standard input) up to a size, and JSON up to a depth.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace orvo::sim {

// The largest scenario file read.
inline constexpr std::size_t kMaxScenarioBytes = 4 * 1024 * 1024;

// The whole of `path` ("-": standard input), at most `limit` bytes. A folder,
// a device, a FIFO or a socket is refused without reading it, a regular file
// over the limit by its size, standard input once it gives more. Nullopt with
// `error` one line: "cannot read PATH: the reason".
std::optional<std::string> readInput(const std::string& path, std::size_t limit,
                                     std::string& error);

// Why a text is not JSON that orvo-sim takes: the parser's reason, and the
// byte where it stopped (none for a document nested too deeply).
struct JsonProblem {
  std::string reason;
  std::optional<std::size_t> byte;
};

// JSON nested at most as deeply as the library reads it (kJsonMaxDepth),
// refused as the parser reaches a deeper level, so that nothing recursive
// ever meets a deeper document.
std::optional<nlohmann::json> parseInputJson(const std::string& text, JsonProblem& problem);

}  // namespace orvo::sim
