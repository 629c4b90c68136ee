// Running the independent tools (fsck.fat, mtools, qemu through scripts/boot-check) from tests.
#pragma once

#include <string>

namespace test_support {

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// Runs a shell command line and collects what it prints.
CommandResult RunCommand(const std::string& command);

// The text as one shell word.
std::string Quote(const std::string& text);

// True when the tool can be run: an absolute path that is executable, or a name on PATH.
bool ToolAvailable(const std::string& tool);

}  // namespace test_support
