#include "orvo/FormEncoding.h"

#include <array>
#include <optional>

#include "foundation/Log.h"

namespace orvo {
namespace {

constexpr std::string_view kQueryStringLine = "%@ to queryString";
constexpr char kFieldSeparator = '&';
constexpr char kKeyValueSeparator = '=';
constexpr char kHexDigits[] = "0123456789ABCDEF";

struct EscapeEntry {
  char character;
  std::string_view replacement;
};

// The reserved characters a form value may not carry as they are.
constexpr std::array<EscapeEntry, 17> kEscapeEntries{{
    {'$', "%24"},
    {'&', "%26"},
    {'+', "%2B"},
    {',', "%2C"},
    {'/', "%2F"},
    {':', "%3A"},
    {';', "%3B"},
    {'=', "%3D"},
    {'?', "%3F"},
    {'@', "%40"},
    {' ', "%20"},
    {'\t', "%09"},
    {'#', "%23"},
    {'<', "%3C"},
    {'>', "%3E"},
    {'"', "%22"},
    {'\n', "%0A"},
}};

// Every replacement is the character's own percent form. That is what lets
// one table of "escape this byte" stand for both steps.
constexpr bool replacementsArePercentForms() {
  for (const auto& entry : kEscapeEntries) {
    auto byte = static_cast<unsigned char>(entry.character);
    const auto& r = entry.replacement;
    if (r.size() != 3 || r[0] != '%' || r[1] != kHexDigits[byte >> 4] ||
        r[2] != kHexDigits[byte & 0xF]) {
      return false;
    }
  }
  return true;
}
static_assert(replacementsArePercentForms());

// Bytes that may not stand in a URL: controls, space, DEL, non-ASCII and
// the unsafe marks.
constexpr bool isURLUnsafe(unsigned char byte) {
  if (byte <= 0x20 || byte >= 0x7F) return true;
  switch (byte) {
    case '"':
    case '%':
    case '<':
    case '>':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

using ByteTable = std::array<bool, 256>;

constexpr ByteTable makeURLTable() {
  ByteTable table{};
  for (int b = 0; b < 256; ++b) table[b] = isURLUnsafe(static_cast<unsigned char>(b));
  return table;
}

constexpr ByteTable makeFullTable() {
  ByteTable table = makeURLTable();
  for (const auto& entry : kEscapeEntries)
    table[static_cast<unsigned char>(entry.character)] = true;
  return table;
}

constexpr ByteTable kURLEscapes = makeURLTable();
constexpr ByteTable kFullEscapes = makeFullTable();

// One pass: unescaped runs are copied whole, every other byte becomes "%XX".
void appendEscaped(std::string& out, std::string_view text, const ByteTable& table) {
  const char* data = text.data();
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(data[i]);
    if (!table[byte]) continue;
    out.append(data + runStart, i - runStart);
    const char escaped[3] = {'%', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
    out.append(escaped, 3);
    runStart = i + 1;
  }
  out.append(data + runStart, text.size() - runStart);
}

std::size_t escapedSizeHint(std::size_t size) { return size + size / 2; }

}  // namespace

const std::vector<std::pair<char, std::string_view>>& escapeMap() {
  // A function-local static: initialised once, race-free on first use.
  static const std::vector<std::pair<char, std::string_view>> map = [] {
    std::vector<std::pair<char, std::string_view>> entries;
    entries.reserve(kEscapeEntries.size());
    for (const auto& entry : kEscapeEntries)
      entries.emplace_back(entry.character, entry.replacement);
    return entries;
  }();
  return map;
}

std::string addingPercentEscapes(std::string_view text) {
  std::string out;
  out.reserve(escapedSizeHint(text.size()));
  appendEscaped(out, text, kURLEscapes);
  return out;
}

std::string stringByAddingFullEscapesUsingEncoding(std::string_view text, TextEncoding encoding) {
  // A text the encoding cannot hold goes as its UTF-8 bytes, the default
  // encoding's, rather than not at all.
  const std::optional<std::string> encoded = encodeText(text, encoding);
  const std::string_view bytes = encoded ? std::string_view(*encoded) : text;
  std::string out;
  out.reserve(escapedSizeHint(bytes.size()));
  appendEscaped(out, bytes, kFullEscapes);
  return out;
}

std::string queryStringForOrvo(const Dictionary& parameters) {
  if (logging::isOn()) logging::trace(logging::format(kQueryStringLine, {describe(parameters)}));

  std::size_t inputSize = 0;
  for (const auto& [key, value] : parameters) {
    inputSize += key.size() + 2;
    if (const std::string* text = value.asString()) inputSize += text->size();
  }
  std::string out;
  out.reserve(escapedSizeHint(inputSize));
  bool first = true;
  for (const auto& [key, value] : parameters) {
    if (!first) out += kFieldSeparator;
    first = false;
    appendEscaped(out, key, kFullEscapes);
    out += kKeyValueSeparator;
    if (const std::string* text = value.asString()) {
      appendEscaped(out, *text, kFullEscapes);
    } else {
      appendEscaped(out, describe(value), kFullEscapes);
    }
  }
  return out;
}

}  // namespace orvo
