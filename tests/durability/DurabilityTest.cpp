// Starts the durability child again and again, kills it with SIGKILL at a
// random moment, and checks the storage after each kill: every write the
// child reported is there, nothing holds a mix of two writes or nothing at
// all, and SQLite finds the file intact.
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
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvo/PushKeychain.h"
#include "orvo/PushManager.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"
#include "platform/Helpers.h"
#include "support/Manifest.h"
#include "support/TestHost.h"

extern char** environ;

namespace orvo {
namespace {

constexpr int kKills = 500;
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

// Kills a child of `mode` kKills times at random moments. After each kill
// `check` gets the reports of the child that died and looks at the storage;
// it answers the round the next child starts from.
void killRepeatedly(const std::string& mode, const std::string& directory, std::size_t maxReports,
                    const std::function<std::int64_t(const std::vector<std::int64_t>&)>& check) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(mode + ", seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> reportsBeforeKill(0, maxReports);
  std::uniform_int_distribution<int> delayMicros(0, 3000);
  std::int64_t first = 1;
  for (int kill = 1; kill <= kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    Child child({ORVO_DURABILITY_CHILD, mode, directory, std::to_string(first)});
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
    first = check(reports);
    // The first kill that finds something wrong says enough.
    if (::testing::Test::HasFailure()) return;
  }
}

// The round each identity field holds: 0 when absent, -1 when of another form.
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

// The round N of a text `tag` N; -1 for any other value.
std::int64_t roundOf(const Value& value, char tag) {
  const std::string* text = value.asString();
  std::int64_t n = -1;
  if (!text || text->size() < 2 || text->front() != tag) return -1;
  const char* end = text->data() + text->size();
  return std::from_chars(text->data() + 1, end, n).ptr == end ? n : -1;
}

// Reports of one child: consecutive rounds from where the last one stopped
// (a child killed between a write and its report leaves one round
// unreported, and the next child starts after it).
void takeRounds(const std::vector<std::int64_t>& reports, std::int64_t& last) {
  for (const std::int64_t report : reports) {
    ASSERT_GT(report, last);
    ASSERT_LE(report, last + 2);
    last = report;
  }
}

TEST(DurabilityTest, ReportedIdentityWritesSurviveSigkill) {
  test::TempDir dir;
  const std::string database = dir.path() + "/data/settings.db";
  std::int64_t last = kFields - 1;               // 4N+F; round 0 is "nothing written yet"
  std::array<std::int64_t, kFields> reported{};  // per field, its last reported round
  std::array<std::int64_t, kFields> stored{};
  std::int64_t started = 1;  // the round the child under way started from
  auto check = [&](const std::vector<std::int64_t>& reports) {
    for (const std::int64_t report : reports) {
      // In order, at most one round skipped by a kill before its report.
      EXPECT_GT(report, last);
      EXPECT_LE(report / kFields, last / kFields + 2);
      reported[static_cast<std::size_t>(report % kFields)] = report / kFields;
      last = report;
    }
    // Each field holds its last reported round or a later one this child
    // wrote before it could report it (never a value of another form), and
    // the fields follow the write order: a child killed inside a round
    // leaves the later fields of that round behind.
    stored = storedRounds(database);
    const std::int64_t newest = std::max(started, last / kFields + 1);
    for (std::size_t field = 0; field < kFields; ++field) {
      EXPECT_GE(stored[field], reported[field]) << "field " << field;
      EXPECT_LE(stored[field], newest) << "field " << field;
      if (field > 0) {
        EXPECT_GE(stored[field - 1], stored[field]) << "field " << field;
      }
    }
    // A child killed before its first write leaves no file; the checks above
    // have made sure nothing was reported then.
    if (std::filesystem::exists(database)) {
      EXPECT_EQ(test::sql(database, "PRAGMA integrity_check"), "ok");
    }
    started = stored[0] + 1;
    return started;
  };
  killRepeatedly("identity", dir.path(), 3 * kFields, check);
  if (!HasFailure()) {
    EXPECT_GT(last / kFields, kKills / 2) << "the child got some work done between kills";
  }
}

TEST(DurabilityTest, KeychainSaveIsOldOrNewAfterSigkill) {
  test::TempDir dir;
  std::int64_t last = 0;
  killRepeatedly("keychain", dir.path(), 8, [&](const std::vector<std::int64_t>& reports) {
    takeRounds(reports, last);
    // Read as the next launch would, through a keychain of its own.
    auto log = std::make_shared<CapturingLogSink>();
    auto host = std::make_shared<Host>();
    host->keychain = std::make_shared<SqliteKeychain>(dir.path() + "/keychain", "SEED.check", log);
    host->log = log;
    Host::setCurrent(host);
    const Value value = PushKeychain::loadValueForKey("durability");
    Host::setCurrent(nullptr);
    const std::int64_t round = roundOf(value, 'k');
    // The last reported save, or the one after it that was not reported yet.
    if (last == 0 && value.isNull()) return std::int64_t{1};
    EXPECT_TRUE(round == last || round == last + 1) << describe(value) << ", reported " << last;
    EXPECT_EQ(test::sql(dir.path() + "/keychain/keychain.db", "PRAGMA integrity_check"), "ok");
    last = std::max(last, round);
    return last + 1;
  });
  if (!HasFailure()) {
    EXPECT_GT(last, kKills / 2) << "the child got some work done between kills";
  }
}

TEST(DurabilityTest, PurchaseListIsOldOrNewAfterSigkill) {
  test::TempDir dir;
  dir.write("bundle/res/Manifest.xml", test::manifestXml({.storage = true}));
  const std::string database = dir.path() + "/data/settings.db";
  std::int64_t last = 0;
  killRepeatedly("purchases", dir.path(), 8, [&](const std::vector<std::int64_t>& reports) {
    takeRounds(reports, last);
    auto log = std::make_shared<CapturingLogSink>();
    const Value stored = SqliteSettingsStore(database, log).get(PushManager::kPurchaseArrayKey);
    EXPECT_TRUE(log->lines().empty()) << log->lines().front();
    // The whole list of some round: its newest ten, oldest first.
    std::int64_t round = 0;
    if (const Array* list = stored.asArray(); list && !list->empty()) {
      round = roundOf(list->back(), 'p');
      Array expected;
      for (std::int64_t n = std::max<std::int64_t>(1, round - 9); n <= round; ++n)
        expected.push_back(Value("p" + std::to_string(n)));
      EXPECT_EQ(*list, expected) << describe(stored);
    } else {
      EXPECT_TRUE(stored.isNull()) << describe(stored);
    }
    EXPECT_TRUE(round == last || round == last + 1) << describe(stored) << ", reported " << last;
    if (std::filesystem::exists(database)) {
      EXPECT_EQ(test::sql(database, "PRAGMA integrity_check"), "ok");
    }
    last = std::max(last, round);
    return last + 1;
  });
  if (!HasFailure()) {
    EXPECT_GT(last, kKills / 2) << "the child got some work done between kills";
  }
}

}  // namespace
}  // namespace orvo
