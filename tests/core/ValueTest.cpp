#include "orvo/Value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "orvo/ErrorInfo.h"

namespace orvo {
namespace {

TEST(ValueTest, BooleansIntegersAndRealsStayDistinct) {
  const Value yes(true);
  const Value one(1);
  const Value oneReal(1.0);
  const Value zero(0);
  const Value no(false);
  EXPECT_TRUE(yes.isBool());
  EXPECT_TRUE(one.isInt());
  EXPECT_TRUE(oneReal.isReal());
  EXPECT_TRUE(one.isNumber() && oneReal.isNumber() && !yes.isNumber());
  EXPECT_NE(yes, one);
  EXPECT_NE(one, oneReal);
  EXPECT_NE(no, zero);
  EXPECT_NE(Value(), zero);
  EXPECT_NE(Value(), Value(""));
  EXPECT_EQ(Value(), Value(nullptr));

  // Typed access never converts.
  EXPECT_EQ(yes.asInt(), nullptr);
  EXPECT_EQ(one.asBool(), nullptr);
  EXPECT_EQ(one.asReal(), nullptr);
  EXPECT_EQ(*one.asInt(), 1);
  EXPECT_EQ(Value("12").asInt(), nullptr);
  EXPECT_EQ(Value(12).stringOr("fallback"), "fallback");
  EXPECT_EQ(Value("text").stringOr("fallback"), "text");

  // Every integer type becomes an int64; char-like text stays text.
  EXPECT_TRUE(Value(std::uint8_t{200}).isInt());
  EXPECT_EQ(*Value(std::numeric_limits<std::int64_t>::min()).asInt(),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(Value(static_cast<unsigned>(7)).isInt());
  EXPECT_TRUE(Value("c").isString());
}

TEST(ValueTest, CopiesAreDeepAndIndependent) {
  Dictionary inner{{"k", 1}};
  Value original = Dictionary{{"list", Array{1, inner}}, {"name", "a"}};
  Value copy = original;
  EXPECT_EQ(copy, original);

  (*copy.asDictionary()->find("list")->asArray())[1].asDictionary()->set("k", 2);
  copy.asDictionary()->set("name", "b");
  EXPECT_NE(copy, original);
  EXPECT_EQ(original.asDictionary()->getArray("list")->at(1), Value(inner));
  EXPECT_EQ(*original.asDictionary()->getString("name"), "a");

  Value assigned;
  assigned = original;
  assigned.asDictionary()->clear();
  EXPECT_EQ(original.asDictionary()->size(), 2u);

  // Moving leaves the source usable for assignment.
  Value moved = std::move(copy);
  EXPECT_EQ(*moved.asDictionary()->getString("name"), "b");
  copy = Value(5);
  EXPECT_EQ(copy, Value(5));
}

TEST(ValueTest, DictionaryKeepsAbsentAndNullApart) {
  Dictionary dict;
  EXPECT_EQ(dict.find("a"), nullptr);
  EXPECT_TRUE(dict.get("a").isNull());
  dict.set("a", Value());
  EXPECT_TRUE(dict.contains("a"));
  EXPECT_TRUE(dict.get("a").isNull());
  dict.set("a", "x");
  dict.set("a", "y");  // replaces
  EXPECT_EQ(dict.size(), 1u);
  EXPECT_EQ(*dict.getString("a"), "y");
  EXPECT_EQ(dict.getDictionary("a"), nullptr);
  EXPECT_EQ(dict.getArray("a"), nullptr);
  dict["b"] = 2;
  EXPECT_EQ(dict.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(dict.erase("a"));
  EXPECT_FALSE(dict.erase("a"));
  EXPECT_EQ(dict.keys(), (std::vector<std::string>{"b"}));

  // Equality does not depend on the order entries were made in.
  Dictionary x{{"one", 1}, {"two", 2}};
  Dictionary y;
  y.set("two", 2);
  y.set("one", 1);
  EXPECT_EQ(x, y);
  y.set("one", 1.0);
  EXPECT_NE(x, y);
}

TEST(ValueTest, DescribeGivesEachTypesText) {
  EXPECT_EQ(describe(Value()), "(null)");
  EXPECT_EQ(describe(Value(true)), "1");
  EXPECT_EQ(describe(Value(false)), "0");
  EXPECT_EQ(describe(Value(-42)), "-42");
  EXPECT_EQ(describe(Value(std::numeric_limits<std::int64_t>::max())), "9223372036854775807");
  EXPECT_EQ(describe(Value(2.5)), "2.5");
  EXPECT_EQ(describe(Value("plain text")), "plain text");
  EXPECT_EQ(describe(Value("")), "");
  EXPECT_EQ(describe(Value(Date{1'700'000'000.0})), "2023-11-14 22:13:20 +0000");
  EXPECT_EQ(describe(Value(Bytes{0x00, 0xAB, 0x10, 0xFF, 0x01})), "<00ab10ff 01>");
  EXPECT_EQ(describe(Value(Bytes{})), "<>");
  EXPECT_EQ(describe(Value(Array{})), "(\n)");
  EXPECT_EQ(describe(Dictionary{}), "{\n}");

  // Nested collections indent by four; strings with blanks are quoted,
  // nulls inside collections print as "<null>".
  Value nested = Dictionary{{"a", Array{1, "x y", Value()}}, {"b", Dictionary{{"c", true}}}};
  EXPECT_EQ(describe(nested),
            "{\n"
            "    a = (\n"
            "        1,\n"
            "        \"x y\",\n"
            "        \"<null>\"\n"
            "    );\n"
            "    b = {\n"
            "        c = 1;\n"
            "    };\n"
            "}");
  EXPECT_EQ(describe(nested), describe(*nested.asDictionary()));

  ErrorInfo error{"PushNetworkManagerError", -1001, "The request timed out.", {}};
  EXPECT_EQ(describe(error),
            "Error Domain=PushNetworkManagerError Code=-1001 \"The request timed out.\"");
}

TEST(ValueTest, TextAndBytesConvert) {
  const std::string text("a\0\xff", 3);
  EXPECT_EQ(toString(toBytes(text)), text);
  EXPECT_EQ(toBytes("ab"), (Bytes{'a', 'b'}));
}

}  // namespace
}  // namespace orvo
