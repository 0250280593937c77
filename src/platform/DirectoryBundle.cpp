#include <filesystem>
#include <system_error>

#include "orvo/platform/Bundle.h"

namespace orvo {

namespace fs = std::filesystem;

DirectoryBundle::DirectoryBundle(std::string directory, std::string identifier, Dictionary info)
    : directory_(std::move(directory)),
      identifier_(std::move(identifier)),
      info_(std::move(info)) {}

std::string DirectoryBundle::bundlePath() const { return directory_; }

std::string DirectoryBundle::resourcePath() const { return directory_; }

std::optional<std::string> DirectoryBundle::pathForResource(std::string_view name,
                                                            std::string_view type,
                                                            std::string_view directory) const {
  if (name.empty()) return std::nullopt;
  std::string fileName(name);
  if (!type.empty()) {
    fileName += '.';
    fileName += type;
  }
  fs::path path(directory_);
  if (!directory.empty()) path /= fs::path(std::string(directory));
  path /= fs::path(fileName);
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::nullopt;
  return path.string();
}

std::string DirectoryBundle::identifier() const { return identifier_; }

Value DirectoryBundle::infoValue(std::string_view key) const { return info_.get(key); }

std::shared_ptr<Bundle> DirectoryBundle::bundleAtPath(const std::string& path) const {
  std::error_code error;
  if (path.empty() || !fs::is_directory(path, error)) return nullptr;
  return std::make_shared<DirectoryBundle>(path, identifier_, info_);
}

}  // namespace orvo
