// The platform's white-space-and-newline set on UTF-8 text: ASCII space and
// \t-\r, U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvo::text {

// Length of the set member that starts at `at` (0 when none does).
inline std::size_t spaceAt(std::string_view s, std::size_t at) {
  if (at >= s.size()) return 0;
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  std::size_t left = s.size() - at;
  unsigned char c = b(at);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (c == 0xC2 && left >= 2 && (b(at + 1) == 0x85 || b(at + 1) == 0xA0)) return 2;
  if (left < 3) return 0;
  unsigned char c1 = b(at + 1);
  unsigned char c2 = b(at + 2);
  if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;
  if (c == 0xE2 && c1 == 0x80 &&
      ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) {
    return 3;
  }
  if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;
  if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;
  return 0;
}

// Length of the set member that ends just before `end` (0 when none does).
// Every multi-byte member begins with a lead byte, so a match never splits a
// character of valid UTF-8.
inline std::size_t spaceBefore(std::string_view s, std::size_t end) {
  std::string_view head = s.substr(0, end);
  for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
    if (spaceAt(head, end - n) == n) return n;
  }
  return 0;
}

inline std::size_t skipSpace(std::string_view s, std::size_t at = 0) {
  while (std::size_t n = spaceAt(s, at)) at += n;
  return at;
}

inline std::string trim(std::string_view s) {
  std::size_t begin = skipSpace(s);
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t n = spaceBefore(s, end);
    if (n == 0 || end - n < begin) break;
    end -= n;
  }
  return std::string(s.substr(begin, end - begin));
}

}  // namespace orvo::text
