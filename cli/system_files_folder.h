// The three system files taken from a folder at run time instead of the images built in. The
// emulated host's resources then serve them, so the program itself copies them as it always does.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "boot/boot_images.h"

struct SystemFilesFolder {
  // IBMBIO.COM, IBMDOS.COM and COMMAND.COM, in the order of SystemFileImages().
  std::array<std::vector<std::uint8_t>, kSystemFileCount> images;
  // Reasons the files may not start: other names, another loading protocol.
  std::vector<std::string> warnings;
};

// The boot sector loads this much of IBMBIO.COM; a shorter file cannot start.
inline constexpr std::size_t kLoadedIbmbioBytes = 3 * 512;

// Reads the folder. Empty on success, else why the folder is refused (a file missing or
// unreadable, an IBMBIO.COM shorter than the three sectors the boot sector loads).
std::string ReadSystemFilesFolder(const std::string& folder, SystemFilesFolder& files);
