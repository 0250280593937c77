#include "orvo/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace orvo {
namespace {

using namespace std::literals;

Value parsed(std::string_view text) {
  auto result = parseJson(text);
  EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error().description);
  return result.ok() ? result.value() : Value();
}

// The first element of a one-element array document.
Value element(std::string_view text) {
  Value array = parsed(text);
  return array.isArray() && array.asArray()->size() == 1 ? (*array.asArray())[0] : Value();
}

std::string written(const Value& value, JsonStyle style = JsonStyle::Compact) {
  auto result = writeJson(value, style);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description);
  return result.ok() ? result.value() : std::string();
}

void expectInvalid(std::string_view text, std::int64_t code = kJsonErrorInvalidText) {
  auto result = parseJson(text);
  ASSERT_FALSE(result.ok()) << "accepted: " << text;
  EXPECT_EQ(result.error().domain, kJsonErrorDomain);
  EXPECT_EQ(result.error().code, code) << result.error().description;
  EXPECT_FALSE(result.error().description.empty());
  // The description itself must be writable (it ends up in JSON log records).
  EXPECT_TRUE(writeJson(Value(Array{Value(result.error().description)})).ok())
      << result.error().description;
}

TEST(JsonTest, ParsesEveryTypeAndRoundTrips) {
  const std::string text =
      R"({"name":"push","count":3,"ratio":0.25,"on":true,"off":false,"none":null,)"
      R"("list":[1,"two",[3],{"four":4}],"empty":{},"nothing":[]})";
  Value value = parsed(text);
  const Dictionary* dict = value.asDictionary();
  ASSERT_NE(dict, nullptr);
  EXPECT_EQ(dict->get("name"), Value("push"));
  EXPECT_TRUE(dict->get("count").isInt());
  EXPECT_EQ(dict->get("count"), Value(3));
  EXPECT_TRUE(dict->get("ratio").isReal());
  EXPECT_TRUE(dict->get("on").isBool());  // booleans stay booleans
  EXPECT_EQ(dict->get("off"), Value(false));
  ASSERT_TRUE(dict->contains("none"));
  EXPECT_TRUE(dict->get("none").isNull());
  EXPECT_EQ(dict->getArray("list")->size(), 4u);
  EXPECT_EQ((*dict->getArray("list"))[3], Value(Dictionary{{"four", 4}}));
  EXPECT_TRUE(dict->getDictionary("empty")->empty());

  // Keys come out in byte order; output parses back to the same value.
  EXPECT_EQ(written(value),
            R"({"count":3,"empty":{},"list":[1,"two",[3],{"four":4}],"name":"push",)"
            R"("none":null,"nothing":[],"off":false,"on":true,"ratio":0.25})");
  EXPECT_EQ(parsed(written(value)), value);
  EXPECT_EQ(parsed(written(value, JsonStyle::Pretty)), value);

  // Whitespace of every legal kind around tokens.
  EXPECT_EQ(parsed(" \t\r\n[ 1 , { \"a\" : [ ] } ]\n "),
            Value(Array{1, Dictionary{{"a", Array{}}}}));
  // The last of duplicate keys wins.
  EXPECT_EQ(parsed(R"({"a":1,"b":2,"a":{"x":3}})"),
            Value(Dictionary{{"a", Dictionary{{"x", 3}}}, {"b", 2}}));
}

TEST(JsonTest, PrettyOutputIndentsByTwo) {
  Value value = Dictionary{{"b", Array{1, Dictionary{}}}, {"a", "x"}, {"c", Array{}}};
  EXPECT_EQ(written(value, JsonStyle::Pretty),
            "{\n"
            "  \"a\" : \"x\",\n"
            "  \"b\" : [\n"
            "    1,\n"
            "    {}\n"
            "  ],\n"
            "  \"c\" : []\n"
            "}");
  EXPECT_EQ(written(Array{}, JsonStyle::Pretty), "[]");
  EXPECT_EQ(written(Value("scalar"), JsonStyle::Pretty), "\"scalar\"");
}

