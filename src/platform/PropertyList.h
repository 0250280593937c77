// XML (and binary) property lists through libplist.
#pragma once

#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Value.h"

namespace orvo::platform {

inline constexpr std::string_view kPropertyListErrorDomain = "OrvoPropertyListError";

// Dictionaries, arrays, strings, booleans, integers, reals, dates and data.
// Input that is not a property list gives an error value.
Result<Value> parsePropertyList(std::string_view bytes);

}  // namespace orvo::platform
