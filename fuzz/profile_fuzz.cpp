// A provisioning profile as the bundle carries it (a signed envelope around a
// property list) to the sandbox decision, and the same bytes straight to the
// property-list reader, whose binary form the envelope cannot carry.
#include "FuzzSupport.h"
#include "config/ProcessState.h"
#include "orvo/PushManagerConfig.h"
#include "platform/PropertyList.h"

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::TestHost& host = fuzz::host();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  Result<Value> parsed = platform::parsePropertyList(bytes);
  FUZZ_CHECK(parsed.ok() || !parsed.error().description.empty(),
             "a refused property list names its fault");

  host.bundleDir.write("embedded.mobileprovision", bytes);
  // The answer is kept for the process; forget it so this profile decides.
  detail::resetConfigProcessState();
  PushManagerConfig config;
  const bool production = config.isProductionApp();
  FUZZ_CHECK(config.isSandboxApp() == !production, "sandbox is the opposite of production");
  return 0;
}
