#include "orvo/FormEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "orvo/platform/ScriptedHttpClient.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

// The two steps byte by byte: the URL escaping of every unsafe byte, then
// (withMap) the map's replacements. These hold no map character, so applying
// them per byte is the same as replacing entry by entry throughout.
std::string reference(std::string_view text, bool withMap) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
    auto entry = std::find_if(escapeMap().begin(), escapeMap().end(),
                              [c](const auto& e) { return e.first == c; });
    const bool unsafe = byte <= ' ' || byte >= 0x7F ||
                        std::string_view("\"%<>[\\]^`{|}").find(c) != std::string_view::npos;
    out += withMap && entry != escapeMap().end() ? std::string(entry->second)
           : unsafe                              ? std::string(escaped)
                                                 : std::string(1, c);
  }
  return out;
}

std::string full(std::string_view text) { return stringByAddingFullEscapesUsingEncoding(text); }

TEST(FormEncoding, EscapeMapAndTypicalValues) {
  const std::vector<std::pair<char, std::string_view>> map = {
      {'$', "%24"}, {'&', "%26"}, {'+', "%2B"}, {',', "%2C"}, {'/', "%2F"},  {':', "%3A"},
      {';', "%3B"}, {'=', "%3D"}, {'?', "%3F"}, {'@', "%40"}, {' ', "%20"},  {'\t', "%09"},
      {'#', "%23"}, {'<', "%3C"}, {'>', "%3E"}, {'"', "%22"}, {'\n', "%0A"},
  };
  EXPECT_EQ(escapeMap(), map);

  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"%25", "%2525"},  // "%" escaped once, before the map adds its own
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"a&b&c==d  e++", "a%26b%26c%3D%3Dd%20%20e%2B%2B"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(full(input), expected) << input;

  std::string printable;
  for (char c = ' '; c <= '~'; ++c) printable += c;
  EXPECT_EQ(full(printable),
            "%20!%22%23%24%25%26'()*%2B%2C-.%2F0123456789%3A%3B%3C%3D%3E%3F%40"
            "ABCDEFGHIJKLMNOPQRSTUVWXYZ%5B%5C%5D%5E_%60abcdefghijklmnopqrstuvwxyz%7B%7C%7D~");
  // The URL step alone leaves the legal reserved marks.
  EXPECT_EQ(addingPercentEscapes("$&+,/:;=?@ #\x7F"), "$&+,/:;=?@%20#%7F");
}

TEST(FormEncoding, OnePassEqualsTheTwoStepsForEveryByte) {
  std::string allBytes;
  for (int b = 0; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    allBytes += one;
    EXPECT_EQ(addingPercentEscapes(one), reference(one, false)) << "byte " << b;
    EXPECT_EQ(full(one), reference(one, true)) << "byte " << b;
  }
  EXPECT_EQ(full(allBytes + allBytes), reference(allBytes + allBytes, true));
}

TEST(FormEncoding, QueryStringJoinsEscapedPairs) {
  test::TestHost host;
  EXPECT_EQ(queryStringForOrvo(Dictionary{}), "");
  EXPECT_EQ(queryStringForOrvo(Dictionary{{"K Y", "v&=+ %"}}), "K%20Y=v%26%3D%2B%20%25");

  // The order of the pairs is not relied on: decode as a server does.
  Dictionary parameters{{"N", 42},
                        {"B", true},
                        {"E", ""},
                        {"CNAME", "Jos\xC3\xA9 + Ana"},
                        {"MIXED", "$&+,/:;=?@ \t#<>\"\n%!*'()"}};
  std::string query = queryStringForOrvo(parameters);
  EXPECT_EQ(std::count(query.begin(), query.end(), '&'), 4);
  parameters.set("N", "42");
  parameters.set("B", "1");
  EXPECT_EQ(ScriptedHttpClient::decodeForm(query), parameters);
  EXPECT_TRUE(host.log->lines().empty());

  host.setLogging(true);
  queryStringForOrvo(Dictionary{{"CUID", "u1"}});
  EXPECT_EQ(host.log->lines(),
            std::vector<std::string>{describe(Dictionary{{"CUID", "u1"}}) + " to queryString"});
}

}  // namespace
}  // namespace orvo
