// The event-stream reader against wire fragments, each fed whole, in two
// pieces split at every byte, and one byte at a time: the pieces must not
// change what is read.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "orvo/platform/EventStream.h"

namespace orvo {
namespace {

using namespace std::string_literals;

struct Expected {
  std::string type, data, id;
  friend bool operator==(const Expected&, const Expected&) = default;
};

struct Read {
  std::vector<Expected> events;
  std::string lastEventId;
  std::optional<long> retryMs;
  std::string error;
};

Read readInPieces(const std::string& wire, const std::vector<std::size_t>& cuts) {
  EventStreamParser parser(EventStreamLimits{24, 12});
  Read read;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size() && read.error.empty(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : wire.size();
    auto error =
        parser.feed(std::string_view(wire).substr(from, to - from), [&](EventStreamEvent event) {
          read.events.push_back({event.type, event.data, event.lastEventId});
        });
    if (error) read.error = *error;
    from = to;
  }
  read.lastEventId = parser.lastEventId();
  if (auto retry = parser.retry()) read.retryMs = static_cast<long>(retry->count());
  return read;
}

struct Row {
  const char* what;
  std::string wire;
  std::vector<Expected> events;
  std::string lastEventId = "";
  std::optional<long> retryMs = std::nullopt;
  std::string error = "";
};

TEST(EventStreamParserTest, ReadsWireFragmentsHoweverTheyAreCut) {
  const std::vector<Row> rows = {
      {"LF", "data: hi\n\n", {{"message", "hi", ""}}},
      {"no space after the colon", "data:hi\n\n", {{"message", "hi", ""}}},
      {"only one space goes", "data:  hi\n\n", {{"message", " hi", ""}}},
      {"CRLF", "data: hi\r\n\r\n", {{"message", "hi", ""}}},
      {"CR", "data: hi\r\r", {{"message", "hi", ""}}},
      {"mixed ends join lines", "data: a\r\ndata: b\rdata: c\n\n", {{"message", "a\nb\nc", ""}}},
      {"CR then LF is one end",
       "data: a\r\n\rdata: b\n\n",
       {{"message", "a", ""}, {"message", "b", ""}}},
      {"comments", ": ping\n\n:x\ndata: y\n\n", {{"message", "y", ""}}},
      {"type and id", "id: 7\nevent: note\ndata: {}\n\n", {{"note", "{}", "7"}}, "7"},
      {"id kept for later events",
       "id: 1\ndata: a\n\ndata: b\n\n",
       {{"message", "a", "1"}, {"message", "b", "1"}},
       "1"},
      {"empty id clears it",
       "id: 5\ndata: a\n\nid\ndata: b\n\n",
       {{"message", "a", "5"}, {"message", "b", ""}}},
      {"id with NUL ignored", "id: 1\n\nid: 2\0x\ndata: a\n\n"s, {{"message", "a", "1"}}, "1"},
      {"id without data is no event", "id: 9\n\n", {}, "9"},
      {"type resets without an event", "event: a\n\ndata: 2\n\n", {{"message", "2", ""}}},
      {"type resets after an event",
       "event: a\ndata: 1\n\ndata: 2\n\n",
       {{"a", "1", ""}, {"message", "2", ""}}},
      {"empty data is an event", "data\n\ndata:\n\n", {{"message", "", ""}, {"message", "", ""}}},
      {"unknown field", "foo: bar\ndata: x\n\n", {{"message", "x", ""}}},
      {"retry in digits", "retry: 2500\n\n", {}, "", 2500},
      {"retry not digits", "retry: 25x\nretry: -1\n\n", {}},
      {"open event dropped", "data: cut", {}},
      {"byte-order mark at the start",
       "\xEF\xBB\xBF"
       "data: a\n\n",
       {{"message", "a", ""}}},
      {"byte-order mark later is text",
       "data: a\n\n\xEF\xBB\xBF"
       "data: b\n\n",
       {{"message", "a", ""}}},
      {"line past the limit",
       "data: 0123456789012345678\n\n",
       {},
       "",
       std::nullopt,
       "a line longer than 24 bytes"},
      {"event past the limit",
       "data: 123456\ndata: 123456\n\n",
       {},
       "",
       std::nullopt,
       "an event longer than 12 bytes"},
      {"events before a bad line stay",
       "data: a\n\n:0123456789012345678901234\n",
       {{"message", "a", ""}},
       "",
       std::nullopt,
       "a line longer than 24 bytes"},
  };
  for (const auto& row : rows) {
    std::vector<std::vector<std::size_t>> cuttings = {{}};
    std::vector<std::size_t> bytewise;
    for (std::size_t at = 1; at < row.wire.size(); ++at) {
      cuttings.push_back({at});
      bytewise.push_back(at);
    }
    cuttings.push_back(bytewise);
    for (const auto& cuts : cuttings) {
      const Read read = readInPieces(row.wire, cuts);
      const std::string where = std::string(row.what) + ", " + std::to_string(cuts.size() + 1) +
                                " pieces" +
                                (cuts.empty() ? "" : ", first cut at " + std::to_string(cuts[0]));
      EXPECT_EQ(read.events, row.events) << where;
      EXPECT_EQ(read.lastEventId, row.lastEventId) << where;
      EXPECT_EQ(read.retryMs, row.retryMs) << where;
      EXPECT_EQ(read.error, row.error) << where;
    }
  }
}

}  // namespace
}  // namespace orvo
