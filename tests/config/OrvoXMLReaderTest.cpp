#include "orvo/OrvoXMLReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/XmlParser.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

using namespace std::string_literals;
using R = OrvoXMLReader;
using D = Dictionary;
Value text(std::string_view s) { return D{{"text", s}}; }
const ErrorInfo kUntouched{"untouched", 77, "sentinel", {}};

// Elements (root included) or bytes just over the reader's caps.
std::string wide(std::size_t elements, std::size_t bytes = 0) {
  std::string inner;
  for (std::size_t i = 1; i < elements; ++i) inner += "<a/>";
  return "<w>" + inner + std::string(bytes > inner.size() + 7 ? bytes - inner.size() - 7 : 0, ' ') +
         "</w>";
}

std::string nested(std::size_t depth) {
  std::string open, close;
  for (std::size_t i = 0; i < depth; ++i) open += "<n>", close += "</n>";
  return open + "leaf" + close;
}

TEST(OrvoXMLReaderTest, RawAndFlattenedRules) {
  // The platform's white space is trimmed, U+200B is not.
  const std::string ws =
      "\xE3\x80\x80\xC2\xA0\t\xE1\x9A\x80\xE2\x80\x8A v  w "
      "\xE2\x80\xAF\xE2\x81\x9F\xE2\x80\xA8\xC2\x85\n";
  const std::string xml =
      "<x:r xmlns:x=\"u\"><e n=\"attr\"><n>child</n></e><t text=\"attr\" o=\"x\">body</t>"
      "<u text=\"attr\"/><a><![CDATA[hidden]]></a><b>x<![CDATA[y]]>z</b><p> 1 </p>"
      "<p k=\"v\"> 2 </p><p>3</p><m>before <c>child</c> after</m><s><s>x</s></s> <y></y><z/>"
      "<w>" +
      ws + "</w><v>\xE2\x80\x8B z</v><x:n>42</x:n>\n<g>\n <h>\n  <i>v</i>\n </h>\n</g>\n</x:r>";
  // Text belongs to the next element that closes: everything since the last
  // end tag, white space of enclosing start tags included. An attribute and a
  // child of the same name share an array; the element's
  // text overwrites an attribute named text; CDATA never appears; repeated
  // siblings become an array in order; leading text joins the child's and the
  // closing text goes to the parent; names as written, values never converted.
  // clang-format off
  EXPECT_EQ(R::dictionaryForXMLString(xml), (D{{"x:r", D{
      {"xmlns:x", "u"}, {"e", D{{"n", Array{"attr", text("child")}}}},
      {"t", D{{"text", "body"}, {"o", "x"}}}, {"u", D{{"text", "attr"}}}, {"a", D{}},
      {"b", text("xz")}, {"p", Array{text(" 1 "), D{{"k", "v"}, {"text", " 2 "}}, text("3")}},
      {"m", D{{"c", text("before child")}, {"text", " after"}}}, {"s", D{{"s", text("x")}}},
      {"y", text(" ")}, {"z", D{}}, {"w", text(ws)}, {"v", text("\xE2\x80\x8B z")},
      {"x:n", text("42")}, {"text", "\n"},
      {"g", D{{"h", D{{"i", text("\n\n \n  v")}, {"text", "\n "}}}, {"text", "\n"}}}}}}));
  // Flattened: text-only elements become their trimmed text; an element with
  // attributes or children loses its text unless it sits in an array.
  EXPECT_EQ(R::extDictionaryForXMLString(xml), (D{{"x:r", D{
      {"xmlns:x", "u"}, {"e", D{{"n", Array{"attr", "child"}}}}, {"t", D{{"o", "x"}}},
      {"u", "attr"}, {"a", D{}}, {"b", "xz"}, {"p", Array{"1", D{{"k", "v"}, {"text", "2"}}, "3"}},
      {"m", D{{"c", "before child"}}}, {"s", D{{"s", "x"}}}, {"y", ""}, {"z", D{}},
      {"w", "v  w"}, {"v", "\xE2\x80\x8B z"}, {"x:n", "42"}, {"g", D{{"h", D{{"i", "v"}}}}}}}}));
  // clang-format on
}

