#include "orvo/PushManagerConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ProcessState.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

constexpr const char* kPlaceholder = "http://127.0.0.1:1/";
constexpr const char* kManifestMissing = "Push Settings file is not exist.";

// A manifest whose receiver holds the given elements, pretty-printed as a
// real one would be.
std::string manifest(const std::string& receiver, const std::string& push = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<manifest>\n"
         "  <settings>\n"
         "    <push>\n" +
         push + "      <receiver>\n" + receiver +
         "      </receiver>\n"
         "    </push>\n"
         "  </settings>\n"
         "</manifest>\n";
}

std::string element(const std::string& name, const std::string& text) {
  return "        <" + name + ">" + text + "</" + name + ">\n";
}

const std::string kFullManifest =
    manifest(element("mode", "development") +
                 "        <server>\n"
                 "          <production>https://prod.example/</production>\n"
                 "          <development>https://dev.example/</development>\n"
                 "        </server>\n" +
                 element("policy", "device") + element("customer-code", "CC01") +
                 element("application-id", "app.one") + element("project-id", "project.two") +
                 element("app-id", "app.three") + element("version", "4.1EE") +
                 element("log", "YES") + element("log-server", "https://log.example/") +
                 element("granted", "no") + element("use-phone_number", "0"),
             "      <storage>false</storage>\n"
             "      <xelt>\n"
             "        <server>https://xelt.example/</server>\n"
             "      </xelt>\n");

std::string provisioningProfile(const std::string& plistBody) {
  // A signed envelope: binary bytes around an XML property list.
  std::string envelope("\x30\x82\x1f\x00\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02\xa0", 16);
  envelope += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + plistBody +
              "\n</plist>";
  envelope += std::string("\x00\xa0\x82\x0b\xff\x30\x82", 7);
  return envelope;
}

std::string entitlements(const std::string& environment) {
  return "<dict><key>Name</key><string>Test</string><key>Entitlements</key><dict>" + environment +
         "<key>get-task-allow</key><true/></dict></dict>";
}

TEST(PushManagerConfigTest, NoManifestKeepsDefaults) {
  test::TestHost host;
  host.setLogging(true);
  PushManagerConfig config;
  EXPECT_EQ(config.host(), kPlaceholder);
  EXPECT_EQ(config.mode(), "production");
  EXPECT_EQ(config.policy(), "user");
  EXPECT_EQ(config.applicationID(), "");
  EXPECT_EQ(config.customerCode(), "");
  EXPECT_EQ(config.receiverVersion(), "3.6");
  EXPECT_EQ(config.receiverDebugVersion(), "3.6");
  EXPECT_EQ(config.logServerHost(), "");
  EXPECT_EQ(config.xeltHost(), "");
  EXPECT_TRUE(config.useStorage());
  EXPECT_FALSE(config.useLog());
  EXPECT_TRUE(config.useGranted());
  EXPECT_TRUE(config.usePhoneNumber());
  EXPECT_FALSE(config.config().has_value());
  EXPECT_EQ(host.log->count(kManifestMissing), 1u);

  // Silent while logging is off.
  host.log->clear();
  host.setLogging(false);
  PushManagerConfig quiet;
  EXPECT_EQ(host.log->count(kManifestMissing), 0u);
}

TEST(PushManagerConfigTest, FullManifestSetsEveryProperty) {
  test::TestHost host;
  host.bundleDir.write("res/Manifest.xml", kFullManifest);
  PushManagerConfig config;
  EXPECT_EQ(config.mode(), "development");
  EXPECT_EQ(config.host(), "https://dev.example/");
  EXPECT_EQ(config.policy(), "device");
  EXPECT_EQ(config.customerCode(), "CC01");
  EXPECT_EQ(config.applicationID(), "app.three");
  EXPECT_EQ(config.receiverVersion(), "4.1");
  EXPECT_EQ(config.receiverDebugVersion(), "4.1");
  EXPECT_EQ(config.logServerHost(), "https://log.example/");
  EXPECT_EQ(config.xeltHost(), "https://xelt.example/");
  EXPECT_FALSE(config.useStorage());
  EXPECT_TRUE(config.useLog());
  EXPECT_FALSE(config.useGranted());
  EXPECT_FALSE(config.usePhoneNumber());
  ASSERT_TRUE(config.config().has_value());
  EXPECT_TRUE(config.config()->contains("manifest"));
  EXPECT_EQ(config.dictionaryWithConfigFile(host.bundleDir.path() + "/res/Manifest.xml"),
            *config.config());
}

// Builds a configuration from a manifest holding the given receiver elements.
struct Loaded {
  explicit Loaded(const std::string& receiver, const std::string& push = "") {
    host.bundleDir.write("res/Manifest.xml", manifest(receiver, push));
    config = std::make_unique<PushManagerConfig>();
  }
  test::TestHost host;
  std::unique_ptr<PushManagerConfig> config;
};

