// What `orvo-sim push` refuses, and the words it uses: a developer fixes the
// payload from this message alone.
#include <gtest/gtest.h>

#include <string>

#include "Payload.h"

namespace orvo::sim {
namespace {

TEST(PayloadTest, RefusalsSayWhatAndWhere) {
  struct Case {
    std::string payload;
    std::string message;
  };
  const Case cases[] = {
      {"",
       "not JSON at line 1, column 1 (byte 0): syntax error while parsing value - unexpected "
       "end of input; expected '[', '{', or a literal"},
      {"{\"aps\": {\"alert\": \"hi\",}}",
       "not JSON at line 1, column 24 (byte 23): syntax error while parsing object key - "
       "unexpected '}'; expected string literal"},
      {"{\n  \"aps\": {\n    \"alert\": \"hi\"\n  }\n  \"orv\": {}\n}",
       "not JSON at line 5, column 7 (byte 41): syntax error while parsing object - unexpected "
       "string literal; expected '}'"},
      {"[1, 2]", "the payload must be a JSON object, not array"},
      {"\"aps\"", "the payload must be a JSON object, not string"},
      {"{\"orv\": {\"seqno\": \"1\"}}", "the payload has no \"aps\" entry"},
      {"{\"aps\": \"hello\"}", "\"aps\" must be an object, not string"},
      {"{\"aps\": {}, \"orv\": [1]}", "\"orv\" must be an object, not array"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(checkPayload(c.payload, error)) << c.payload;
    EXPECT_EQ(error, c.message) << c.payload;
  }
}

TEST(PayloadTest, TheSizeLimitIsTheLastByteThatFits) {
  const std::string frame = "{\"aps\": {\"alert\": \"\"}}";
  std::string fits = frame;
  fits.insert(19, kMaxPayloadBytes - frame.size(), 'x');
  std::string error;
  ASSERT_EQ(fits.size(), kMaxPayloadBytes);
  EXPECT_TRUE(checkPayload(fits, error)) << error;

  std::string over = fits;
  over.insert(19, "y");
  EXPECT_FALSE(checkPayload(over, error));
  EXPECT_EQ(error,
            "the payload is 4097 bytes; the limit is 4096 (the excess starts at line 1, column "
            "4097 (byte 4096))");
}

TEST(PayloadTest, AValidPayloadComesBackWhole) {
  std::string error;
  const auto payload = checkPayload(
      "{\"aps\": {\"alert\": \"Grüße\", \"badge\": 2}, \"orv\": {\"seqno\": \"9\"}}", error);
  ASSERT_TRUE(payload) << error;
  EXPECT_EQ((*payload)["aps"]["alert"], "Grüße");
  EXPECT_EQ((*payload)["orv"]["seqno"], "9");
}

}  // namespace
}  // namespace orvo::sim
