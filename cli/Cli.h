#pragma once
// velmorant-cli: one board operation per run, over the same driver as the window.
#include <iosfwd>
#include <string>
#include <vector>

namespace velcli {

// Runs one command line (without the program's name): results to Out, messages to Err. Returns
// the exit code: 0 success, 1 the board or a file failed, 2 a command line error.
int RunCli(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

}  // namespace velcli
