#include "foundation/Archive.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace orvo {
namespace {

// "ORVA", then the format version.
constexpr std::uint8_t kMagic[] = {'O', 'R', 'V', 'A'};
constexpr std::uint8_t kVersion = 1;
// Deeper trees are refused so that reading stays within a small stack.
constexpr int kMaxDepth = 256;
// Room made ahead for array elements; more grows as they are actually read.
constexpr std::uint64_t kMaxReserve = 1024;

enum Tag : std::uint8_t {
  kTagNull = 0,
  kTagFalse = 1,
  kTagTrue = 2,
  kTagInt = 3,
  kTagReal = 4,
  kTagString = 5,
  kTagDate = 6,
  kTagBytes = 7,
  kTagArray = 8,
  kTagDictionary = 9,
};

enum ArchiveError : std::int64_t {
  kNotAnArchive = 1,
  kUnsupportedVersion = 2,
  kTruncated = 3,
  kCorrupt = 4,
  kTooDeep = 5,
};
constexpr std::string_view kNotAnArchiveText = "The data is not an archive.";
constexpr std::string_view kUnsupportedVersionText = "The archive has an unsupported version.";
constexpr std::string_view kTruncatedText = "The archive ends too early.";
constexpr std::string_view kCorruptText = "The archive is damaged.";
constexpr std::string_view kTooDeepText = "The archive nests too deeply.";

class Writer {
 public:
  explicit Writer(Bytes& out) : out_(out) {}

  void value(const Value& v) {
    switch (v.type()) {
      case Value::Type::Null:
        out_.push_back(kTagNull);
        break;
      case Value::Type::Bool:
        out_.push_back(*v.asBool() ? kTagTrue : kTagFalse);
        break;
      case Value::Type::Int:
        out_.push_back(kTagInt);
        fixed64(static_cast<std::uint64_t>(*v.asInt()));
        break;
      case Value::Type::Real:
        out_.push_back(kTagReal);
        fixed64(std::bit_cast<std::uint64_t>(*v.asReal()));
        break;
      case Value::Type::String:
        out_.push_back(kTagString);
        text(*v.asString());
        break;
      case Value::Type::Date:
        out_.push_back(kTagDate);
        fixed64(std::bit_cast<std::uint64_t>(v.asDate()->secondsSince1970));
        break;
      case Value::Type::Bytes: {
        const Bytes& b = *v.asBytes();
        out_.push_back(kTagBytes);
        varint(b.size());
        out_.insert(out_.end(), b.begin(), b.end());
        break;
      }
      case Value::Type::Array: {
        const Array& a = *v.asArray();
        out_.push_back(kTagArray);
        varint(a.size());
        for (const Value& element : a) value(element);
        break;
      }
      case Value::Type::Dictionary: {
        const Dictionary& d = *v.asDictionary();
        out_.push_back(kTagDictionary);
        varint(d.size());
        for (const auto& [key, element] : d) {
          text(key);
          value(element);
        }
        break;
      }
    }
  }

 private:
  void fixed64(std::uint64_t bits) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  void varint(std::uint64_t n) {
    while (n >= 0x80) {
      out_.push_back(static_cast<std::uint8_t>(n | 0x80));
      n >>= 7;
    }
    out_.push_back(static_cast<std::uint8_t>(n));
  }
  void text(const std::string& s) {
    varint(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
  }

  Bytes& out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  std::optional<ErrorInfo> document(Value& out) {
    if (in_.empty()) return failure(kNotAnArchive);
    if (in_.size() < sizeof kMagic) {
      bool prefix = std::memcmp(in_.data(), kMagic, in_.size()) == 0;
      return prefix ? failure(kTruncated) : failure(kNotAnArchive);
    }
    if (std::memcmp(in_.data(), kMagic, sizeof kMagic) != 0) return failure(kNotAnArchive);
    pos_ = sizeof kMagic;
    std::uint8_t version = 0;
    if (!byte(version)) return failure(kTruncated);
    if (version != kVersion) return failure(kUnsupportedVersion);
    if (!value(out, 0)) return error_;
    if (pos_ != in_.size()) return failure(kCorrupt);
    return std::nullopt;
  }

 private:
  std::size_t remaining() const { return in_.size() - pos_; }

  bool fail(ArchiveError code) {
    error_ = failure(code);
    return false;
  }

  static ErrorInfo failure(ArchiveError code) {
    std::string_view text;
    switch (code) {
      case kNotAnArchive:
        text = kNotAnArchiveText;
        break;
      case kUnsupportedVersion:
        text = kUnsupportedVersionText;
        break;
      case kTruncated:
        text = kTruncatedText;
        break;
      case kCorrupt:
        text = kCorruptText;
        break;
      case kTooDeep:
        text = kTooDeepText;
        break;
    }
    return ErrorInfo{std::string(kArchiveErrorDomain), code, std::string(text), {}};
  }

  bool byte(std::uint8_t& b) {
    if (remaining() < 1) return false;
    b = static_cast<std::uint8_t>(in_[pos_++]);
    return true;
  }

  bool fixed64(std::uint64_t& bits) {
    if (remaining() < 8) return fail(kTruncated);
    bits = 0;
    for (int i = 0; i < 8; ++i) {
      bits |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in_[pos_ + i])) << (8 * i);
    }
    pos_ += 8;
    return true;
  }