TEST(PushManagerConfigTest, ModeAndServerSelection) {
  {
    // No mode element: mode becomes "" and the plain server is used.
    Loaded l(element("server", "  https://plain.example/\n "));
    EXPECT_EQ(l.config->mode(), "");
    EXPECT_EQ(l.config->host(), "https://plain.example/");
  }
  {
    // A text-only server serves every mode.
    Loaded l(element("mode", "production") + element("server", "https://only.example/"));
    EXPECT_EQ(l.config->mode(), "production");
    EXPECT_EQ(l.config->host(), "https://only.example/");
  }
  {
    Loaded l(element("mode", "production") +
             "<server><production> https://p/ </production><development>https://d/"
             "</development></server>");
    EXPECT_EQ(l.config->host(), "https://p/");
  }
  {
    // Mode children but no mode: a dictionary, which is not a host.
    Loaded l("<server><production>https://p/</production></server>");
    EXPECT_EQ(l.config->mode(), "");
    EXPECT_EQ(l.config->host(), kPlaceholder);
  }
  {
    // A mode with no matching child.
    Loaded l(element("mode", "staging") + "<server><production>https://p/</production></server>");
    EXPECT_EQ(l.config->host(), kPlaceholder);
  }
  {
    // An attribute makes the server lose its text.
    Loaded l(element("mode", "production") +
             "<server secure=\"yes\">https://attr.example/</server>");
    EXPECT_EQ(l.config->host(), kPlaceholder);
  }
  {
    // A repeated policy is an array, not a string.
    Loaded l(element("policy", "device") + element("policy", "user2"));
    EXPECT_EQ(l.config->policy(), "user");
  }
}

TEST(PushManagerConfigTest, ValueRules) {
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix("3.6EE"), "3.6");
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix("4EE"), "4");
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix("EE"), "EE");
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix("3.6E"), "3.6E");
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix("3.6ee"), "3.6ee");
  EXPECT_EQ(PushManagerConfig::stripEnterpriseSuffix(""), "");
  {
    Loaded l(element("version", "3.6EE"));
    EXPECT_EQ(l.config->receiverVersion(), "3.6");
  }
  {
    Loaded l(element("version", "EE"));
    EXPECT_EQ(l.config->receiverVersion(), "EE");
  }
  {
    Loaded l(element("application-id", "a") + element("project-id", "p"));
    EXPECT_EQ(l.config->applicationID(), "p");
  }
  {
    Loaded l(element("application-id", "a"));
    EXPECT_EQ(l.config->applicationID(), "a");
  }
  for (const char* no : {"no", "0", "false", ""}) {
    Loaded l("", std::string("<storage>") + no + "</storage>");
    EXPECT_FALSE(l.config->useStorage()) << no;
  }
  for (const char* yes : {"Yes", "1", "true", " +001"}) {
    Loaded l(element("granted", "no"), std::string("<storage>") + yes + "</storage>");
    EXPECT_TRUE(l.config->useStorage()) << yes;
    EXPECT_FALSE(l.config->useGranted());
  }
}

TEST(PushManagerConfigTest, BrokenManifestsGiveAnEmptyConfig) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<n>";
  std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE manifest [\n<!ENTITY l0 \"lol\">\n";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">\n";
  }
  laughs += "]>\n<manifest><settings>&l9;</settings></manifest>";
  std::string full = kFullManifest;

  const std::vector<std::pair<std::string, std::string>> cases{
      {"malformed", "<manifest><settings></push></manifest>"},
      {"truncated", full.substr(0, full.size() / 2)},
      {"empty", ""},
      {"latin-1 bytes without a declaration", manifest(element("policy", "d\xE9vice"))},
      {"binary", std::string("\x00\x01\xFF\xFE\x89PNG", 8)},
      {"billion laughs", laughs},
      {"nested 100000 deep", deep},
  };
  for (const auto& [name, contents] : cases) {
    test::TestHost host;
    host.bundleDir.write("res/Manifest.xml", contents);
    PushManagerConfig config;
    ASSERT_TRUE(config.config().has_value()) << name;
    EXPECT_TRUE(config.config()->empty()) << name;
    EXPECT_EQ(config.mode(), "") << name;
    EXPECT_EQ(config.host(), kPlaceholder) << name;
    EXPECT_EQ(config.policy(), "user") << name;
    EXPECT_EQ(config.receiverVersion(), "3.6") << name;
    EXPECT_TRUE(config.useStorage()) << name;
  }
}

