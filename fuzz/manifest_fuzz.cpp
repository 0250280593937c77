// A manifest as the application ships it: the XML reader, the flattening of
// its elements, and every configuration lookup start-up makes from it.
#include "FuzzSupport.h"
#include "orvo/DictionaryLookups.h"
#include "orvo/OrvoXMLReader.h"
#include "orvo/PushManagerConfig.h"

using namespace orvo;

namespace {

constexpr std::string_view kPaths[] = {"settings.push.receiver.mode",
                                       "settings.push.receiver.server.production",
                                       "settings.push.receiver",
                                       "settings.push.storage",
                                       "settings",
                                       ""};

void lookUpEverything(const Dictionary& manifest) {
  for (std::string_view path : kPaths) {
    (void)objectForPath(manifest, path);
    (void)stringForPath(manifest, path);
    (void)dictionaryForPath(manifest, path);
    (void)arrayForPath(manifest, path);
  }
  for (const auto& [key, value] : manifest) {
    (void)value;
    (void)stringForKey(manifest, key);
    (void)integerForKey(manifest, key);
    (void)unsignedShortForKey(manifest, key);
    (void)arrayForKey(manifest, key);
    (void)dictionaryForKey(manifest, key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::TestHost& host = fuzz::host();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  ErrorInfo error;
  std::optional<Dictionary> read = OrvoXMLReader::dictionaryForXMLData(text, &error);
  FUZZ_CHECK(read || !error.description.empty(), "a refused manifest names its fault");
  if (read) {
    lookUpEverything(OrvoXMLReader::extractXML(*read));
  }
  (void)OrvoXMLReader::extDictionaryForXMLData(text);

  // The same bytes as the bundle's manifest, through start-up's reading.
  host.bundleDir.write("res/Manifest.xml", text);
  PushManagerConfig config;
  config.loadConfig();
  if (std::optional<Dictionary> loaded = config.config()) lookUpEverything(*loaded);
  (void)config.host();
  (void)config.mode();
  (void)config.policy();
  (void)config.applicationID();
  (void)config.customerCode();
  (void)config.receiverVersion();
  (void)config.logServerHost();
  (void)config.xeltHost();
  (void)config.useStorage();
  (void)config.useLog();
  (void)config.useGranted();
  (void)config.usePhoneNumber();
  return 0;
}
