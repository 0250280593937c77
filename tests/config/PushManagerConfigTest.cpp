#include "orvo/PushManagerConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/ProcessState.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

constexpr const char* kPlaceholder = "http://127.0.0.1:1/";
constexpr const char* kManifestMissing = "Push Settings file is not exist.";
constexpr const char* kRes = "res/Manifest.xml";
constexpr const char* kProfile = "embedded.mobileprovision";
const std::string kDefaults = "|user|||3.6|3.6|||1011|";

// A pretty-printed manifest, as a real one would be.
std::string manifest(const std::string& receiver, const std::string& push = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest>\n  <settings>\n    <push>\n" +
         push + "      <receiver>\n" + receiver + "      </receiver>\n    </push>\n" +
         "  </settings>\n</manifest>\n";
}
std::string el(const std::string& name, const std::string& text) {
  return "        <" + name + ">" + text + "</" + name + ">\n";
}

// Every property on one line: the placeholder host reads "*", the flags are
// storage, log, granted and phone number, and the last field is the size of
// the parsed manifest ("-" when none was found).
std::string summary(const PushManagerConfig& c) {
  return c.mode() + "|" + (c.host() == kPlaceholder ? "*" : c.host()) + "|" + c.policy() + "|" +
         c.applicationID() + "|" + c.customerCode() + "|" + c.receiverVersion() + "|" +
         c.receiverDebugVersion() + "|" + c.logServerHost() + "|" + c.xeltHost() + "|" +
         std::to_string(c.useStorage()) + std::to_string(c.useLog()) +
         std::to_string(c.useGranted()) + std::to_string(c.usePhoneNumber()) + "|" +
         (c.config() ? std::to_string(c.config()->size()) : "-");
}

TEST(PushManagerConfigTest, KeyTableRules) {
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix("4EE"), "4");
  for (const char* v : {"EE", "3.6E", "3.6ee", ""}) {
    EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix(v), v);
  }
  const std::string full = manifest(
      el("mode", "development") +
          "<server><production>https://prod/</production>\n"
          "<development>https://dev/</development></server>\n" +
          el("policy", "device") + el("customer-code", "CC01") + el("application-id", "app.one") +
          el("project-id", "project.two") + el("app-id", "app.three") + el("version", "4.1EE") +
          el("log", "YES") + el("log-server", "https://log/") + el("granted", "no") +
          el("use-phone_number", "0"),
      "<storage>false</storage><xelt>\n<server>https://xelt/</server></xelt>\n");
  const std::string prod = el("mode", "production"), d = kDefaults + "1";
  const std::string broken = "|*" + kDefaults + "0";
  const std::pair<std::string, std::string> cases[] = {
      {full,
       "development|https://dev/|device|app.three|CC01|4.1|4.1|https://log/|https://xelt/|0100|1"},
      // No mode element: mode "" and the plain server, trimmed.
      {manifest(el("server", "  https://plain/\n ")), "|https://plain/" + d},
      {manifest(prod + el("server", "https://only/")), "production|https://only/" + d},
      {manifest(prod + "<server><production> https://p/ </production>"
                       "<development>https://d/</development></server>"),
       "production|https://p/" + d},
      // Mode children but no mode, or no child for the mode: no host.
      {manifest("<server><production>https://p/</production></server>"), "|*" + d},
      {manifest(el("mode", "staging") + "<server><production>p</production></server>"),
       "staging|*" + d},
      // An attribute makes the server lose its text; a repeated policy is an array.
      {manifest(prod + "<server secure=\"yes\">https://a/</server>"), "production|*" + d},
      {manifest(el("policy", "device") + el("policy", "user2")), "|*" + d},
      {manifest(el("version", "EE")), "|*|user|||EE|EE|||1011|1"},
      {manifest(el("application-id", "a") + el("project-id", "p")), "|*|user|p||3.6|3.6|||1011|1"},
      {manifest(el("application-id", "a")), "|*|user|a||3.6|3.6|||1011|1"},
      {manifest(el("log", "1"), "<storage></storage>"), "|*|user|||3.6|3.6|||0111|1"},
      // A broken manifest leaves an empty configuration (the reader's and the
      // parser's tests hold what is broken: encodings, sizes, bad bytes).
      {full.substr(0, full.size() / 2), broken},
  };
  for (const auto& [contents, expected] : cases) {
    SCOPED_TRACE(contents.substr(0, 300));
    test::TestHost host;
    host.bundleDir.write(kRes, contents);
    EXPECT_EQ(summary(PushManagerConfig()), expected);
    // Logged with the switch off: why the defaults apply.
    EXPECT_EQ(host.log->count("PushManagerConfig - Manifest " + host.bundleDir.path() + "/" + kRes +
                              " not used, defaults apply: "),
              expected == broken ? 1u : 0u);
  }
}

