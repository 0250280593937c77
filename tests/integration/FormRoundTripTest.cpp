#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "integration/LoopbackServer.h"
#include "orvo/FormEncoding.h"
#include "orvo/platform/CurlHttpClient.h"
#include "transport/PushNetworkManager.h"

namespace orvo::test {
namespace {

using Form = std::map<std::string, std::string>;
using Pairs = std::multimap<std::string, std::string>;

TEST(FormRoundTrip, TheServersFormDecoderGetsBackEveryKeyAndValue) {
  std::mutex mutex;
  std::vector<Pairs> decoded;
  LoopbackServer server;
  server.server().Post("/form.ctl", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mutex);
    decoded.emplace_back(req.params.begin(), req.params.end());
    res.set_content("{}", "application/json");
  });
  server.start();

  // Every printable ASCII character once, as a key and as a value.
  std::vector<Form> sent(1);
  for (char c = 0x20; c < 0x7F; ++c) sent[0]["k" + std::string(1, c)] = std::string(1, c) + "v";
  sent.push_back({{"empty", ""}, {"+", "+"}, {"%", "%25"}, {"&=", "=&"}, {" ", "  "}});
  // Random texts where the form's own marks come up often, among printable
  // ASCII and characters of two, three and four bytes (accented Latin, CJK, emoji).
  const std::string marks = "+%&= \t\n";
  const std::string wide[] = {"\xC3\xA9",     "\xC5\xBF",         "\xE4\xB8\x80",
                              "\xE9\xBF\xBF", "\xF0\x9F\x8C\x80", "\xF0\x9F\x99\x8F"};
  std::mt19937 random(20240611);
  auto text = [&](std::size_t length) {
    std::string out;
    for (length += random() % 13; length > 0; --length) {
      const auto kind = random() % 3;
      out += kind == 0   ? std::string(1, marks[random() % marks.size()])
             : kind == 1 ? wide[random() % std::size(wide)]
                         : std::string(1, static_cast<char>(0x20 + random() % 95));
    }
    return out;
  };
  for (std::size_t round = 0; round < 40; ++round) {
    Form entries;
    while (entries.size() < 1 + round % 7) entries[text(1)] = text(0);
    sent.push_back(std::move(entries));
  }

  auto loop = std::make_shared<RunLoop>();
  CurlHttpClient client(loop);
  Answers answers;
  for (const Form& entries : sent) {
    Dictionary parameters;
    for (const auto& [key, value] : entries) parameters.set(key, Value(value));
    const std::string form = queryStringForOrvo(parameters);
    client.send(PushNetworkManager::createRequest(server.url("/form.ctl"), form),
                answers.collector());
    ASSERT_TRUE(answers.waitFor(*loop, answers.results.size() + 1));
    ASSERT_TRUE(answers.results.back().response) << form;
  }

  std::lock_guard lock(mutex);
  ASSERT_EQ(decoded.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    // A key that came back twice shows as a size difference.
    EXPECT_EQ(decoded[i], Pairs(sent[i].begin(), sent[i].end())) << "form " << i;
  }
}

}  // namespace
}  // namespace orvo::test
