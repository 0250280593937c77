/// @file
/// XML to Dictionary trees: the raw form (attributes, children, collected
/// "text") and the flattened form the configuration reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// Reads an XML document, such as the manifest, into a Dictionary.
class ORVO_PUSH_API OrvoXMLReader {
 public:
  /// Raw form, or absent when the document is rejected (the parser's error
  /// then goes to *error when one is given; success leaves it alone).
  /// @{
  static std::optional<Dictionary> dictionaryForXMLData(std::string_view data,
                                                        ErrorInfo* error = nullptr);
  static std::optional<Dictionary> dictionaryForXMLString(std::string_view string,
                                                          ErrorInfo* error = nullptr);
  /// @}
  /// Absent, with *error untouched, when the file cannot be read; a file over
  /// kMaxSize is rejected with an error like data that is.
  static std::optional<Dictionary> dictionaryForXMLFile(const std::string& path,
                                                        ErrorInfo* error = nullptr);

  /// The raw form flattened by extractXML.
  /// @{
  static std::optional<Dictionary> extDictionaryForXMLData(std::string_view data,
                                                           ErrorInfo* error = nullptr);
  static std::optional<Dictionary> extDictionaryForXMLString(std::string_view string,
                                                             ErrorInfo* error = nullptr);
  static std::optional<Dictionary> extDictionaryForXMLFile(const std::string& path,
                                                           ErrorInfo* error = nullptr);
  /// @}

  /// Flattens in place and returns the same dictionary: text-only elements
  /// become their trimmed text; elements with attributes or children lose
  /// their "text". Works without recursion, so any depth is safe.
  static Dictionary& extractXML(Dictionary& dictionary);

  /// `error`, when given, receives the reason a read fails.
  explicit OrvoXMLReader(ErrorInfo* error = nullptr);
  /// One parse per call; state of an earlier parse is dropped.
  std::optional<Dictionary> objectWithData(std::string_view data);

  /// Documents nested deeper than this are rejected with an error.
  static constexpr std::size_t kMaxDepth = 256;
  /// A manifest is a few kilobytes; its tree costs about thirty times its
  /// size, so larger documents, or ones with more elements, are rejected with
  /// an error.
  /// @{
  static constexpr std::size_t kMaxSize = std::size_t{1} << 20;
  static constexpr std::size_t kMaxElements = 50'000;
  /// @}

 private:
  ErrorInfo* error_;
};

}  // namespace orvo
