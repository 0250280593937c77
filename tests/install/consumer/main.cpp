// An application's first contact with the installed package: headers found,
// library linked, a few calls that need no platform.
#include <orvo/Json.h>
#include <orvo/PushEncryptor.h>
#include <orvo/Version.h>
#include <orvo/platform/Host.h>

#include <cstdio>

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

  std::puts("consumer ok");
  return 0;
}
