#include "orvo/ValueViews.h"

#include <gtest/gtest.h>

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
  using enum TextEncoding;
  const std::pair<TextEncoding, std::vector<const char*>> names[] = {
      {UTF8, {"utf-8", "UTF-8", "utf8"}},
      {ASCII, {"us-ascii", "ASCII"}},
      {ISOLatin1, {"ISO-8859-1", "latin1"}},
      {WindowsCP1252, {"Windows-1252", "cp1252"}},
      {UTF16, {"utf-16"}},
      {UTF16BigEndian, {"UTF-16BE"}},
      {UTF16LittleEndian, {"utf-16le"}}};
  for (const auto& [encoding, aliases] : names) {
    for (const char* name : aliases) EXPECT_EQ(encodingValue(name), encoding) << name;
  }
  EXPECT_TRUE(host.log->lines().empty());

  const std::string unknownLine = "not found match NSStringEncoding.return default encoding [4]";
  EXPECT_EQ(encodingValue("x-no-such-charset"), kDefaultCStringEncoding);
  EXPECT_EQ(encodingValue("utf-8 "), kDefaultCStringEncoding);
  EXPECT_EQ(host.log->lines(), (std::vector<std::string>{unknownLine, unknownLine}));

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
  using enum TextEncoding;
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
      {"", UTF16, ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(decodeText(c.bytes, c.encoding), c.expected)
        << "encoding " << static_cast<std::uint32_t>(c.encoding) << ", case " << &c - cases;
  }
}

}  // namespace
}  // namespace orvo
