// Starts the durability child again and again, kills it with SIGKILL at a
// random moment, and checks the database after each kill: every write the
// child reported is there, the fields agree with one another, and SQLite
// finds the file intact.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DurabilityRecord.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "support/TestHost.h"

extern char** environ;

namespace orvo {
namespace {

constexpr int kKills = 220;
constexpr int kFields = 4;
// No round may take this long; a child that stalls fails the test.
constexpr int kReportTimeoutMs = 10'000;

// One reported write: round N, field 0 (client UID) to 3 (last date).
struct Report {
  std::int64_t round = 0;
  int field = kFields - 1;
  friend auto operator<=>(const Report&, const Report&) = default;
};

// The child, with its stdout read line by line.
class ChildProcess {
 public:
  ChildProcess(std::string database, std::string bundleDir) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = ORVO_DURABILITY_CHILD;
    char* argv[] = {program.data(), database.data(), bundleDir.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
  }
  ~ChildProcess() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    if (readFd_ >= 0) ::close(readFd_);
  }
  bool started() const { return pid_ > 0 && readFd_ >= 0; }

  // Reads until `count` more reports arrived; false on timeout or end of output.
  bool waitForReports(std::size_t count, std::vector<Report>& reports) {
    for (const std::size_t goal = reports.size() + count; reports.size() < goal;) {
      pollfd pfd{readFd_, POLLIN, 0};
      if (::poll(&pfd, 1, kReportTimeoutMs) <= 0 || !readSome(reports)) return false;
    }
    return true;
  }

  // SIGKILL, reap, then collect what the child reported before it died.
  bool killAndDrain(std::vector<Report>& reports) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    while (readSome(reports)) {
    }
    return reaped > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

 private:
  bool readSome(std::vector<Report>& reports) {
    char buffer[4096];
    const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    pending_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      long long round = -1;
      int field = -1;
      if (std::sscanf(pending_.c_str(), "%lld %d", &round, &field) != 2) round = -1;
      reports.push_back(Report{round, field});
      pending_.erase(0, end + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string pending_;
};

// The round each field holds: 0 when absent, -1 when of another form.
std::array<std::int64_t, kFields> storedRounds(const std::string& database,
                                               std::shared_ptr<LogSink> log) {
  SqliteSettingsStore store(database, std::move(log));
  auto round = [&store](std::string_view key, std::string_view prefix) -> std::int64_t {
    const Value value = store.get(key);
    if (const std::string* text = value.asString()) {
      return durability::roundOf(prefix, *text).value_or(-1);
    }
    return value.isNull() ? 0 : -1;
  };
  const Value date = store.get(PushManagerInfo::kPushServiceLastDateKey);
  return {round(PushManagerInfo::kClientUIDKey, durability::kClientUIDPrefix),
          round(PushManagerInfo::kPhoneNumberKey, durability::kPhoneNumberPrefix),
          round("REAL." + std::string(PushManagerInfo::kPushServiceIDKey),
                durability::kPushServiceIDPrefix),
          date.isNull()   ? 0
          : date.asDate() ? static_cast<std::int64_t>(date.asDate()->secondsSince1970)
                          : -1};
}

// The first row of PRAGMA integrity_check: "ok" for an intact file.
std::string integrity(const std::string& database) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  std::string answer = "cannot open or query";
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return answer;
}

TEST(DurabilityTest, ReportedWritesSurviveSigkill) {
  test::TempDir dir;
  const std::string database = dir.path() + "/data/settings.db";
  const std::string bundleDir = dir.path() + "/bundle";
  std::filesystem::create_directories(bundleDir);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> reportsBeforeKill(0, 3 * kFields), delayMicros(0, 3000);

  Report last;                                   // round 0: nothing written yet
  std::array<std::int64_t, kFields> reported{};  // per field, its last reported round
  for (int kill = 1; kill <= kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    ChildProcess child(database, bundleDir);
    ASSERT_TRUE(child.started());
    std::vector<Report> reports;
    ASSERT_TRUE(child.waitForReports(reportsBeforeKill(random), reports)) << "stalled or ended";
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    ASSERT_TRUE(child.killAndDrain(reports)) << "the child did not die of SIGKILL";
    for (const Report& report : reports) {
      // In order; a child killed between a write and its report leaves one
      // round unreported, and the next child starts after it.
      ASSERT_GT(report, last);
      ASSERT_LE(report.round, last.round + 2);
      ASSERT_TRUE(report.field >= 0 && report.field < kFields);
      reported[static_cast<std::size_t>((last = report).field)] = report.round;
    }
    // Each field holds at least its last reported round, and the fields
    // follow the write order: a child killed inside a round leaves the later
    // fields of that round behind.
    auto log = std::make_shared<CapturingLogSink>();
    const auto stored = storedRounds(database, log);
    ASSERT_TRUE(log->lines().empty()) << log->lines().front();
    for (int field = 0; field < kFields; ++field) {
      ASSERT_GE(stored[field], reported[field]) << "field " << field;
      if (field > 0) {
        ASSERT_GE(stored[field - 1], stored[field]) << "field " << field;
      }
    }
    ASSERT_EQ(integrity(database), "ok");
  }
  EXPECT_GT(last.round, kKills / 2) << "the child got some work done between kills";
}

}  // namespace
}  // namespace orvo
