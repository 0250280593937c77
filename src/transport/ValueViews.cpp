#include "orvo/ValueViews.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <mutex>
#include <set>

#include "foundation/Log.h"
#include "foundation/Utf8.h"

namespace orvo {
namespace {

constexpr std::string_view kUnknownEncodingLine =
    "not found match NSStringEncoding.return default encoding [%d]";
// The platform's number for its default C-string encoding, UTF-8, which the
// line above reports.
constexpr int kDefaultCStringEncodingNumber = 4;

struct CharsetAlias {
  std::string_view name;  // lower case
  std::string_view charset;
};

// Names that stand for one of the named encodings, so that they compare
// equal to it, and IANA names and aliases the converter does not know under
// that name. KS_C_5601-1987 is declared for the Korean Windows code page.
constexpr CharsetAlias kCharsetAliases[] = {
    {"utf-8", "UTF-8"},
    {"utf8", "UTF-8"},
    {"unicode-1-1-utf-8", "UTF-8"},
    {"csutf8", "UTF-8"},
    {"us-ascii", "US-ASCII"},
    {"ascii", "US-ASCII"},
    {"ansi_x3.4-1968", "US-ASCII"},
    {"iso646-us", "US-ASCII"},
    {"csascii", "US-ASCII"},
    {"us", "US-ASCII"},
    {"iso-8859-1", "ISO-8859-1"},
    {"iso_8859-1", "ISO-8859-1"},
    {"iso8859-1", "ISO-8859-1"},
    {"latin1", "ISO-8859-1"},
    {"l1", "ISO-8859-1"},
    {"iso-ir-100", "ISO-8859-1"},
    {"csisolatin1", "ISO-8859-1"},
    {"ibm819", "ISO-8859-1"},
    {"cp819", "ISO-8859-1"},
    {"windows-1252", "WINDOWS-1252"},
    {"cp1252", "WINDOWS-1252"},
    {"x-cp1252", "WINDOWS-1252"},
    {"cswindows1252", "WINDOWS-1252"},
    {"utf-16", "UTF-16"},
    {"utf16", "UTF-16"},
    {"csunicode", "UTF-16"},
    {"iso-10646-ucs-2", "UTF-16"},
    {"csutf16", "UTF-16"},
    {"utf-16be", "UTF-16BE"},
    {"csutf16be", "UTF-16BE"},
    {"utf-16le", "UTF-16LE"},
    {"csutf16le", "UTF-16LE"},
    {"csutf32", "UTF-32"},
    {"csutf32be", "UTF-32BE"},
    {"csutf32le", "UTF-32LE"},
    {"iso-10646-ucs-4", "UCS-4"},
    {"csutf7", "UTF-7"},
    {"unicode-1-1-utf-7", "UTF-7"},
    {"csunicode11utf7", "UTF-7"},
    {"ks_c_5601-1987", "CP949"},
    {"ks_c_5601-1989", "CP949"},
    {"ksc_5601", "CP949"},
    {"iso-ir-149", "CP949"},
    {"korean", "CP949"},
    {"csksc56011987", "CP949"},
    {"extended_unix_code_packed_format_for_japanese", "EUC-JP"},
    {"csbig5", "BIG5"},
    {"csbig5hkscs", "BIG5-HKSCS"},
    {"csgbk", "GBK"},
    {"csgb18030", "GB18030"},
    {"gb_2312-80", "GBK"},
    {"iso-ir-58", "GBK"},
    {"chinese", "GBK"},
    {"csiso58gb231280", "GBK"},
    {"cstis620", "TIS-620"},
    {"cswindows1250", "WINDOWS-1250"},
    {"cswindows1251", "WINDOWS-1251"},
    {"cskoi8u", "KOI8-U"},
    {"csviscii", "VISCII"},
    {"iso-8859-6-i", "ISO-8859-6"},
    {"iso-8859-8-i", "ISO-8859-8"},
    {"csiso88598i", "ISO-8859-8"},
};

// IANA names are short and printable. The converter would also take what
// no IANA name holds: "" for the locale's own set, "//" suffixes that
// change how it converts, and names it strips of blanks.
constexpr std::size_t kMaxCharsetNameLength = 64;

bool isCharsetNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == ':';
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
  return std::ranges::equal(text, lowerCase, [](char a, char b) { return lower(a) == b; });
}

const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t kConversionFailed = static_cast<std::size_t>(-1);
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD

// One iconv conversion, closed when done.
class Conversion {
 public:
  Conversion(std::string_view to, std::string_view from)
      : handle_(::iconv_open(std::string(to).c_str(), std::string(from).c_str())) {}
  ~Conversion() {
    if (ok()) ::iconv_close(handle_);
  }
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  bool ok() const { return handle_ != kNoConversion; }

