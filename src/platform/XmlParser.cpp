#include "platform/XmlParser.h"

#include <expat.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>
#include <string>
#include <utility>

namespace orvo::platform {
namespace {

constexpr std::string_view kTooDeepMessage = "elements nested too deeply";
constexpr std::string_view kTooLargeMessage = "document too large";
constexpr std::string_view kTooManyElementsMessage = "too many elements";
constexpr std::string_view kHandlerFailedMessage = "event handler failed";
constexpr std::string_view kNoParserMessage = "could not create an XML parser";
constexpr std::string_view kUnknownEncodingMessage = "unknown encoding";
constexpr std::string_view kBadBytesMessage = "bytes not valid in the declared encoding";

// Expat takes int lengths; large inputs go in pieces.
constexpr std::size_t kChunkSize = std::size_t{1} << 20;

class ExpatSession {
 public:
  ExpatSession(XmlEventHandler& handler, XmlParseOptions options)
      : handler_(handler), options_(options), parser_(XML_ParserCreate(nullptr)) {
    if (parser_) setUp();
  }
  ~ExpatSession() {
    if (parser_) XML_ParserFree(parser_);
  }
  ExpatSession(const ExpatSession&) = delete;
  ExpatSession& operator=(const ExpatSession&) = delete;

  bool run(std::string_view bytes) {
    if (!parser_) {
      report(ErrorInfo{
          std::string(kXmlErrorDomain), XML_ERROR_NO_MEMORY, std::string(kNoParserMessage), {}});
      return false;
    }
    if (bytes.size() > options_.maxBytes) {
      report(ErrorInfo{std::string(kXmlErrorDomain),
                       kXmlErrorTooLarge,
                       std::string(kTooLargeMessage) + " (" + std::to_string(bytes.size()) +
                           " bytes, at most " + std::to_string(options_.maxBytes) + ")",
                       {}});
      return false;
    }
    if (feed(bytes)) return !failed_;
    if (declaredEncoding_.empty() || XML_GetErrorCode(parser_) != XML_ERROR_UNKNOWN_ENCODING) {
      finishWithError();
      return false;
    }
    // Expat stops at the declaration, before any event: the document is read
    // again as UTF-8, which overrides the encoding it declares.
    std::string utf8;
    if (!transcode(bytes, utf8)) return false;
    if (XML_ParserReset(parser_, "UTF-8") != XML_TRUE) {
      report(ErrorInfo{
          std::string(kXmlErrorDomain), XML_ERROR_NO_MEMORY, std::string(kNoParserMessage), {}});
      return false;
    }
    setUp();
    if (feed(utf8)) return !failed_;
    finishWithError();
    return false;
  }

 private:
  void setUp() {
    XML_SetUserData(parser_, this);
    // No external entity is ever fetched: parameter entities stay unparsed
    // and no external-entity handler is installed, so references to external
    // entities are skipped.
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(parser_, &ExpatSession::onStart, &ExpatSession::onEnd);
    XML_SetCharacterDataHandler(parser_, &ExpatSession::onCharacters);
    XML_SetCdataSectionHandler(parser_, &ExpatSession::onCdataStart, &ExpatSession::onCdataEnd);
    if (options_.transcodeUnknownEncodings) {
      XML_SetUnknownEncodingHandler(parser_, &ExpatSession::onUnknownEncoding, this);
    }
  }

  // False when expat stopped; the caller reports why.
  bool feed(std::string_view bytes) {
    std::size_t offset = 0;
    do {
      std::size_t length = std::min(kChunkSize, bytes.size() - offset);
      bool last = offset + length == bytes.size();
      XML_Status status =
          XML_Parse(parser_, bytes.data() + offset, static_cast<int>(length), last ? 1 : 0);
      offset += length;
      if (status != XML_STATUS_OK) return false;
    } while (offset < bytes.size());
    return true;
  }

  // Only notes the name: expat then stops with XML_ERROR_UNKNOWN_ENCODING and
  // run() converts the whole document with iconv.
  static int XMLCALL onUnknownEncoding(void* data, const XML_Char* name, XML_Encoding*) {
    static_cast<ExpatSession*>(data)->declaredEncoding_ = name ? name : "";
    return XML_STATUS_ERROR;
  }

  bool transcode(std::string_view bytes, std::string& utf8) {
    iconv_t converter = iconv_open("UTF-8", declaredEncoding_.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) {
      fail(XML_ERROR_UNKNOWN_ENCODING,
           std::string(kUnknownEncodingMessage) + " \"" + declaredEncoding_ + "\"");
      return false;
    }
    struct Closer {
      iconv_t converter;
      ~Closer() { iconv_close(converter); }
    } closer{converter};
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    utf8.resize(bytes.size() * 2 + 16);
    std::size_t done = 0;
    while (true) {
      char* out = utf8.data() + done;
      std::size_t outLeft = utf8.size() - done;
      // A last call without input ends the shift state of stateful encodings.
      bool flushing = inLeft == 0;
      std::size_t result = flushing ? iconv(converter, nullptr, nullptr, &out, &outLeft)
                                    : iconv(converter, &in, &inLeft, &out, &outLeft);
      done = utf8.size() - outLeft;
      if (result != static_cast<std::size_t>(-1)) {
        if (flushing) break;
        continue;
      }
      if (errno == E2BIG) {
        utf8.resize(utf8.size() * 2);
        continue;
      }
      // EILSEQ, or EINVAL for a sequence cut off at the end.
      fail(XML_ERROR_INCORRECT_ENCODING, std::string(kBadBytesMessage) + " \"" + declaredEncoding_ +
                                             "\" at byte " + std::to_string(bytes.size() - inLeft));
      return false;
    }
    utf8.resize(done);
    return true;
  }

