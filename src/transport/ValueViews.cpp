#include "orvo/ValueViews.h"

#include <array>
#include <cstdint>

#include "core/Log.h"
#include "core/Utf8.h"

namespace orvo {
namespace {

constexpr std::string_view kUnknownEncodingLine =
    "not found match NSStringEncoding.return default encoding [%d]";

struct EncodingName {
  std::string_view name;  // lower case
  TextEncoding encoding;
};

// IANA names and the aliases servers commonly declare.
constexpr std::array<EncodingName, 26> kEncodingNames{{
    {"utf-8", TextEncoding::UTF8},
    {"utf8", TextEncoding::UTF8},
    {"unicode-1-1-utf-8", TextEncoding::UTF8},
    {"us-ascii", TextEncoding::ASCII},
    {"ascii", TextEncoding::ASCII},
    {"ansi_x3.4-1968", TextEncoding::ASCII},
    {"iso646-us", TextEncoding::ASCII},
    {"csascii", TextEncoding::ASCII},
    {"us", TextEncoding::ASCII},
    {"iso-8859-1", TextEncoding::ISOLatin1},
    {"iso_8859-1", TextEncoding::ISOLatin1},
    {"iso8859-1", TextEncoding::ISOLatin1},
    {"latin1", TextEncoding::ISOLatin1},
    {"l1", TextEncoding::ISOLatin1},
    {"iso-ir-100", TextEncoding::ISOLatin1},
    {"csisolatin1", TextEncoding::ISOLatin1},
    {"ibm819", TextEncoding::ISOLatin1},
    {"cp819", TextEncoding::ISOLatin1},
    {"windows-1252", TextEncoding::WindowsCP1252},
    {"cp1252", TextEncoding::WindowsCP1252},
    {"x-cp1252", TextEncoding::WindowsCP1252},
    {"utf-16", TextEncoding::UTF16},
    {"utf16", TextEncoding::UTF16},
    {"csunicode", TextEncoding::UTF16},
    {"utf-16be", TextEncoding::UTF16BigEndian},
    {"utf-16le", TextEncoding::UTF16LittleEndian},
}};

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// 0x80..0x9F of windows-1252; 0 marks the five unassigned bytes.
constexpr std::array<char16_t, 32> kCP1252High{
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string decodeUtf16(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](std::size_t i) {
    auto a = static_cast<unsigned char>(bytes[i]);
    auto b = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  std::size_t i = 0;
  while (i + 1 < bytes.size()) {
    char16_t u = unit(i);
    i += 2;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < bytes.size()) {
        char16_t next = unit(i);
        if (next >= 0xDC00 && next <= 0xDFFF) {
          i += 2;
          appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (next - 0xDC00));
          continue;
        }
      }
      appendUtf8(out, kReplacement);
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  if (i < bytes.size()) appendUtf8(out, kReplacement);  // a dangling odd byte
  return out;
}

}  // namespace

std::optional<Dictionary> dictionaryValue(const Value& value) {
  // Walks down first elements without recursion, so deeply nested arrays
  // cannot exhaust the stack.
  const Value* current = &value;
  while (const Array* array = current->asArray()) {
    if (array->empty()) return Dictionary{};
    current = &array->front();
  }
  if (const Dictionary* dictionary = current->asDictionary()) return *dictionary;
  return std::nullopt;
}

std::optional<Array> arrayValue(const Value& value) {
  if (const Array* array = value.asArray()) return *array;
  return std::nullopt;
}

TextEncoding encodingValue(std::string_view ianaName) {
  for (const auto& entry : kEncodingNames) {
    if (equalsIgnoringCase(ianaName, entry.name)) return entry.encoding;
  }
  if (logging::isOn()) {
    logging::trace(
        logging::format(kUnknownEncodingLine,
                        {std::to_string(static_cast<std::uint32_t>(kDefaultCStringEncoding))}));
  }
  return kDefaultCStringEncoding;
}

std::string decodeText(std::string_view bytes, TextEncoding encoding) {
  std::string out;
  switch (encoding) {
    case TextEncoding::UTF8: {
      out.reserve(bytes.size());
      std::size_t i = 0;
      while (i < bytes.size()) {
        std::size_t length = utf8SequenceLength(bytes, i);
        if (length == 0) {
          appendUtf8(out, kReplacement);
          ++i;
        } else {
          out.append(bytes.substr(i, length));
          i += length;
        }
      }
      return out;
    }
    case TextEncoding::ASCII:
      out.reserve(bytes.size());
      for (char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80) {
          out += c;
        } else {
          appendUtf8(out, kReplacement);
        }
      }
      return out;
    case TextEncoding::ISOLatin1:
      out.reserve(bytes.size());
      for (char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
      return out;
    case TextEncoding::WindowsCP1252:
      out.reserve(bytes.size());
      for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b <= 0x9F) {
          char16_t mapped = kCP1252High[b - 0x80];
          appendUtf8(out, mapped != 0 ? mapped : kReplacement);
        } else {
          appendUtf8(out, b);
        }
      }
      return out;
    case TextEncoding::UTF16: {
      // A byte-order mark decides; without one the bytes are big-endian.
      if (bytes.size() >= 2) {
        auto a = static_cast<unsigned char>(bytes[0]);
        auto b = static_cast<unsigned char>(bytes[1]);
        if (a == 0xFF && b == 0xFE) return decodeUtf16(bytes.substr(2), false);
        if (a == 0xFE && b == 0xFF) return decodeUtf16(bytes.substr(2), true);
      }
      return decodeUtf16(bytes, true);
    }
    case TextEncoding::UTF16BigEndian:
      return decodeUtf16(bytes, true);
    case TextEncoding::UTF16LittleEndian:
      return decodeUtf16(bytes, false);
  }
  return decodeText(bytes, TextEncoding::UTF8);
}

}  // namespace orvo
