#include "Http.h"

#include <algorithm>
#include <cctype>

namespace orvo::emulator {
namespace {

bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (sameText(key, name)) return &value;
  return nullptr;
}

const std::string* HttpRequest::param(std::string_view name) const {
  for (const auto& [key, value] : query)
    if (key == name) return &value;
  return nullptr;
}

std::string decodeFormText(std::string_view text, bool plusIsSpace) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+' && plusIsSpace) {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

Fields decodeForm(std::string_view body) {
  Fields fields;
  while (!body.empty()) {
    const auto end = std::min(body.find('&'), body.size());
    const std::string_view pair = body.substr(0, end);
    body.remove_prefix(std::min(end + 1, body.size()));
    if (pair.empty()) continue;
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos)
      fields.emplace_back(decodeFormText(pair), std::string());
    else
      fields.emplace_back(decodeFormText(pair.substr(0, equals)),
                          decodeFormText(pair.substr(equals + 1)));
  }
  return fields;
}

bool isMediaType(const std::string* contentType, std::string_view type) {
  if (!contentType) return false;
  std::string_view text = *contentType;
  text = text.substr(0, std::min(text.find(';'), text.size()));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  return sameText(text, type);
}

}  // namespace orvo::emulator