  static ExpatSession& self(void* userData) { return *static_cast<ExpatSession*>(userData); }

  static void XMLCALL onStart(void* userData, const XML_Char* name, const XML_Char** atts) {
    ExpatSession& s = self(userData);
    if (s.stopped_) return;
    if (++s.depth_ > s.options_.maxDepth) {
      s.stop(kXmlErrorTooDeep, kTooDeepMessage);
      return;
    }
    if (++s.elements_ > s.options_.maxElements) {
      s.stop(kXmlErrorTooLarge, std::string(kTooManyElementsMessage) + " (more than " +
                                    std::to_string(s.options_.maxElements) + ")");
      return;
    }
    s.guard([&] {
      XmlAttributes attributes;
      for (const XML_Char** a = atts; a && a[0]; a += 2) attributes.emplace_back(a[0], a[1]);
      s.handler_.startElement(name, attributes);
    });
  }

  static void XMLCALL onEnd(void* userData, const XML_Char* name) {
    ExpatSession& s = self(userData);
    if (s.stopped_) return;
    --s.depth_;
    s.guard([&] { s.handler_.endElement(name); });
  }

  static void XMLCALL onCharacters(void* userData, const XML_Char* text, int length) {
    ExpatSession& s = self(userData);
    if (s.stopped_ || length <= 0) return;
    std::string_view piece(text, static_cast<std::size_t>(length));
    s.guard([&] {
      if (s.inCdata_) {
        s.handler_.cdata(piece);
      } else {
        s.handler_.characters(piece);
      }
    });
  }

  static void XMLCALL onCdataStart(void* userData) { self(userData).inCdata_ = true; }
  static void XMLCALL onCdataEnd(void* userData) { self(userData).inCdata_ = false; }

  // Handlers are called from C; nothing may unwind through expat.
  template <class F>
  void guard(F&& call) {
    try {
      call();
    } catch (const std::exception& e) {
      stop(XML_ERROR_ABORTED, std::string(kHandlerFailedMessage) + ": " + e.what());
    } catch (...) {
      stop(XML_ERROR_ABORTED, kHandlerFailedMessage);
    }
  }

  void stop(std::int64_t code, std::string_view message) {
    stopped_ = true;
    ownCode_ = code;
    ownMessage_ = std::string(message);
    XML_StopParser(parser_, XML_FALSE);
  }

  // An error of our own after expat has stopped by itself.
  void fail(std::int64_t code, std::string message) {
    stopped_ = true;
    ownCode_ = code;
    ownMessage_ = std::move(message);
    finishWithError();
  }

  void finishWithError() {
    XML_Size line = XML_GetCurrentLineNumber(parser_);
    XML_Size column = XML_GetCurrentColumnNumber(parser_);
    std::int64_t code;
    std::string message;
    if (stopped_) {
      code = ownCode_;
      message = ownMessage_;
    } else {
      XML_Error expatCode = XML_GetErrorCode(parser_);
      code = expatCode;
      const XML_LChar* text = XML_ErrorString(expatCode);
      message = text ? text : "unknown error";
    }
    ErrorInfo error;
    error.domain = std::string(kXmlErrorDomain);
    error.code = code;
    error.description = "XML parse error at line " + std::to_string(line) + ", column " +
                        std::to_string(column) + ": " + message;
    error.userInfo.set("line", static_cast<std::int64_t>(line));
    error.userInfo.set("column", static_cast<std::int64_t>(column));
    report(error);
  }

  void report(const ErrorInfo& error) {
    if (failed_) return;
    failed_ = true;
    stopped_ = true;
    try {
      handler_.parseError(error);
    } catch (...) {
      // The caller learns of the failure from the result.
    }
  }

  XmlEventHandler& handler_;
  XmlParseOptions options_;
  XML_Parser parser_;
  std::size_t depth_ = 0;
  std::size_t elements_ = 0;
  bool inCdata_ = false;
  bool stopped_ = false;
  bool failed_ = false;
  std::int64_t ownCode_ = 0;
  std::string ownMessage_;
  std::string declaredEncoding_;
};

}  // namespace

bool parseXml(std::string_view bytes, XmlEventHandler& handler, XmlParseOptions options) {
  try {
    ExpatSession session(handler, options);
    return session.run(bytes);
  } catch (...) {
    return false;
  }
}

}  // namespace orvo::platform
