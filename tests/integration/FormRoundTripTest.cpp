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

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Random text over every printable ASCII character, tab and line feed,
// accented Latin, CJK and emoji; the form's own marks come up often.
class TextSource {
 public:
  explicit TextSource(unsigned seed) : random_(seed) {}

  std::string next(std::size_t minLength) {
    std::string out;
    const std::size_t length = minLength + pick(12);
    for (std::size_t i = 0; i < length; ++i) appendUtf8(out, character());
    return out;
  }

 private:
  std::size_t pick(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound)(random_);
  }

  char32_t character() {
    static constexpr std::u32string_view kMarks = U"+%&= \t\n";
    switch (pick(5)) {
      case 0:
        return kMarks[pick(kMarks.size() - 1)];
      case 1:
        return static_cast<char32_t>(0x4E00 + pick(0x9FFF - 0x4E00));  // CJK
      case 2:
        return static_cast<char32_t>(0x1F300 + pick(0x1F64F - 0x1F300));  // emoji
      case 3:
        return static_cast<char32_t>(0xC0 + pick(0x17F - 0xC0));  // accented Latin
      default:
        return static_cast<char32_t>(0x20 + pick(0x7E - 0x20));  // printable ASCII
    }
  }

  std::mt19937 random_;
};

TEST(FormRoundTrip, TheServersFormDecoderGetsBackEveryKeyAndValue) {
  std::mutex mutex;
  std::vector<std::multimap<std::string, std::string>> decoded;
  LoopbackServer server;
  server.server().Post("/form.ctl", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mutex);
    decoded.emplace_back(req.params.begin(), req.params.end());
    res.set_content("{}", "application/json");
  });
  server.start();

  auto loop = std::make_shared<RunLoop>();
  CurlHttpClient client(loop);
  TextSource text(20240611);

  std::vector<std::map<std::string, std::string>> sent;
  // Every printable ASCII character once, as a key and as a value.
  std::map<std::string, std::string> ascii;
  for (char c = 0x20; c < 0x7F; ++c) ascii["k" + std::string(1, c)] = std::string(1, c) + "v";
  sent.push_back(ascii);
  sent.push_back({{"empty", ""}, {"+", "+"}, {"%", "%25"}, {"&=", "=&"}, {" ", "  "}});
  for (int round = 0; round < 40; ++round) {
    std::map<std::string, std::string> entries;
    const int count = 1 + round % 7;
    while (static_cast<int>(entries.size()) < count) entries[text.next(1)] = text.next(0);
    sent.push_back(std::move(entries));
  }

  Answers answers;
  for (const auto& entries : sent) {
    Dictionary parameters;
    for (const auto& [key, value] : entries) parameters.set(key, Value(value));
    const std::string form = queryStringForOrvo(parameters);
    client.send(PushNetworkManager::createRequest(server.url("/form.ctl"), form),
                answers.collector());
    ASSERT_TRUE(answers.waitFor(*loop, answers.results.size() + 1));
    ASSERT_TRUE(answers.results.back().response.has_value()) << form;
  }

  std::lock_guard lock(mutex);
  ASSERT_EQ(decoded.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    std::map<std::string, std::string> received(decoded[i].begin(), decoded[i].end());
    EXPECT_EQ(received.size(), decoded[i].size()) << "a key came back twice in form " << i;
    EXPECT_EQ(received, sent[i]) << "form " << i;
  }
}

}  // namespace
}  // namespace orvo::test
