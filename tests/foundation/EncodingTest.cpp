#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "foundation/Archive.h"
#include "orvo/Json.h"

// The two encodings of values: JSON for the wire, the archive for storage.
namespace orvo {
namespace {

using namespace std::literals;
using Real = std::numeric_limits<double>;
using Int = std::numeric_limits<std::int64_t>;

template <class... T>
Array list(T... values) {
  return {Value(std::move(values))...};
}

// The value of a result that must succeed.
template <class T>
T must(Result<T> result) {
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description);
  return result.ok() ? std::move(result).value() : T();
}

Value parsed(std::string_view text) { return must(parseJson(text)); }

std::string written(const Value& value, JsonStyle style = JsonStyle::Compact) {
  return must(writeJson(value, style));
}

void expectInvalid(std::string_view text, std::int64_t code = kJsonErrorInvalidText) {
  auto result = parseJson(text);
  ASSERT_FALSE(result.ok()) << "accepted: " << text;
  EXPECT_EQ(result.error().domain, kJsonErrorDomain);
  EXPECT_EQ(result.error().code, code) << result.error().description;
  EXPECT_FALSE(result.error().description.empty());
  // The description must itself be writable: it ends up in JSON log records.
  EXPECT_TRUE(writeJson(list(result.error().description)).ok()) << result.error().description;
}

TEST(JsonTest, ReadsAndWritesEveryKind) {
  // Both ways: keys in byte order, int64 limits, reals that look whole,
  // escapes, raw UTF-8, NUL.
  const Value edges = list(true, false, nullptr, Dictionary{{"b", Array{}}, {"a", Dictionary{}}},
                           Int::max(), Int::min(), 1.0, -0.0, 0.1, 1e300, "a\"b\\c/d\b\f\n\r\t",
                           "\x01\x1f\x7f"s, "\0x"s, "\u00e9\U0001F600", Dictionary{{"k\ney", 1}});
  const std::string edgesText =
      R"([true,false,null,{"a":{},"b":[]},9223372036854775807,-9223372036854775808,1.0,-0.0,0.1,)"
      R"(1e+300,"a\"b\\c/d\b\f\n\r\t",)"
      "\"\\u0001\\u001f\x7f\",\"\\u0000x\",\"\u00e9\U0001F600\",{\"k\\ney\":1}]";
  EXPECT_EQ(written(edges), edgesText);
  EXPECT_EQ(parsed(edgesText), edges);
  EXPECT_EQ(parsed(written(edges, JsonStyle::Pretty)), edges);
  EXPECT_EQ(written(Dictionary{{"b", list(1, Dictionary{})}, {"a", "x"}, {"c", Array{}}},
                    JsonStyle::Pretty),
            "{\n  \"a\" : \"x\",\n  \"b\" : [\n    1,\n    {}\n  ],\n  \"c\" : []\n}");
  EXPECT_EQ(parsed(" \t\r\n[ 1 , { \"a\" : [ ] } ]\n "), list(1, Dictionary{{"a", Array{}}}));
  // The last of duplicate keys wins.
  EXPECT_EQ(parsed(R"({"a":1,"b":2,"a":{"x":3}})"),
            Value(Dictionary{{"a", Dictionary{{"x", 3}}}, {"b", 2}}));
  // Integers past either int64 limit become reals.
  EXPECT_EQ(parsed(R"([9223372036854775808,-9223372036854775809,18446744073709551616,-0,)"
                   R"(-2.5E-3,1e-400,"\/\u00e9\u4e2d\ud83d\ude00\u0000"])"),
            list(9223372036854775808.0, -9223372036854775809.0, 18446744073709551616.0, 0, -0.0025,
                 0.0, "/\u00e9\u4e2d\U0001F600\0"s));
  // Shortest text that reads back to the very same double; every control character.
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls.push_back(static_cast<char>(c));
  const Value exact = list(0.1 + 0.2, 1.0 / 3.0, 5e-324, Real::max(), 9007199254740993.0, controls);
  EXPECT_EQ(parsed(written(exact)), exact);
}

