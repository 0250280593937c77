// A gateway stream's bytes, read whole and in pieces cut where the first
// bytes say: the pieces change nothing, and no event or line passes the
// reader's limits.
#include <vector>

#include "FuzzSupport.h"
#include "orvo/platform/EventStream.h"

using namespace orvo;

namespace {

constexpr EventStreamLimits kLimits{512, 256};

struct Read {
  std::vector<EventStreamEvent> events;
  std::string error;
  std::string lastEventId;
};

Read read(std::string_view wire, std::size_t step) {
  EventStreamParser parser(kLimits);
  Read out;
  for (std::size_t at = 0; at < wire.size() && out.error.empty(); at += step) {
    auto error = parser.feed(wire.substr(at, step), [&](EventStreamEvent event) {
      out.events.push_back(std::move(event));
    });
    if (error) out.error = *error;
  }
  out.lastEventId = parser.lastEventId();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::size_t step = input.byte() % 7 + 1;
  const std::string_view wire = input.rest();
  const Read whole = read(wire, wire.size() + 1);
  const Read pieces = read(wire, step);
  FUZZ_CHECK(whole.error == pieces.error, "the pieces do not change the error");
  FUZZ_CHECK(whole.events.size() == pieces.events.size(), "the pieces do not change the events");
  for (std::size_t i = 0; i < whole.events.size(); ++i) {
    const auto& a = whole.events[i];
    const auto& b = pieces.events[i];
    FUZZ_CHECK(a.type == b.type && a.data == b.data && a.lastEventId == b.lastEventId,
               "the pieces do not change an event");
    FUZZ_CHECK(a.data.size() < kLimits.maxEventBytes, "an event stays within its limit");
    FUZZ_CHECK(a.type.size() <= kLimits.maxLineBytes, "a type stays within a line");
  }
  if (whole.error.empty())
    FUZZ_CHECK(whole.lastEventId == pieces.lastEventId, "the pieces do not change the last ID");
  return 0;
}
