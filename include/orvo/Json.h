/// @file
/// JSON bytes to Value and back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// Domain of every error the JSON reader and writer report.
inline constexpr std::string_view kJsonErrorDomain = "OrvoJSONError";

/// Codes of kJsonErrorDomain.
enum JsonErrorCode : std::int64_t {
  kJsonErrorInvalidText = 1,   ///< not JSON: syntax, truncation, empty input, bad UTF-8
  kJsonErrorTooDeep = 2,       ///< nesting beyond the reader's or writer's limit
  kJsonErrorNotContainer = 3,  ///< the top level is neither an object nor an array
  kJsonErrorNoJsonForm = 4,    ///< the writer met a value JSON cannot hold
};

/// Arrays and objects nest at most this deep, in both directions.
inline constexpr std::size_t kJsonMaxDepth = 512;

/// How parseJson reads.
struct ORVO_PUSH_API JsonReadOptions {
  /// Accept a scalar (a string, number, true, false or null) as the whole
  /// document; by default only an object or an array is.
  bool allowFragments = false;
};

/// Parses one JSON document. Objects become Dictionary, arrays Array, integers
/// that fit int64 Int, other numbers Real. Invalid, truncated or too deeply
/// nested input gives an error value; nothing is thrown.
ORVO_PUSH_API Result<Value> parseJson(std::string_view bytes, JsonReadOptions options = {});

/// How writeJson writes: Compact on one line, or Pretty with indentation.
enum class JsonStyle { Compact, Pretty };

/// Writes a value as JSON. Dates, bytes and non-finite numbers have no JSON
/// form and give an error.
ORVO_PUSH_API Result<std::string> writeJson(const Value& value,
                                            JsonStyle style = JsonStyle::Compact);

}  // namespace orvo