TEST(PushManagerConfigTest, LargeManifest) {
  test::TestHost host;
  std::string filler;
  for (int i = 0; i < 20000; ++i) filler += "      <item>" + std::to_string(i) + "</item>\n";
  host.bundleDir.write(
      "res/Manifest.xml",
      manifest(element("mode", "production") + element("server", "https://big/"), filler));
  PushManagerConfig config;
  EXPECT_EQ(config.host(), "https://big/");
  ASSERT_TRUE(config.config());
  const Value items = config.config()
                          ->getDictionary("manifest")
                          ->getDictionary("settings")
                          ->getDictionary("push")
                          ->get("item");
  ASSERT_TRUE(items.isArray());
  EXPECT_EQ(items.asArray()->size(), 20000u);
}

std::string serverManifest(const std::string& host) { return manifest(element("server", host)); }

TEST(PushManagerConfigTest, ManifestLocationOrder) {
  {
    // The named file wins over both defaults.
    test::TestHost host;
    host.bundleDir.write("res/sub/custom.xml", serverManifest("named"));
    host.bundleDir.write("res/Manifest.xml", serverManifest("res"));
    host.bundleDir.write("Manifest.xml", serverManifest("top"));
    host.settings->set(PushManagerConfig::kManifestFileKey, Value("sub/custom.xml"));
    EXPECT_EQ(PushManagerConfig().host(), "named");
  }
  {
    // A named file that is missing falls back to res/, then the top level,
    // and never to the library bundle.
    test::TestHost host;
    test::TempDir library;
    library.write("res/Manifest.xml", serverManifest("library"));
    PushManagerConfig::setLibraryBundlePath(library.path());
    host.settings->set(PushManagerConfig::kManifestFileKey, Value("missing.xml"));
    host.bundleDir.write("res/Manifest.xml", serverManifest("res"));
    host.bundleDir.write("Manifest.xml", serverManifest("top"));
    EXPECT_EQ(PushManagerConfig().host(), "res");
    std::filesystem::remove(host.bundleDir.path() + "/res/Manifest.xml");
    EXPECT_EQ(PushManagerConfig().host(), "top");
    std::filesystem::remove(host.bundleDir.path() + "/Manifest.xml");
    host.setLogging(true);
    PushManagerConfig none;
    EXPECT_EQ(none.host(), kPlaceholder);
    EXPECT_FALSE(none.config());
    EXPECT_EQ(host.log->count(kManifestMissing), 1u);
  }
  {
    // A number, an empty string or a directory name under the key is ignored
    // or skipped; the library bundle then serves.
    test::TestHost host;
    test::TempDir library;
    library.write("res/Manifest.xml", serverManifest("library-res"));
    library.write("Manifest.xml", serverManifest("library-top"));
    host.bundleDir.write("res/Manifest.xml", serverManifest("main"));
    host.bundleDir.write("res/folder/keep", "");
    PushManagerConfig::setLibraryBundlePath(library.path());
    host.settings->set(PushManagerConfig::kManifestFileKey, Value(42));
    EXPECT_EQ(PushManagerConfig().host(), "library-res");
    host.settings->set(PushManagerConfig::kManifestFileKey, Value(""));
    EXPECT_EQ(PushManagerConfig().host(), "library-res");
    host.settings->set(PushManagerConfig::kManifestFileKey, Value("folder"));
    EXPECT_EQ(PushManagerConfig().host(), "main");
    host.settings->remove(PushManagerConfig::kManifestFileKey);
    std::filesystem::remove(library.path() + "/res/Manifest.xml");
    EXPECT_EQ(PushManagerConfig().host(), "library-top");
    // A library bundle without a manifest does not fall back to the main one.
    std::filesystem::remove(library.path() + "/Manifest.xml");
    EXPECT_EQ(PushManagerConfig().host(), kPlaceholder);
    // Nor does a bundle path that is not a directory.
    PushManagerConfig::setLibraryBundlePath(library.path() + "/nowhere");
    EXPECT_EQ(PushManagerConfig().host(), kPlaceholder);
    // An empty path counts as unset.
    PushManagerConfig::setLibraryBundlePath(std::string());
    EXPECT_EQ(PushManagerConfig().host(), "main");
  }
  {
    // Without a name or a bundle path: res/ before the top level.
    test::TestHost host;
    host.bundleDir.write("Manifest.xml", serverManifest("top"));
    EXPECT_EQ(PushManagerConfig().host(), "top");
    host.bundleDir.write("res/Manifest.xml", serverManifest("res"));
    EXPECT_EQ(PushManagerConfig().host(), "res");
  }
}

