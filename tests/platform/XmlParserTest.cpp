#include "platform/XmlParser.h"

#include <expat.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/TestHost.h"

namespace orvo::platform {
namespace {

// Records every event as one line, so tests can compare whole sequences.
class Recorder : public XmlEventHandler {
 public:
  void startElement(std::string_view name, const XmlAttributes& attributes) override {
    std::string line = "start " + std::string(name);
    for (const auto& [key, value] : attributes) line += " " + key + "=" + value;
    flushText();
    events.push_back(line);
  }
  void characters(std::string_view text) override { pendingText += text; }
  void cdata(std::string_view text) override {
    flushText();
    events.push_back("cdata " + std::string(text));
  }
  void endElement(std::string_view name) override {
    flushText();
    events.push_back("end " + std::string(name));
  }
  void parseError(const ErrorInfo& error) override {
    flushText();
    errors.push_back(error);
    events.push_back("error");
  }

  // Character pieces may be split arbitrarily; join them per run.
  void flushText() {
    if (pendingText.empty()) return;
    events.push_back("text " + pendingText);
    pendingText.clear();
  }

  std::vector<std::string> events;
  std::vector<ErrorInfo> errors;
  std::string pendingText;
};

std::string nested(std::size_t depth) {
  std::string xml;
  xml.reserve(depth * 7);
  for (std::size_t i = 0; i < depth; ++i) xml += "<a>";
  for (std::size_t i = 0; i < depth; ++i) xml += "</a>";
  return xml;
}

TEST(XmlParserTest, DeliversEventsInDocumentOrder) {
  Recorder r;
  const char* xml =
      "<?xml version=\"1.0\"?>\n"
      "<!DOCTYPE root [<!ENTITY who \"world\">]>\n"
      "<root z=\"1\" a=\"&lt;2&gt;\" ns:x=\"3\" xmlns:ns=\"urn:n\">"
      "hi &amp; &#x41;&who;<ns:child/><![CDATA[<raw> & stuff]]>tail</root>";
  EXPECT_TRUE(parseXml(xml, r));
  r.flushText();
  std::vector<std::string> expected{
      // Attributes in written order, namespace declarations kept as attributes.
      "start root z=1 a=<2> ns:x=3 xmlns:ns=urn:n",
      "text hi & Aworld",
      "start ns:child",
      "end ns:child",
      "cdata <raw> & stuff",
      "text tail",
      "end root",
  };
  EXPECT_EQ(r.events, expected);
  EXPECT_TRUE(r.errors.empty());
}

TEST(XmlParserTest, ConvertsDeclaredEncodingsToUtf8) {
  Recorder r;
  std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9</r>";
  EXPECT_TRUE(parseXml(latin1, r));
  EXPECT_EQ(r.events.at(1), "text caf\xC3\xA9");
}

TEST(XmlParserTest, ReportsOneErrorWithPositionAndNoLaterEvents) {
  Recorder mismatched;
  EXPECT_FALSE(parseXml("<a>\n  <b></a>\n<c/>", mismatched));
  ASSERT_EQ(mismatched.errors.size(), 1u);
  const ErrorInfo& e = mismatched.errors[0];
  EXPECT_EQ(e.domain, kXmlErrorDomain);
  EXPECT_EQ(e.code, XML_ERROR_TAG_MISMATCH);
  EXPECT_NE(e.description.find("line 2"), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("mismatched tag"), std::string::npos) << e.description;
  EXPECT_EQ(mismatched.events.back(), "error");
  EXPECT_EQ(e.userInfo.get("line"), Value(2));

  Recorder empty;
  EXPECT_FALSE(parseXml("", empty));
  ASSERT_EQ(empty.errors.size(), 1u);
  EXPECT_EQ(empty.errors[0].code, XML_ERROR_NO_ELEMENTS);

  Recorder truncated;
  EXPECT_FALSE(parseXml("<a><b>text", truncated));
  EXPECT_EQ(truncated.errors.size(), 1u);

  Recorder badUtf8;
  EXPECT_FALSE(parseXml("<a>\xFF\xFE</a>", badUtf8));
  ASSERT_EQ(badUtf8.errors.size(), 1u);
  EXPECT_EQ(badUtf8.errors[0].code, XML_ERROR_INVALID_TOKEN);

  Recorder undefinedEntity;
  EXPECT_FALSE(parseXml("<a>&nope;</a>", undefinedEntity));
  EXPECT_EQ(undefinedEntity.errors.at(0).code, XML_ERROR_UNDEFINED_ENTITY);
}

TEST(XmlParserTest, StopsAtTheDepthLimit) {
  Recorder atLimit;
  EXPECT_TRUE(parseXml(nested(3), atLimit, XmlParseOptions{3}));

  Recorder over;
  EXPECT_FALSE(parseXml(nested(4), over, XmlParseOptions{3}));
  ASSERT_EQ(over.errors.size(), 1u);
  EXPECT_EQ(over.errors[0].code, kXmlErrorTooDeep);
  EXPECT_NE(over.errors[0].description.find("nested too deeply"), std::string::npos);
  // The fourth element never reaches the handler and nothing follows the error.
  std::vector<std::string> expected{"start a", "start a", "start a", "error"};
  EXPECT_EQ(over.events, expected);

  Recorder huge;
  EXPECT_FALSE(parseXml(nested(100000), huge));
  ASSERT_EQ(huge.errors.size(), 1u);
  EXPECT_EQ(huge.errors[0].code, kXmlErrorTooDeep);
}

TEST(XmlParserTest, NeverLoadsExternalEntities) {
  test::TempDir dir;
  std::string secret = dir.write("secret.txt", "TOP-SECRET-CONTENT");
  std::string external = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY ext SYSTEM \"file://" +
                         secret + "\">]>\n<r>before&ext;after</r>";
  Recorder general;
  parseXml(external, general);
  for (const auto& event : general.events) {
    EXPECT_EQ(event.find("TOP-SECRET"), std::string::npos) << event;
  }

  std::string dtd = dir.write("evil.dtd", "<!ENTITY leak \"TOP-SECRET-DTD\">");
  std::string parameter = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" +
                          dtd + "\"> %p;]>\n<r>&leak;</r>";
  Recorder param;
  parseXml(parameter, param);
  for (const auto& event : param.events) {
    EXPECT_EQ(event.find("TOP-SECRET"), std::string::npos) << event;
  }

  std::string externalDtd =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"file://" + dtd + "\">\n<r>&leak;</r>";
  Recorder subset;
  parseXml(externalDtd, subset);
  for (const auto& event : subset.events) {
    EXPECT_EQ(event.find("TOP-SECRET"), std::string::npos) << event;
  }
}

TEST(XmlParserTest, RejectsEntityAmplification) {
  std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
  xml += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
  for (int i = 2; i <= 9; ++i) {
    std::string prev = "&lol" + std::to_string(i - 1) + ";";
    xml += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) xml += prev;
    xml += "\">\n";
  }
  xml += "]>\n<lolz>&lol9;</lolz>";

