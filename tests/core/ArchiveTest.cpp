#include "core/Archive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace orvo {
namespace {

std::string_view view(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

Value roundTrip(const Value& value) {
  auto result = unarchive(view(archive(value)));
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description);
  return result.ok() ? result.value() : Value("<failed>");
}

void expectRejected(std::string_view bytes) {
  auto result = unarchive(bytes);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, kArchiveErrorDomain);
  EXPECT_FALSE(result.error().description.empty());
}

Value sample() {
  Dictionary inner{{"z", Value(Bytes{})}, {"", Value("empty key")}, {"n", Value(nullptr)}};
  return Value(Dictionary{
      {"null", Value(nullptr)},
      {"true", Value(true)},
      {"false", Value(false)},
      {"zero", Value(0)},
      {"one", Value(1)},
      {"realOne", Value(1.0)},
      {"min", Value(std::numeric_limits<std::int64_t>::min())},
      {"max", Value(std::numeric_limits<std::int64_t>::max())},
      {"pi", Value(3.141592653589793)},
      {"string", Value(std::string("nul\0inside ünïcode", 19))},
      {"date", Value(Date{-12345.678})},
      {"bytes", Value(Bytes{0, 0x80, 0xff, 0x7f})},
      {"array", Value(Array{Value(1), Value(1.0), Value(true), Value("1"), Value(Array{}),
                            Value(Dictionary{})})},
      {"dict", Value(Dictionary{{"inner", Value(inner)}})},
  });
}

TEST(ArchiveTest, EveryTypeRoundTripsWithoutLoss) {
  const Value value = sample();
  EXPECT_EQ(roundTrip(value), value);
  // Each alone at top level too, with the kind intact.
  for (const auto& [key, element] : *value.asDictionary()) {
    Value back = roundTrip(element);
    EXPECT_EQ(back, element) << key;
    EXPECT_EQ(back.type(), element.type()) << key;
  }
  EXPECT_TRUE(roundTrip(Value(1)).isInt());
  EXPECT_TRUE(roundTrip(Value(1.0)).isReal());
  EXPECT_TRUE(roundTrip(Value(true)).isBool());
  EXPECT_TRUE(roundTrip(Value(Date{1.0})).isDate());

  // Reals keep their exact bits, including the ones == cannot see.
  Value negativeZero = roundTrip(Value(-0.0));
  ASSERT_TRUE(negativeZero.isReal());
  EXPECT_TRUE(std::signbit(*negativeZero.asReal()));
  Value nan = roundTrip(Value(std::numeric_limits<double>::quiet_NaN()));
  ASSERT_TRUE(nan.isReal());
  EXPECT_TRUE(std::isnan(*nan.asReal()));
  EXPECT_EQ(roundTrip(Value(std::numeric_limits<double>::infinity())),
            Value(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(roundTrip(Value(std::numeric_limits<double>::denorm_min())),
            Value(std::numeric_limits<double>::denorm_min()));

  // Lengths that need multi-byte varints.
  Value big(Bytes(70000, 0xab));
  EXPECT_EQ(roundTrip(big), big);
  Array many(300, Value(nullptr));
  EXPECT_EQ(roundTrip(Value(many)), Value(many));
}

TEST(ArchiveTest, NestingUpToTheLimit) {
  Value deep = Value("leaf");
  for (int i = 0; i < 256; ++i) {
    deep = (i % 2) ? Value(Array{deep}) : Value(Dictionary{{"k", deep}});
  }
  EXPECT_EQ(roundTrip(deep), deep);

  Value tooDeep = Value(Array{deep});
  Bytes bytes = archive(tooDeep);
  expectRejected(view(bytes));

  // A long run of one-element arrays is refused without exhausting the stack.
  Bytes hostile(bytes.begin(), bytes.begin() + 5);
  for (int i = 0; i < 200000; ++i) {
    hostile.push_back(8);
    hostile.push_back(1);
  }
  hostile.push_back(0);
  expectRejected(view(hostile));
}

TEST(ArchiveTest, EveryTruncationIsRejected) {
  const Bytes full = archive(sample());
  ASSERT_TRUE(unarchive(view(full)).ok());
  for (std::size_t size = 0; size < full.size(); ++size) {
    SCOPED_TRACE(size);
    // A copy of exactly that size, so that a tool catches any read past it.
    std::vector<char> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    expectRejected(std::string_view(cut.data(), cut.size()));
  }
  Bytes trailing = full;
  trailing.push_back(0);
  expectRejected(view(trailing));
}

TEST(ArchiveTest, GarbageAndForeignDataAreRejected) {
  expectRejected("");
  expectRejected("{\"json\": true}");
  expectRejected("bplist00");
  expectRejected("ORVA");
  expectRejected(std::string_view("ORVA\x02\x00", 6));  // a newer format
  expectRejected(std::string_view("ORVA\x01\xee", 6));  // unknown kind

  const std::string header("ORVA\x01", 5);
  // Declared lengths far beyond the input, for each sized kind.
  const std::string huge("\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 9);
  for (char tag : {'\x05', '\x07', '\x08', '\x09'}) {
    expectRejected(header + tag + huge + "abc");
  }
  // A varint longer than 64 bits.
  expectRejected(header + '\x05' + std::string(11, '\xff') + '\x01');
  expectRejected(header + '\x05' + std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\x02", 10));
  // The same key twice in one dictionary.
  expectRejected(header + std::string("\x09\x02\x01k\x00\x01k\x01", 8));
  ASSERT_TRUE(unarchive(header + std::string("\x09\x02\x01k\x00\x01l\x01", 8)).ok());

  std::mt19937 random(1234);
  for (int round = 0; round < 2000; ++round) {
    std::string noise(random() % 64, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    expectRejected(noise.substr(0, 3) == "ORV" ? "x" + noise : noise);
    // Random bodies behind a valid header: an answer either way, never a crash.
    auto result = unarchive(header + noise);
    if (!result.ok()) {
      EXPECT_EQ(result.error().domain, kArchiveErrorDomain);
    }
  }

  // Single flipped bytes of a real archive.
  const Bytes full = archive(sample());
  for (std::size_t i = 0; i < full.size(); ++i) {
    Bytes damaged = full;
    damaged[i] ^= 0xa5;
    auto result = unarchive(view(damaged));
    if (!result.ok()) {
      EXPECT_EQ(result.error().domain, kArchiveErrorDomain);
    }
  }
}

}  // namespace
}  // namespace orvo
