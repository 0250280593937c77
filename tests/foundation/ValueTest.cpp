#include "orvo/Value.h"

#include <gtest/gtest.h>

#include <limits>

#include "foundation/Log.h"
#include "orvo/ErrorInfo.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

TEST(ValueTest, KindsStayDistinctAndCopiesAreDeep) {
  const Array kinds{nullptr, true, false, 0, 1, 1.0, 0.0, "", "1"};
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(kinds[i], kinds[j]) << i << "/" << j;
  }
  EXPECT_EQ(Value(std::uint8_t{200}), Value(200));  // every integer type is an int64
  EXPECT_TRUE(Value("c").isString());
  // Typed access never converts.
  EXPECT_TRUE(!Value(true).asInt() && !Value(1).asBool() && !Value(1).asReal());
  EXPECT_EQ(Value(12).stringOr("fallback"), "fallback");

  const Value original = Dictionary{{"list", Array{1, Dictionary{{"k", 1}}}}};
  Value copy = original;
  (*copy.asDictionary()->find("list")->asArray())[1].asDictionary()->set("k", 2);
  EXPECT_EQ(original, (Dictionary{{"list", Array{1, Dictionary{{"k", 1}}}}}));
  EXPECT_NE(copy, original);

  // Dictionaries keep absent and null apart; equality ignores insertion order.
  Dictionary dict;
  EXPECT_TRUE(dict.find("a") == nullptr && dict.get("a").isNull());
  dict.set("a", Value());
  EXPECT_TRUE(dict.contains("a"));
  dict.set("b", 2);
  dict.set("b", "y");
  EXPECT_TRUE(dict.erase("a"));
  EXPECT_FALSE(dict.erase("a"));
  EXPECT_EQ(dict, (Dictionary{{"b", "y"}}));
  dict.set("a", 1);
  EXPECT_EQ(dict, (Dictionary{{"a", 1}, {"b", "y"}}));
}

TEST(ValueTest, DescribeGivesEachKindsText) {
  std::string all;
  for (const Value& value :
       {Value(), Value(true), Value(false), Value(-42),
        Value(std::numeric_limits<std::int64_t>::max()), Value(2.5), Value(""), Value("plain text"),
        Value(Date{1'700'000'000.0}), Value(Bytes{0x00, 0xAB, 0x10, 0xFF, 0x01}), Value(Bytes{}),
        Value(Array{}), Value(Dictionary{})}) {
    all += describe(value) + "|";
  }
  EXPECT_EQ(all,
            "(null)|1|0|-42|9223372036854775807|2.5||plain text|2023-11-14 22:13:20 +0000|"
            "<00ab10ff 01>|<>|(\n)|{\n}|");
  // Nested collections indent by four; strings with blanks are quoted,
  // nulls inside collections print as "<null>".
  const Dictionary nested{{"a", Array{1, "x y", Value()}}, {"b", Dictionary{{"c", true}}}};
  EXPECT_EQ(describe(nested),
            "{\n    a = (\n        1,\n        \"x y\",\n        \"<null>\"\n    );\n"
            "    b = {\n        c = 1;\n    };\n}");
  EXPECT_EQ(describe(Value(nested)), describe(nested));
  EXPECT_EQ(describe(ErrorInfo{"PushNetworkManagerError", -1001, "The request timed out.", {}}),
            "Error Domain=PushNetworkManagerError Code=-1001 \"The request timed out.\"");
}

TEST(LogTest, FormatFillsPlaceholdersAndTraceFollowsTheSwitch) {
  EXPECT_EQ(logging::format("- status  : %d, %@ and %f (%lu)", {"200", "body", "30.000000", "7"}),
            "- status  : 200, body and 30.000000 (7)");
  // Fewer values than placeholders: the rest stay; a lone "%" is text.
  EXPECT_EQ(logging::format("%@ to %@ at 100%", {"a"}), "a to %@ at 100%");
  EXPECT_EQ(logging::format("no placeholder", {"dropped"}), "no placeholder");
  // A value that itself holds a placeholder is not filled again.
  EXPECT_EQ(logging::format("%@ then %@", {"%@", "x"}), "%@ then x");

  test::TestHost host;
  logging::trace("hidden");
  logging::always("shown");
  host.setLogging(true);
  logging::trace("traced");
  EXPECT_EQ(host.log->lines(), (std::vector<std::string>{"shown", "traced"}));
}

}  // namespace
}  // namespace orvo
