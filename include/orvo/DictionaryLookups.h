/// @file
/// Typed lookups on a Dictionary, as the configuration reads its manifest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// Conversions objectForKey can apply by name.
enum class Conversion { Description, IntegerValue, IntValue, UnsignedShortValue, BoolValue };

/// The value under key converted as named: null when the value does not
/// support the conversion (0 for the numeric ones, false for BoolValue).
ORVO_PUSH_API Value objectForKey(const Dictionary& dict, std::string_view key,
                                 Conversion conversion);
/// A string as itself, a number as its decimal text, other values as
/// describe() writes them; absent when there is no value.
ORVO_PUSH_API std::optional<std::string> stringForKey(const Dictionary& dict, std::string_view key);
/// A string's leading decimal integer, a number's value; 0 otherwise.
/// @{
ORVO_PUSH_API std::int64_t integerForKey(const Dictionary& dict, std::string_view key);
ORVO_PUSH_API std::int32_t intForKey(const Dictionary& dict, std::string_view key);
/// @}
/// A number's low 16 bits; other values read through their text; 0 when
/// absent or not numeric.
/// @{
ORVO_PUSH_API std::uint16_t unsignedShortForKey(const Dictionary& dict, std::string_view key);
ORVO_PUSH_API const Array* arrayForKey(const Dictionary& dict, std::string_view key);
ORVO_PUSH_API const Dictionary* dictionaryForKey(const Dictionary& dict, std::string_view key);
/// @}

/// Dotted paths: "a.b.c" walks into dictionaries; a non-dictionary value met
/// before the end is the result and the rest of the path is ignored.
/// @{
ORVO_PUSH_API Value objectForPath(const Dictionary& dict, std::optional<std::string_view> path);
ORVO_PUSH_API std::optional<std::string> stringForPath(const Dictionary& dict,
                                                       std::optional<std::string_view> path);
ORVO_PUSH_API std::optional<Dictionary> dictionaryForPath(const Dictionary& dict,
                                                          std::optional<std::string_view> path);
ORVO_PUSH_API std::optional<Array> arrayForPath(const Dictionary& dict,
                                                std::optional<std::string_view> path);
/// @}

/// The platform's reading of a text as a boolean: leading white space, an
/// optional sign and leading zeros are skipped; true when the next character is
/// Y, y, T, t or a digit 1-9.
ORVO_PUSH_API bool boolValue(std::string_view text);

}  // namespace orvo
