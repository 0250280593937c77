/// @file
/// The application's resources and identity.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// The application's bundle: its resources, identifier and version.
class ORVO_PUSH_API Bundle {
 public:
  virtual ~Bundle() = default;
  /// The bundle's own directory (where embedded.mobileprovision lies).
  virtual std::string bundlePath() const = 0;
  /// The directory that holds its resources.
  virtual std::string resourcePath() const = 0;
  /// The path of name.type, in directory when one is given, when that file
  /// exists.
  /// @{
  virtual std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                                     std::string_view directory = {}) const = 0;
  virtual std::string identifier() const = 0;
  /// @}
  /// A value of the information dictionary ("CFBundleVersion"), or null.
  virtual Value infoValue(std::string_view key) const = 0;
  /// The bundle at another path, with this bundle's identity; null when the
  /// path is not a directory.
  virtual std::shared_ptr<Bundle> bundleAtPath(const std::string& path) const = 0;
};

/// A bundle that is a directory: resources are files under it. Serves the
/// desktop and, over a temporary directory, tests.
class ORVO_PUSH_API DirectoryBundle : public Bundle {
 public:
  /// A directory the application names, with its identifier and info values.
  DirectoryBundle(std::string directory, std::string identifier, Dictionary info = {});

  std::string bundlePath() const override;
  std::string resourcePath() const override;
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                             std::string_view directory = {}) const override;
  std::string identifier() const override;
  Value infoValue(std::string_view key) const override;
  std::shared_ptr<Bundle> bundleAtPath(const std::string& path) const override;

 private:
  std::string directory_;
  std::string identifier_;
  Dictionary info_;
};

}  // namespace orvo
