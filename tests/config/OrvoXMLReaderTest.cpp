#include "orvo/OrvoXMLReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/XmlParser.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

Value text(std::string_view s) { return Value(Dictionary{{"text", Value(s)}}); }

const ErrorInfo kUntouched{"untouched", 77, "sentinel", {}};

std::string nested(std::size_t depth) {
  std::string xml;
  for (std::size_t i = 0; i < depth; ++i) xml += "<n>";
  xml += "leaf";
  for (std::size_t i = 0; i < depth; ++i) xml += "</n>";
  return xml;
}

std::string billionLaughs() {
  std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE manifest [\n<!ENTITY l0 \"lol\">\n";
  for (int i = 1; i <= 9; ++i) {
    xml += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) xml += "&l" + std::to_string(i - 1) + ";";
    xml += "\">\n";
  }
  return xml + "]>\n<manifest><settings>&l9;</settings></manifest>";
}

TEST(OrvoXMLReaderTest, WorkedExampleRawAndFlattened) {
  const char* xml =
      "<manifest>\n"
      "  <settings>\n"
      "    <push>\n"
      "      <storage>true</storage>\n"
      "      <receiver>\n"
      "        <mode>production</mode>\n"
      "        <server>http://one/</server>\n"
      "        <server>http://two/</server>\n"
      "      </receiver>\n"
      "    </push>\n"
      "  </settings>\n"
      "</manifest>";
  auto raw = OrvoXMLReader::dictionaryForXMLString(xml);
  ASSERT_TRUE(raw);
  ASSERT_EQ(raw->size(), 1u);
  const Dictionary* receiver = raw->getDictionary("manifest")
                                   ->getDictionary("settings")
                                   ->getDictionary("push")
                                   ->getDictionary("receiver");
  ASSERT_NE(receiver, nullptr);
  // Text belongs to the next element that closes: everything since the last
  // end tag, indentation of enclosing start tags included.
  EXPECT_EQ(receiver->get("mode"), text("\n      \n        production"));
  EXPECT_EQ(raw->getDictionary("manifest")
                ->getDictionary("settings")
                ->getDictionary("push")
                ->get("storage"),
            text("\n  \n    \n      true"));
  EXPECT_EQ(receiver->get("text"), Value("\n      "));
  EXPECT_EQ(receiver->get("server"),
            Value(Array{text("\n        http://one/"), text("\n        http://two/")}));

  auto flat = OrvoXMLReader::extDictionaryForXMLString(xml);
  ASSERT_TRUE(flat);
  Dictionary expectedReceiver{{"mode", Value("production")},
                              {"server", Value(Array{Value("http://one/"), Value("http://two/")})}};
  Dictionary expectedPush{{"storage", Value("true")}, {"receiver", Value(expectedReceiver)}};
  Dictionary expected{
      {"manifest",
       Value(Dictionary{{"settings", Value(Dictionary{{"push", Value(expectedPush)}})}})}};
  EXPECT_EQ(*flat, expected);
}

TEST(OrvoXMLReaderTest, FlatteningEdgeCases) {
  // Text only; empty after white space; empty with nothing before it.
  auto flat = OrvoXMLReader::extDictionaryForXMLString(
      "<r><a>  value \n</a>\n <b></b><c/><d attr=\"x\">dropped</d>\n</r>");
  ASSERT_TRUE(flat);
  const Dictionary* r = flat->getDictionary("r");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->get("a"), Value("value"));
  EXPECT_EQ(r->get("b"), Value(""));
  EXPECT_EQ(r->get("c"), Value(Dictionary{}));
  // Attribute plus text: the attribute stays, the text goes.
  EXPECT_EQ(r->get("d"), Value(Dictionary{{"attr", Value("x")}}));
  // The root had children, so its trailing text went too.
  EXPECT_FALSE(r->contains("text"));

  // Three siblings in order; text-only entries become strings, the one with
  // an attribute keeps its own trimmed text.
  flat = OrvoXMLReader::extDictionaryForXMLString("<r><p> 1 </p><p k=\"v\"> 2 </p><p>3</p></r>");
  ASSERT_TRUE(flat);
  Array expected{Value("1"), Value(Dictionary{{"k", Value("v")}, {"text", Value("2")}}),
                 Value("3")};
  EXPECT_EQ(flat->getDictionary("r")->get("p"), Value(expected));

  // Same name nested is not a sibling.
  flat = OrvoXMLReader::extDictionaryForXMLString("<a><a><a>x</a></a></a>");
  ASSERT_TRUE(flat);
  Dictionary inner{{"a", Value("x")}};
  EXPECT_EQ(*flat, (Dictionary{{"a", Value(Dictionary{{"a", Value(inner)}})}}));
}

