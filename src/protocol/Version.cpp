// Receiver protocol versions: dotted texts whose numeric runs compare by value.
#include "orvo/Version.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace orvo {
namespace {

constexpr char kSeparator = '.';
constexpr std::string_view kPadComponent = "0";

std::vector<std::string_view> components(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = text.find(kSeparator, start);
    if (dot == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

std::string joined(const std::vector<std::string_view>& parts, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    if (i > 0) text += kSeparator;
    text += i < parts.size() ? parts[i] : kPadComponent;
  }
  return text;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

// Digit runs compare by value without converting, so runs of any length
// are safe: leading zeros dropped, then the longer run is larger, then
// digit by digit.
int compareNumbers(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view run) {
    std::size_t first = run.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : run.substr(first);
  };
  a = strip(a);
  b = strip(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return sign(a.compare(b));
}

int compareNumericLiteral(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t endA = i;
      while (endA < a.size() && isDigit(a[endA])) ++endA;
      std::size_t endB = j;
      while (endB < b.size() && isDigit(b[endB])) ++endB;
      if (int order = compareNumbers(a.substr(i, endA - i), b.substr(j, endB - j))) return order;
      i = endA;
      j = endB;
      continue;
    }
    const auto left = static_cast<unsigned char>(a[i]);
    const auto right = static_cast<unsigned char>(b[j]);
    if (left != right) return left < right ? -1 : 1;
    ++i;
    ++j;
  }
  const bool leftDone = i >= a.size();
  const bool rightDone = j >= b.size();
  if (leftDone && rightDone) return 0;
  return leftDone ? -1 : 1;
}

}  // namespace

// Compiled into the library, so that it reports the library that is loaded,
// not the headers an application was built with.
std::string_view runtimeVersion() { return ORVO_PUSH_VERSION_STRING; }

int versionCompare(std::string_view left, std::string_view right) {
  auto leftParts = components(left);
  auto rightParts = components(right);
  const std::size_t length = std::max(leftParts.size(), rightParts.size());
  return compareNumericLiteral(joined(leftParts, length), joined(rightParts, length));
}

}  // namespace orvo
