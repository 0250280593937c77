#include <sys/utsname.h>
#include <uuid/uuid.h>

#include <cstdio>
#include <fstream>

#include "orvo/platform/Device.h"

namespace orvo {

namespace {

constexpr const char* kOsReleasePath = "/etc/os-release";
constexpr std::string_view kVersionIdKey = "VERSION_ID=";

// VERSION_ID of os-release, without its optional quotes; "" when absent.
std::string osReleaseVersion() {
  std::ifstream in(kOsReleasePath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(kVersionIdKey, 0) != 0) continue;
    std::string value = line.substr(kVersionIdKey.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

SystemDevice::SystemDevice() {
  utsname names{};
  if (uname(&names) == 0) {
    model_ = std::string(names.sysname) + " " + names.machine;
    systemVersion_ = names.release;
  }
  if (std::string version = osReleaseVersion(); !version.empty()) systemVersion_ = version;
}

std::string SystemDevice::newUUID() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

}  // namespace orvo