TEST(JsonTest, MalformedInputGivesErrors) {
  for (std::string_view text :
       {""sv, "   "sv, "{"sv, "["sv, "[1,"sv, "[1,]"sv, "{\"a\":}"sv, "{\"a\" 1}"sv, "[1 2]"sv,
        "{'a':1}"sv, "{a:1}"sv, "[01]"sv, "[1.]"sv, "[.5]"sv, "[+1]"sv, "[NaN]"sv, "[Infinity]"sv,
        "[tru]"sv, "[nul]"sv, "{\"a\":1}x"sv, "[1][2]"sv, "[\"abc"sv, "{\"a\":1,}"sv,
        "[/* c */ 1]"sv, "]"sv, "}"sv, "{\"a\":1]"sv, "[1e400]"sv, "[-1e400]"sv,
        // Lone or unpaired surrogates, unknown escapes, raw control characters.
        R"(["\ud800"])"sv, R"(["\udc00"])"sv, R"(["\ud800\u0041"])"sv, R"(["\x"])"sv,
        R"(["\u12G4"])"sv, "[\"a\x01\"]"sv, "[\"a\nb\"]"sv,
        // Bytes that are not UTF-8, inside and outside strings, and NULs.
        "[\"\xff\"]"sv, "[\"\xc0\xaf\"]"sv, "[\"\xed\xa0\x80\"]"sv, "[\"\xf4\x90\x80\x80\"]"sv,
        "[\"\xe4\xb8\"]"sv, "[\xe4]"sv, "[1]\0"sv, "\0[1]"sv, "{\"\xfe\":1}"sv}) {
    expectInvalid(text);
  }
  auto error = parseJson("[1, tru]").error();
  EXPECT_EQ(error.description.rfind("Invalid JSON: parse error at line 1, column 8: syntax", 0), 0u)
      << error.description;
  EXPECT_TRUE(error.userInfo.get("position").isInt());

  // Scalars are only accepted at the top level when asked for.
  const JsonReadOptions fragments{.allowFragments = true};
  for (std::string_view text : {"1"sv, "\"x\""sv, "null"sv, "true"sv, "-2.5"sv}) {
    expectInvalid(text, kJsonErrorNotContainer);
    EXPECT_TRUE(parseJson(text, fragments).ok()) << text;
  }
  EXPECT_FALSE(parseJson("", fragments).ok());
}

