// Header syntax of HTTP/1.1 as the desktop client needs it: what a request
// may send, and the fields of a response as its header lines arrive.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvo/platform/HttpClient.h"

namespace orvo::http {

// An HTTP token: what a method or a header name may consist of.
bool isToken(std::string_view text);
bool hasLineBreakOrNul(std::string_view text);

// "text/html; charset="utf-8"" -> ("text/html", "utf-8").
std::pair<std::string, std::string> parseContentType(std::string_view value);

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT", or the two older forms)
// as seconds since 1970; absent when the text is not one.
std::optional<double> parseHttpDate(std::string_view text);

// The fields of one response, line by line as they arrive. Repeated fields
// are folded into one, and only the final response's fields count (an
// interim 1xx answer comes first).
class ResponseHeaders {
 public:
  void addLine(std::string_view line);
  // The fields, with the MIME type and charset of "Content-Type".
  void fill(HttpResponse& response) const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace orvo::http
