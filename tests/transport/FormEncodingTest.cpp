#include "orvo/FormEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "orvo/testing/ScriptedHttpClient.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

std::string full(std::string_view text) { return stringByAddingFullEscapesUsingEncoding(text); }

TEST(FormEncoding, EveryByteAndTheEscapeMap) {
  // Printable ASCII: the URL step leaves the legal reserved marks, the map escapes them.
  std::string printable, others, othersEscaped;
  for (char c = ' '; c <= '~'; ++c) printable += c;
  EXPECT_EQ(addingPercentEscapes(printable),
            "%20!%22#$%25&'()*+,-./0123456789:;%3C=%3E?@"
            "ABCDEFGHIJKLMNOPQRSTUVWXYZ%5B%5C%5D%5E_%60abcdefghijklmnopqrstuvwxyz%7B%7C%7D~");
  EXPECT_EQ(full(printable),
            "%20!%22%23%24%25%26'()*%2B%2C-.%2F0123456789%3A%3B%3C%3D%3E%3F%40"
            "ABCDEFGHIJKLMNOPQRSTUVWXYZ%5B%5C%5D%5E_%60abcdefghijklmnopqrstuvwxyz%7B%7C%7D~");
  // Every other byte, control characters and non-ASCII alike: "%XX" either way.
  for (int b = 0; b < 256; ++b) {
    if (b >= ' ' && b <= '~') continue;
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", b);
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(addingPercentEscapes(one), escaped) << "byte " << b;
    EXPECT_EQ(full(one), escaped) << "byte " << b;
    others += one;
    othersEscaped += escaped;
  }
  EXPECT_EQ(full(others + printable + others), othersEscaped + full(printable) + othersEscaped);
  // The published map is the one the escaping applies.
  EXPECT_EQ(escapeMap().size(), 17u);
  for (const auto& [c, escaped] : escapeMap()) EXPECT_EQ(full(std::string(1, c)), escaped) << c;

  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"%25", "%2525"},  // "%" escaped once, before the map adds its own
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"a&b&c==d  e++", "a%26b%26c%3D%3Dd%20%20e%2B%2B"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(full(input), expected) << input;

  // The bytes in the given encoding; a text it cannot hold goes as UTF-8.
  const std::tuple<TextEncoding, std::string, std::string> encoded[] = {
      {TextEncoding::ISOLatin1, "caf\xC3\xA9 +", "caf%E9%20%2B"},
      {encodingValue("EUC-KR"), "\xEA\xB0\x80&", "%B0%A1%26"},
      {TextEncoding::UTF16BigEndian, "A=", "%00A%00%3D"},
      {TextEncoding::ISOLatin1, "\xE4\xB8\xAD", "%E4%B8%AD"},
      {TextEncoding::ASCII, "caf\xC3\xA9", "caf%C3%A9"},
      {TextEncoding::ISOLatin1, "bad\xFF", "bad%FF"},  // not UTF-8 at all
      {encodingValue("ISO-2022-JP"), "\xE3\x81\x82", "%1B%24B%24%22%1B(B"}};
  for (const auto& [encoding, input, expected] : encoded) {
    EXPECT_EQ(stringByAddingFullEscapesUsingEncoding(input, encoding), expected)
        << encoding.charset() << " " << input;
  }
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