TEST(PushManagerConfigTest, ProvisioningProfile) {
  constexpr const char* kReadError = "PushManagerConfig - Error reading embedded mobileprovision ";
  constexpr const char* kConvertError = "Error while converting assumed plist to dict ";
  constexpr const char* kEnvironment = "APNS Environment in profile: ";
  struct Case {
    const char* name;
    std::optional<std::string> profile;
    bool production;
    std::string logLine;  // a line that must be logged, "" for none
  };
  const std::vector<Case> cases{
      {"no profile", std::nullopt, true, kReadError},
      {"empty profile", std::string(), true, std::string(kReadError) + "(null)"},
      {"no plist", std::string("\x30\x82") + " just a signature " + "\xff", true, ""},
      {"binary junk", std::string("\x00\xff\x80\x13", 4) + "<plist>\x01\x02\xfe garbage", true,
       kConvertError},
      {"not a dictionary", provisioningProfile("<array><string>x</string></array>"), true,
       std::string(kConvertError) + "(null)"},
      {"development",
       provisioningProfile(entitlements("<key>aps-environment</key><string>development</string>")),
       false, std::string(kEnvironment) + "development"},
      {"production",
       provisioningProfile(entitlements("<key>aps-environment</key><string>production</string>")),
       true, std::string(kEnvironment) + "production"},
      {"empty environment",
       provisioningProfile(entitlements("<key>aps-environment</key><string></string>")), true,
       kEnvironment},
      {"missing environment", provisioningProfile(entitlements("")), true,
       std::string(kEnvironment) + "(null)"},
      {"unterminated plist",
       "<plist version=\"1.0\">" +
           entitlements("<key>aps-environment</key><string>development</string>"),
       false, ""},
  };
  for (const auto& c : cases) {
    test::TestHost host;
    host.setLogging(true);
    if (c.profile) host.bundleDir.write("embedded.mobileprovision", *c.profile);
    PushManagerConfig config;
    host.log->clear();
    EXPECT_EQ(config.isProductionApp(), c.production) << c.name;
    EXPECT_EQ(config.isSandboxApp(), !c.production) << c.name;
    auto lines = host.log->lines();
    if (c.logLine.empty()) {
      bool reportedFailure = false;
      for (const auto& line : lines) {
        if (line.starts_with(kReadError) || line.starts_with(kConvertError)) reportedFailure = true;
      }
      EXPECT_FALSE(reportedFailure) << c.name;
    } else {
      bool found = false;
      for (const auto& line : lines) {
        if (line.starts_with(c.logLine)) found = true;
      }
      EXPECT_TRUE(found) << c.name << ": expected a line starting with " << c.logLine;
    }
  }

  // Logging off: nothing is written.
  test::TestHost host;
  PushManagerConfig config;
  EXPECT_TRUE(config.isProductionApp());
  EXPECT_TRUE(host.log->lines().empty());
}

TEST(PushManagerConfigTest, SandboxAnswerIsComputedOncePerProcess) {
  test::TestHost host;
  host.bundleDir.write(
      "embedded.mobileprovision",
      provisioningProfile(entitlements("<key>aps-environment</key><string>development</string>")));
  PushManagerConfig first;
  EXPECT_TRUE(first.isSandboxApp());
  host.bundleDir.write(
      "embedded.mobileprovision",
      provisioningProfile(entitlements("<key>aps-environment</key><string>production</string>")));
  // Another instance still gets the first answer; the direct check reads anew.
  PushManagerConfig second;
  EXPECT_TRUE(second.isSandboxApp());
  EXPECT_TRUE(second.isProductionApp());
  detail::resetConfigProcessState();
  EXPECT_FALSE(second.isSandboxApp());
}

TEST(PushManagerConfigTest, SharedInstanceAndProcessState) {
  test::TestHost host;
  host.bundleDir.write("res/Manifest.xml", serverManifest("https://shared/"));
  std::vector<std::shared_ptr<PushManagerConfig>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = PushManagerConfig::sharedConfig(); });
  }
  for (auto& t : threads) t.join();
  std::set<PushManagerConfig*> distinct;
  for (const auto& p : seen) distinct.insert(p.get());
  EXPECT_EQ(distinct.size(), 1u);
  EXPECT_EQ(seen[0]->host(), "https://shared/");

  // Properties can be read and written from several threads.
  auto shared = PushManagerConfig::sharedConfig();
  std::thread writer([shared] {
    for (int i = 0; i < 200; ++i) {
      shared->setHost("https://h" + std::to_string(i) + "/");
      shared->setUseLog(i % 2 == 0);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(shared->host().rfind("https://", 0), 0u);
    (void)shared->useLog();
  }
  writer.join();
  EXPECT_EQ(shared->host(), "https://h199/");

  PushManagerConfig::setLibraryBundlePath("/some/where");
  EXPECT_EQ(PushManagerConfig::libraryBundlePath(), "/some/where");
  detail::resetConfigProcessState();
  EXPECT_EQ(PushManagerConfig::libraryBundlePath(), std::nullopt);
  EXPECT_NE(PushManagerConfig::sharedConfig().get(), shared.get());
}

}  // namespace
}  // namespace orvo
