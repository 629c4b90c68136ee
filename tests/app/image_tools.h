// Judging a key image from outside the program: its partition table read here from the bytes,
// the partition copied out for fsck.fat, and the outside tools run as commands. Shared by the
// application's image tests and the command-line tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/shell_command.h"

namespace image_tools {

namespace fs = std::filesystem;

using test_support::CommandResult;
using test_support::Quote;
using test_support::RunCommand;
using test_support::ToolAvailable;

// A scratch folder of the test's own under `base` (the name and the process id), emptied first.
fs::path ScratchFolder(const fs::path& base, std::string name);

std::vector<std::uint8_t> ReadBytes(const fs::path& file, std::uint64_t offset, std::size_t count);

struct Partition {
  std::uint32_t firstSector = 0;
  std::uint32_t sectorCount = 0;
  std::uint8_t type = 0;
};
// Entry 1 of the master boot record.
Partition FirstPartition(const fs::path& image);

// Copies `sectorCount` sectors from `firstSector` on into a file of its own, keeping it sparse:
// fsck.fat checks a file system that starts at byte 0.
void CopyPartition(const fs::path& image, const Partition& partition, const fs::path& to);

// fsck.fat -n: the lines that report something to mend (not the banner or the summary).
std::vector<std::string> FsckFindings(const std::string& fsck, const fs::path& volume);

// The findings without fsck.fat 4.2's report on a label that holds a byte from 0x80 up: it reads
// the label as signed characters, takes every such byte for a control character and calls the
// label "not valid" (dosfstools issue 191). Only that report is dropped, and only for such a
// label; every other finding stays.
std::vector<std::string> WithoutHighByteLabelReport(std::vector<std::string> findings, const std::string& label);

// True when every byte of the file is zero (holes count as zeros).
bool AllZero(const fs::path& file);

// The lines of a text.
std::vector<std::string> Lines(const std::string& text);

}  // namespace image_tools
