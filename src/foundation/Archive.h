// A lossless byte form of a Value, used where the platform would archive an
// object (keychain data) and for rows of the settings database.
#pragma once

#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Value.h"

namespace orvo {

inline constexpr std::string_view kArchiveErrorDomain = "OrvoArchiveError";

Bytes archive(const Value& value);
// Any byte string: truncated, corrupt or foreign data gives an error value.
Result<Value> unarchive(std::string_view bytes);

}  // namespace orvo
