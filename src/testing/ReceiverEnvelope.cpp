#include "orvo/testing/ReceiverEnvelope.h"

#include "orvo/Json.h"

namespace orvo {
namespace {

constexpr std::string_view kHeaderKey = "HEADER";
constexpr std::string_view kResultCodeKey = "RESULT_CODE";
constexpr std::string_view kBodyKey = "BODY";

}  // namespace

std::string receiverEnvelope(const Dictionary& body, std::string_view resultCode) {
  Dictionary envelope{
      {std::string(kHeaderKey), Dictionary{{std::string(kResultCodeKey), std::string(resultCode)}}},
      {std::string(kBodyKey), body}};
  auto json = writeJson(envelope);
  return json.ok() ? json.value() : std::string();
}

}  // namespace orvo
