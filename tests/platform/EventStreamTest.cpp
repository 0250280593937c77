// The event-stream reader against wire fragments, each fed whole, in two
// pieces split at every byte, and one byte at a time: the pieces must not
// change what is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvo/platform/EventStream.h"

namespace orvo {
namespace {

using namespace std::string_literals;

// What a wire gives, on one line: each event as "type:data@id;", then the
// last event ID, the retry time and the error, each after a "|".
std::string readInPieces(const std::string& wire, const std::vector<std::size_t>& cuts) {
  EventStreamParser parser(EventStreamLimits{24, 12});
  std::string events, error;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size() && error.empty(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : wire.size();
    auto failed =
        parser.feed(std::string_view(wire).substr(from, to - from), [&](EventStreamEvent event) {
          events += event.type + ":" + event.data + "@" + event.lastEventId + ";";
        });
    if (failed) error = *failed;
    from = to;
  }
  const auto retry = parser.retry();
  return events + "|" + parser.lastEventId() + "|" + (retry ? std::to_string(retry->count()) : "") +
         "|" + error;
}

TEST(EventStreamParserTest, ReadsWireFragmentsHoweverTheyAreCut) {
  const std::pair<std::string, std::string> rows[] = {
      {"data: hi\n\n", "message:hi@;|||"},
      {"data:hi\n\n", "message:hi@;|||"},     // no space after the colon
      {"data:  hi\n\n", "message: hi@;|||"},  // only one space goes
      {"data: hi\r\n\r\n", "message:hi@;|||"},
      {"data: hi\r\r", "message:hi@;|||"},
      {"data: a\r\ndata: b\rdata: c\n\n", "message:a\nb\nc@;|||"},  // mixed ends join lines
      {"data: a\r\n\rdata: b\n\n", "message:a@;message:b@;|||"},    // CR then LF is one end
      {": ping\n\n:x\ndata: y\n\n", "message:y@;|||"},              // comments
      {"id: 7\nevent: note\ndata: {}\n\n", "note:{}@7;|7||"},
      {"id: 1\ndata: a\n\ndata: b\n\n", "message:a@1;message:b@1;|1||"},    // id kept
      {"id: 5\ndata: a\n\nid\ndata: b\n\n", "message:a@5;message:b@;|||"},  // empty id clears
      {"id: 1\n\nid: 2\0x\ndata: a\n\n"s, "message:a@1;|1||"},              // id with NUL ignored
      {"id: 9\n\n", "|9||"},                                                // no data, no event
      {"event: a\n\ndata: 2\n\n", "message:2@;|||"},                // type resets without an event
      {"event: a\ndata: 1\n\ndata: 2\n\n", "a:1@;message:2@;|||"},  // and after one
      {"data\n\ndata:\n\n", "message:@;message:@;|||"},             // empty data is an event
      {"foo: bar\ndata: x\n\n", "message:x@;|||"},                  // unknown field
      {"retry: 2500\n\n", "||2500|"},
      {"retry: 25x\nretry: -1\n\n", "|||"},
      {"data: cut", "|||"},  // an open event is dropped
      {"\xEF\xBB\xBF"
       "data: a\n\n",
       "message:a@;|||"},  // byte-order mark at the start
      {"data: a\n\n\xEF\xBB\xBF"
       "data: b\n\n",
       "message:a@;|||"},  // later it is text
      {"data: 0123456789012345678\n\n", "|||a line longer than 24 bytes"},
      {"data: 123456\ndata: 123456\n\n", "|||an event longer than 12 bytes"},
      {"data: a\n\n:0123456789012345678901234\n", "message:a@;|||a line longer than 24 bytes"},
  };
  for (const auto& [wire, expected] : rows) {
    std::vector<std::vector<std::size_t>> cuttings = {{}};
    std::vector<std::size_t> bytewise;
    for (std::size_t at = 1; at < wire.size(); ++at) {
      cuttings.push_back({at});
      bytewise.push_back(at);
    }
    cuttings.push_back(bytewise);
    for (const auto& cuts : cuttings) {
      EXPECT_EQ(readInPieces(wire, cuts), expected)
          << wire << ", " << cuts.size() + 1 << " pieces"
          << (cuts.empty() ? "" : ", first cut at " + std::to_string(cuts[0]));
    }
  }
}

}  // namespace
}  // namespace orvo
