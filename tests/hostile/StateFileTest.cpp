// The --state file: the emulator keeps it to its owner, and refuses a file
// that is not its own or is damaged without writing a byte to it.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"
#include "support/TestHost.h"

namespace orvo::test {
namespace {

std::string contents(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST(StateFileTest, OwnerOnlyWhateverTheUmask) {
  TempDir dir;
  auto options = quietEmulator();
  options.statePath = dir.path() + "/state.db";
  const mode_t before = umask(022);
  {
    RunningEmulator emu(options);
    ASSERT_EQ(emu.post("/__admin/clock", {{"advance_ms", 1}}).status, 200);
    for (const char* suffix : {"", "-wal", "-shm"})
      EXPECT_EQ(modeOf(options.statePath + suffix), 0600u) << suffix;
  }
  umask(before);
}

TEST(StateFileTest, AFileNotItsOwnIsRefusedUntouched) {
  TempDir dir;
  const std::string made = dir.path() + "/made.db";
  {
    auto options = quietEmulator();
    options.statePath = made;
    RunningEmulator emu(options);
  }
  struct Case {
    const char* what;
    std::function<std::string()> prepare;  // the path given to --state
    std::string error;                     // PATH stands for it
  };
  const std::vector<Case> cases = {
      {"an application's own database",
       [&] {
         const std::string path = dir.path() + "/app.db";
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE messages(text TEXT); INSERT INTO messages VALUES('mine')",
                      nullptr, nullptr, nullptr);
         sqlite3_close(db);
         return path;
       },
       "PATH is not an orvo-emulator state file (it holds 1 schema entries and not the "
       "emulator's mark); it was left as it is"},
      {"bytes that are no database",
       [&] { return dir.write("junk.db", std::string(8192, '\x5a')); },
       "PATH is not an SQLite database the emulator can read (file is not a database); it was "
       "left as it is"},
      {"its own file, damaged",
       [&] {
         std::string bytes = contents(made);
         // The header of the devices table's root page, wherever the schema put it.
         sqlite3* db = nullptr;
         sqlite3_stmt* root = nullptr;
         sqlite3_open_v2(made.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
         sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name='devices'", -1,
                            &root, nullptr);
         const int page = sqlite3_step(root) == SQLITE_ROW ? sqlite3_column_int(root, 0) : 8;
         sqlite3_finalize(root);
         sqlite3_close(db);
         bytes.replace(static_cast<std::size_t>(page - 1) * 4096, 64, std::string(64, '\xff'));
         return dir.write("damaged.db", bytes);
       },
       "the state file PATH is damaged (SQLite's quick check: database disk image is "
       "malformed); move it away or give another --state"},
      {"a folder", [&] { return dir.path(); }, "PATH is a folder, not a state file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto options = quietEmulator();
    options.statePath = c.prepare();
    const std::string before = contents(options.statePath);
    emulator::Emulator emulator(options);
    std::string error;
    EXPECT_FALSE(emulator.start(error));
    std::string expected = c.error;
    expected.replace(expected.find("PATH"), 4, options.statePath);
    EXPECT_EQ(error, expected);
    EXPECT_EQ(contents(options.statePath), before);
    EXPECT_FALSE(exists(options.statePath + "-wal"));
  }
}

}  // namespace
}  // namespace orvo::test
