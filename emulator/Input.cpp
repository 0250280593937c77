#include "Input.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace orvo::emulator {

std::optional<Json> parseJson(std::string_view text, std::string& error, std::string_view what) {
  bool tooDeep = false;
  // Containers past the bound are dropped as they open, so the value built
  // is never deeper than the bound, however deep the text.
  auto bound = [&tooDeep](int depth, Json::parse_event_t event, Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= limits::kJsonDepth)
      tooDeep = true;
    return !tooDeep;
  };
  try {
    Json value = Json::parse(text.begin(), text.end(), bound);
    if (tooDeep) {
      error = std::string(what) + " nests deeper than " + std::to_string(limits::kJsonDepth) +
              " levels";
      return std::nullopt;
    }
    return value;
  } catch (const Json::exception& failure) {
    if (tooDeep) {
      error = std::string(what) + " nests deeper than " + std::to_string(limits::kJsonDepth) +
              " levels";
      return std::nullopt;
    }
    // "[json.exception.parse_error.101] parse error at line 1, ..." without its tag.
    std::string reason = failure.what();
    if (const auto tag = reason.find("] "); tag != std::string::npos) reason.erase(0, tag + 2);
    error = std::string(what) + " is not JSON (" + reason + ")";
    return std::nullopt;
  }
}

bool parseCount(std::string_view text, std::int64_t& value) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  return problem == std::errc() && end == text.data() + text.size();
}

std::string quoted(const Json& value) {
  constexpr std::size_t kShown = 60;
  std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() > kShown) text = text.substr(0, kShown) + "...";
  return text;
}

Shape::Shape(const Json& value, std::string what) : value_(value), what_(std::move(what)) {
  if (!value_.is_object()) error_ = what_ + " must be a JSON object";
}

bool Shape::has(const std::string& key) const { return value_.is_object() && value_.contains(key); }

const Json* Shape::field(const std::string& key) {
  if (std::find(known_.begin(), known_.end(), key) == known_.end()) known_.push_back(key);
  if (!value_.is_object()) return nullptr;
  const auto found = value_.find(key);
  return found == value_.end() ? nullptr : &*found;
}

void Shape::wrong(const std::string& key, const std::string& expected) {
  if (error_.empty())
    error_ = "\"" + key + "\" must be " + expected + ", not " + quoted(value_.at(key));
}

void Shape::refuse(const std::string& message) {
  if (error_.empty()) error_ = message;
}

std::optional<std::string> Shape::text(const std::string& key, std::size_t maxBytes) {
  const Json* found = field(key);
  if (!found) return std::nullopt;
  if (!found->is_string()) {
    wrong(key, "a string");
    return std::nullopt;
  }
  const auto& text = found->get_ref<const std::string&>();
  if (text.size() > maxBytes) {
    refuse("\"" + key + "\" is longer than " + std::to_string(maxBytes) + " bytes");
    return std::nullopt;
  }
  return text;
}

std::optional<std::int64_t> Shape::integer(const std::string& key, std::int64_t low,
                                           std::int64_t high) {
  const Json* found = field(key);
  if (!found) return std::nullopt;
  const std::string expected =
      "an integer from " + std::to_string(low) + " to " + std::to_string(high);
  // An unsigned value past the signed range would wrap if read as signed.
  if (!found->is_number_integer() ||
      (found->is_number_unsigned() &&
       found->get<std::uint64_t>() > static_cast<std::uint64_t>(high))) {
    wrong(key, expected);
    return std::nullopt;
  }
  const auto number = found->get<std::int64_t>();
  if (number < low || number > high) {
    wrong(key, expected);
    return std::nullopt;
  }
  return number;
}

std::optional<double> Shape::number(const std::string& key, double low, double high) {
  const Json* found = field(key);
  if (!found) return std::nullopt;
  const double number = found->is_number() ? found->get<double>() : NAN;
  if (!(number >= low && number <= high)) {
    std::string range = Json(low).dump() + " to " + Json(high).dump();
    wrong(key, "a number from " + range);
    return std::nullopt;
  }
  return number;
}

std::optional<bool> Shape::flag(const std::string& key) {
  const Json* found = field(key);
  if (!found) return std::nullopt;
  if (!found->is_boolean()) {
    wrong(key, "true or false");
    return std::nullopt;
  }
  return found->get<bool>();
}

const Json* Shape::any(const std::string& key) { return field(key); }

void Shape::require(const std::string& key) {
  field(key);
  if (!has(key)) refuse("\"" + key + "\" is missing");
}

bool Shape::check(std::string& error) const {
  // A misspelt field first: it is most often why another seems missing.
  if (value_.is_object()) {
    for (const auto& [key, value] : value_.items()) {
      if (std::find(known_.begin(), known_.end(), key) != known_.end()) continue;
      std::string list;
      for (const auto& name : known_) list += (list.empty() ? "" : ", ") + name;
      error = "unknown field " + quoted(Json(key)) + " in " + what_ +
              (list.empty() ? " (it takes none)" : " (known: " + list + ")");
      return false;
    }
  }
  error = error_;
  return error_.empty();
}

}  // namespace orvo::emulator
