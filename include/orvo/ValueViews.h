// Tolerant readings of parsed server values and of text-encoding names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Value.h"

namespace orvo {

// A Dictionary as a copy of itself; an array as the view of its first element
// (an empty Dictionary when the array is empty); anything else absent.
std::optional<Dictionary> dictionaryValue(const Value& value);
// An array as a copy of itself; anything else absent.
std::optional<Array> arrayValue(const Value& value);

// The text encodings the library can read response bodies in.
enum class TextEncoding : std::uint32_t {
  ASCII = 1,
  UTF8 = 4,
  ISOLatin1 = 5,
  UTF16 = 10,
  WindowsCP1252 = 12,
  UTF16BigEndian = 0x90000100,
  UTF16LittleEndian = 0x94000100,
};

// The encoding used when a declared name is unknown.
inline constexpr TextEncoding kDefaultCStringEncoding = TextEncoding::UTF8;

// The encoding an IANA character-set name ("utf-8", "ISO-8859-1", ...)
// stands for, matched without regard to case; an unknown name gives the
// default encoding and, with logging on, a log line.
TextEncoding encodingValue(std::string_view ianaName);

// The bytes decoded into UTF-8 text; bytes that are not valid in the
// encoding become U+FFFD.
std::string decodeText(std::string_view bytes, TextEncoding encoding);

}  // namespace orvo