TEST(JsonTest, DeepAndHugeInputsFailQuickly) {
  auto nested = [](int depth, const std::string& open, const char* close, std::string leaf) {
    for (int i = 0; i < depth; ++i) leaf = open + leaf + close;
    return leaf;
  };
  EXPECT_TRUE(parseJson(nested(512, "[", "]", "")).ok());
  expectInvalid(nested(513, "[", "]", ""), kJsonErrorTooDeep);
  EXPECT_TRUE(parseJson(nested(511, "{\"a\":", "}", "[1]")).ok());
  expectInvalid(nested(513, "{\"a\":", "}", "1"), kJsonErrorTooDeep);
  expectInvalid(std::string(2'000'000, '['), kJsonErrorTooDeep);  // never closed

  // A 20 MB string that never ends: an error whose text stays short.
  auto open = parseJson("[\"" + std::string(20'000'000, 'x'));
  ASSERT_FALSE(open.ok());
  EXPECT_LT(open.error().description.size(), 400u);

  std::string big = "[0";
  for (int i = 1; i < 200'000; ++i) big += "," + std::to_string(i);
  const Value bigValue = parsed(big + "]");
  EXPECT_TRUE(bigValue.isArray() && bigValue.asArray()->size() == 200'000u &&
              bigValue.asArray()->back() == Value(199'999));

  // The writer has the same limit, and values without a JSON form are errors
  // wherever they sit, keys included.
  Value tooDeep = Array{};
  for (int i = 0; i < 512; ++i) tooDeep = Array{std::move(tooDeep)};
  EXPECT_TRUE(writeJson(tooDeep.asArray()->front()).ok());  // 512 levels
  for (const Value& value :
       list(tooDeep, Date{1.0}, Bytes{1, 2}, Real::quiet_NaN(), Real::infinity(), -Real::infinity(),
            "\xff", "\xed\xa0\x80", "\xe4\xb8", Dictionary{{"\xc3", 1}},
            Dictionary{{"ok", 1}, {"z", list(1, Dictionary{{"d", Date{}}})}})) {
    for (JsonStyle style : {JsonStyle::Compact, JsonStyle::Pretty}) {
      auto result = writeJson(value, style);
      ASSERT_FALSE(result.ok()) << describe(value);
      EXPECT_EQ(result.error().domain, kJsonErrorDomain);
      EXPECT_EQ(result.error().code, value.isArray() ? kJsonErrorTooDeep : kJsonErrorNoJsonForm);
      EXPECT_FALSE(result.error().description.empty());
    }
  }
}

std::string archived(const Value& value) { return toString(archive(value)); }

Value roundTrip(const Value& value) { return must(unarchive(archived(value))); }

// `mayPass` is for damaged input that could still happen to be a valid archive.
void expectRejected(std::string_view bytes, bool mayPass = false) {
  auto result = unarchive(bytes);
  if (mayPass && result.ok()) return;
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, kArchiveErrorDomain);
  EXPECT_FALSE(result.error().description.empty());
}

Value sample() {
  Array all = list(nullptr, true, false, 0, 1, 1.0, Int::min(), Int::max(), Real::infinity(),
                   Real::denorm_min(), std::string("nul\0ünï", 9), Date{-12345.678},
                   Bytes{0, 0x80, 0xff, 0x7f}, Bytes{}, Array{}, Dictionary{});
  return Dictionary{{"all", all}, {"", "empty key"}, {"dict", Dictionary{{"all", all}}}};
}

TEST(ArchiveTest, EveryTypeRoundTripsUpToTheNestingLimit) {
  const Value value = sample();
  EXPECT_EQ(roundTrip(value), value);
  // Each alone at the top level too; == tells 1, 1.0, true and dates apart.
  for (const Value& element : *value.asDictionary()->getArray("all")) {
    EXPECT_EQ(roundTrip(element), element) << describe(element);
  }
  // Bits that == cannot see.
  Value negativeZero = roundTrip(Value(-0.0));
  EXPECT_TRUE(negativeZero.isReal() && std::signbit(*negativeZero.asReal()));
  Value nan = roundTrip(Value(Real::quiet_NaN()));
  EXPECT_TRUE(nan.isReal() && std::isnan(*nan.asReal()));
  // Lengths that need multi-byte varints.
  const Value big = Array{Bytes(70000, 0xab), Array(300, Value(nullptr))};
  EXPECT_EQ(roundTrip(big), big);

  Value deep = Value("leaf");
  for (int i = 0; i < 256; ++i) deep = i % 2 ? Value(Array{deep}) : Dictionary{{"k", deep}};
  EXPECT_EQ(roundTrip(deep), deep);
  expectRejected(archived(Array{deep}));
}

TEST(ArchiveTest, TruncatedDamagedAndForeignDataAreRejected) {
  const std::string full = archived(sample());
  for (std::size_t i = 0; i < full.size(); ++i) {
    SCOPED_TRACE(i);
    // An exact-size copy, so that a sanitizer catches any read past it.
    std::vector<char> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(i));
    expectRejected({cut.data(), cut.size()});
    std::string damaged = full;
    damaged[i] ^= 0xa5;
    expectRejected(damaged, true);
  }

  const std::string header("ORVA\x01", 5);
  const std::string huge("\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 9);
  // Foreign data, a newer format, an unknown kind; declared lengths far beyond
  // the input for each sized kind; varints longer than 64 bits; one key twice;
  // a long run of one-element arrays that must not exhaust the stack.
  std::string hostile = header;
  for (int i = 0; i < 200000; ++i) hostile += "\x08\x01";
  for (const std::string& bad :
       {std::string(), std::string("{\"json\": true}"), std::string("bplist00"),
        std::string("ORVA"), std::string("ORVA\x02\x00", 6), header + '\xee',
        header + '\x05' + huge + "abc", header + '\x07' + huge + "abc",
        header + '\x08' + huge + "abc", header + '\x09' + huge + "abc",
        header + '\x05' + std::string(11, '\xff') + '\x01',
        header + '\x05' + std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\x02", 10),
        header + std::string("\x09\x02\x01k\x00\x01k\x01", 8), hostile + '\0', full + '\0'}) {
    expectRejected(bad);
  }
  EXPECT_TRUE(unarchive(header + std::string("\x09\x02\x01k\x00\x01l\x01", 8)).ok());
}

}  // namespace
}  // namespace orvo
