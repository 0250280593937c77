// Streaming XML events from expat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvo/ErrorInfo.h"

namespace orvo::platform {

inline constexpr std::string_view kXmlErrorDomain = "OrvoXMLParserError";
// Error code for documents deeper than XmlParseOptions::maxDepth; every other
// code is expat's own.
inline constexpr std::int64_t kXmlErrorTooDeep = 1000;
// Error code for documents over XmlParseOptions::maxBytes or maxElements.
inline constexpr std::int64_t kXmlErrorTooLarge = 1001;

using XmlAttributes = std::vector<std::pair<std::string, std::string>>;

class XmlEventHandler {
 public:
  virtual ~XmlEventHandler() = default;
  // Names exactly as written; no namespace processing.
  virtual void startElement(std::string_view name, const XmlAttributes& attributes) = 0;
  // Character data outside CDATA sections, entities resolved; may come in
  // several pieces.
  virtual void characters(std::string_view text) = 0;
  // Character data inside a CDATA section.
  virtual void cdata(std::string_view /*text*/) {}
  virtual void endElement(std::string_view name) = 0;
  // Once, for the first fatal error; no event follows it.
  virtual void parseError(const ErrorInfo& error) = 0;
};

struct XmlParseOptions {
  // Deeper documents are rejected with an error, so that nothing built from
  // the events has to recurse without bound.
  std::size_t maxDepth = 256;
  // Larger documents, or ones with more elements, are rejected with an error
  // before their events cost memory out of proportion.
  std::size_t maxBytes = SIZE_MAX;
  std::size_t maxElements = SIZE_MAX;
  // A document declaring an encoding expat does not know itself is converted
  // to UTF-8 with iconv and read again. Off where another reader takes the
  // same bytes as they are and must see the same markup.
  bool transcodeUnknownEncodings = true;
};

// Parses the whole document. No external entities are loaded and expat's
// entity-amplification limits stay on. True when the document is well formed.
bool parseXml(std::string_view bytes, XmlEventHandler& handler, XmlParseOptions options = {});

}  // namespace orvo::platform
