#include "platform/HttpHeaders.h"

#include <algorithm>
#include <cctype>
#include <string>

#include <curl/curl.h>

namespace orvo::http {
namespace {

constexpr std::string_view kContentTypeHeader = "content-type";
constexpr std::string_view kCharsetParameter = "charset";
constexpr std::string_view kHeaderFoldSeparator = ", ";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
  return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerAscii(x) == lowerAscii(y);
         });
}

std::string_view trim(std::string_view text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<double> parseHttpDate(std::string_view text) {
  const std::string copy(trim(text));
  if (copy.empty() || hasLineBreakOrNul(copy)) return std::nullopt;
  const time_t seconds = curl_getdate(copy.c_str(), nullptr);
  if (seconds < 0) return std::nullopt;
  return static_cast<double>(seconds);
}

// An HTTP token: what a method or a header name may consist of.
bool isToken(std::string_view text) {
  if (text.empty()) return false;
  static constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || kMarks.find(c) != std::string_view::npos;
  });
}

bool hasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// "text/html; charset="utf-8"" -> ("text/html", "utf-8").
std::pair<std::string, std::string> parseContentType(std::string_view value) {
  const std::size_t semicolon = value.find(';');
  std::string mime = lowercase(trim(value.substr(0, semicolon)));
  if (semicolon == std::string_view::npos) return {std::move(mime), {}};
  std::size_t i = semicolon + 1;
  while (i < value.size()) {
    const std::size_t nameEnd = value.find_first_of("=;", i);
    std::string_view name = trim(value.substr(i, nameEnd - i));
    if (nameEnd == std::string_view::npos) break;
    i = nameEnd + 1;
    if (value[nameEnd] == ';') continue;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    std::string parameter;
    if (i < value.size() && value[i] == '"') {
      // A quoted string may hold ";" and backslash escapes.
      for (++i; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        parameter += value[i];
      }
      i = value.find(';', i);
      i = i == std::string_view::npos ? value.size() : i + 1;
    } else {
      const std::size_t end = std::min(value.find(';', i), value.size());
      parameter = std::string(trim(value.substr(i, end - i)));
      i = end + 1;
    }
    if (equalsIgnoringCase(name, kCharsetParameter)) return {std::move(mime), parameter};
  }
  return {std::move(mime), {}};
}

void ResponseHeaders::addLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line: only the final response's fields count (an
    // interim 1xx answer comes first).
    fields_.clear();
    return;
  }
  if (line.empty()) return;
  if ((line.front() == ' ' || line.front() == '\t') && !fields_.empty()) {
    std::string_view more = trim(line);
    if (!more.empty()) fields_.back().second.append(" ").append(more);
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return;
  std::string_view name = trim(line.substr(0, colon));
  std::string_view value = trim(line.substr(colon + 1));
  for (auto& [existing, existingValue] : fields_) {
    if (equalsIgnoringCase(existing, name)) {
      existingValue.append(kHeaderFoldSeparator).append(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

void ResponseHeaders::fill(HttpResponse& response) const {
  for (const auto& [name, value] : fields_) {
    if (equalsIgnoringCase(name, kContentTypeHeader)) {
      auto [mime, charset] = parseContentType(value);
      response.mimeType = std::move(mime);
      response.textEncodingName = std::move(charset);
    }
    response.headers.set(name, Value(value));
  }
}

}  // namespace orvo::http
