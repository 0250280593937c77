// A host made of doubles, installed as the library's current host, with every
// piece of process-wide library state reset: each test starts as a fresh
// process would.
#pragma once

#include <memory>
#include <string>

#include "orvo/platform/Host.h"
#include "orvo/platform/SimulatedNotificationHost.h"
#include "orvo/testing/CapturingLogSink.h"
#include "orvo/testing/FixedDevice.h"
#include "orvo/testing/ManualClock.h"
#include "orvo/testing/MemoryKeychain.h"
#include "orvo/testing/MemorySettingsStore.h"

namespace orvo::test {

// A directory under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file below the directory (creating sub-directories) and returns
  // its path.
  std::string write(const std::string& relativePath, std::string_view contents) const;

 private:
  std::string path_;
};

struct TestHost {
  TestHost();
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  TempDir bundleDir;
  std::shared_ptr<RunLoop> runLoop;
  std::shared_ptr<MemorySettingsStore> settings;
  std::shared_ptr<MemoryKeychain> keychain;
  std::shared_ptr<DirectoryBundle> bundle;
  std::shared_ptr<FixedDevice> device;
  std::shared_ptr<CapturingLogSink> log;
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<SimulatedNotificationHost> notifications;
  std::shared_ptr<Host> host;

  static constexpr const char* kBundleIdentifier = "com.example.pushtest";

  // Turns the library's log switch on or off for this test.
  void setLogging(bool on) const;
};

}  // namespace orvo::test