  // All of `input` converted. A sequence that cannot be converted ends the
  // conversion with nothing; or, when `replacementUnit` is given, becomes
  // U+FFFD, and as many bytes as it answers are skipped.
  std::optional<std::string> run(std::string_view input,
                                 const std::function<std::size_t()>& replacementUnit = nullptr) {
    std::string out;
    std::array<char, 1024> buffer;
    // iconv's signature takes the input as non-const; it does not write to it.
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    bool flushing = false;
    std::size_t unit = 0;
    for (;;) {
      char* next = buffer.data();
      std::size_t room = buffer.size();
      const std::size_t result = flushing ? ::iconv(handle_, nullptr, nullptr, &next, &room)
                                          : ::iconv(handle_, &in, &inLeft, &next, &room);
      const int error = errno;
      out.append(buffer.data(), static_cast<std::size_t>(next - buffer.data()));
      if (result != kConversionFailed) {
        if (flushing) return out;
        flushing = true;  // all input taken; a stateful set may still close its shift
        continue;
      }
      if (error == E2BIG) continue;
      // EILSEQ, or EINVAL for a sequence cut short at the end.
      if (!replacementUnit) return std::nullopt;
      if (flushing || inLeft == 0) return out;
      if (unit == 0) unit = std::max<std::size_t>(replacementUnit(), 1);
      out += kReplacementUtf8;
      const std::size_t skip = std::min(unit, inLeft);
      in += skip;
      inLeft -= skip;
    }
  }

 private:
  iconv_t handle_;
};

// The converter's names that have been found to work, kept for the life of
// the process: a TextEncoding points into this set. Never destroyed, so an
// encoding stays usable while other statics are torn down.
std::optional<std::string_view> knownCharset(std::string charset) {
  static std::mutex mutex;
  static auto* known = new std::set<std::string, std::less<>>();
  std::lock_guard lock(mutex);
  if (auto found = known->find(charset); found != known->end()) return *found;
  if (!Conversion(TextEncoding::UTF8.charset(), charset).ok()) return std::nullopt;
  return *known->insert(std::move(charset)).first;
}

// Well-formed UTF-8: each byte that starts no valid sequence becomes U+FFFD.
std::string wellFormedUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t length = utf8SequenceLength(bytes, i);
    if (length == 0) {
      out += kReplacementUtf8;
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

// The byte width of one unit of the character set (2 for UTF-16, 4 for
// UTF-32, 1 for byte sets): how far to skip past what cannot be read
// without losing step with the units after it.
std::size_t unitWidth(std::string_view charset) {
  Conversion one(charset, TextEncoding::UTF8.charset());
  Conversion two(charset, TextEncoding::UTF8.charset());
  if (!one.ok() || !two.ok()) return 1;
  const auto a = one.run("A");
  const auto aa = two.run("AA");
  if (!a || !aa || aa->size() <= a->size()) return 1;
  return aa->size() - a->size();
}

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

// Without a byte-order mark the converter reads UTF-16 and UTF-32 in the
// machine's order; the network's is big-endian.
std::string_view withByteOrder(std::string_view charset, std::string_view bytes) {
  using namespace std::string_view_literals;
  if (charset == "UTF-16"sv && !startsWith(bytes, "\xFF\xFE"sv) &&
      !startsWith(bytes, "\xFE\xFF"sv)) {
    return "UTF-16BE"sv;
  }
  if (charset == "UTF-32"sv && !startsWith(bytes, "\xFF\xFE\0\0"sv) &&
      !startsWith(bytes, "\0\0\xFE\xFF"sv)) {
    return "UTF-32BE"sv;
  }
  return charset;
}

}  // namespace

std::optional<Dictionary> dictionaryValue(const Value& value) {
  // Walks down first elements without recursion, so deeply nested arrays
  // cannot exhaust the stack.
  const Value* current = &value;
  while (const Array* array = current->asArray()) {
    if (array->empty()) return Dictionary{};
    current = &array->front();
  }
  if (const Dictionary* dictionary = current->asDictionary()) return *dictionary;
  return std::nullopt;
}

std::optional<Array> arrayValue(const Value& value) {
  if (const Array* array = value.asArray()) return *array;
  return std::nullopt;
}

TextEncoding encodingValue(std::string_view ianaName) {
  for (const auto& alias : kCharsetAliases) {
    if (equalsIgnoringCase(ianaName, alias.name)) return TextEncoding(alias.charset);
  }
  if (!ianaName.empty() && ianaName.size() <= kMaxCharsetNameLength &&
      std::ranges::all_of(ianaName, isCharsetNameCharacter)) {
    std::string charset(ianaName);
    std::ranges::transform(charset, charset.begin(), upper);
    if (auto known = knownCharset(std::move(charset))) return TextEncoding(*known);
  }
  if (logging::isOn()) {
    logging::trace(
        logging::format(kUnknownEncodingLine, {std::to_string(kDefaultCStringEncodingNumber)}));
  }
  return kDefaultCStringEncoding;
}

std::string decodeText(std::string_view bytes, TextEncoding encoding) {
  if (encoding == TextEncoding::UTF8) return wellFormedUtf8(bytes);
  const std::string_view charset = withByteOrder(encoding.charset(), bytes);
  Conversion conversion(TextEncoding::UTF8.charset(), charset);
  if (!conversion.ok()) return wellFormedUtf8(bytes);
  // The converter's own UTF-8 is not checked for what lies beyond Unicode.
  const auto unit = [charset] { return unitWidth(charset); };
  return wellFormedUtf8(conversion.run(bytes, unit).value_or(std::string()));
}

std::optional<std::string> encodeText(std::string_view text, TextEncoding encoding) {
  if (encoding == TextEncoding::UTF8) return std::string(text);
  Conversion conversion(encoding.charset(), TextEncoding::UTF8.charset());
  if (!conversion.ok()) return std::nullopt;
  return conversion.run(text);
}

}  // namespace orvo