TEST(JsonTest, NumbersAtTheEdges) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(element("[9223372036854775807]"), Value(kMax));
  EXPECT_EQ(element("[-9223372036854775808]"), Value(kMin));
  // One past either end no longer fits: a real.
  EXPECT_TRUE(element("[9223372036854775808]").isReal());
  EXPECT_EQ(*element("[9223372036854775808]").asReal(), 9223372036854775808.0);
  EXPECT_TRUE(element("[18446744073709551615]").isReal());
  EXPECT_TRUE(element("[18446744073709551616]").isReal());
  EXPECT_TRUE(element("[-9223372036854775809]").isReal());
  EXPECT_TRUE(element("[123456789012345678901234567890]").isReal());
  EXPECT_EQ(element("[0]"), Value(0));
  EXPECT_EQ(element("[-0]"), Value(0));
  EXPECT_TRUE(element("[1.0]").isReal());
  EXPECT_EQ(element("[1e2]"), Value(100.0));
  EXPECT_EQ(element("[-2.5E-3]"), Value(-0.0025));
  EXPECT_EQ(element("[1e-400]"), Value(0.0));
  expectInvalid("[1e400]");  // overflows to infinity
  expectInvalid("[-1e400]");

  EXPECT_EQ(written(Value(kMax)), "9223372036854775807");
  EXPECT_EQ(written(Value(kMin)), "-9223372036854775808");
  EXPECT_EQ(written(Value(1.0)), "1.0");  // stays a real when read back
  EXPECT_EQ(written(Value(-0.0)), "-0.0");
  EXPECT_EQ(written(Value(0.1)), "0.1");
  EXPECT_EQ(written(Value(1e300)), "1e+300");
  EXPECT_EQ(written(Value(true)), "true");
  // Shortest text that reads back to the very same double.
  for (double d : {0.1 + 0.2, 1.0 / 3.0, 5e-324, std::numeric_limits<double>::max(),
                   -123456.789e-10, 9007199254740993.0}) {
    const std::string text = written(Array{d});
    Value back = element(text);
    ASSERT_TRUE(back.isReal()) << text;
    EXPECT_EQ(*back.asReal(), d) << text;
  }
  for (std::int64_t i : {kMax, kMin, std::int64_t{0}, std::int64_t{-1}}) {
    EXPECT_EQ(element(written(Array{i})), Value(i));
  }
}

TEST(JsonTest, StringsEscapesAndUnicode) {
  EXPECT_EQ(element(R"(["a\"b\\c\/d\b\f\n\r\t"])"), Value("a\"b\\c/d\b\f\n\r\t"));
  EXPECT_EQ(element(R"(["\u00e9\u4e2d\ud83d\ude00"])"), Value("\u00e9\u4e2d\U0001F600"));
  EXPECT_EQ(element("[\"\u00e9\u4e2d\U0001F600\"]"), Value("\u00e9\u4e2d\U0001F600"));
  EXPECT_EQ(element(R"(["\u0000"])"), Value("\0"s));

  EXPECT_EQ(written(Value("a\"b\\c/d\b\f\n\r\t")), R"("a\"b\\c/d\b\f\n\r\t")");
  EXPECT_EQ(written(Value("\x01\x1f\x7f"s)), "\"\\u0001\\u001f\x7f\"");
  EXPECT_EQ(written(Value("\0x"s)), R"("\u0000x")");
  EXPECT_EQ(written(Value("\u00e9\U0001F600")), "\"\u00e9\U0001F600\"");
  EXPECT_EQ(written(Dictionary{{"k\ney", 1}}), R"({"k\ney":1})");

  // Every control character survives a round trip.
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls.push_back(static_cast<char>(c));
  EXPECT_EQ(element(written(Array{controls})), Value(controls));

  expectInvalid(R"(["\ud800"])");        // lone high surrogate
  expectInvalid(R"(["\udc00"])");        // lone low surrogate
  expectInvalid(R"(["\ud800\u0041"])");  // high surrogate then not a low one
  expectInvalid(R"(["\x"])");            // unknown escape
  expectInvalid(R"(["\u12G4"])");
  expectInvalid("[\"a\x01\"]");  // raw control character
  expectInvalid("[\"a\nb\"]");
}

