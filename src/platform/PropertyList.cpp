#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/XmlParser.h"

namespace orvo::platform {
namespace {

constexpr std::string_view kNotAPropertyList = "The data is not a valid property list";
constexpr std::string_view kTooDeep = "The property list is nested too deeply";
constexpr std::string_view kTooLarge = "The property list is too large";

enum ErrorCode : std::int64_t { kInvalid = 1, kNestedTooDeeply = 2, kTooBig = 3 };

// libplist recurses while parsing, converting and freeing, so deep documents
// are refused before they reach it. Real property lists are a few levels deep.
constexpr std::size_t kMaxDepth = 256;
// Shared objects of a binary list are expanded at every reference; this caps
// the expanded tree.
constexpr std::uint64_t kMaxNodes = 1'000'000;

// Seconds from 1970-01-01 to 2001-01-01, where property-list dates count from.
constexpr double kReferenceDateOffset = 978307200.0;

constexpr std::string_view kBinaryMagic = "bplist00";

ErrorInfo makeError(ErrorCode code, std::string_view description) {
  return ErrorInfo{std::string(kPropertyListErrorDomain), code, std::string(description), {}};
}

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Refuses what libplist must not see: elements nested deeper than its
// recursive free can take, counted by expat so that markup inside comments
// and CDATA cannot lower the count, and NUL characters, on which its key
// reader aborts. Expat also refuses what is not well formed.
class XmlGate : public XmlEventHandler {
 public:
  void startElement(std::string_view, const XmlAttributes&) override {}
  void characters(std::string_view) override {}
  void endElement(std::string_view) override {}
  void parseError(const ErrorInfo& error) override { error_ = error; }

  std::optional<ErrorInfo> run(std::string_view text) {
    XmlParseOptions options;
    // The plist element and a leaf element around kMaxDepth containers.
    options.maxDepth = kMaxDepth + 2;
    options.transcodeUnknownEncodings = false;
    if (parseXml(text, *this, options)) return std::nullopt;
    if (error_ && error_->code == kXmlErrorTooDeep) return makeError(kNestedTooDeeply, kTooDeep);
    ErrorInfo error = makeError(kInvalid, kNotAPropertyList);
    if (error_) error.description += ": " + error_->description;
    return error;
  }

 private:
  std::optional<ErrorInfo> error_;
};

// Reads the binary layout just far enough to bound its nesting: the trailer,
// the offset table and the child references of arrays, sets and
// dictionaries. Anything out of bounds or cyclic is refused here.
class BinaryDepthCheck {
 public:
  explicit BinaryDepthCheck(std::string_view data) : data_(data) {}

  // Null when fine; else the error.
  std::optional<ErrorInfo> run() {
    if (data_.size() < kBinaryMagic.size() + 32) return invalid();
    std::size_t trailer = data_.size() - 32;
    offsetSize_ = byte(trailer + 6);
    refSize_ = byte(trailer + 7);
    std::uint64_t count = readBigEndian(trailer + 8, 8);
    std::uint64_t top = readBigEndian(trailer + 16, 8);
    std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return invalid();
    if (count == 0 || top >= count || tableOffset >= trailer) return invalid();
    if (count > (trailer - tableOffset) / offsetSize_) return invalid();
    count_ = count;
    tableOffset_ = tableOffset;
    return walk(top);
  }

 private:
  std::optional<ErrorInfo> invalid() const { return makeError(kInvalid, kNotAPropertyList); }

  // Marker type and element count of an object, and where its content starts.
  struct Header {
    std::uint8_t type;
    std::uint64_t count;
    std::size_t content;
  };

  std::optional<Header> header(std::uint64_t index) const {
    std::uint64_t offset = readBigEndian(tableOffset_ + index * offsetSize_, offsetSize_);
    if (offset >= tableOffset_) return std::nullopt;
    std::uint8_t marker = byte(offset);
    Header result{static_cast<std::uint8_t>(marker >> 4), marker & 0x0Fu, offset + 1};
    if (result.count == 0x0F && (result.type == 0x5 || result.type == 0x6 || result.type == 0xA ||
                                 result.type == 0xC || result.type == 0xD)) {
      std::size_t at = result.content;
      if (at >= tableOffset_ || (byte(at) >> 4) != 0x1) return std::nullopt;
      std::size_t intSize = std::size_t{1} << (byte(at) & 0x0F);
      if (intSize > 8 || at + 1 + intSize > tableOffset_) return std::nullopt;
      result.count = readBigEndian(at + 1, intSize);
      result.content = at + 1 + intSize;
    }
    return result;
  }

  // libplist aborts on a key that holds U+0000, so such keys are refused.
  bool keyHasNul(std::uint64_t index) const {
    std::optional<Header> key = header(index);
    if (!key || (key->type != 0x5 && key->type != 0x6)) return false;
    std::size_t unit = key->type == 0x6 ? 2 : 1;
    if (key->count > (tableOffset_ - key->content) / unit) return false;
    for (std::uint64_t i = 0; i < key->count; ++i) {
      std::size_t at = key->content + i * unit;
      if (byte(at) == 0 && (unit == 1 || byte(at + 1) == 0)) return true;
    }
    return false;
  }

  std::uint8_t byte(std::size_t at) const { return static_cast<std::uint8_t>(data_[at]); }

  std::uint64_t readBigEndian(std::size_t at, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | byte(at + i);
    return value;
  }