  bool varint(std::uint64_t& n) {
    n = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      std::uint8_t b = 0;
      if (!byte(b)) return fail(kTruncated);
      std::uint64_t part = b & 0x7f;
      // The tenth byte may only carry the top bit of a 64-bit number.
      if (shift == 63 && part > 1) return fail(kCorrupt);
      n |= part << shift;
      if (!(b & 0x80)) return true;
    }
    return fail(kCorrupt);
  }

  // A length that the rest of the input can hold, never an allocation size
  // taken on trust.
  bool length(std::uint64_t& n, std::size_t minimumUnit) {
    if (!varint(n)) return false;
    if (n > remaining() / minimumUnit) return fail(kTruncated);
    return true;
  }

  bool text(std::string& s) {
    std::uint64_t n = 0;
    if (!length(n, 1)) return false;
    s.assign(in_.data() + pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  bool value(Value& out, int depth) {
    std::uint8_t tag = 0;
    if (!byte(tag)) return fail(kTruncated);
    switch (tag) {
      case kTagNull:
        out = Value();
        return true;
      case kTagFalse:
      case kTagTrue:
        out = Value(tag == kTagTrue);
        return true;
      case kTagInt: {
        std::uint64_t bits = 0;
        if (!fixed64(bits)) return false;
        out = Value(static_cast<std::int64_t>(bits));
        return true;
      }
      case kTagReal:
      case kTagDate: {
        std::uint64_t bits = 0;
        if (!fixed64(bits)) return false;
        double d = std::bit_cast<double>(bits);
        out = tag == kTagReal ? Value(d) : Value(Date{d});
        return true;
      }
      case kTagString: {
        std::string s;
        if (!text(s)) return false;
        out = Value(std::move(s));
        return true;
      }
      case kTagBytes: {
        std::uint64_t n = 0;
        if (!length(n, 1)) return false;
        const auto* begin = reinterpret_cast<const std::uint8_t*>(in_.data() + pos_);
        out = Value(Bytes(begin, begin + n));
        pos_ += static_cast<std::size_t>(n);
        return true;
      }
      case kTagArray: {
        if (depth >= kMaxDepth) return fail(kTooDeep);
        std::uint64_t n = 0;
        if (!length(n, 1)) return false;
        Array array;
        array.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxReserve)));
        for (std::uint64_t i = 0; i < n; ++i) {
          array.emplace_back();
          if (!value(array.back(), depth + 1)) return false;
        }
        out = Value(std::move(array));
        return true;
      }
      case kTagDictionary: {
        if (depth >= kMaxDepth) return fail(kTooDeep);
        std::uint64_t n = 0;
        if (!length(n, 2)) return false;
        Dictionary dictionary;
        for (std::uint64_t i = 0; i < n; ++i) {
          std::string key;
          if (!text(key)) return false;
          if (dictionary.contains(key)) return fail(kCorrupt);
          Value element;
          if (!value(element, depth + 1)) return false;
          dictionary.set(std::move(key), std::move(element));
        }
        out = Value(std::move(dictionary));
        return true;
      }
      default:
        return fail(kCorrupt);
    }
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  ErrorInfo error_;
};

}  // namespace

Bytes archive(const Value& value) {
  Bytes out(std::begin(kMagic), std::end(kMagic));
  out.push_back(kVersion);
  Writer(out).value(value);
  return out;
}

Result<Value> unarchive(std::string_view bytes) {
  Value value;
  Reader reader(bytes);
  if (auto error = reader.document(value)) return std::move(*error);
  return value;
}

}  // namespace orvo