TEST(JsonTest, MalformedInputGivesErrors) {
  for (std::string_view text :
       {""sv,         "   "sv,        "{"sv,        "["sv,       "[1,"sv,        "[1,]"sv,
        "{\"a\":}"sv, "{\"a\" 1}"sv,  "[1 2]"sv,    "{'a':1}"sv, "{a:1}"sv,      "[01]"sv,
        "[1.]"sv,     "[.5]"sv,       "[+1]"sv,     "[NaN]"sv,   "[Infinity]"sv, "[tru]"sv,
        "[nul]"sv,    "{\"a\":1}x"sv, "[1][2]"sv,   "[\"abc"sv,  "{\"a\":1,}"sv, "[/* c */ 1]"sv,
        "]"sv,        "}"sv,          "{\"a\":1]"sv}) {
    expectInvalid(text);
  }
  // Bytes that are not UTF-8, inside and outside strings.
  for (std::string text :
       {"[\"\xff\"]"s, "[\"\xc0\xaf\"]"s, "[\"\xed\xa0\x80\"]"s, "[\"\xf4\x90\x80\x80\"]"s,
        "[\"\xe4\xb8\"]"s, "[\xe4]"s, "[1]\0"s, "\0[1]"s, "{\"\xfe\":1}"s}) {
    expectInvalid(text);
  }
  auto error = parseJson("[1, tru]").error();
  EXPECT_NE(error.description.find("column"), std::string::npos) << error.description;
  EXPECT_TRUE(error.userInfo.get("position").isInt());

  // Scalars are only accepted at the top level when asked for.
  for (std::string_view text : {"1"sv, "\"x\""sv, "null"sv, "true"sv, "-2.5"sv}) {
    expectInvalid(text, kJsonErrorNotContainer);
    EXPECT_TRUE(parseJson(text, JsonReadOptions{.allowFragments = true}).ok()) << text;
  }
  EXPECT_EQ(parseJson("\"x\"", JsonReadOptions{.allowFragments = true}).value(), Value("x"));
  EXPECT_FALSE(parseJson("", JsonReadOptions{.allowFragments = true}).ok());
}

TEST(JsonTest, DeepAndHugeInputsFailQuickly) {
  auto nested = [](std::size_t depth, std::string_view open, std::string_view close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    if (open != "[") text += "1";
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
  };
  EXPECT_TRUE(parseJson(nested(512, "[", "]")).ok());
  expectInvalid(nested(513, "[", "]"), kJsonErrorTooDeep);
  EXPECT_TRUE(parseJson("[" + nested(511, "{\"a\":", "}") + "]").ok());
  expectInvalid(nested(513, "{\"a\":", "}"), kJsonErrorTooDeep);
  // Far too deep and never closed.
  expectInvalid(std::string(2'000'000, '['), kJsonErrorTooDeep);

  // A 20 MB string that never ends: an error whose text stays short.
  std::string open = "[\"" + std::string(20'000'000, 'x');
  auto result = parseJson(open);
  ASSERT_FALSE(result.ok());
  EXPECT_LT(result.error().description.size(), 400u);

  // A large valid document still reads whole.
  std::string big = "[";
  for (int i = 0; i < 200'000; ++i) big += std::to_string(i) + ",";
  big.back() = ']';
  Value bigValue = parsed(big);
  ASSERT_TRUE(bigValue.isArray());
  EXPECT_EQ(bigValue.asArray()->size(), 200'000u);
  EXPECT_EQ(bigValue.asArray()->back(), Value(199'999));
}

TEST(JsonTest, WriterRejectsValuesWithoutJsonForm) {
  auto expectUnwritable = [](const Value& value, std::int64_t code) {
    for (JsonStyle style : {JsonStyle::Compact, JsonStyle::Pretty}) {
      auto result = writeJson(value, style);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().domain, kJsonErrorDomain);
      EXPECT_EQ(result.error().code, code);
      EXPECT_FALSE(result.error().description.empty());
    }
  };
  expectUnwritable(Value(Date{1.0}), kJsonErrorNoJsonForm);
  expectUnwritable(Value(Bytes{1, 2}), kJsonErrorNoJsonForm);
  expectUnwritable(Value(std::nan("")), kJsonErrorNoJsonForm);
  expectUnwritable(Value(std::numeric_limits<double>::infinity()), kJsonErrorNoJsonForm);
  expectUnwritable(Value(-std::numeric_limits<double>::infinity()), kJsonErrorNoJsonForm);
  expectUnwritable(Value("\xff"), kJsonErrorNoJsonForm);
  expectUnwritable(Value("\xed\xa0\x80"), kJsonErrorNoJsonForm);  // encoded surrogate
  expectUnwritable(Value("\xe4\xb8"), kJsonErrorNoJsonForm);      // cut short
  // Deep inside collections, and in keys.
  expectUnwritable(Dictionary{{"ok", 1}, {"z", Array{1, Dictionary{{"d", Date{}}}}}},
                   kJsonErrorNoJsonForm);
  expectUnwritable(Dictionary{{"\xc3", 1}}, kJsonErrorNoJsonForm);

  Value deep = Array{};
  for (int i = 0; i < 512; ++i) deep = Array{std::move(deep)};
  expectUnwritable(deep, kJsonErrorTooDeep);  // 513 levels
  Value fine = Array{};
  for (int i = 0; i < 511; ++i) fine = Array{std::move(fine)};
  EXPECT_TRUE(writeJson(fine).ok());
}

}  // namespace
}  // namespace orvo
