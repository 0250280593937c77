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

// One reported write: round N, field 0 (client UID) to 3 (last date).
struct Report {
  std::int64_t round = 0;
  int field = kFields - 1;
  friend auto operator<=>(const Report&, const Report&) = default;
};
// No round may take this long; a child that stalls fails the test.
constexpr int kReportTimeoutMs = 10'000;

// The child's stdout, read line by line.
class ChildProcess {
 public:
  ChildProcess(const std::string& database, const std::string& bundleDir) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    readFd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = ORVO_DURABILITY_CHILD;
    std::vector<char*> argv{program.data(), const_cast<char*>(database.c_str()),
                            const_cast<char*>(bundleDir.c_str()), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (readFd_ >= 0) ::close(readFd_);
  }

  bool started() const { return pid_ > 0 && readFd_ >= 0; }

  // Reads reported rounds until `count` more arrived; false on timeout or
  // end of output.
  bool waitForReports(std::size_t count, std::vector<Report>& rounds) {
    const std::size_t goal = rounds.size() + count;
    while (rounds.size() < goal) {
      pollfd pfd{readFd_, POLLIN, 0};
      if (::poll(&pfd, 1, kReportTimeoutMs) <= 0) return false;
      if (!readSome(rounds)) return false;
    }
    return true;
  }

  // SIGKILL, reap, then collect what the child reported before it died.
  bool killAndDrain(std::vector<Report>& rounds) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    while (readSome(rounds)) {
    }
    return reaped > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

 private:
  bool readSome(std::vector<Report>& rounds) {
    char buffer[4096];
    ssize_t n = ::read(readFd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      long long round = -1;
      int field = -1;
      if (std::sscanf(pending_.substr(0, end).c_str(), "%lld %d", &round, &field) != 2) round = -1;
      Report report{round, field};
      rounds.push_back(report);
      pending_.erase(0, end + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string pending_;
};

std::int64_t roundOrZero(const Value& value, std::string_view prefix) {
  const std::string* text = value.asString();
  if (!text) return value.isNull() ? 0 : -1;
  return durability::roundOf(prefix, *text).value_or(-1);
}

// Each field holds at least the round of its last reported write, and the
// fields follow the child's write order: client UID, phone number,
// push-service ID, date. A child killed inside a round leaves the later
// fields of that round behind.
::testing::AssertionResult storedRoundsAgree(const std::string& database,
                                             const std::array<std::int64_t, kFields>& reported) {
  auto log = std::make_shared<CapturingLogSink>();
  std::int64_t stored[kFields];
  {
    SqliteSettingsStore store(database, log);
    if (!store.isPersistent()) return ::testing::AssertionFailure() << "database unusable";
    stored[0] =
        roundOrZero(store.get(PushManagerInfo::kClientUIDKey), durability::kClientUIDPrefix);
    stored[1] =
        roundOrZero(store.get(PushManagerInfo::kPhoneNumberKey), durability::kPhoneNumberPrefix);
    stored[2] = roundOrZero(store.get("REAL." + std::string(PushManagerInfo::kPushServiceIDKey)),
                            durability::kPushServiceIDPrefix);
    Value date = store.get(PushManagerInfo::kPushServiceLastDateKey);
    stored[3] = date.isNull()   ? 0
                : date.asDate() ? static_cast<std::int64_t>(date.asDate()->secondsSince1970)
                                : -1;
  }
  if (!log->lines().empty()) {
    return ::testing::AssertionFailure() << "store reported: " << log->lines().front();
  }
  for (int field = 0; field < kFields; ++field) {
    const bool ordered = field == 0 || stored[field - 1] >= stored[field];
    if (stored[field] < reported[field] || !ordered) {
      return ::testing::AssertionFailure()
             << "reported " << reported[0] << " " << reported[1] << " " << reported[2] << " "
             << reported[3] << "; stored " << stored[0] << " " << stored[1] << " " << stored[2]
             << " " << stored[3];
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult integrityOk(const std::string& database) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return ::testing::AssertionFailure() << "open: " << message;
  }
  std::vector<std::string> answers;
  char* error = nullptr;
  int rc = sqlite3_exec(
      db, "PRAGMA integrity_check",
      [](void* out, int columns, char** values, char**) {
        if (columns > 0 && values[0])
          static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
        return 0;
      },
      &answers, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) return ::testing::AssertionFailure() << "integrity_check: " << message;
  if (answers != std::vector<std::string>{"ok"}) {
    return ::testing::AssertionFailure() << "integrity_check: " << answers.front();
  }
  return ::testing::AssertionSuccess();
}

TEST(DurabilityTest, ReportedWritesSurviveSigkill) {
  test::TempDir dir;
  const std::string database = dir.path() + "/data/settings.db";
  const std::string bundleDir = dir.path() + "/bundle";
  std::filesystem::create_directories(bundleDir);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> reportsBeforeKill(0, 3 * kFields);
  std::uniform_int_distribution<int> delayMicros(0, 3000);

  Report last;                                   // round 0: nothing written yet
  std::array<std::int64_t, kFields> reported{};  // per field, its last reported round
  int kills = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kKills; ++round) {
    ChildProcess child(database, bundleDir);
    ASSERT_TRUE(child.started());
    std::vector<Report> rounds;
    ASSERT_TRUE(child.waitForReports(static_cast<std::size_t>(reportsBeforeKill(random)), rounds))
        << "the child stalled or ended";
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    ASSERT_TRUE(child.killAndDrain(rounds)) << "the child did not die of SIGKILL";
    ++kills;

    for (const Report& report : rounds) {
      // In order; a child killed between a write and its report leaves one
      // round unreported, and the next child starts after it.
      ASSERT_GT(report, last);
      ASSERT_LE(report.round, last.round + 2);
      ASSERT_TRUE(report.field >= 0 && report.field < kFields);
      last = report;
      reported[static_cast<std::size_t>(report.field)] = report.round;
    }
    ASSERT_TRUE(storedRoundsAgree(database, reported)) << "after kill " << kills;
    ASSERT_TRUE(integrityOk(database)) << "after kill " << kills;
  }
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(kills, 200);
  EXPECT_GT(last.round, kills / 2) << "the child got some work done between kills";
  RecordProperty("kills", kills);
  RecordProperty("rounds", static_cast<int>(last.round));
  std::printf("%d kills, %lld rounds in %.1f s\n", kills, static_cast<long long>(last.round),
              seconds);
}

}  // namespace
}  // namespace orvo
