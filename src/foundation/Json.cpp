#include "orvo/Json.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "foundation/Utf8.h"

namespace orvo {

namespace {

constexpr std::string_view kPositionKey = "position";
constexpr std::string_view kInvalidTextPrefix = "Invalid JSON: ";
constexpr std::string_view kTooDeepReading =
    "Invalid JSON: arrays and objects nest deeper than 512 levels";
constexpr std::string_view kNotContainer =
    "Invalid JSON: the top-level value is neither an object nor an array";
constexpr std::string_view kNulByte = "Invalid JSON: a NUL byte at byte ";
constexpr std::string_view kReaderFailed = "Invalid JSON: the text could not be read";
constexpr std::string_view kTooDeepWriting =
    "Cannot write JSON: arrays and dictionaries nest deeper than 512 levels";
constexpr std::string_view kDateHasNoJson = "Cannot write JSON: a date has no JSON form";
constexpr std::string_view kBytesHaveNoJson = "Cannot write JSON: bytes have no JSON form";
constexpr std::string_view kNonFiniteHasNoJson =
    "Cannot write JSON: a number that is not finite has no JSON form";
constexpr std::string_view kInvalidUtf8String = "Cannot write JSON: a string is not valid UTF-8";
constexpr std::string_view kWriterFailed = "Cannot write JSON: the value could not be written";

// Error details quote the text near the fault; a long token is cut short.
constexpr std::size_t kMaxDetailBytes = 160;

ErrorInfo jsonError(JsonErrorCode code, std::string description, Dictionary userInfo = {}) {
  return ErrorInfo{std::string(kJsonErrorDomain), code, std::move(description),
                   std::move(userInfo)};
}

// The parser's message may quote raw input; keep descriptions short and
// valid UTF-8 so that they can be logged and written as JSON themselves.
std::string printableDetail(std::string_view text) {
  if (text.size() > kMaxDetailBytes) text = text.substr(0, kMaxDetailBytes);
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8SequenceLength(text, i);
    if (length == 0) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      const auto c = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

// Builds the Value straight from the parser's events.
class ValueBuilder {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  bool null() { return add(Value()); }
  bool boolean(bool value) { return add(Value(value)); }
  bool number_integer(number_integer_t value) { return add(Value(value)); }
  bool number_unsigned(number_unsigned_t value) {
    if (value <= static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      return add(Value(static_cast<std::int64_t>(value)));
    }
    return add(Value(static_cast<double>(value)));
  }
  bool number_float(number_float_t value, const string_t& /*text*/) { return add(Value(value)); }
  bool string(string_t& value) { return add(Value(std::move(value))); }
  bool binary(binary_t& /*value*/) { return false; }  // JSON text has no binary form

  bool start_object(std::size_t /*elements*/) { return open(Value(Dictionary())); }
  bool key(string_t& name) {
    stack_.back().key = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*elements*/) { return open(Value(Array())); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string& /*lastToken*/,
                   const nlohmann::detail::exception& exception) {
    std::string_view message = exception.what();
    // Drop the library's "[json.exception.parse_error.101] " tag.
    if (!message.empty() && message.front() == '[') {
      if (auto end = message.find("] "); end != std::string_view::npos) {
        message.remove_prefix(end + 2);
      }
    }
    error_ =
        jsonError(kJsonErrorInvalidText, std::string(kInvalidTextPrefix) + printableDetail(message),
                  Dictionary{{std::string(kPositionKey), Value(position)}});
    return false;
  }

  std::optional<ErrorInfo>& error() { return error_; }
  Value& root() { return root_; }

 private:
  struct Frame {
    Value container;
    std::string key;
  };

  bool add(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& top = stack_.back();
    if (Array* array = top.container.asArray()) {
      array->push_back(std::move(value));
    } else {
      // Dictionary::set replaces, so the last of duplicate keys wins.
      top.container.asDictionary()->set(std::move(top.key), std::move(value));
    }
    return true;
  }

  bool open(Value container) {
    if (stack_.size() >= kJsonMaxDepth) {
      error_ = jsonError(kJsonErrorTooDeep, std::string(kTooDeepReading));
      return false;
    }
    stack_.push_back(Frame{std::move(container), {}});
    return true;
  }

  bool close() {
    Value done = std::move(stack_.back().container);
    stack_.pop_back();
    return add(std::move(done));
  }

  std::vector<Frame> stack_;
  Value root_;
  std::optional<ErrorInfo> error_;
};

class JsonWriter {
 public:
  explicit JsonWriter(JsonStyle style) : pretty_(style == JsonStyle::Pretty) {}

  std::optional<ErrorInfo> write(const Value& value, std::size_t depth) {
    switch (value.type()) {
      case Value::Type::Null:
        out_ += "null";
        return std::nullopt;
      case Value::Type::Bool:
        out_ += *value.asBool() ? "true" : "false";
        return std::nullopt;
      case Value::Type::Int: {
        char buffer[24];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, *value.asInt());
        out_.append(buffer, result.ptr);
        return std::nullopt;
      }
      case Value::Type::Real:
        return writeReal(*value.asReal());
      case Value::Type::String:
        return writeString(*value.asString());
      case Value::Type::Date:
        return jsonError(kJsonErrorNoJsonForm, std::string(kDateHasNoJson));
      case Value::Type::Bytes:
        return jsonError(kJsonErrorNoJsonForm, std::string(kBytesHaveNoJson));
      case Value::Type::Array:
        return writeArray(*value.asArray(), depth + 1);
      case Value::Type::Dictionary:
        return writeDictionary(*value.asDictionary(), depth + 1);
    }
    return std::nullopt;
  }

  std::string& text() { return out_; }

 private:
  std::optional<ErrorInfo> writeReal(double value) {
    if (!std::isfinite(value)) {
      return jsonError(kJsonErrorNoJsonForm, std::string(kNonFiniteHasNoJson));
    }
    char buffer[40];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    out_ += text;
    // Keeps a whole real a real when the text is read back.
    if (text.find_first_of(".eE") == std::string_view::npos) out_ += ".0";
    return std::nullopt;
  }

  std::optional<ErrorInfo> writeString(std::string_view text) {
    if (!isValidUtf8(text)) return jsonError(kJsonErrorNoJsonForm, std::string(kInvalidUtf8String));
    static constexpr char kDigits[] = "0123456789abcdef";
    out_ += '"';
    for (char c : text) {
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            out_ += "\\u00";
            out_ += kDigits[static_cast<unsigned char>(c) >> 4];
            out_ += kDigits[static_cast<unsigned char>(c) & 0xF];
          } else {
            out_ += c;
          }
      }
    }
    out_ += '"';
    return std::nullopt;
  }

