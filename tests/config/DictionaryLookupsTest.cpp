#include "orvo/DictionaryLookups.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace orvo {
namespace {

TEST(DictionaryLookupsTest, PathWalk) {
  const Array list{"a", "b"};
  const Dictionary modes{{"production", "http://prod/"}};
  const Dictionary d{{"m", Dictionary{{"server", "http://plain/"},
                                      {"modes", modes},
                                      {"list", list},
                                      {"", Dictionary{{"", "empty keys"}}}}},
                     {"top", "t"}};
  // clang-format off
  const std::pair<const char*, Value> cases[] = {
      {"top", "t"}, {"m.modes.production", "http://prod/"}, {"m.missing", {}}, {"no.such", {}},
      // A string or an array met early is the answer; the rest of the path is ignored.
      {"m.server.production", "http://plain/"}, {"top.any.thing", "t"}, {"m.list.x", list},
      // Consecutive, leading and trailing dots make empty components.
      {"m..", "empty keys"}, {".top", {}}, {"", {}}, {"m.modes.", {}}, {"..m", {}}};
  // clang-format on
  for (const auto& [path, expected] : cases) EXPECT_EQ(objectForPath(d, path), expected) << path;
  EXPECT_EQ(objectForPath(d, std::nullopt), Value());

  // Typed variants reject other types.
  EXPECT_EQ(stringForPath(d, "m.server"), "http://plain/");
  EXPECT_EQ(stringForPath(d, "m.modes"), std::nullopt);
  EXPECT_EQ(dictionaryForPath(d, "m.modes"), modes);
  EXPECT_EQ(dictionaryForPath(d, "top"), std::nullopt);
  EXPECT_EQ(arrayForPath(d, "m.list"), list);
  EXPECT_EQ(arrayForPath(d, "m.modes"), std::nullopt);
}

TEST(DictionaryLookupsTest, KeyLookups) {
  using L32 = std::numeric_limits<std::int32_t>;
  using L64 = std::numeric_limits<std::int64_t>;
  // clang-format off
  const Dictionary d{{"s", "  -42abc"}, {"i", std::int64_t{0x100000005}}, {"r", 3.9}, {"neg", -1},
                     {"b", true}, {"word", "abc"}, {"huge", "99999999999999999999"},
                     {"tiny", "-99999999999999999999"}, {"short", "65537"}, {"big", 70000},
                     {"a", Array{1}}, {"d", Dictionary{{"k", "v"}}}, {"null", Value()}};
  // Text saturates at the limits of each width; a number keeps its low bits.
  const std::tuple<const char*, std::int64_t, std::int32_t, std::uint16_t> numbers[] = {
      {"s", -42, -42, 65494}, {"i", 0x100000005, 5, 5}, {"r", 3, 3, 3}, {"b", 1, 1, 1},
      {"word", 0, 0, 0}, {"neg", -1, -1, 65535}, {"huge", L64::max(), L32::max(), 65535},
      {"tiny", L64::min(), L32::min(), 0}, {"short", 65537, 65537, 1},
      {"big", 70000, 70000, 4464}, {"a", 0, 0, 0}, {"missing", 0, 0, 0}};
  // clang-format on
  for (const auto& [key, integer, int32, ushort] : numbers) {
    EXPECT_EQ(integerForKey(d, key), integer) << key;
    EXPECT_EQ(intForKey(d, key), int32) << key;
    EXPECT_EQ(unsignedShortForKey(d, key), ushort) << key;
  }
  EXPECT_EQ(stringForKey(d, "s"), "  -42abc");
  EXPECT_EQ(stringForKey(d, "i"), "4294967301");
  EXPECT_EQ(stringForKey(d, "b"), "1");
  EXPECT_EQ(stringForKey(d, "null"), std::nullopt);
  EXPECT_TRUE(stringForKey(d, "a").has_value());
  EXPECT_EQ(arrayForKey(d, "a"), d.getArray("a"));
  EXPECT_EQ(arrayForKey(d, "d"), nullptr);
  EXPECT_EQ(dictionaryForKey(d, "d"), d.getDictionary("d"));
  EXPECT_EQ(dictionaryForKey(d, "a"), nullptr);

  EXPECT_EQ(objectForKey(d, "i", Conversion::Description), Value("4294967301"));
  EXPECT_EQ(objectForKey(d, "s", Conversion::IntegerValue), Value(-42));
  EXPECT_EQ(objectForKey(d, "neg", Conversion::IntValue), Value(-1));
  EXPECT_EQ(objectForKey(d, "big", Conversion::UnsignedShortValue), Value(4464));
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
