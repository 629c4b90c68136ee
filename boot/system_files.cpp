#include "boot/boot_images.h"
#include "boot/system_file_data.h"

#include <array>

std::span<const SystemFileImage, kSystemFileCount> SystemFileImages() {
  static const std::array<SystemFileImage, kSystemFileCount> files = {{
      {"IBMBIO.COM", IbmbioComImage()},
      {"IBMDOS.COM", IbmdosComImage()},
      {"COMMAND.COM", CommandComImage()},
  }};
  return files;
}

bool SystemFilesArePlaceholders() { return STELVARION_PLACEHOLDER_SYSTEM_FILES != 0; }