  void newline(std::size_t depth) {
    if (!pretty_) return;
    out_ += '\n';
    out_.append(depth * 2, ' ');
  }

  std::optional<ErrorInfo> writeArray(const Array& array, std::size_t depth) {
    if (depth > kJsonMaxDepth) return jsonError(kJsonErrorTooDeep, std::string(kTooDeepWriting));
    out_ += '[';
    bool first = true;
    for (const Value& item : array) {
      if (!first) out_ += ',';
      first = false;
      newline(depth);
      if (auto error = write(item, depth)) return error;
    }
    if (!array.empty()) newline(depth - 1);
    out_ += ']';
    return std::nullopt;
  }

  std::optional<ErrorInfo> writeDictionary(const Dictionary& dictionary, std::size_t depth) {
    if (depth > kJsonMaxDepth) return jsonError(kJsonErrorTooDeep, std::string(kTooDeepWriting));
    out_ += '{';
    bool first = true;
    for (const auto& [key, item] : dictionary) {
      if (!first) out_ += ',';
      first = false;
      newline(depth);
      if (auto error = writeString(key)) return error;
      out_ += pretty_ ? " : " : ":";
      if (auto error = write(item, depth)) return error;
    }
    if (!dictionary.empty()) newline(depth - 1);
    out_ += '}';
    return std::nullopt;
  }

  bool pretty_;
  std::string out_;
};

}  // namespace

Result<Value> parseJson(std::string_view bytes, JsonReadOptions options) {
  try {
    // The parser takes a NUL byte for the end of the text and would accept
    // whatever follows it.
    if (auto nul = bytes.find('\0'); nul != std::string_view::npos) {
      return jsonError(kJsonErrorInvalidText, std::string(kNulByte) + std::to_string(nul),
                       Dictionary{{std::string(kPositionKey), Value(nul)}});
    }
    ValueBuilder builder;
    const char* begin = bytes.data();
    const char* end = begin + bytes.size();
    const bool parsed = nlohmann::json::sax_parse(begin, end, &builder);
    if (!parsed || builder.error()) {
      if (builder.error()) return std::move(*builder.error());
      return jsonError(kJsonErrorInvalidText, std::string(kReaderFailed));
    }
    Value& root = builder.root();
    if (!options.allowFragments && !root.isArray() && !root.isDictionary()) {
      return jsonError(kJsonErrorNotContainer, std::string(kNotContainer));
    }
    return std::move(root);
  } catch (const std::exception& exception) {
    return jsonError(kJsonErrorInvalidText,
                     std::string(kReaderFailed) + ": " + printableDetail(exception.what()));
  } catch (...) {
    return jsonError(kJsonErrorInvalidText, std::string(kReaderFailed));
  }
}

Result<std::string> writeJson(const Value& value, JsonStyle style) {
  try {
    JsonWriter writer(style);
    if (auto error = writer.write(value, 0)) return std::move(*error);
    return std::move(writer.text());
  } catch (const std::exception& exception) {
    return jsonError(kJsonErrorNoJsonForm,
                     std::string(kWriterFailed) + ": " + printableDetail(exception.what()));
  } catch (...) {
    return jsonError(kJsonErrorNoJsonForm, std::string(kWriterFailed));
  }
}

}  // namespace orvo
