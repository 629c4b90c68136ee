// The boot programs and the system files that a key receives. All of them are assembled from
// the nasm sources beside this header at build time (the system files may instead be taken from
// the folder named by the CMake option STELVARION_SYSTEM_FILES_DIR) and embedded as byte arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The program area of a master boot record: everything in front of the disk signature.
inline constexpr std::size_t kMbrBootProgramSize = 440;
// The program area of a FAT boot sector: from behind the BPB (0x3E) up to the signature (0x1FE).
inline constexpr std::size_t kFatBootProgramSize = 0x1FE - 0x3E;

// Set 1: the MBR program with the drive-0 probe, for the partition at sector 63.
std::span<const std::uint8_t, kMbrBootProgramSize> Mbr63BootProgram();
// Set 2: the conventional partition-table loader, for the partition at sector 32.
std::span<const std::uint8_t, kMbrBootProgramSize> Mbr32BootProgram();
// The boot-sector program shared by all FAT boot sectors; it starts IBMBIO.COM.
std::span<const std::uint8_t, kFatBootProgramSize> FatBootProgram();

struct SystemFileImage {
  std::string_view name;  // as written to the key's root, e.g. "IBMBIO.COM"
  std::span<const std::uint8_t> bytes;
};

inline constexpr std::size_t kSystemFileCount = 3;

// IBMBIO.COM, IBMDOS.COM and COMMAND.COM, in the order they must be created: the boot sector
// requires the first two as the first two root-directory entries.
std::span<const SystemFileImage, kSystemFileCount> SystemFileImages();

// True when the build carries the placeholder system files rather than real DOS ones.
bool SystemFilesArePlaceholders();
