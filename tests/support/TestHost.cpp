#include "support/TestHost.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "foundation/Log.h"
#include "orvo/testing/ProcessReset.h"

namespace orvo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& relativePath, std::string_view contents) const {
  std::filesystem::path file = std::filesystem::path(path_) / relativePath;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return file.string();
}

TestHost::TestHost()
    : runLoop(std::make_shared<RunLoop>()),
      settings(std::make_shared<MemorySettingsStore>()),
      keychain(std::make_shared<MemoryKeychain>("TESTSEED42.com.example.pushtest")),
      bundle(std::make_shared<DirectoryBundle>(bundleDir.path(), kBundleIdentifier,
                                               Dictionary{{"CFBundleVersion", "7"}})),
      device(std::make_shared<FixedDevice>()),
      log(std::make_shared<CapturingLogSink>()),
      clock(std::make_shared<ManualClock>()),
      notifications(std::make_shared<SimulatedNotificationHost>(runLoop)),
      host(std::make_shared<Host>(
          Host{runLoop, settings, keychain, bundle, device, nullptr, log, clock, notifications})) {
  Host::setCurrent(host);
  logging::setSwitch(nullptr);
  resetProcessState();
}

TestHost::~TestHost() {
  logging::setSwitch(nullptr);
  resetProcessState();
  Host::setCurrent(nullptr);
}

void TestHost::setLogging(bool on) const {
  logging::setSwitch([on] { return on; });
}

}  // namespace orvo::test
