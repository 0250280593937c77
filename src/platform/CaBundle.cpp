#include "platform/CaBundle.h"

#include <curl/curl.h>

#include <fstream>
#include <sstream>

namespace orvo::http {
namespace {

// Reads a whole file; false when it cannot be read.
bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  out = buffer.str();
  return true;
}

}  // namespace

std::optional<std::string> caBundleWith(const std::string& extraFile) {
  if (extraFile.empty()) return std::nullopt;
  std::string extra;
  if (!readFile(extraFile, extra)) return std::nullopt;
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::string bundle;
  if (info && info->cainfo) readFile(info->cainfo, bundle);
  if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
  bundle += extra;
  return bundle;
}

}  // namespace orvo::http
