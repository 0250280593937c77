#include "orvo/DictionaryLookups.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvo {
namespace {

Dictionary manifest() {
  return Dictionary{
      {"manifest",
       Value(Dictionary{
           {"settings", Value(Dictionary{
                            {"server", Value("http://plain/")},
                            {"modes", Value(Dictionary{{"production", Value("http://prod/")}})},
                            {"list", Value(Array{Value("a"), Value("b")})},
                            {"", Value(Dictionary{{"", Value("empty keys")}})},
                        })},
       })},
      {"top", Value("t")},
  };
}

TEST(DictionaryLookupsTest, PathWalk) {
  Dictionary d = manifest();
  EXPECT_EQ(objectForPath(d, "top"), Value("t"));
  EXPECT_EQ(objectForPath(d, "manifest.settings.modes.production"), Value("http://prod/"));
  EXPECT_EQ(objectForPath(d, "manifest.settings.missing"), Value());
  EXPECT_EQ(objectForPath(d, "nothing.at.all"), Value());
  EXPECT_EQ(objectForPath(d, std::nullopt), Value());

  // A string met early is the answer; the rest of the path is ignored.
  EXPECT_EQ(stringForPath(d, "manifest.settings.server.production"), "http://plain/");
  EXPECT_EQ(stringForPath(d, "top.anything.else"), "t");
  // An array met early is the answer too.
  EXPECT_EQ(objectForPath(d, "manifest.settings.list.x"), Value(Array{Value("a"), Value("b")}));
  EXPECT_EQ(arrayForPath(d, "manifest.settings.list"), (Array{Value("a"), Value("b")}));

  // Consecutive dots, a leading dot and a trailing dot make empty components.
  EXPECT_EQ(stringForPath(d, "manifest.settings.."), "empty keys");
  EXPECT_EQ(objectForPath(d, ".top"), Value());
  EXPECT_EQ(objectForPath(d, ""), Value());
  EXPECT_EQ(objectForPath(d, "manifest.settings.modes."), Value());
  EXPECT_EQ(objectForPath(d, "manifest..settings"), Value());

  // Typed variants reject other types.
  EXPECT_EQ(stringForPath(d, "manifest.settings.modes"), std::nullopt);
  EXPECT_EQ(stringForPath(d, "manifest.settings.list"), std::nullopt);
  EXPECT_EQ(stringForPath(d, std::nullopt), std::nullopt);
  ASSERT_TRUE(dictionaryForPath(d, "manifest.settings.modes"));
  EXPECT_EQ(dictionaryForPath(d, "manifest.settings.modes")->get("production"),
            Value("http://prod/"));
  EXPECT_EQ(dictionaryForPath(d, "top"), std::nullopt);
  EXPECT_EQ(arrayForPath(d, "manifest.settings.modes"), std::nullopt);
}

TEST(DictionaryLookupsTest, KeyLookups) {
  Dictionary d{
      {"s", Value("  -42abc")},
      {"i", Value(std::int64_t{0x100000005})},
      {"r", Value(3.9)},
      {"neg", Value(-1)},
      {"b", Value(true)},
      {"word", Value("abc")},
      {"huge", Value("99999999999999999999")},
      {"tiny", Value("-99999999999999999999")},
      {"short", Value("65537")},
      {"big", Value(70000)},
      {"a", Value(Array{Value(1)})},
      {"d", Value(Dictionary{{"k", Value("v")}})},
      {"null", Value()},
  };
  EXPECT_EQ(stringForKey(d, "s"), "  -42abc");
  EXPECT_EQ(stringForKey(d, "i"), "4294967301");
  EXPECT_EQ(stringForKey(d, "b"), "1");
  EXPECT_EQ(stringForKey(d, "missing"), std::nullopt);
  EXPECT_EQ(stringForKey(d, "null"), std::nullopt);
  EXPECT_TRUE(stringForKey(d, "a").has_value());

  EXPECT_EQ(integerForKey(d, "s"), -42);
  EXPECT_EQ(integerForKey(d, "r"), 3);
  EXPECT_EQ(integerForKey(d, "b"), 1);
  EXPECT_EQ(integerForKey(d, "word"), 0);
  EXPECT_EQ(integerForKey(d, "huge"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(integerForKey(d, "tiny"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(integerForKey(d, "a"), 0);
  EXPECT_EQ(integerForKey(d, "missing"), 0);

  // Text saturates at the 32-bit limits; a number keeps its low 32 bits.
  EXPECT_EQ(intForKey(d, "huge"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(intForKey(d, "tiny"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(intForKey(d, "i"), 5);
  EXPECT_EQ(intForKey(d, "s"), -42);

  EXPECT_EQ(unsignedShortForKey(d, "big"), 70000 - 65536);
  EXPECT_EQ(unsignedShortForKey(d, "neg"), 65535);
  EXPECT_EQ(unsignedShortForKey(d, "short"), 1);
  EXPECT_EQ(unsignedShortForKey(d, "word"), 0);
  EXPECT_EQ(unsignedShortForKey(d, "missing"), 0);

  ASSERT_NE(arrayForKey(d, "a"), nullptr);
  EXPECT_EQ(arrayForKey(d, "a")->size(), 1u);
  EXPECT_EQ(arrayForKey(d, "d"), nullptr);
  ASSERT_NE(dictionaryForKey(d, "d"), nullptr);
  EXPECT_EQ(dictionaryForKey(d, "a"), nullptr);

  EXPECT_EQ(objectForKey(d, "i", Conversion::Description), Value("4294967301"));
  EXPECT_EQ(objectForKey(d, "missing", Conversion::Description), Value());
  EXPECT_EQ(objectForKey(d, "s", Conversion::IntegerValue), Value(-42));
  EXPECT_EQ(objectForKey(d, "a", Conversion::IntegerValue), Value(0));
  EXPECT_EQ(objectForKey(d, "missing", Conversion::IntValue), Value(0));
  EXPECT_EQ(objectForKey(d, "big", Conversion::UnsignedShortValue), Value(4464));
  EXPECT_EQ(objectForKey(d, "word", Conversion::BoolValue), Value(false));
  EXPECT_EQ(objectForKey(d, "b", Conversion::BoolValue), Value(true));
  EXPECT_EQ(objectForKey(d, "d", Conversion::BoolValue), Value(false));
}

TEST(DictionaryLookupsTest, BooleanTextRule) {
  for (const char* yes : {"yes", "YES", "Yes", "true", "TRUE", "t", "y", "1", "9", "  1", "+1",
                          "-1", "0001", " \t\n+007", "12", "Tomato", "\xE3\x80\x80yes"}) {
    EXPECT_TRUE(boolValue(yes)) << yes;
  }
  for (const char* no :
       {"no", "false", "0", "", "   ", "000", "+", "-0", "+-1", "n", "x1", "0.9", "on", ".5"}) {
    EXPECT_FALSE(boolValue(no)) << no;
  }
}

}  // namespace
}  // namespace orvo