TEST(PushManagerConfigTest, ManifestLocationOrder) {
  test::TestHost host;
  test::TempDir library;
  auto put = [](const test::TempDir& dir, const std::string& path, const std::string& label) {
    dir.write(path, manifest(el("server", label)));
  };
  auto found = [] { return PushManagerConfig().host(); };
  auto name = [&](const Value& v) { host.settings->set(PushManagerConfig::kManifestFileKey, v); };
  // Without a name or a bundle path: res/ before the top level; a named file wins.
  put(host.bundleDir, "Manifest.xml", "top");
  EXPECT_EQ(found(), "top");
  put(host.bundleDir, kRes, "res");
  EXPECT_EQ(found(), "res");
  put(host.bundleDir, "res/sub/custom.xml", "named");
  name("sub/custom.xml");
  EXPECT_EQ(found(), "named");
  // A number or an empty string under the key is ignored and the library
  // bundle serves; a directory or a missing file falls back to the main
  // bundle, never to the library bundle.
  put(library, kRes, "lib-res");
  put(library, "Manifest.xml", "lib-top");
  PushManagerConfig::setLibraryBundlePath(library.path());
  // clang-format off
  for (auto [v, expected] : {std::pair{Value(42), "lib-res"}, {Value(""), "lib-res"},
                             {Value("sub"), "res"}, {Value("missing.xml"), "res"}}) {
    // clang-format on
    name(v);
    EXPECT_EQ(found(), expected);
  }
  std::filesystem::remove(host.bundleDir.path() + "/" + kRes);
  EXPECT_EQ(found(), "top");
  std::filesystem::remove(host.bundleDir.path() + "/Manifest.xml");
  host.setLogging(true);
  EXPECT_EQ(summary(PushManagerConfig()), "production|*" + kDefaults + "-");
  EXPECT_EQ(host.log->count(kManifestMissing), 1u);
  // Unnamed with a bundle path: no fallback to the main bundle, even when the
  // path is no directory; an empty path counts as unset.
  put(host.bundleDir, kRes, "res");
  host.settings->remove(PushManagerConfig::kManifestFileKey);
  EXPECT_EQ(found(), "lib-res");
  std::filesystem::remove(library.path() + "/" + kRes);
  EXPECT_EQ(found(), "lib-top");
  std::filesystem::remove(library.path() + "/Manifest.xml");
  EXPECT_EQ(found(), kPlaceholder);
  PushManagerConfig::setLibraryBundlePath(library.path() + "/nowhere");
  EXPECT_EQ(found(), kPlaceholder);
  PushManagerConfig::setLibraryBundlePath(std::string());
  EXPECT_EQ(found(), "res");
}

