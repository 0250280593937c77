#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvo::platform {
namespace {

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist SYSTEM \"PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">" +
         body + "</plist>";
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// A two-byte reference to object i.
std::string ref(int i) { return bytes({(i >> 8) & 0xFF, i & 0xFF}); }

// A hand-made binary list: objects given as raw bytes, two-byte offsets and
// references.
std::string binaryPlist(const std::vector<std::string>& objects, int top = 0) {
  std::string out = "bplist00";
  std::vector<std::size_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  std::size_t tableOffset = out.size();
  for (std::size_t offset : offsets) out += ref(static_cast<int>(offset));
  std::string trailer(32, '\0');
  trailer[6] = 2;  // offset size
  trailer[7] = 2;  // reference size
  trailer.replace(14, 2, ref(static_cast<int>(objects.size())));
  trailer.replace(22, 2, ref(top));
  trailer.replace(30, 2, ref(static_cast<int>(tableOffset)));
  return out + trailer;
}

TEST(PropertyListTest, ConvertsEveryXmlType) {
  Result<Value> result = parsePropertyList(xmlPlist(
      "<dict>"
      "<key>string</key><string>caf&#233; &amp; more</string>"
      "<key>yes</key><true/><key>no</key><false/>"
      "<key>int</key><integer>42</integer>"
      "<key>negative</key><integer>-7</integer>"
      "<key>real</key><real>2.5</real>"
      "<key>epoch</key><date>2001-01-01T00:00:00Z</date>"
      "<key>later</key><date>2020-06-15T12:30:00Z</date>"
      "<key>data</key><data>AAEC/w==</data>"
      "<key>array</key><array><string>a</string><integer>1</integer></array>"
      "<key>nested</key><dict><key>aps-environment</key><string>development</string></dict>"
      "</dict>"));
  ASSERT_TRUE(result.ok()) << result.error().description;
  const Dictionary* d = result.value().asDictionary();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->get("string"), Value("caf\xC3\xA9 & more"));
  EXPECT_EQ(d->get("yes"), Value(true));
  EXPECT_EQ(d->get("no"), Value(false));
  EXPECT_EQ(d->get("int"), Value(42));
  EXPECT_EQ(d->get("negative"), Value(-7));
  EXPECT_EQ(d->get("real"), Value(2.5));
  // Property-list dates count from 2001; ours from 1970.
  EXPECT_EQ(d->get("epoch"), Value(Date{978307200.0}));
  EXPECT_EQ(d->get("later"), Value(Date{1592224200.0}));
  EXPECT_EQ(d->get("data"), Value(Bytes{0x00, 0x01, 0x02, 0xFF}));
  EXPECT_EQ(d->get("array"), Value(Array{Value("a"), Value(1)}));
  ASSERT_NE(d->getDictionary("nested"), nullptr);
  EXPECT_EQ(d->getDictionary("nested")->get("aps-environment"), Value("development"));

  Result<Value> array = parsePropertyList(xmlPlist("<array><string>x</string></array>"));
  ASSERT_TRUE(array.ok());
  EXPECT_EQ(array.value(), Value(Array{Value("x")}));
}

TEST(PropertyListTest, ReadsBinaryLists) {
  // {"a": 1, "b": ["x"]}
  std::string plist = binaryPlist({
      bytes({0xD2}) + ref(1) + ref(2) + ref(3) + ref(4),  // keys 1, 2; values 3, 4
      bytes({0x51, 'a'}),
      bytes({0x51, 'b'}),
      bytes({0x10, 0x01}),
      bytes({0xA1}) + ref(5),
      bytes({0x51, 'x'}),
  });
  Result<Value> result = parsePropertyList(plist);
  ASSERT_TRUE(result.ok()) << result.error().description;
  Dictionary expected{{"a", Value(1)}, {"b", Value(Array{Value("x")})}};
  EXPECT_EQ(result.value(), Value(expected));
}

TEST(PropertyListTest, JunkGivesErrorValues) {
  std::vector<std::string> junk{
      "",
      "not a plist at all",
      std::string("\x00\x01\x02\xFF\xFE garbage", 14),
      xmlPlist("<dict><key>a</key><string>unterminated"),
      "<plist><dict><key>a</key></plist>",
      "bplist00",
      "bplist00" + std::string(40, '\xFF'),
      "bplist00" + std::string(40, '\0'),
  };
  for (const auto& input : junk) {
    Result<Value> result = parsePropertyList(input);
    EXPECT_FALSE(result.ok()) << "accepted: " << input;
    if (!result.ok()) {
      EXPECT_EQ(result.error().domain, kPropertyListErrorDomain);
      EXPECT_FALSE(result.error().description.empty());
    }
  }

  // References outside the object table, and an array that holds itself.
  std::string badRef = binaryPlist({bytes({0xA1}) + ref(9)});
  EXPECT_FALSE(parsePropertyList(badRef).ok());
  std::string cycle = binaryPlist({bytes({0xA1}) + ref(0)});
  EXPECT_FALSE(parsePropertyList(cycle).ok());
}

TEST(PropertyListTest, RefusesDeepAndExplodingLists) {
  auto nestedXml = [](std::size_t depth) {
    std::string body;
    for (std::size_t i = 0; i < depth; ++i) body += "<array>";
    for (std::size_t i = 0; i < depth; ++i) body += "</array>";
    return xmlPlist(body);
  };
  EXPECT_TRUE(parsePropertyList(nestedXml(100)).ok());
  EXPECT_TRUE(parsePropertyList(xmlPlist("<array><array/><dict/></array>")).ok());
  for (std::size_t depth : {300u, 1'000'000u}) {
    Result<Value> deep = parsePropertyList(nestedXml(depth));
    ASSERT_FALSE(deep.ok()) << depth;
    EXPECT_EQ(deep.error().domain, kPropertyListErrorDomain);
  }

  std::vector<std::string> shortChain;
  for (int i = 0; i < 50; ++i) shortChain.push_back(bytes({0xA1}) + ref(i + 1));
  shortChain.push_back(bytes({0xA0}));
  EXPECT_TRUE(parsePropertyList(binaryPlist(shortChain)).ok());

  // 300 arrays, each holding the next.
  std::vector<std::string> chain;
  for (int i = 0; i < 300; ++i) chain.push_back(bytes({0xA1}) + ref(i + 1));
  chain.push_back(bytes({0xA0}));
  EXPECT_FALSE(parsePropertyList(binaryPlist(chain)).ok());

  // 40 levels, each holding the next level twice: 2^40 nodes once expanded.
  std::vector<std::string> doubling;
  for (int i = 0; i < 40; ++i) doubling.push_back(bytes({0xA2}) + ref(i + 1) + ref(i + 1));
  doubling.push_back(bytes({0x51, 'x'}));
  Result<Value> bomb = parsePropertyList(binaryPlist(doubling));
  EXPECT_FALSE(bomb.ok());

  // Shared objects that stay small are fine.
  std::vector<std::string> shared{bytes({0xA3}) + ref(1) + ref(1) + ref(1), bytes({0x51, 'x'})};
  Result<Value> fine = parsePropertyList(binaryPlist(shared));
  ASSERT_TRUE(fine.ok()) << fine.error().description;
  EXPECT_EQ(fine.value(), Value(Array{Value("x"), Value("x"), Value("x")}));
}

}  // namespace
}  // namespace orvo::platform
