// orvo-emulator's command line as a person mistypes it: every mistake is one
// line naming the argument and its value, with exit status 2 (1 when the
// emulator itself refused), never an abort.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"
#include "support/Process.h"
#include "support/TestHost.h"

namespace orvo::test {
namespace {

ProcessOutcome run(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ORVO_EMULATOR_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv);
}

TEST(CommandLineTest, MistakesAreNamedOnOneLine) {
  RunningEmulator emu;
  TempDir dir;
  const std::string deep =
      dir.write("deep.json", std::string(100000, '[') + std::string(100000, ']'));
  const std::string misspelt =
      dir.write("misspelt.json", R"({"endpoint": "rcv_send_message.ctl", "effect": "reset"})");
  const std::string url = "--url=" + emu.url();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{"--version"}, 0, std::string("orvo-emulator ") + ORVO_EXPECTED_VERSION + "\n"},
      {{"send", url, "--user", "ann", "--badge", "abc", "hi"},
       2,
       "orvo-emulator send: --badge: \"abc\" is not a whole number from 0 to 2147483647\n"},
      {{"send", url, "--user", "ann", "--badge", "-1", "hi"},
       2,
       "orvo-emulator send: --badge: \"-1\" is not a whole number from 0 to 2147483647\n"},
      {{"send", url, "--user", "ann"},
       2,
       "orvo-emulator: send needs the message TEXT (only a --silent send goes without)\n"},
      {{"send", url, "hi"},
       2,
       "orvo-emulator: send needs one of --user, --group, --device or --all\n"},
      {{"send", url, "--user", "ann", "--reserve", "2030-02-31T00:00:00", "hi"},
       2,
       "orvo-emulator send: --reserve: \"2030-02-31T00:00:00\" is not a date that exists "
       "(yyyy-MM-ddTHH:mm:ss or yyyyMMddHHmmss, UTC)\n"},
      {{"--journal-size", "-1"},
       2,
       "orvo-emulator: --journal-size: \"-1\" is not a whole number from 1 to 1000000\n"},
      {{"--auth-ttl", "9999999999999999h"},
       2,
       "orvo-emulator: --auth-ttl: \"9999999999999999h\" is not a duration such as 3600, 90s, "
       "500ms, 5m or 1h of at most a century\n"},
      {{"--port", "70000"},
       2,
       "orvo-emulator: --port: \"70000\" is not a whole number from 0 to 65535\n"},
      {{"--receiver-version", "four"},
       2,
       "orvo-emulator: --receiver-version: \"four\" is not a version such as 4.0\n"},
      {{"--faults", dir.path()},
       2,
       "orvo-emulator: --faults: " + dir.path() + " is a folder, not a file\n"},
      {{"--faults", deep},
       2,
       "orvo-emulator: --faults: " + deep + " nests deeper than 32 levels\n"},
      {{"--faults", misspelt},
       2,
       "orvo-emulator: --faults: \"endpoint\" \"rcv_send_message.ctl\" is not served by the "
       "emulator; a rule may name asking_authorization.ctl, rcv_register_service.ctl, "
       "rcv_get_service.ctl, rcv_appAlive.ctl, rcv_delete_service.ctl, rcv_register_user.ctl, "
       "rcv_delete_user.ctl, rcv_register_usergroup_user.ctl, rcv_delete_usergroup_user.ctl, "
       "new_rcv_register_service_and_user.ctl, rcv_register_sent_ack.ctl, "
       "rcv_register_send_result.ctl, rcv_register_message.ctl, rcv_init_badgeNo.ctl, "
       "putAppLog.ctl, mobile/last-session, mobile/purchase, images or /images/FILE\n"},
      {{"faults"}, 2, "orvo-emulator faults: A subcommand is required (add, list, clear)\n"},
      {{"faults", "add", url, "{\"effect\": \"status\", \"status\": 99}"},
       1,
       "orvo-emulator: \"status\" must be an integer from 100 to 599, not 99\n"},
      {{"snapshot", "import", url, dir.path()},
       2,
       "orvo-emulator: snapshot import: " + dir.path() + " is a folder, not a file\n"},
      {{"snapshot", "export", url, dir.path() + "/missing/state.json"},
       1,
       "orvo-emulator: snapshot export: cannot write " + dir.path() +
           "/missing/state.json.tmp: No such file or directory\n"},
      {{"requests", "--url=http://127.0.0.1:1"},
       1,
       "orvo-emulator: the emulator at http://127.0.0.1:1 is not reachable (Connection)\n"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& arg : c.args) line += " " + arg;
    SCOPED_TRACE(line);
    const ProcessOutcome outcome = run(c.args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.output, c.output);
  }
  // Every subcommand explains itself.
  for (const char* command : {"serve", "exec", "send", "requests", "faults", "snapshot"}) {
    const ProcessOutcome help = run({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.output.find(std::string("orvo-emulator ") + command), std::string::npos)
        << help.output;
  }
}

}  // namespace
}  // namespace orvo::test
