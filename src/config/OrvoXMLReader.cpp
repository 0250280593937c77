#include "orvo/OrvoXMLReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "config/WhiteSpace.h"
#include "platform/XmlParser.h"

namespace orvo {
namespace {

constexpr std::string_view kTextKey = "text";

using text::trim;

bool isTextOnly(const Dictionary& dict) { return dict.size() == 1 && dict.contains(kTextKey); }

// At most one byte over the reader's limit: enough for the parser to refuse
// the file with its error, without holding all of a huge one.
std::optional<std::string> readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::size_t wanted = std::min(static_cast<std::uintmax_t>(info.st_size),
                                std::uintmax_t{OrvoXMLReader::kMaxSize} + 1);
  std::string bytes(wanted, '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  // A file that shrank while being read gives what it still held.
  bytes.resize(done);
  return bytes;
}

// Builds the raw form from parser events. Open elements are kept as pointers
// into the tree: a Value owns its dictionary on the heap, so the pointer
// stays valid when the Value holding it moves into an array.
class RawFormBuilder : public platform::XmlEventHandler {
 public:
  RawFormBuilder() { stack_.push_back(&document_); }

  void startElement(std::string_view name, const platform::XmlAttributes& attributes) override {
    Dictionary element;
    for (const auto& [key, value] : attributes) element.set(key, Value(value));
    Dictionary& parent = *stack_.back();
    Value* existing = parent.find(name);
    Dictionary* opened = nullptr;
    if (!existing) {
      parent.set(std::string(name), Value(std::move(element)));
      opened = parent.find(name)->asDictionary();
    } else {
      // Only sibling elements make arrays, so any array here is one.
      if (!existing->isArray()) {
        Array array;
        array.push_back(std::move(*existing));
        *existing = Value(std::move(array));
      }
      Array& array = *existing->asArray();
      array.push_back(Value(std::move(element)));
      opened = array.back().asDictionary();
    }
    stack_.push_back(opened);
  }

  void characters(std::string_view text) override { text_.append(text); }

  void endElement(std::string_view) override {
    if (!text_.empty()) {
      stack_.back()->set(std::string(kTextKey), Value(std::move(text_)));
      text_ = std::string();
    }
    if (stack_.size() > 1) stack_.pop_back();
  }

  void parseError(const ErrorInfo& error) override { error_ = error; }

  Dictionary takeDocument() { return std::move(document_); }
  const std::optional<ErrorInfo>& error() const { return error_; }

 private:
  Dictionary document_;
  std::vector<Dictionary*> stack_;
  std::string text_;
  std::optional<ErrorInfo> error_;
};

}  // namespace

OrvoXMLReader::OrvoXMLReader(ErrorInfo* error) : error_(error) {}

std::optional<Dictionary> OrvoXMLReader::objectWithData(std::string_view data) {
  try {
    RawFormBuilder builder;
    platform::XmlParseOptions options;
    options.maxDepth = kMaxDepth;
    options.maxBytes = kMaxSize;
    options.maxElements = kMaxElements;
    bool ok = platform::parseXml(data, builder, options);
    if (!ok) {
      if (error_ && builder.error()) *error_ = *builder.error();
      return std::nullopt;
    }
    return builder.takeDocument();
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<Dictionary> OrvoXMLReader::dictionaryForXMLData(std::string_view data,
                                                              ErrorInfo* error) {
  OrvoXMLReader reader(error);
  return reader.objectWithData(data);
}

std::optional<Dictionary> OrvoXMLReader::dictionaryForXMLString(std::string_view string,
                                                                ErrorInfo* error) {
  return dictionaryForXMLData(string, error);
}

std::optional<Dictionary> OrvoXMLReader::dictionaryForXMLFile(const std::string& path,
                                                              ErrorInfo* error) {
  std::optional<std::string> bytes;
  try {
    bytes = readFile(path);
  } catch (...) {
    return std::nullopt;
  }
  if (!bytes) return std::nullopt;
  return dictionaryForXMLData(*bytes, error);
}

std::optional<Dictionary> OrvoXMLReader::extDictionaryForXMLData(std::string_view data,
                                                                 ErrorInfo* error) {
  std::optional<Dictionary> raw = dictionaryForXMLData(data, error);
  if (raw) extractXML(*raw);
  return raw;
}

std::optional<Dictionary> OrvoXMLReader::extDictionaryForXMLString(std::string_view string,
                                                                   ErrorInfo* error) {
  return extDictionaryForXMLData(string, error);
}

std::optional<Dictionary> OrvoXMLReader::extDictionaryForXMLFile(const std::string& path,
                                                                 ErrorInfo* error) {
  std::optional<Dictionary> raw = dictionaryForXMLFile(path, error);
  if (raw) extractXML(*raw);
  return raw;
}

Dictionary& OrvoXMLReader::extractXML(Dictionary& dictionary) {
  // Dictionaries still to flatten. Each is owned by the tree on the heap and
  // is not moved while it waits here.
  std::vector<Dictionary*> pending{&dictionary};
  while (!pending.empty()) {
    Dictionary& d = *pending.back();
    pending.pop_back();
    for (auto& entry : d) {
      Value& value = entry.second;
      if (Dictionary* inner = value.asDictionary()) {
        if (isTextOnly(*inner)) {
          Value text = inner->get(kTextKey);
          if (!text.isDictionary()) {
            if (const std::string* s = text.asString()) {
              value = Value(trim(*s));
            } else {
              value = std::move(text);
            }
            continue;
          }
        } else if (inner->contains(kTextKey) && inner->size() >= 2) {
          inner->erase(kTextKey);
        }
        pending.push_back(inner);
      } else if (Array* items = value.asArray()) {
        // Text-only entries become their text; the others are flattened
        // themselves and keep their own "text", trimmed.
        for (Value& item : *items) {
          Dictionary* element = item.asDictionary();
          if (!element) continue;
          const std::string* text = isTextOnly(*element) ? element->getString(kTextKey) : nullptr;
          if (text) {
            item = Value(trim(*text));
          } else {
            pending.push_back(element);
          }
        }
      } else if (const std::string* s = value.asString()) {
        value = Value(trim(*s));
      }
    }
  }
  return dictionary;
}

}  // namespace orvo