// A signed envelope: binary bytes around an XML property list.
std::string signedPlist(const std::string& body) {
  return std::string("\x30\x82\x1f\x00\x06\x09\x2a\x86\x48\xa0", 10) +
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
         "\n</plist>" + std::string("\x00\xa0\x82\x0b\xff", 5);
}
std::string entitlements(const std::string& environment) {
  return "<dict><key>Name</key><string>T</string><key>Entitlements</key><dict>" + environment +
         "<key>get-task-allow</key><true/></dict></dict>";
}
std::string apsEnvironment(const std::string& env) {
  return "<key>aps-environment</key><string>" + env + "</string>";
}
std::string apsProfile(const std::string& env) {
  return signedPlist(entitlements(apsEnvironment(env)));
}

TEST(PushManagerConfigTest, ProvisioningProfile) {
  const std::string kRead = "PushManagerConfig - Error reading embedded mobileprovision ";
  const std::string kConvert = "Error while converting assumed plist to dict ";
  const std::string kEnv = "APNS Environment in profile: ";
  // The profile, whether the app is a production one, and the start of a
  // line that must be logged ("" for no failure line).
  // clang-format off
  const std::tuple<std::optional<std::string>, bool, std::string> cases[] = {
      {std::nullopt, true, kRead}, {"", true, kRead + "(null)"},
      {"\x30\x82 just a signature \xff", true, ""},
      {std::string("\x00\xff\x80\x13", 4) + "<plist>\x01\x02\xfe garbage", true, kConvert},
      {signedPlist("<array><string>x</string></array>"), true, kConvert + "(null)"},
      {apsProfile("development"), false, kEnv + "development"},
      {apsProfile("production"), true, kEnv + "production"}, {apsProfile(""), true, kEnv},
      {signedPlist(entitlements("")), true, kEnv + "(null)"},
      {"<plist version=\"1.0\">" + entitlements(apsEnvironment("development")), false, ""}};
  // clang-format on
  for (const auto& [profile, production, line] : cases) {
    SCOPED_TRACE(profile.value_or("no profile").substr(0, 60));
    test::TestHost host;
    host.setLogging(true);
    if (profile) host.bundleDir.write(kProfile, *profile);
    PushManagerConfig config;
    host.log->clear();
    EXPECT_EQ(config.isProductionApp(), production);
    EXPECT_EQ(config.isSandboxApp(), !production);
    auto lines = host.log->lines();
    if (line.empty()) {
      EXPECT_EQ(host.log->count(kRead) + host.log->count(kConvert), 0u);
    } else {
      EXPECT_TRUE(std::ranges::any_of(lines, [&](auto& l) { return l.starts_with(line); }));
    }
  }
  // Logging off: nothing is written, not even the missing manifest.
  test::TestHost host;
  EXPECT_TRUE(PushManagerConfig().isProductionApp());
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushManagerConfigTest, ProcessWideState) {
  test::TestHost host;
  host.bundleDir.write(kProfile, apsProfile("development"));
  EXPECT_TRUE(PushManagerConfig().isSandboxApp());
  host.bundleDir.write(kProfile, apsProfile("production"));
  // Another instance still gets the first answer; the direct check reads anew.
  PushManagerConfig second;
  EXPECT_TRUE(second.isSandboxApp());
  EXPECT_TRUE(second.isProductionApp());
  detail::resetConfigProcessState();
  EXPECT_FALSE(second.isSandboxApp());

  // One shared instance, whose properties many threads read and write.
  host.bundleDir.write(kRes, manifest(el("server", "https://shared/")));
  std::vector<std::shared_ptr<PushManagerConfig>> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] {
      slot = PushManagerConfig::sharedConfig();
      for (int i = 0; i < 100; ++i) {
        slot->setHost("https://h" + std::to_string(i) + "/");
        slot->setUseLog(!slot->useLog());
        EXPECT_TRUE(slot->host().starts_with("https://h"));
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(seen[0]->host(), "https://h99/");
  EXPECT_TRUE(seen[0]->config().value().contains("manifest"));

  detail::resetConfigProcessState();
  EXPECT_NE(PushManagerConfig::sharedConfig(), seen[0]);
}

}  // namespace
}  // namespace orvo