TEST(OrvoXMLReaderTest, RawFormQuirks) {
  // An attribute and a child of the same name share an array.
  auto raw = OrvoXMLReader::dictionaryForXMLString("<e n=\"attr\"><n>child</n></e>");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->getDictionary("e")->get("n"), Value(Array{Value("attr"), text("child")}));
  auto flat = OrvoXMLReader::extDictionaryForXMLString("<e n=\"attr\"><n>child</n></e>");
  EXPECT_EQ(flat->getDictionary("e")->get("n"), Value(Array{Value("attr"), Value("child")}));

  // The element's text overwrites an attribute named text.
  raw = OrvoXMLReader::dictionaryForXMLString("<e text=\"attr\" other=\"o\">body</e>");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->getDictionary("e")->get("text"), Value("body"));
  // With no text, the attribute stays.
  raw = OrvoXMLReader::dictionaryForXMLString("<e text=\"attr\"/>");
  EXPECT_EQ(raw->getDictionary("e")->get("text"), Value("attr"));

  // Mixed content: the leading text joins the child's, the closing text goes
  // to the parent and is dropped when flattening.
  raw = OrvoXMLReader::dictionaryForXMLString("<p>before <c>child</c> after</p>");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->getDictionary("p")->get("c"), text("before child"));
  EXPECT_EQ(raw->getDictionary("p")->get("text"), Value(" after"));
  flat = OrvoXMLReader::extDictionaryForXMLString("<p>before <c>child</c> after</p>");
  EXPECT_EQ(flat->get("p"), Value(Dictionary{{"c", Value("before child")}}));

  // CDATA never appears; text around it does.
  raw = OrvoXMLReader::dictionaryForXMLString(
      "<r><a><![CDATA[hidden]]></a><b>x<![CDATA[y]]>z</b></r>");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->getDictionary("r")->get("a"), Value(Dictionary{}));
  EXPECT_EQ(raw->getDictionary("r")->get("b"), text("xz"));

  // Names as written, namespaces untouched; values never converted.
  raw = OrvoXMLReader::dictionaryForXMLString(
      "<x:r xmlns:x=\"urn:x\"><x:n>42</x:n><t>true</t></x:r>");
  ASSERT_TRUE(raw);
  const Dictionary* r = raw->getDictionary("x:r");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->get("xmlns:x"), Value("urn:x"));
  EXPECT_EQ(r->get("x:n"), text("42"));
  EXPECT_EQ(r->get("t"), text("true"));
}

TEST(OrvoXMLReaderTest, TrimsThePlatformWhiteSpaceSet) {
  std::string xml =
      "<r><a>\xE3\x80\x80\xC2\xA0\t value with  inside \xE2\x80\xA8\xC2\x85\r\n</a>"
      "<b>\xE2\x80\x8B keep zero-width</b><c>\xE1\x9A\x80\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F</c>"
      "<d>caf\xC3\xA9</d></r>";
  auto flat = OrvoXMLReader::extDictionaryForXMLString(xml);
  ASSERT_TRUE(flat);
  const Dictionary* r = flat->getDictionary("r");
  EXPECT_EQ(r->get("a"), Value("value with  inside"));
  // U+200B is not white space.
  EXPECT_EQ(r->get("b"), Value("\xE2\x80\x8B keep zero-width"));
  EXPECT_EQ(r->get("c"), Value(""));
  EXPECT_EQ(r->get("d"), Value("caf\xC3\xA9"));
}

TEST(OrvoXMLReaderTest, ExtractXMLOnBuiltTrees) {
  Dictionary d{
      // A text-only element whose text is not a string keeps the value.
      {"number", Value(Dictionary{{"text", Value(5)}})},
      // A text-only element holding a dictionary is walked, not replaced.
      {"nested", Value(Dictionary{{"text", Value(Dictionary{{"k", Value(" v ")}})}})},
      {"plain", Value("  s  ")},
      {"items", Value(Array{Value(Dictionary{{"text", Value(1)}}), Value(" raw "),
                            Value(Dictionary{{"text", Value(" t ")}})})},
  };
  Dictionary& same = OrvoXMLReader::extractXML(d);
  EXPECT_EQ(&same, &d);
  EXPECT_EQ(d.get("number"), Value(5));
  EXPECT_EQ(d.get("nested"), Value(Dictionary{{"text", Value(Dictionary{{"k", Value("v")}})}}));
  EXPECT_EQ(d.get("plain"), Value("s"));
  // Strings directly inside arrays are not trimmed; dictionaries are walked.
  EXPECT_EQ(d.get("items"),
            Value(Array{Value(Dictionary{{"text", Value(1)}}), Value(" raw "), Value("t")}));

  // Deep trees flatten without recursion.
  Dictionary deep{{"text", Value(" leaf ")}, {"x", Value("y")}};
  for (int i = 0; i < 5000; ++i) {
    Dictionary outer;
    outer.set("n", Value(std::move(deep)));
    outer.set("text", Value("\n"));
    deep = std::move(outer);
  }
  OrvoXMLReader::extractXML(deep);
  // The top keeps its own text, trimmed; everything reached through a key
  // loses it.
  EXPECT_EQ(deep.get("text"), Value(""));
  const Dictionary* walk = &deep;
  int levels = 0;
  while (const Dictionary* next = walk->getDictionary("n")) {
    walk = next;
    ++levels;
    EXPECT_FALSE(walk->contains("text"));
  }
  EXPECT_EQ(levels, 5000);
  EXPECT_FALSE(walk->contains("text"));
  EXPECT_EQ(walk->get("x"), Value("y"));
}

