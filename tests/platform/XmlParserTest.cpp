#include "platform/XmlParser.h"

#include <expat.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "support/TestHost.h"

namespace orvo::platform {
namespace {

// Records every event as one line. Character data may come in pieces, so a
// run of it is joined into one line.
struct Recorder : XmlEventHandler {
  void startElement(std::string_view name, const XmlAttributes& attributes) override {
    if (name == "boom") throw std::runtime_error("kaput");
    std::string line = "start " + std::string(name);
    for (const auto& [key, value] : attributes) line += " " + key + "=" + value;
    add(line);
  }
  void characters(std::string_view text) override { text_ += text; }
  void cdata(std::string_view text) override { add("cdata " + std::string(text)); }
  void endElement(std::string_view name) override { add("end " + std::string(name)); }
  void parseError(const ErrorInfo& error) override {
    errors.push_back(error);
    add("error");
  }
  void add(const std::string& line) {
    if (!text_.empty()) events.push_back("text " + std::exchange(text_, {}));
    events.push_back(line);
  }
  std::vector<std::string> events;
  std::vector<ErrorInfo> errors;
  std::string text_;
};

// Counts without keeping anything, so that a runaway expansion would show.
struct Counter : XmlEventHandler {
  void startElement(std::string_view, const XmlAttributes&) override { ++starts; }
  void characters(std::string_view text) override { chars += text.size(); }
  void endElement(std::string_view) override { ++ends; }
  void parseError(const ErrorInfo& error) override { errors.push_back(error); }
  std::size_t starts = 0, ends = 0, chars = 0;
  std::vector<ErrorInfo> errors;
};

std::string nested(std::size_t depth) {
  std::string xml;
  for (std::size_t i = 0; i < depth; ++i) xml += "<a>";
  for (std::size_t i = 0; i < depth; ++i) xml += "</a>";
  return xml;
}

TEST(XmlParserTest, DeliversEventsInDocumentOrder) {
  Recorder r;
  EXPECT_TRUE(
      parseXml("<?xml version=\"1.0\"?>\n<!DOCTYPE root [<!ENTITY who \"world\">]>\n"
               "<root z=\"1\" a=\"&lt;2&gt;\" ns:x=\"3\" xmlns:ns=\"urn:n\">"
               "hi &amp; &#x41;&who;<ns:child/><![CDATA[<raw> & stuff]]>tail</root>",
               r));
  // Attributes in written order, namespace declarations kept as attributes.
  EXPECT_EQ(r.events,
            (std::vector<std::string>{"start root z=1 a=<2> ns:x=3 xmlns:ns=urn:n",
                                      "text hi & Aworld", "start ns:child", "end ns:child",
                                      "cdata <raw> & stuff", "text tail", "end root"}));
  EXPECT_TRUE(
      parseXml("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9</r>", r = Recorder()));
  EXPECT_EQ(r.events.at(1), "text caf\xC3\xA9");  // as UTF-8
  // Encodings expat does not know itself go through iconv.
  const std::pair<const char*, const char*> encoded[] = {
      {"EUC-KR", "\xC7\xD1\xB1\xB9"},      // U+D55C U+AD6D
      {"windows-1252", "caf\xE9 \x80"},    // U+00E9, U+20AC
      {"Shift_JIS", "\x93\xFA\x96\x7B"}};  // U+65E5 U+672C, a trail byte of '{'
  const std::string utf8[] = {"\xED\x95\x9C\xEA\xB5\xAD", "caf\xC3\xA9 \xE2\x82\xAC",
                              "\xE6\x97\xA5\xE6\x9C\xAC"};
  for (std::size_t i = 0; i < std::size(encoded); ++i) {
    auto [name, text] = encoded[i];
    EXPECT_TRUE(parseXml("<?xml version=\"1.0\" encoding=\"" + std::string(name) + "\"?><r a=\"" +
                             text + "\">" + text + "</r>",
                         r = Recorder()))
        << name;
    EXPECT_EQ(r.events,
              (std::vector<std::string>{"start r a=" + utf8[i], "text " + utf8[i], "end r"}));
  }
  Counter counter;  // without a cdata handler the section goes nowhere
  EXPECT_TRUE(parseXml("<r><![CDATA[hidden]]></r>", counter));
  EXPECT_EQ(counter.chars, 0u);
}

TEST(XmlParserTest, ReportsOneErrorWithPositionAndNoLaterEvents) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"<a>\n  <b></a>\n<c/>", XML_ERROR_TAG_MISMATCH, "mismatched tag"},
      {"", XML_ERROR_NO_ELEMENTS, ""},
      {"<a><b>text", -1, ""},
      {"<a>\xFF\xFE</a>", XML_ERROR_INVALID_TOKEN, ""},
      {"<a>&nope;</a>", XML_ERROR_UNDEFINED_ENTITY, ""},
      {"<a><boom/><after/></a>", -1, "kaput"},  // a handler that throws
      {"<?xml version=\"1.0\" encoding=\"X-NOPE-9\"?><a/>", XML_ERROR_UNKNOWN_ENCODING,
       "unknown encoding \"X-NOPE-9\""},
      {"<?xml version=\"1.0\" encoding=\"EUC-KR\"?>\n<a>\xC7</a>", XML_ERROR_INCORRECT_ENCODING,
       "\"EUC-KR\" at byte 43"}};
  for (const auto& [xml, code, fragment] : cases) {
    SCOPED_TRACE(xml);
    Recorder r;
    bool ok = true;
    EXPECT_NO_THROW(ok = parseXml(xml, r));
    EXPECT_FALSE(ok);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].domain, kXmlErrorDomain);
    EXPECT_TRUE(code < 0 || r.errors[0].code == code) << r.errors[0].code;
    EXPECT_NE(r.errors[0].description.find(fragment), std::string::npos) << r.errors[0].description;
    EXPECT_EQ(r.events.back(), "error");
    if (code == XML_ERROR_TAG_MISMATCH) {
      EXPECT_NE(r.errors[0].description.find("line 2"), std::string::npos);
      EXPECT_EQ(r.errors[0].userInfo.get("line"), Value(2));
    }
  }
}

