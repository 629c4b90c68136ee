// A key image laid out from the boot-record templates the way the layout writers lay out a key,
// and the outside tools that judge it (fsck.fat, mtools, scripts/boot-check).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "media/boot_templates.h"
#include "tests/support/shell_command.h"

namespace fs = std::filesystem;

// The key's megabytes convert to sectors at this rate (one of the firmware's factors).
inline constexpr std::uint32_t kTestSectorsPerMegabyte = 1972;

struct KeyImage {
  fs::path path;
  int templateSet = 0;
  std::uint32_t partitionStart = 0;    // sector
  std::uint32_t partitionSectors = 0;
  std::uint32_t rootSector = 0;        // absolute

  std::uint64_t PartitionOffset() const { return std::uint64_t{partitionStart} * kSectorSize; }
  // mtools' name for the volume: the image at the partition's byte offset.
  std::string MtoolsDrive() const;
};

// Writes a whole key of `megabytes` as template set 1 or 2 lays it out: patched MBR and boot
// sector, set 1's second boot sector, both FAT heads, and, when label is not empty, the label
// sector as the first root-directory sector. Everything else is zero.
KeyImage WriteKeyImage(const fs::path& path, int templateSet, std::uint32_t megabytes,
                       std::string_view label = {});

Sector ReadSector(const fs::path& image, std::uint32_t lba);
void WriteSector(const fs::path& image, std::uint32_t lba, const Sector& sector);

using test_support::CommandResult;
using test_support::Quote;
using test_support::RunCommand;
using test_support::ToolAvailable;

// fsck.fat -n on the key's partition: the lines that report something to mend.
std::vector<std::string> FsckFindings(const KeyImage& key, const fs::path& scratch);
