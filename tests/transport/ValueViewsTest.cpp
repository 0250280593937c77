#include "orvo/ValueViews.h"

#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

#include "support/TestHost.h"

namespace orvo {
namespace {

TEST(ValueViews, DictionaryAndArrayViews) {
  Dictionary first{{"A", "1"}};
  EXPECT_EQ(dictionaryValue(Value(first)), first);
  EXPECT_EQ(dictionaryValue(Value(Array{})), Dictionary{});
  EXPECT_EQ(dictionaryValue(Value(Array{first, Dictionary{{"B", "2"}}})), first);
  EXPECT_EQ(dictionaryValue(Value(Array{Array{Array{first}, "x"}})), first);
  EXPECT_EQ(dictionaryValue(Value(Array{Array{}, first})), Dictionary{});
  for (const Value& other : {Value(Array{"text", first}), Value("text"), Value(42), Value()})
    EXPECT_EQ(dictionaryValue(other), std::nullopt) << describe(other);
  Value deep(first);
  for (int i = 0; i < 1000; ++i) deep = Value(Array{deep});
  EXPECT_EQ(dictionaryValue(deep), first);

  Array array{"a", 1, Dictionary{}};
  EXPECT_EQ(arrayValue(Value(array)), array);
  EXPECT_EQ(arrayValue(Value(Array{})), Array{});
  for (const Value& other : {Value(first), Value("a"), Value()})
    EXPECT_EQ(arrayValue(other), std::nullopt) << describe(other);
}

TEST(ValueViews, EncodingValueMatchesIanaNamesAndAliases) {
  test::TestHost host;
  host.setLogging(true);
  using E = TextEncoding;
  const std::pair<TextEncoding, std::vector<const char*>> names[] = {
      {E::UTF8, {"utf-8", "UTF-8", "utf8", "unicode-1-1-utf-8"}},
      {E::ASCII, {"us-ascii", "ASCII"}},
      {E::ISOLatin1, {"ISO-8859-1", "latin1"}},
      {E::WindowsCP1252, {"Windows-1252", "cp1252", "x-cp1252"}},
      {E::UTF16, {"utf-16", "csUnicode"}},
      {E::UTF16BigEndian, {"UTF-16BE"}},
      {E::UTF16LittleEndian, {"utf-16le"}}};
  for (const auto& [encoding, aliases] : names) {
    for (const char* name : aliases) EXPECT_EQ(encodingValue(name), encoding) << name;
  }
  // Any set the converter knows, and IANA aliases it knows under another
  // name; each must read its own text.
  const std::tuple<const char*, std::string, std::string> others[] = {
      {"EUC-KR", "\xB0\xA1", "\xEA\xB0\x80"},
      {"ks_c_5601-1987", "\xB0\xA1", "\xEA\xB0\x80"},
      {"csKSC56011987", "\x81\x41", "\xEA\xB0\x82"},  // beyond EUC-KR: the Windows page
      // No alias: read character by character.
      {"Shift_JIS", "\x82\xA0", "\xE3\x81\x82"},
      {"macintosh", "\x8E", "\xC3\xA9"},
      {"csBig5", "\xA4\x40", "\xE4\xB8\x80"},
      {"UTF-32", std::string("\0\0\0A", 4), "A"},
      {"csUTF32LE", std::string("A\0\0\0", 4), "A"}};
  for (const auto& [name, bytes, text] : others) {
    const TextEncoding encoding = encodingValue(name);
    EXPECT_NE(encoding, kDefaultCStringEncoding) << name;
    EXPECT_EQ(decodeText(bytes, encoding), text) << name;
  }
  EXPECT_EQ(encodingValue("euc-kr"), encodingValue("EUC-KR"));
  EXPECT_TRUE(host.log->lines().empty());

  // Names no set bears, and what the converter would take but no IANA name
  // is: blanks, the locale's own set, conversion suffixes.
  const std::string unknownLine = "not found match NSStringEncoding.return default encoding [4]";
  const char* unknown[] = {"x-no-such-charset",    "utf-8 ",       "UTF 8", "", "UTF-8//IGNORE",
                           "ISO-8859-1//TRANSLIT", "UTF-16,IGNORE"};
  for (const char* name : unknown) EXPECT_EQ(encodingValue(name), kDefaultCStringEncoding) << name;
  EXPECT_EQ(host.log->lines(), std::vector<std::string>(std::size(unknown), unknownLine));

  host.log->clear();
  host.setLogging(false);
  EXPECT_EQ(encodingValue("klingon"), kDefaultCStringEncoding);
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(ValueViews, DecodeTextReplacesWhatTheEncodingCannotHold) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    TextEncoding encoding;
    std::string expected;
  };
  const TextEncoding UTF8 = TextEncoding::UTF8, ASCII = TextEncoding::ASCII,
                     ISOLatin1 = TextEncoding::ISOLatin1, UTF16 = TextEncoding::UTF16,
                     WindowsCP1252 = TextEncoding::WindowsCP1252,
                     UTF16BigEndian = TextEncoding::UTF16BigEndian,
                     UTF16LittleEndian = TextEncoding::UTF16LittleEndian;
  const TextEncoding eucKR = encodingValue("EUC-KR"), shiftJIS = encodingValue("Shift_JIS"),
                     utf32 = encodingValue("UTF-32");
  const Case cases[] = {
      {"plain \xC3\xA9\xF0\x9F\x98\x80", UTF8, "plain \xC3\xA9\xF0\x9F\x98\x80"},
      {"a\xFF\x62", UTF8, "a" + fffd + "b"},
      {"\xC0\xAF", UTF8, fffd + fffd},                        // overlong "/"
      {"\xED\xA0\x80", UTF8, fffd + fffd + fffd},             // a surrogate
      {"\xF4\x90\x80\x80", UTF8, fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"\xE2\x82", UTF8, fffd + fffd},                        // truncated
      {"caf\xE9", ASCII, "caf" + fffd},
      {"caf\xE9", ISOLatin1, "caf\xC3\xA9"},
      {"\x80\x81\x9F\xE9", WindowsCP1252, "\xE2\x82\xAC" + fffd + "\xC5\xB8\xC3\xA9"},
      {std::string("\0A\0\xE9", 4), UTF16BigEndian, "A\xC3\xA9"},
      {std::string("A\0\xE9\0", 4), UTF16LittleEndian, "A\xC3\xA9"},
      {std::string("\xFF\xFE\x41\0", 4), UTF16, "A"},
      {std::string("\xFE\xFF\0A", 4), UTF16, "A"},
      {std::string("\0A", 2), UTF16, "A"},
      {std::string("\xD8\x3D\xDE\x00", 4), UTF16BigEndian, "\xF0\x9F\x98\x80"},
      {std::string("\xD8\x3D\0A", 4), UTF16BigEndian, fffd + "A"},  // lone high surrogate
      {std::string("\xDE\x00\0A", 4), UTF16BigEndian, fffd + "A"},  // lone low surrogate
      {std::string("\0A\0", 3), UTF16BigEndian, "A" + fffd},        // odd length
      {"", UTF16, ""},
      // Through the converter: a bad byte is skipped alone in a byte set, a
      // whole unit in UTF-32, and a cut-short pair ends in one replacement.
      {"\xB0\xA1\xFF\xB0\xA1", eucKR, "\xEA\xB0\x80" + fffd + "\xEA\xB0\x80"},
      {"a\x82", shiftJIS, "a" + fffd},
      {std::string("\0\x11\0\0\0\0\0A", 8), utf32, fffd + "A"},
      {std::string("\xFF\xFE\0\0A\0\0\0", 8), utf32, "A"}};
  for (const auto& c : cases) {
    EXPECT_EQ(decodeText(c.bytes, c.encoding), c.expected)
        << "encoding " << c.encoding.charset() << ", case " << &c - cases;
  }
}

}  // namespace
}  // namespace orvo
