#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include "Helpers.h"

namespace orvo::platform {
namespace {

using test::list;

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist SYSTEM \"PropertyList-1.0.dtd\">\n<plist version=\"1.0\">" +
         body + "</plist>";
}

// One marker byte, then two-byte references to objects.
std::string object(int marker, std::initializer_list<int> references = {}) {
  std::string out(1, static_cast<char>(marker));
  for (int i : references) out += {static_cast<char>(i >> 8), static_cast<char>(i & 0xFF)};
  return out;
}

// A hand-made binary list with two-byte offsets and references; object 0 is the top.
std::string binaryPlist(const std::vector<std::string>& objects) {
  std::string out = "bplist00";
  std::string table;
  for (const auto& bytes : objects) {
    table += object(0, {static_cast<int>(out.size())}).substr(1);
    out += bytes;
  }
  const int tableOffset = static_cast<int>(out.size());
  std::string trailer = std::string(6, '\0') + "\x02\x02" + std::string(6, '\0') +
                        object(0, {static_cast<int>(objects.size())}).substr(1) +
                        std::string(14, '\0') + object(0, {tableOffset}).substr(1);
  return out + table + trailer;
}

// An ASCII string object of fewer than 15 characters.
std::string ascii(std::string_view text) {
  return static_cast<char>(0x50 + text.size()) + std::string(text);
}

// A UTF-16 string object of fewer than 15 code units below U+0100.
std::string utf16(std::string_view text) {
  std::string out(1, static_cast<char>(0x60 + text.size()));
  for (char c : text) out += {'\0', c};
  return out;
}

void expectRejected(std::string_view input) {
  Result<Value> result = parsePropertyList(input);
  ASSERT_FALSE(result.ok()) << "accepted: " << input;
  EXPECT_EQ(result.error().domain, kPropertyListErrorDomain);
  EXPECT_FALSE(result.error().description.empty());
}

TEST(PropertyListTest, ReadsEveryXmlTypeAndBinaryLists) {
  Result<Value> result = parsePropertyList(
      xmlPlist("<array><string>caf&#233; &amp; more</string><true/><false/><integer>-7</integer>"
               "<real>2.5</real><date>2001-01-01T00:00:00Z</date><date>2020-06-15T12:30:00Z</date>"
               "<data>AAEC/w==</data><dict><key>aps-environment</key><string>development</string>"
               "<key>list</key><array><integer>1</integer></array></dict></array>"));
  ASSERT_TRUE(result.ok()) << result.error().description;
  // Property-list dates count from 2001, ours from 1970.
  EXPECT_EQ(result.value(),
            list("caf\xC3\xA9 & more", true, false, -7, 2.5, Date{978307200.0}, Date{1592224200.0},
                 Bytes{0x00, 0x01, 0x02, 0xFF},
                 Dictionary{{"aps-environment", "development"}, {"list", list(1)}}));

  // {"a": 1, "b": ["x"]}: keys are objects 1 and 2, values 3 and 4.
  result =
      parsePropertyList(binaryPlist({object(0xD2, {1, 2, 3, 4}), ascii("a"), ascii("b"),
                                     std::string("\x10\x01", 2), object(0xA1, {5}), ascii("x")}));
  ASSERT_TRUE(result.ok()) << result.error().description;
  EXPECT_EQ(result.value(), Value(Dictionary{{"a", 1}, {"b", list("x")}}));

  // A UTF-16 string keeps its NUL; markup inside comments and CDATA is text.
  using namespace std::string_literals;
  result = parsePropertyList(binaryPlist({object(0xA1, {1}), utf16("a\0b"s)}));
  ASSERT_TRUE(result.ok()) << result.error().description;
  EXPECT_EQ(result.value(), list("a\0b"s));
  result = parsePropertyList(
      xmlPlist("<array><!--</array>--><string><![CDATA[</array>]]></string></array>"));
  ASSERT_TRUE(result.ok()) << result.error().description;
  EXPECT_EQ(result.value(), list("</array>"));
}

TEST(PropertyListTest, JunkDeepAndExplodingListsGiveErrorValues) {
  for (const std::string& junk :
       {std::string(), std::string("not a plist at all"),
        std::string("\x00\x01\x02\xFF\xFE junk", 10),
        xmlPlist("<dict><key>a</key><string>unterminated"),
        std::string("<plist><dict><key>a</key></plist>"), std::string("bplist00"),
        "bplist00" + std::string(40, '\xFF'), "bplist00" + std::string(40, '\0'),
        // A reference outside the object table, and an array that holds itself.
        binaryPlist({object(0xA1, {9})}), binaryPlist({object(0xA1, {0})}),
        // NUL in a string or key, on which libplist's readers abort.
        std::string("<string>\0</string>", 18), xmlPlist(std::string("<string>a\0</string>", 19)),
        xmlPlist(std::string("<dict><key>\0</key><true/></dict>", 33)),
        binaryPlist({object(0xD1, {1, 2}), utf16(std::string("k\0", 2)), ascii("v")}),
        binaryPlist({object(0xD1, {1, 2}), ascii(std::string("\0", 1)), ascii("v")})}) {
    expectRejected(junk);
  }

  auto nestedXml = [](std::size_t depth) {
    std::string open, close;
    for (std::size_t i = 0; i < depth; ++i) open += "<array>", close += "</array>";
    return xmlPlist(open + close);
  };
  EXPECT_TRUE(parsePropertyList(nestedXml(100)).ok());
  expectRejected(nestedXml(300));
  expectRejected(nestedXml(1'000'000));
  // Closing tags inside comments or CDATA must not lower the count.
  for (std::string_view decoy : {"<!--</array>-->", "<![CDATA[</array>]]>"}) {
    std::string open, close;
    for (int i = 0; i < 200'000; ++i) open.append("<array>").append(decoy), close += "</array>";
    expectRejected(xmlPlist(open + close));
  }
  // Chains of arrays, each holding the next: 50 deep is fine, 300 is not.
  auto chain = [](int depth) {
    std::vector<std::string> objects;
    for (int i = 0; i < depth; ++i) objects.push_back(object(0xA1, {i + 1}));
    objects.push_back(object(0xA0));
    return binaryPlist(objects);
  };
  EXPECT_TRUE(parsePropertyList(chain(50)).ok());
  expectRejected(chain(300));

  // 40 levels, each holding the next one twice: 2^40 nodes once expanded.
  std::vector<std::string> doubling;
  for (int i = 0; i < 40; ++i) doubling.push_back(object(0xA2, {i + 1, i + 1}));
  doubling.push_back(ascii("x"));
  expectRejected(binaryPlist(doubling));
  // Shared objects that stay small are fine.
  Result<Value> shared = parsePropertyList(binaryPlist({object(0xA3, {1, 1, 1}), ascii("x")}));
  ASSERT_TRUE(shared.ok()) << shared.error().description;
  EXPECT_EQ(shared.value(), list("x", "x", "x"));
}

}  // namespace
}  // namespace orvo::platform
