// What every fuzz target shares: a host of doubles that lives for the whole
// run, a check that stops the run with a message, and input splitting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "support/TestHost.h"

// A broken invariant is a finding: abort so libFuzzer keeps the input.
#define FUZZ_CHECK(condition, what)                                           \
  do {                                                                        \
    if (!(condition)) {                                                       \
      std::fprintf(stderr, "fuzz check failed: %s (%s)\n", what, #condition); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

namespace orvo::fuzz {

// Built on first use and kept: a host per input would spend the run
// creating directories.
inline test::TestHost& host() {
  static auto* kept = new test::TestHost();
  return *kept;
}

// Reads the input front to back: single bytes for choices, the rest as text.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto value = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return value;
  }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

}  // namespace orvo::fuzz
