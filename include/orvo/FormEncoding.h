/// @file
/// Form strings: the request bodies of the receiver protocol.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvo/Export.h"
#include "orvo/Value.h"
#include "orvo/ValueViews.h"

namespace orvo {

/// The 17 reserved characters and what they are written as, after the URL
/// escaping step. Built once; safe to read from any thread.
ORVO_PUSH_API const std::vector<std::pair<char, std::string_view>>& escapeMap();

/// The URL escaping step alone: every byte that may not stand in a URL
/// (controls, space, non-ASCII bytes of the UTF-8 form, and " % < > [ \ ] ^ `
/// { | }) as "%" and two upper-case hexadecimal digits.
ORVO_PUSH_API std::string addingPercentEscapes(std::string_view text);

/// Both steps, on the text's bytes in the encoding (U+00E9 in ISO Latin 1
/// is "%E9"): the URL escaping, then every character of the escape map
/// replaced. A text the encoding cannot hold is escaped as its UTF-8 bytes.
ORVO_PUSH_API std::string stringByAddingFullEscapesUsingEncoding(
    std::string_view text, TextEncoding encoding = TextEncoding::UTF8);

/// "key=value" pairs joined with "&", both sides fully escaped. Values that
/// are not strings are written with describe().
ORVO_PUSH_API std::string queryStringForOrvo(const Dictionary& parameters);

}  // namespace orvo
