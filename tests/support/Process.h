// Runs a tool as a person would from a shell, and collects what it says.
#pragma once

#include <string>
#include <vector>

namespace orvo::test {

struct ProcessOutcome {
  int status = -1;     // the exit status; 128 + the signal when one ended it
  std::string output;  // standard output and error together
};

// `argv[0]` is the program's path. An empty `environment` passes this
// process's on; `input`, when given, is the file standard input reads
// (otherwise /dev/null).
ProcessOutcome runProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment = {},
                          const std::string& input = "");

}  // namespace orvo::test
