// orvo-sim's answer to each kind of mistake on its command line and in the
// files it reads: the exit status and the one line a developer reads to fix it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <span>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TestHost.h"

namespace orvo::sim {
namespace {

// `input`, when given, is the file standard input reads.
test::ProcessOutcome runSim(const std::vector<std::string>& args, const std::string& stateDir,
                            const std::string& input = "") {
  std::vector<std::string> argv = {ORVO_SIM};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::runProcess(argv, {"ORVO_SIM_STATE=" + stateDir, "HOME=" + stateDir}, input);
}

struct Row {
  std::vector<std::string> args;
  int status;  // a signal is 128 and more, never a match
  std::string line;
  std::string input = "";
};

void expectEach(std::span<const Row> rows, const std::string& stateDir) {
  for (const auto& row : rows) {
    std::string command;
    for (const auto& arg : row.args) command += " " + arg;
    const test::ProcessOutcome outcome = runSim(row.args, stateDir, row.input);
    EXPECT_EQ(outcome.status, row.status) << command;
    EXPECT_EQ(outcome.output, row.line + "\n") << command;
  }
}

TEST(CommandLineTest, EachMistakeGetsOneLineAndItsStatus) {
  test::TempDir folder;
  const std::string& stateDir = folder.path();
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
  expectEach(rows, stateDir);
}

// Files that are not files, too large or too deep, and scenario values of the
// wrong type: refused before they are read whole or run, never a signal.
TEST(CommandLineTest, HostileFilesAndScenariosAreRefusedInOneLine) {
  test::TempDir folder;
  const std::string& dir = folder.path();
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = folder.write("big.json", "");
  ASSERT_EQ(truncate(big.c_str(), 200 << 20), 0);
  const std::string deep =
      folder.write("deep.json", std::string(100000, '[') + std::string(100000, ']'));
  const std::string deepPayload = folder.write(
      "deep-payload.json", "{\"aps\": " + std::string(600, '[') + std::string(600, ']') + "}");
  auto scenario = [&](const std::string& name, const std::string& steps) {
    return folder.write(name, R"({"devices": {"bob": {}}, "steps": [)" + steps + "]}");
  };
  const std::string at = "orvo-sim: " + dir + "/";
  const Row rows[] = {
      {{"push", "bob", dir}, 1, "orvo-sim: cannot read " + dir + ": it is a folder"},
      {{"push", "bob", "/dev/zero"},
       1,
       "orvo-sim: cannot read /dev/zero: it is a device, not a file"},
      {{"push", "bob", fifo}, 1, "orvo-sim: cannot read " + fifo + ": it is a FIFO, not a file"},
      {{"push", "bob", big},
       1,
       "orvo-sim: cannot read " + big + ": it is 209715200 bytes; the limit is 4096"},
      {{"push", "bob", "-"},
       1,
       "orvo-sim: cannot read standard input: it holds more than 4096 bytes, the limit",
       "/dev/zero"},
      {{"push", "bob", deepPayload},
       1,
       "orvo-sim: payload refused: arrays and objects nest deeper than 512 levels"},
      {{"scenario", dir}, 1, "orvo-sim: cannot read " + dir + ": it is a folder"},
      {{"scenario", "/dev/zero"}, 1, "orvo-sim: cannot read /dev/zero: it is a device, not a file"},
      {{"scenario", deep}, 1, at + "deep.json: arrays and objects nest deeper than 512 levels"},
      {{"scenario", folder.write("cut.json", "{\"steps\": [1,")},
       1,
       at + "cut.json is not JSON (byte 13): syntax error while parsing value - unexpected end "
            "of input; expected '[', '{', or a literal"},
      {{"scenario", folder.write("array.json", "[]")},
       1,
       at + "array.json: a scenario must be an object {\"devices\": {...}, \"steps\": [...]}, "
            "not array"},
      {{"scenario",
        scenario("text.json", R"({"do": "sleep", "ms": 1}, {"do": "sleep", "ms": "x"})")},
       1,
       at + "text.json: step 2 (sleep): \"ms\" must be a whole number from 0 to 600000, not "
            "\"x\""},
      {{"scenario", scenario("minus.json", R"({"do": "sleep", "ms": -5})")},
       1,
       at + "minus.json: step 1 (sleep): \"ms\" must be a whole number from 0 to 600000, not "
            "-5"},
      {{"scenario", scenario("huge.json", R"({"do": "sleep", "ms": 1e300})")},
       1,
       at + "huge.json: step 1 (sleep): \"ms\" must be a whole number from 0 to 600000, not "
            "1e+300"},
      {{"scenario", scenario("wide.json",
                             R"({"do": "badge", "device": "bob", "badge": 18446744073709551615})")},
       1,
       at + "wide.json: step 1 (badge): \"badge\" must be a whole number 0 or more, not "
            "18446744073709551615"},
      {{"scenario", scenario("step.json", R"("sleep")")},
       1,
       at + "step.json: step 1: a step must be an object with \"do\" or \"expect\", not string"},
      {{"scenario", scenario("typo.json", R"({"do": "sleep", "msec": 5})")},
       1,
       at + "typo.json: step 1 (sleep): \"ms\" is missing"},
      {{"scenario", scenario("extra.json", R"({"do": "sleep", "ms": 5, "msec": 5})")},
       1,
       at + "extra.json: step 1 (sleep): unknown key \"msec\"; sleep takes do, ms, say"},
      {{"scenario",
        scenario("who.json", R"({"expect": "received", "device": "carol", "text": "hi"})")},
       1,
       at + "who.json: step 1 (received): \"device\" must be the name of a device in "
            "\"devices\", not \"carol\""},
      {{"scenario", scenario("choice.json", R"({"do": "state", "device": "bob", "state": 1})")},
       1,
       at + "choice.json: step 1 (state): \"state\" must be one of foreground, background, "
            "terminated, not 1"},
      {{"scenario",
        folder.write("device.json", R"({"devices": {"bob": {"auto_read": "yes"}}, "steps": []})")},
       1,
       at + "device.json: device \"bob\": \"auto_read\" must be true or false, not \"yes\""},
      // A sound scenario gets as far as needing the emulator.
      {{"scenario", scenario("wider.json", R"({"do": "sleep", "ms": 1e400})")},
       1,
       at + "wider.json: number overflow parsing '1e400'"},
      {{"scenario", scenario("sound.json", R"({"do": "sleep", "ms": 0},
                                              {"do": "sleep", "ms": 600000, "say": "rest"},
                                              {"do": "read", "device": "bob", "seqno": 7},
                                              {"do": "settings", "auth_ttl": "1h"},
                                              {"do": "admin_send", "all": true, "message": "hi"})")},
       1,
       "orvo-sim: no emulator: give --emulator URL or set ORVO_EMULATOR_URL"},
  };
  expectEach(rows, dir);
}

// What a device keeps (its log holds its auth key) is its user's alone
// under the usual umask, and loose modes an older version left are tightened.
TEST(CommandLineTest, ADevicesFilesArePrivateWhateverTheUmask) {
  test::TempDir folder;
  const std::string device = folder.path() + "/bob";
  const std::string log = device + "/device.log";
  folder.write("bob/device.log", "");
  ASSERT_EQ(chmod(device.c_str(), 0755) | chmod(log.c_str(), 0644), 0);
  const mode_t before = umask(022);
  // No emulator answers on port 0: the device stops at its token, its files made.
  const test::ProcessOutcome outcome =
      runSim({"run", "bob", "--emulator", "http://127.0.0.1:0"}, folder.path());
  umask(before);
  EXPECT_EQ(outcome.status, 1) << outcome.output;
  auto mode = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  EXPECT_EQ(mode(device), 0700u);
  EXPECT_EQ(mode(log), 0600u);
  for (const char* sub : {"/data", "/keychain", "/attachments", "/bundle"})
    EXPECT_EQ(mode(device + sub), 0700u) << sub;
}

}  // namespace
}  // namespace orvo::sim