  // Counts characters without keeping them, so a parser that expanded the
  // whole thing would show it.
  struct Counter : XmlEventHandler {
    void startElement(std::string_view, const XmlAttributes&) override {}
    void characters(std::string_view text) override { count += text.size(); }
    void endElement(std::string_view) override {}
    void parseError(const ErrorInfo& e) override { errors.push_back(e); }
    std::size_t count = 0;
    std::vector<ErrorInfo> errors;
  } counter;
  EXPECT_FALSE(parseXml(xml, counter));
  ASSERT_EQ(counter.errors.size(), 1u);
  EXPECT_EQ(counter.errors[0].code, XML_ERROR_AMPLIFICATION_LIMIT_BREACH);
  EXPECT_LT(counter.count, 3'000'000'000u);
}

TEST(XmlParserTest, HandlerExceptionsBecomeErrors) {
  struct Throwing : Recorder {
    void startElement(std::string_view name, const XmlAttributes& attributes) override {
      if (name == "boom") throw std::runtime_error("kaput");
      Recorder::startElement(name, attributes);
    }
  } handler;
  bool ok = true;
  EXPECT_NO_THROW(ok = parseXml("<a><boom/><after/></a>", handler));
  EXPECT_FALSE(ok);
  ASSERT_EQ(handler.errors.size(), 1u);
  EXPECT_NE(handler.errors[0].description.find("kaput"), std::string::npos);
  for (const auto& event : handler.events) EXPECT_NE(event, "start after");
}

TEST(XmlParserTest, LargeInputsParseCompletely) {
  std::string xml = "<r>";
  std::string filler(3 << 20, 'x');  // more than one chunk
  xml += filler;
  for (int i = 0; i < 20000; ++i) xml += "<e/>";
  xml += "</r>";
  struct Counter : XmlEventHandler {
    void startElement(std::string_view, const XmlAttributes&) override { ++starts; }
    void characters(std::string_view text) override { chars += text.size(); }
    void endElement(std::string_view) override { ++ends; }
    void parseError(const ErrorInfo&) override { ++errors; }
    std::size_t starts = 0, ends = 0, chars = 0, errors = 0;
  } counter;
  EXPECT_TRUE(parseXml(xml, counter));
  EXPECT_EQ(counter.starts, 20001u);
  EXPECT_EQ(counter.ends, 20001u);
  EXPECT_EQ(counter.chars, filler.size());
  EXPECT_EQ(counter.errors, 0u);
}

}  // namespace
}  // namespace orvo::platform
