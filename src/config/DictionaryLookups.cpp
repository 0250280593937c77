#include "orvo/DictionaryLookups.h"

#include <cmath>
#include <limits>
#include <vector>

#include "config/WhiteSpace.h"

namespace orvo {
namespace {

constexpr char kPathSeparator = '.';

// The platform's numeric reading of a text: leading white space, an optional
// sign, then decimal digits; saturates at the 64-bit limits.
std::int64_t leadingInteger(std::string_view s) {
  std::size_t at = text::skipSpace(s);
  bool negative = false;
  if (at < s.size() && (s[at] == '+' || s[at] == '-')) negative = s[at++] == '-';
  constexpr std::uint64_t kMaxMagnitude =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t limit = negative ? kMaxMagnitude + 1 : kMaxMagnitude;
  std::uint64_t magnitude = 0;
  for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at) {
    auto digit = static_cast<std::uint64_t>(s[at] - '0');
    if (magnitude > (limit - digit) / 10) {
      magnitude = limit;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  return magnitude == kMaxMagnitude + 1 ? std::numeric_limits<std::int64_t>::min()
                                        : -static_cast<std::int64_t>(magnitude);
}

// A real truncated toward zero, clamped to the 64-bit range (NaN gives 0).
std::int64_t truncateReal(double d) {
  if (std::isnan(d)) return 0;
  constexpr double kMax = 9223372036854775807.0;
  if (d >= kMax) return std::numeric_limits<std::int64_t>::max();
  if (d <= -kMax) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::optional<std::int64_t> numberOf(const Value& value) {
  if (const auto* i = value.asInt()) return *i;
  if (const auto* d = value.asReal()) return truncateReal(*d);
  if (const auto* b = value.asBool()) return *b ? 1 : 0;
  return std::nullopt;
}

std::int64_t integerValue(const Value& value) {
  if (auto n = numberOf(value)) return *n;
  if (const auto* s = value.asString()) return leadingInteger(*s);
  return 0;
}

std::int32_t intValue(const Value& value) {
  if (const auto* s = value.asString()) {
    std::int64_t n = leadingInteger(*s);
    if (n > std::numeric_limits<std::int32_t>::max())
      return std::numeric_limits<std::int32_t>::max();
    if (n < std::numeric_limits<std::int32_t>::min())
      return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(n);
  }
  // A number keeps its low 32 bits, as the platform's number does.
  if (auto n = numberOf(value)) return static_cast<std::int32_t>(*n);
  return 0;
}

std::uint16_t unsignedShortValue(const Value& value) {
  if (value.isNull()) return 0;
  if (auto n = numberOf(value)) return static_cast<std::uint16_t>(*n);
  return static_cast<std::uint16_t>(leadingInteger(describe(value)));
}

bool boolOf(const Value& value) {
  if (const auto* b = value.asBool()) return *b;
  if (const auto* i = value.asInt()) return *i != 0;
  if (const auto* d = value.asReal()) return *d != 0.0;
  if (const auto* s = value.asString()) return boolValue(*s);
  return false;
}

}  // namespace

Value objectForKey(const Dictionary& dict, std::string_view key, Conversion conversion) {
  const Value* value = dict.find(key);
  switch (conversion) {
    case Conversion::Description:
      return value && !value->isNull() ? Value(describe(*value)) : Value();
    case Conversion::IntegerValue:
      return Value(value ? integerValue(*value) : 0);
    case Conversion::IntValue:
      return Value(value ? intValue(*value) : 0);
    case Conversion::UnsignedShortValue:
      return Value(value ? unsignedShortValue(*value) : 0);
    case Conversion::BoolValue:
      return Value(value ? boolOf(*value) : false);
  }
  return Value();
}

std::optional<std::string> stringForKey(const Dictionary& dict, std::string_view key) {
  const Value* value = dict.find(key);
  if (!value || value->isNull()) return std::nullopt;
  return describe(*value);
}

std::int64_t integerForKey(const Dictionary& dict, std::string_view key) {
  const Value* value = dict.find(key);
  return value ? integerValue(*value) : 0;
}

std::int32_t intForKey(const Dictionary& dict, std::string_view key) {
  const Value* value = dict.find(key);
  return value ? intValue(*value) : 0;
}

std::uint16_t unsignedShortForKey(const Dictionary& dict, std::string_view key) {
  const Value* value = dict.find(key);
  return value ? unsignedShortValue(*value) : 0;
}

const Array* arrayForKey(const Dictionary& dict, std::string_view key) {
  return dict.getArray(key);
}

const Dictionary* dictionaryForKey(const Dictionary& dict, std::string_view key) {
  return dict.getDictionary(key);
}

namespace {

// The walk without copying: a pointer into dict, or null when absent.
const Value* walkPath(const Dictionary& dict, std::string_view path) {
  const Dictionary* current = &dict;
  while (true) {
    std::size_t dot = path.find(kPathSeparator);
    const Value* found = current->find(path.substr(0, dot));
    if (dot == std::string_view::npos || !found) return found;
    const Dictionary* inner = found->asDictionary();
    // A value that is not a dictionary ends the walk; the rest is ignored.
    if (!inner) return found;
    current = inner;
    path.remove_prefix(dot + 1);
  }
}

}  // namespace

Value objectForPath(const Dictionary& dict, std::optional<std::string_view> path) {
  if (!path) return Value();
  const Value* found = walkPath(dict, *path);
  return found ? *found : Value();
}

std::optional<std::string> stringForPath(const Dictionary& dict,
                                         std::optional<std::string_view> path) {
  if (!path) return std::nullopt;
  const Value* found = walkPath(dict, *path);
  const std::string* s = found ? found->asString() : nullptr;
  if (!s) return std::nullopt;
  return *s;
}

std::optional<Dictionary> dictionaryForPath(const Dictionary& dict,
                                            std::optional<std::string_view> path) {
  if (!path) return std::nullopt;
  const Value* found = walkPath(dict, *path);
  const Dictionary* d = found ? found->asDictionary() : nullptr;
  if (!d) return std::nullopt;
  return *d;
}

std::optional<Array> arrayForPath(const Dictionary& dict, std::optional<std::string_view> path) {
  if (!path) return std::nullopt;
  const Value* found = walkPath(dict, *path);
  const Array* a = found ? found->asArray() : nullptr;
  if (!a) return std::nullopt;
  return *a;
}

bool boolValue(std::string_view s) {
  std::size_t at = text::skipSpace(s);
  if (at < s.size() && (s[at] == '+' || s[at] == '-')) ++at;
  while (at < s.size() && s[at] == '0') ++at;
  if (at >= s.size()) return false;
  char c = s[at];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace orvo
