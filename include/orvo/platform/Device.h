/// @file
/// Facts about the device and fresh random identifiers.
#pragma once

#include <string>

#include "orvo/Export.h"

namespace orvo {

/// The device the library runs on.
class ORVO_PUSH_API Device {
 public:
  virtual ~Device() = default;
  /// The model name and the system version.
  /// @{
  virtual std::string model() const = 0;
  virtual std::string systemVersion() const = 0;
  /// @}
  /// A fresh random UUID: 36 upper-case characters, 8-4-4-4-12.
  virtual std::string newUUID() = 0;
};

/// The machine it runs on: uname, /etc/os-release and libuuid.
class ORVO_PUSH_API SystemDevice : public Device {
 public:
  SystemDevice();
  /// uname's machine, and /etc/os-release's version.
  /// @{
  std::string model() const override { return model_; }
  std::string systemVersion() const override { return systemVersion_; }
  /// @}
  std::string newUUID() override;

 private:
  std::string model_;
  std::string systemVersion_;
};

}  // namespace orvo
