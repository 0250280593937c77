// JSON text to a value and back: whatever parses must write, and the written
// text must read back to the same value and the same text.
#include "FuzzSupport.h"
#include "orvo/Json.h"

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t choice = input.byte();
  const JsonReadOptions options{.allowFragments = (choice & 1) != 0};
  const JsonStyle style = (choice & 2) != 0 ? JsonStyle::Pretty : JsonStyle::Compact;

  Result<Value> parsed = parseJson(input.rest(), options);
  if (!parsed.ok()) {
    FUZZ_CHECK(!parsed.error().description.empty(), "a refused text names its fault");
    return 0;
  }
  Result<std::string> written = writeJson(parsed.value(), style);
  FUZZ_CHECK(written.ok(), "a parsed value writes");
  Result<Value> again = parseJson(written.value(), options);
  FUZZ_CHECK(again.ok(), "written text parses");
  FUZZ_CHECK(again.value() == parsed.value(), "the round trip keeps the value");
  Result<std::string> rewritten = writeJson(again.value(), style);
  FUZZ_CHECK(rewritten.ok() && rewritten.value() == written.value(), "the round trip is stable");
  return 0;
}
