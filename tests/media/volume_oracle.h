// The outside judges of what the layout writers leave on a key: fsck.fat and mtools on each
// volume, qemu (through scripts/boot-check) on the whole key. The key's flash is copied out into
// sparse files, only the sectors that were ever written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "key/emulated_key.h"
#include "tests/support/shell_command.h"

namespace media_test {

namespace fs = std::filesystem;

using test_support::CommandResult;
using test_support::Quote;
using test_support::RunCommand;
using test_support::ToolAvailable;

// Writes flash sectors [first, first + count) of a key with in-memory flash to a sparse file.
void CopyOutSectors(emulated::EmulatedKey& key, std::uint64_t first, std::uint64_t count, const fs::path& to);

// What fsck.fat makes of a file system image.
struct FsckReport {
  int exitCode = -1;
  std::vector<std::string> findings;  // lines that report something to mend
  int fatBits = 0;                    // 12 or 16, from the verbose listing
  std::uint32_t dataClusters = 0;
  std::string output;                 // everything, for messages
};
FsckReport CheckFileSystem(const std::string& fsckTool, const fs::path& image);

}  // namespace media_test
