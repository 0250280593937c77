/// @file
/// The receiver's answer as it travels: the one builder of it for tests and
/// scripted servers.
#pragma once

#include <string>
#include <string_view>

#include "orvo/Value.h"

namespace orvo {

/// {"BODY": body, "HEADER": {"RESULT_CODE": resultCode}} as compact JSON;
/// "0000" is success. Empty when the body holds text JSON cannot carry.
std::string receiverEnvelope(const Dictionary& body = {}, std::string_view resultCode = "0000");

}  // namespace orvo
