// Starts the durability child again and again, kills it with SIGKILL at a
// random moment, and checks the database after each kill: every write the
// child reported is there, the fields agree with one another, and SQLite
// finds the file intact.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "platform/Helpers.h"
#include "support/TestHost.h"

extern char** environ;

namespace orvo {
namespace {

constexpr int kKills = 220;
constexpr int kFields = 4;  // client UID, phone number, push-service ID, last date
// No round may take this long; a child that stalls fails the test.
constexpr int kReportTimeoutMs = 10'000;

// The child, with its stdout read report by report.
struct Child {
  explicit Child(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    fd = fds[0];
  }
  ~Child() {
    if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    if (fd >= 0) ::close(fd);
  }
  // Appends what arrives within the timeout; false at its end or at the end of output.
  bool read(std::vector<std::int64_t>& reports, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    char buffer[4096];
    if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;
         pending.erase(0, end + 1)) {
      reports.push_back(std::atoll(pending.c_str()));
    }
    return true;
  }
  pid_t pid = -1;
  int fd = -1;
  std::string pending;
};

// The round each field holds: 0 when absent, -1 when of another form.
std::array<std::int64_t, kFields> storedRounds(const std::string& database) {
  auto log = std::make_shared<CapturingLogSink>();
  SqliteSettingsStore store(database, log);
  EXPECT_TRUE(log->lines().empty()) << log->lines().front();
  auto round = [&store](std::string_view key, char tag) -> std::int64_t {
    const Value value = store.get(key);
    const std::string* text = value.asString();
    std::int64_t n = -1;
    if (value.isNull()) return 0;
    if (const Date* date = value.asDate())
      return tag ? -1 : static_cast<std::int64_t>(date->secondsSince1970);
    if (!text || !text->starts_with(tag)) return -1;
    const char* end = text->data() + text->size();
    return std::from_chars(text->data() + 1, end, n).ptr == end ? n : -1;
  };
  return {round(PushManagerInfo::kClientUIDKey, 'u'), round(PushManagerInfo::kPhoneNumberKey, 'p'),
          round("REAL." + std::string(PushManagerInfo::kPushServiceIDKey), 's'),
          round(PushManagerInfo::kPushServiceLastDateKey, 0)};
}

TEST(DurabilityTest, ReportedWritesSurviveSigkill) {
  test::TempDir dir;
  const std::string database = dir.path() + "/data/settings.db";
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> reportsBeforeKill(0, 3 * kFields);
  std::uniform_int_distribution<int> delayMicros(0, 3000);

  std::int64_t last = kFields - 1;               // 4N+F; round 0 is "nothing written yet"
  std::array<std::int64_t, kFields> reported{};  // per field, its last reported round
  std::array<std::int64_t, kFields> stored{};
  for (int kill = 1; kill <= kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    Child child({ORVO_DURABILITY_CHILD, database, dir.path(), std::to_string(stored[0] + 1)});
    ASSERT_TRUE(child.pid > 0 && child.fd >= 0);
    std::vector<std::int64_t> reports;
    for (const std::size_t goal = reportsBeforeKill(random); reports.size() < goal;) {
      ASSERT_TRUE(child.read(reports, kReportTimeoutMs)) << "stalled or ended";
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    int status = 0;
    ::kill(child.pid, SIGKILL);
    const pid_t reaped = ::waitpid(std::exchange(child.pid, -1), &status, 0);
    ASSERT_TRUE(reaped > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child did not die of SIGKILL";
    while (child.read(reports, 0)) {
    }
    for (const std::int64_t report : reports) {
      // In order; a child killed between a write and its report leaves one
      // round unreported, and the next child starts after it.
      ASSERT_GT(report, last);
      ASSERT_LE(report / kFields, last / kFields + 2);
      reported[static_cast<std::size_t>(report % kFields)] = report / kFields;
      last = report;
    }
    // Each field holds at least its last reported round, and the fields
    // follow the write order: a child killed inside a round leaves the later
    // fields of that round behind.
    stored = storedRounds(database);
    for (std::size_t field = 0; field < kFields; ++field) {
      ASSERT_GE(stored[field], reported[field]) << "field " << field;
      if (field > 0) {
        ASSERT_GE(stored[field - 1], stored[field]) << "field " << field;
      }
    }
    ASSERT_EQ(test::sql(database, "PRAGMA integrity_check"), "ok");
  }
  EXPECT_GT(last / kFields, kKills / 2) << "the child got some work done between kills";
}

}  // namespace
}  // namespace orvo
