/// @file
/// Tolerant readings of parsed server values and of text-encoding names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// A Dictionary as a copy of itself; an array as the view of its first element
/// (an empty Dictionary when the array is empty); anything else absent.
ORVO_PUSH_API std::optional<Dictionary> dictionaryValue(const Value& value);
/// An array as a copy of itself; anything else absent.
ORVO_PUSH_API std::optional<Array> arrayValue(const Value& value);

/// A character set that text is read or written in, known by the name the
/// platform's converter (iconv) has for it. encodingValue gives one for any
/// name the converter knows; the common ones are named here. Two values are
/// equal when they carry the same converter name.
class ORVO_PUSH_API TextEncoding {
 public:
  /// The common encodings.
  /// @{
  static const TextEncoding ASCII;
  static const TextEncoding UTF8;
  static const TextEncoding ISOLatin1;
  static const TextEncoding UTF16;
  static const TextEncoding WindowsCP1252;
  static const TextEncoding UTF16BigEndian;
  static const TextEncoding UTF16LittleEndian;
  /// @}

  /// The converter's name, upper case: "UTF-8", "EUC-KR", "CP949", ...
  /// @{
  constexpr std::string_view charset() const { return charset_; }
  constexpr bool operator==(const TextEncoding&) const = default;
  /// @}

 private:
  friend TextEncoding encodingValue(std::string_view ianaName);
  /// The name must live as long as the process.
  /// @{
  constexpr explicit TextEncoding(std::string_view charset) : charset_(charset) {}
  std::string_view charset_;
  /// @}
};

inline constexpr TextEncoding TextEncoding::ASCII{"US-ASCII"};
inline constexpr TextEncoding TextEncoding::UTF8{"UTF-8"};
inline constexpr TextEncoding TextEncoding::ISOLatin1{"ISO-8859-1"};
inline constexpr TextEncoding TextEncoding::UTF16{"UTF-16"};
inline constexpr TextEncoding TextEncoding::WindowsCP1252{"WINDOWS-1252"};
inline constexpr TextEncoding TextEncoding::UTF16BigEndian{"UTF-16BE"};
inline constexpr TextEncoding TextEncoding::UTF16LittleEndian{"UTF-16LE"};

/// The encoding used when a declared name is unknown.
inline constexpr TextEncoding kDefaultCStringEncoding = TextEncoding::UTF8;

/// The encoding an IANA character-set name ("utf-8", "EUC-KR",
/// "ks_c_5601-1987", ...) stands for, matched without regard to case; an
/// unknown name gives the default encoding and, with logging on, a log line.
ORVO_PUSH_API TextEncoding encodingValue(std::string_view ianaName);

/// The bytes decoded into UTF-8 text; bytes that are not valid in the
/// encoding become U+FFFD. UTF-16 and UTF-32 without a byte-order mark are
/// read big-endian.
ORVO_PUSH_API std::string decodeText(std::string_view bytes, TextEncoding encoding);

/// The UTF-8 text as bytes in the encoding; absent when the encoding cannot
/// hold it (or the text is not UTF-8). UTF-8 gives the text as it is.
ORVO_PUSH_API std::optional<std::string> encodeText(std::string_view text, TextEncoding encoding);

}  // namespace orvo
