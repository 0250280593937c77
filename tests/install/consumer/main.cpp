// An application's first contact with the installed package: headers found,
// library linked, a few calls that need no platform.
#include <orvo/Json.h>
#include <orvo/PushEncryptor.h>
#include <orvo/Version.h>
#include <orvo/platform/Host.h>

#include <cstdio>
#include <string>

int main() {
  orvo::Dictionary payload{{"aps", orvo::Dictionary{{"alert", "hello"}, {"badge", 3}}}};
  auto json = orvo::writeJson(payload);
  if (!json.ok()) return 1;
  auto parsed = orvo::parseJson(json.value());
  if (!parsed.ok() || !(parsed.value() == orvo::Value(payload))) return 2;

  orvo::PushEncryptor encryptor("0123456789abcdef", "v1");
  auto cipher = encryptor.encryptValue("device");
  if (!cipher || encryptor.decryptValue(*cipher) != "device") return 3;

  if (orvo::versionCompare("3.10", "3.9") != 1) return 4;

  // One version everywhere: the macros, the constant, the loaded library and,
  // when built through find_package, the CMake package.
  const std::string dotted = std::to_string(ORVO_PUSH_VERSION_MAJOR) + "." +
                             std::to_string(ORVO_PUSH_VERSION_MINOR) + "." +
                             std::to_string(ORVO_PUSH_VERSION_PATCH);
  if (dotted != ORVO_PUSH_VERSION_STRING || orvo::kLibraryVersion != ORVO_PUSH_VERSION_STRING ||
      orvo::runtimeVersion() != ORVO_PUSH_VERSION_STRING) {
    std::printf("versions differ: macros %s, string %s, library %s\n", dotted.c_str(),
                ORVO_PUSH_VERSION_STRING, std::string(orvo::runtimeVersion()).c_str());
    return 5;
  }
#ifdef EXPECTED_VERSION
  if (dotted != EXPECTED_VERSION) {
    std::printf("headers say %s, the CMake package %s\n", dotted.c_str(), EXPECTED_VERSION);
    return 6;
  }
#endif

  std::puts("consumer ok");
  return 0;
}