TEST(OrvoXMLReaderTest, MalformedInputIsAbsentAndReported) {
  const std::vector<std::string> bad{
      "<manifest><settings></manifest>",
      "<manifest><settings>",
      "",
      "<manifest>caf\xE9</manifest>",
      "not xml",
      "<a/><b/>",
  };
  for (const auto& xml : bad) {
    ErrorInfo error = kUntouched;
    EXPECT_FALSE(OrvoXMLReader::dictionaryForXMLData(xml, &error)) << xml;
    EXPECT_EQ(error.domain, platform::kXmlErrorDomain) << xml;
    EXPECT_FALSE(error.description.empty());
    EXPECT_FALSE(OrvoXMLReader::dictionaryForXMLData(xml)) << xml;
    ErrorInfo extError = kUntouched;
    EXPECT_FALSE(OrvoXMLReader::extDictionaryForXMLData(xml, &extError)) << xml;
    EXPECT_EQ(extError.domain, platform::kXmlErrorDomain);
  }

  ErrorInfo error = kUntouched;
  EXPECT_TRUE(OrvoXMLReader::dictionaryForXMLData("<ok/>", &error));
  EXPECT_EQ(error, kUntouched);

  // A reader can be used again; nothing of the failed parse remains.
  OrvoXMLReader reader(&error);
  EXPECT_FALSE(reader.objectWithData("<a><b>"));
  auto second = reader.objectWithData("<c/>");
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, (Dictionary{{"c", Value(Dictionary{})}}));
}

TEST(OrvoXMLReaderTest, HostileDocuments) {
  ErrorInfo error = kUntouched;
  EXPECT_FALSE(OrvoXMLReader::extDictionaryForXMLData(billionLaughs(), &error));
  EXPECT_EQ(error.domain, platform::kXmlErrorDomain);

  error = kUntouched;
  EXPECT_FALSE(OrvoXMLReader::extDictionaryForXMLData(nested(100000), &error));
  EXPECT_EQ(error.code, platform::kXmlErrorTooDeep);

  EXPECT_TRUE(OrvoXMLReader::extDictionaryForXMLData(nested(OrvoXMLReader::kMaxDepth)));
  EXPECT_FALSE(OrvoXMLReader::extDictionaryForXMLData(nested(OrvoXMLReader::kMaxDepth + 1)));

  std::string many = "<r>";
  for (int i = 0; i < 20000; ++i) many += "\n  <e>" + std::to_string(i) + "</e>";
  many += "\n</r>";
  auto flat = OrvoXMLReader::extDictionaryForXMLData(many);
  ASSERT_TRUE(flat);
  const Array* entries = flat->getDictionary("r")->getArray("e");
  ASSERT_NE(entries, nullptr);
  ASSERT_EQ(entries->size(), 20000u);
  EXPECT_EQ((*entries)[0], Value("0"));
  EXPECT_EQ((*entries)[12345], Value("12345"));
  EXPECT_EQ(entries->back(), Value("19999"));
}

TEST(OrvoXMLReaderTest, Files) {
  test::TempDir dir;
  std::string good = dir.write("good.xml", "<m><k> v </k></m>");
  auto raw = OrvoXMLReader::dictionaryForXMLFile(good);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->getDictionary("m")->get("k"), text(" v "));
  auto flat = OrvoXMLReader::extDictionaryForXMLFile(good);
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->getDictionary("m")->get("k"), Value("v"));

  // Unreadable: missing, a directory, too large. The slot stays as it was.
  std::string large = dir.write("large.xml", "<m/>");
  std::filesystem::resize_file(large, (std::uintmax_t{64} << 20) + 1);
  for (const std::string& path : {dir.path() + "/missing.xml", dir.path(), large}) {
    ErrorInfo error = kUntouched;
    EXPECT_FALSE(OrvoXMLReader::dictionaryForXMLFile(path, &error)) << path;
    EXPECT_FALSE(OrvoXMLReader::extDictionaryForXMLFile(path, &error)) << path;
    EXPECT_EQ(error, kUntouched) << path;
  }

  // A readable but broken file fills the slot.
  std::string broken = dir.write("broken.xml", "<m><k></m>");
  ErrorInfo error = kUntouched;
  EXPECT_FALSE(OrvoXMLReader::extDictionaryForXMLFile(broken, &error));
  EXPECT_EQ(error.domain, platform::kXmlErrorDomain);
}

}  // namespace
}  // namespace orvo