  // Children of object index, or nullopt when the object is malformed.
  std::optional<std::vector<std::uint64_t>> children(std::uint64_t index) const {
    std::optional<Header> object = header(index);
    if (!object) return std::nullopt;
    std::uint8_t type = object->type;
    if (type != 0xA && type != 0xC && type != 0xD) return std::vector<std::uint64_t>{};
    std::uint64_t n = object->count;
    std::size_t at = object->content;
    std::uint64_t refs = type == 0xD ? n * 2 : n;
    if (n > tableOffset_ || refs > (tableOffset_ - at) / refSize_) return std::nullopt;
    std::vector<std::uint64_t> result;
    result.reserve(refs);
    for (std::uint64_t i = 0; i < refs; ++i) {
      std::uint64_t ref = readBigEndian(at + i * refSize_, refSize_);
      if (ref >= count_) return std::nullopt;
      if (type == 0xD && i < n && keyHasNul(ref)) return std::nullopt;
      result.push_back(ref);
    }
    return result;
  }

  // Depth-first over the object graph. Objects referenced from several
  // places are expanded by libplist at each place, so both the height and the
  // expanded size are measured per object and bounded.
  std::optional<ErrorInfo> walk(std::uint64_t top) {
    enum : std::uint8_t { kUnseen, kOpen, kDone };
    std::vector<std::uint8_t> state(count_, kUnseen);
    std::vector<std::uint32_t> height(count_, 0);
    std::vector<std::uint64_t> size(count_, 0);
    struct Frame {
      std::uint64_t index;
      std::vector<std::uint64_t> children;
      std::size_t next = 0;
      std::uint32_t maxChildHeight = 0;
      std::uint64_t sizeSum = 1;
    };
    std::vector<Frame> stack;
    auto tooDeep = [] { return makeError(kNestedTooDeeply, kTooDeep); };
    auto absorb = [&](Frame& parent, std::uint64_t child) -> std::optional<ErrorInfo> {
      parent.maxChildHeight = std::max(parent.maxChildHeight, height[child]);
      parent.sizeSum += size[child];
      if (stack.size() + height[child] > kMaxDepth) return tooDeep();
      if (parent.sizeSum > kMaxNodes) return makeError(kTooBig, kTooLarge);
      return std::nullopt;
    };
    auto open = [&](std::uint64_t index) -> std::optional<ErrorInfo> {
      if (state[index] == kOpen) return invalid();
      if (state[index] == kDone) {
        return stack.empty() ? std::nullopt : absorb(stack.back(), index);
      }
      auto kids = children(index);
      if (!kids) return invalid();
      if (stack.size() >= kMaxDepth) return tooDeep();
      state[index] = kOpen;
      stack.push_back(Frame{index, std::move(*kids)});
      return std::nullopt;
    };
    if (auto error = open(top)) return error;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.children.size()) {
        std::uint64_t index = frame.index;
        state[index] = kDone;
        height[index] = frame.maxChildHeight + 1;
        size[index] = frame.sizeSum;
        stack.pop_back();
        if (!stack.empty()) {
          if (auto error = absorb(stack.back(), index)) return error;
        }
        continue;
      }
      std::uint64_t child = frame.children[frame.next++];
      if (auto error = open(child)) return error;
    }
    return std::nullopt;
  }

  std::string_view data_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t tableOffset_ = 0;
};

// By length: a string may hold U+0000, on which plist_get_string_val aborts.
std::string takeString(plist_t node) {
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

Result<Value> convert(plist_t node, std::size_t depth) {
  if (depth > kMaxDepth) return makeError(kNestedTooDeeply, kTooDeep);
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      // libplist keeps signed integers in the same 64 bits.
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_UID: {
      std::uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING:
      return Value(takeString(node));
    case PLIST_KEY: {
      // The gates in parsePropertyList keep NUL out of keys.
      char* raw = nullptr;
      plist_get_key_val(node, &raw);
      CString owned(raw);
      return Value(owned ? std::string(owned.get()) : std::string());
    }
    case PLIST_DATE: {
      std::int32_t sec = 0;
      std::int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{kReferenceDateOffset + sec + usec / 1e6});
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* data = plist_get_data_ptr(node, &length);
      Bytes bytes;
      if (data && length > 0) bytes.assign(data, data + length);
      return Value(std::move(bytes));
    }
    case PLIST_ARRAY: {
      Array array;
      std::uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (std::uint32_t i = 0; i < size; ++i) {
        Result<Value> item = convert(plist_array_get_item(node, i), depth + 1);
        if (!item) return item.error();
        array.push_back(std::move(item).value());
      }
      return Value(std::move(array));
    }
    case PLIST_DICT: {
      Dictionary dict;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      std::unique_ptr<void, decltype(&std::free)> iterOwner(iter, &std::free);
      while (iter) {
        char* rawKey = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &rawKey, &item);
        CString key(rawKey);
        if (!item) break;
        Result<Value> value = convert(item, depth + 1);
        if (!value) return value.error();
        dict.set(key ? std::string(key.get()) : std::string(), std::move(value).value());
      }
      return Value(std::move(dict));
    }
    case PLIST_NONE:
    default:
      return makeError(kInvalid, kNotAPropertyList);
  }
}

}  // namespace

Result<Value> parsePropertyList(std::string_view bytes) {
  try {
    if (bytes.empty()) return makeError(kInvalid, kNotAPropertyList);
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
      return makeError(kTooBig, kTooLarge);
    }
    if (bytes.substr(0, kBinaryMagic.size()) == kBinaryMagic) {
      if (auto error = BinaryDepthCheck(bytes).run()) return *error;
    } else if (auto error = XmlGate().run(bytes)) {
      return *error;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root) return makeError(kInvalid, kNotAPropertyList);
    return convert(root.get(), 1);
  } catch (const std::exception& e) {
    return makeError(kInvalid, e.what());
  }
}

}  // namespace orvo::platform
