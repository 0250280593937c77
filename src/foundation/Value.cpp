#include "orvo/Value.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>

#include "orvo/ErrorInfo.h"

namespace orvo {

const Value* Dictionary::find(std::string_view key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

Value* Dictionary::find(std::string_view key) {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

Value Dictionary::get(std::string_view key) const {
  const Value* value = find(key);
  return value ? *value : Value();
}

const std::string* Dictionary::getString(std::string_view key) const {
  const Value* value = find(key);
  return value ? value->asString() : nullptr;
}

const Dictionary* Dictionary::getDictionary(std::string_view key) const {
  const Value* value = find(key);
  return value ? value->asDictionary() : nullptr;
}

const Array* Dictionary::getArray(std::string_view key) const {
  const Value* value = find(key);
  return value ? value->asArray() : nullptr;
}

void Dictionary::set(std::string key, Value value) {
  entries_.insert_or_assign(std::move(key), std::move(value));
}

bool Dictionary::erase(std::string_view key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

std::string Value::stringOr(std::string_view fallback) const {
  const std::string* s = asString();
  return s ? *s : std::string(fallback);
}

namespace {

std::string formatReal(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, result.ptr);
}

std::string formatDate(const Date& date) {
  std::time_t seconds = static_cast<std::time_t>(std::floor(date.secondsSince1970));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return buffer;
}

std::string formatBytes(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "<";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
  }
  out += '>';
  return out;
}

// Strings inside collections are quoted when they hold anything but word
// characters, as the platform's property-list description does.
std::string quoteIfNeeded(const std::string& s) {
  bool plain = !s.empty();
  for (unsigned char c : s) {
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '/' || c == '-' || c == ':')) {
      plain = false;
      break;
    }
  }
  if (plain) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  out += '"';
  return out;
}

void describeInto(const Value& value, std::string& out, int indent, bool nested);

void describeDictionary(const Dictionary& dict, std::string& out, int indent) {
  std::string pad(static_cast<std::size_t>(indent) * 4, ' ');
  out += "{\n";
  for (const auto& [key, item] : dict) {
    out += pad;
    out += "    ";
    out += quoteIfNeeded(key);
    out += " = ";
    describeInto(item, out, indent + 1, true);
    out += ";\n";
  }
  out += pad;
  out += "}";
}

void describeInto(const Value& value, std::string& out, int indent, bool nested) {
  switch (value.type()) {
    case Value::Type::Null:
      out += nested ? "\"<null>\"" : "(null)";
      return;
    case Value::Type::Bool:
      out += *value.asBool() ? "1" : "0";
      return;
    case Value::Type::Int:
      out += std::to_string(*value.asInt());
      return;
    case Value::Type::Real:
      out += formatReal(*value.asReal());
      return;
    case Value::Type::String:
      out += nested ? quoteIfNeeded(*value.asString()) : *value.asString();
      return;
    case Value::Type::Date:
      out += formatDate(*value.asDate());
      return;
    case Value::Type::Bytes:
      out += formatBytes(*value.asBytes());
      return;
    case Value::Type::Array: {
      std::string pad(static_cast<std::size_t>(indent) * 4, ' ');
      const Array& array = *value.asArray();
      out += "(";
      for (std::size_t i = 0; i < array.size(); ++i) {
        out += i == 0 ? "\n" : ",\n";
        out += pad;
        out += "    ";
        describeInto(array[i], out, indent + 1, true);
      }
      out += "\n";
      out += pad;
      out += ")";
      return;
    }
    case Value::Type::Dictionary:
      describeDictionary(*value.asDictionary(), out, indent);
      return;
  }
}

}  // namespace

std::string describe(const Value& value) {
  std::string out;
  describeInto(value, out, 0, false);
  return out;
}

std::string describe(const Dictionary& value) {
  std::string out;
  describeDictionary(value, out, 0);
  return out;
}

std::string describe(const ErrorInfo& error) {
  return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
         error.description + "\"";
}

}  // namespace orvo
