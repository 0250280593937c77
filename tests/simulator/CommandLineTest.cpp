// orvo-sim's answer to each kind of mistake on its command line: the exit
// status and the one line a developer reads to fix it.
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace orvo::sim {
namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

Outcome runSim(const std::vector<std::string>& args, const std::string& stateDir) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<std::string> argv = {ORVO_SIM};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (auto& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  std::vector<std::string> env = {"ORVO_SIM_STATE=" + stateDir, "HOME=" + stateDir};
  std::vector<char*> envPointers;
  for (auto& entry : env) envPointers.push_back(entry.data());
  envPointers.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, ORVO_SIM, &actions, nullptr, pointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  Outcome outcome;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
    outcome.output.append(buffer, static_cast<std::size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    outcome.status = WEXITSTATUS(status);
  return outcome;
}

TEST(CommandLineTest, EachMistakeGetsOneLineAndItsStatus) {
  char pattern[] = "/tmp/orvo-sim-cli-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string stateDir = pattern;
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string line;
  };
  const std::string notRunning = "device bob is not running (start it with: orvo-sim run bob)";
  const Row rows[] = {
      {{}, 2, "orvo-sim: A subcommand is required (see orvo-sim --help)"},
      {{"nosuch"}, 2, "orvo-sim: unknown command \"nosuch\" (see orvo-sim --help)"},
      {{"--version"}, 0, "orvo-sim " ORVO_VERSION},
      {{"run"}, 2, "orvo-sim run: NAME is required (see orvo-sim run --help)"},
      {{"run", "bad name"},
       2,
       "orvo-sim run: NAME: \"bad name\" is not a device name (1 to 40 letters, digits, - and _) "
       "(see orvo-sim run --help)"},
      {{"run", "bob", "--state", "asleep"},
       2,
       "orvo-sim run: --state: \"asleep\" is not one of foreground, background, terminated (see "
       "orvo-sim run --help)"},
      {{"run", "bob", "--receiver-version", "3.x"},
       2,
       "orvo-sim run: --receiver-version: \"3.x\" is not a version of dotted numbers such as 3.6 "
       "or 4.0 (see orvo-sim run --help)"},
      {{"run", "bob", "--group", "seven"},
       2,
       "orvo-sim run: --group: \"seven\" is not a whole number 0 or more (see orvo-sim run "
       "--help)"},
      {{"run", "bob", "--app", "com.a\tb\x01"},
       2,
       "orvo-sim run: --app: \"com.a\tb\x01\" holds a character a manifest cannot carry (see "
       "orvo-sim run --help)"},
      {{"run", "bob", "--bogus"},
       2,
       "orvo-sim run: The following argument was not expected: --bogus (see orvo-sim run --help)"},
      {{"run", "bob"}, 1, "orvo-sim: no emulator: give --emulator URL or set ORVO_EMULATOR_URL"},
      {{"--emulator", "ftp://host", "devices"},
       2,
       "orvo-sim devices: --emulator: \"ftp://host\" is not an http:// or https:// address (see "
       "orvo-sim devices --help)"},
      {{"send", "bob", "--to", "carol"},
       2,
       "orvo-sim send: TEXT is required (see orvo-sim send --help)"},
      {{"send", "bob", "--to", "carol", "hi", "--reserve", "20300231000000"},
       2,
       "orvo-sim send: --reserve: \"20300231000000\" is not a date that exists (see orvo-sim "
       "send --help)"},
      {{"send", "bob", "--to", "carol", "hi", "--reserve", "2030-02-01"},
       2,
       "orvo-sim send: --reserve: \"2030-02-01\" is not a date yyyyMMddHHmmss (see orvo-sim "
       "send --help)"},
      {{"badge", "bob", "-1"},
       2,
       "orvo-sim badge: N: \"-1\" is not a whole number 0 or more (see orvo-sim badge --help)"},
      {{"read", "bob", "--seqno", "x"},
       2,
       "orvo-sim read: --seqno: \"x\" is not a whole number 0 or more (see orvo-sim read --help)"},
      {{"state", "bob", "asleep"},
       2,
       "orvo-sim state: STATE: \"asleep\" is not one of foreground, background, terminated (see "
       "orvo-sim state --help)"},
      {{"push", "bob", stateDir + "/missing.json"},
       1,
       "orvo-sim: cannot read " + stateDir + "/missing.json: No such file or directory"},
      {{"read", "bob"}, 1, "orvo-sim: " + notRunning},
      {{"read", "bob", "--json"}, 1, R"({"error":")" + notRunning + R"(","ok":false})"},
  };
  for (const auto& row : rows) {
    std::string command;
    for (const auto& arg : row.args) command += " " + arg;
    const Outcome outcome = runSim(row.args, stateDir);
    EXPECT_EQ(outcome.status, row.status) << command;
    EXPECT_EQ(outcome.output, row.line + "\n") << command;
  }
  std::filesystem::remove_all(stateDir);
}

}  // namespace
}  // namespace orvo::sim