TEST(XmlParserTest, StopsAtTheDepthLimit) {
  Recorder r;
  EXPECT_TRUE(parseXml(nested(3), r, XmlParseOptions{3}));
  EXPECT_FALSE(parseXml(nested(4), r = Recorder(), XmlParseOptions{3}));
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].code, kXmlErrorTooDeep);
  EXPECT_NE(r.errors[0].description.find("nested too deeply"), std::string::npos);
  // The fourth element never reaches the handler, and nothing follows the error.
  EXPECT_EQ(r.events, (std::vector<std::string>{"start a", "start a", "start a", "error"}));

  Counter huge;
  EXPECT_FALSE(parseXml(nested(100000), huge));
  ASSERT_EQ(huge.errors.size(), 1u);
  EXPECT_EQ(huge.errors[0].code, kXmlErrorTooDeep);
}

TEST(XmlParserTest, NeverLoadsExternalEntities) {
  test::TempDir dir;
  const std::string secret = dir.write("secret.txt", "TOP-SECRET-CONTENT");
  const std::string dtd = dir.write("evil.dtd", "<!ENTITY leak \"TOP-SECRET-DTD\">");
  for (const std::string& xml :
       {"<!DOCTYPE r [<!ENTITY ext SYSTEM \"file://" + secret + "\">]>\n<r>before&ext;after</r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dtd + "\"> %p;]>\n<r>&leak;</r>",
        "<!DOCTYPE r SYSTEM \"file://" + dtd + "\">\n<r>&leak;</r>"}) {
    Recorder r;
    parseXml("<?xml version=\"1.0\"?>\n" + xml, r);
    for (const auto& event : r.events) EXPECT_EQ(event.find("TOP-SECRET"), std::string::npos);
  }
}

TEST(XmlParserTest, RejectsEntityAmplificationAndReadsLargeInputsWhole) {
  std::string lol = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol0 \"lol\">\n";
  for (int i = 1; i <= 9; ++i) {
    lol += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) lol += "&lol" + std::to_string(i - 1) + ";";
    lol += "\">\n";
  }
  Counter bomb;
  EXPECT_FALSE(parseXml(lol + "]>\n<lolz>&lol9;</lolz>", bomb));
  ASSERT_EQ(bomb.errors.size(), 1u);
  EXPECT_EQ(bomb.errors[0].code, XML_ERROR_AMPLIFICATION_LIMIT_BREACH);
  EXPECT_LT(bomb.chars, 3'000'000'000u);

  std::string large = "<r>" + std::string(3 << 20, 'x');  // more than one chunk
  for (int i = 0; i < 20000; ++i) large += "<e/>";
  Counter counter;
  EXPECT_TRUE(parseXml(large + "</r>", counter));
  EXPECT_TRUE(counter.starts == 20001u && counter.ends == 20001u && counter.errors.empty());
  EXPECT_EQ(counter.chars, 3u << 20);
}

}  // namespace
}  // namespace orvo::platform