TEST(OrvoXMLReaderTest, ExtractXMLOnBuiltTrees) {
  // clang-format off
  D d{{"number", D{{"text", 5}}}, {"nested", D{{"text", D{{"k", " v "}}}}}, {"plain", "  s  "},
      {"items", Array{D{{"text", 1}}, " raw ", D{{"text", " t "}}}}};
  EXPECT_EQ(&R::extractXML(d), &d);
  // A text that is not a string stays, one holding a dictionary is walked;
  // strings directly inside arrays are not trimmed.
  EXPECT_EQ(d, (D{{"number", 5}, {"nested", D{{"text", D{{"k", "v"}}}}}, {"plain", "s"},
                  {"items", Array{D{{"text", 1}}, " raw ", "t"}}}));
  // clang-format on
}

// Entity amplification, external entities and huge depth are the parser's
// own tests; here the reader's depth limit and how errors reach the caller.
TEST(OrvoXMLReaderTest, BadDocumentsAreAbsentAndReported) {
  for (const std::string& xml :
       {"<manifest><settings></manifest>"s, "<manifest><settings>"s, ""s,
        "<manifest>caf\xE9</manifest>"s, "not xml"s, "<a/><b/>"s, nested(R::kMaxDepth + 1),
        wide(R::kMaxElements + 1), wide(1, R::kMaxSize + 1)}) {
    SCOPED_TRACE(xml.substr(0, 40));
    ErrorInfo error = kUntouched, extError = kUntouched;
    EXPECT_FALSE(R::dictionaryForXMLData(xml, &error));
    EXPECT_EQ(error.domain, platform::kXmlErrorDomain);
    EXPECT_FALSE(error.description.empty());
    EXPECT_FALSE(R::dictionaryForXMLData(xml));
    EXPECT_FALSE(R::extDictionaryForXMLData(xml, &extError));
    EXPECT_EQ(extError.domain, platform::kXmlErrorDomain);
    EXPECT_EQ(error.code == platform::kXmlErrorTooDeep, xml.starts_with("<n>"));
    EXPECT_EQ(error.code == platform::kXmlErrorTooLarge, xml.starts_with("<w>"));
  }
  ErrorInfo error = kUntouched;
  for (const std::string& xml :
       {nested(R::kMaxDepth), wide(R::kMaxElements), wide(1, R::kMaxSize)}) {
    EXPECT_TRUE(R::extDictionaryForXMLData(xml, &error));
  }
  EXPECT_EQ(error, kUntouched);

  // A reader can be used again; nothing of the failed parse remains.
  R reader(&error);
  EXPECT_FALSE(reader.objectWithData("<a><b>"));
  EXPECT_EQ(reader.objectWithData("<c/>"), (D{{"c", D{}}}));
}

TEST(OrvoXMLReaderTest, Files) {
  test::TempDir dir;
  std::string good = dir.write("good.xml", "<m><k> v </k></m>");
  EXPECT_EQ(R::dictionaryForXMLFile(good), (D{{"m", D{{"k", text(" v ")}}}}));
  EXPECT_EQ(R::extDictionaryForXMLFile(good), (D{{"m", D{{"k", "v"}}}}));

  // Missing, a directory: absent, and the slot stays as it was.
  for (const std::string& path : {dir.path() + "/missing.xml", dir.path()}) {
    ErrorInfo error = kUntouched;
    EXPECT_FALSE(R::dictionaryForXMLFile(path, &error)) << path;
    EXPECT_FALSE(R::extDictionaryForXMLFile(path, &error)) << path;
    EXPECT_EQ(error, kUntouched) << path;
  }
  // Broken or too large (a sparse 64 GiB file is not read whole): an error.
  std::string large = dir.write("large.xml", "<m/>");
  std::filesystem::resize_file(large, std::uintmax_t{64} << 30);
  for (const std::string& path : {dir.write("broken.xml", "<m><k></m>"), large}) {
    ErrorInfo error = kUntouched;
    EXPECT_FALSE(R::extDictionaryForXMLFile(path, &error));
    EXPECT_EQ(error.domain, platform::kXmlErrorDomain);
    EXPECT_EQ(error.code == platform::kXmlErrorTooLarge, path == large);
  }
}

}  // namespace
}  // namespace orvo
