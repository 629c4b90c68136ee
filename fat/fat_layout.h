// On-disk layout of the master boot record, the FAT12/16 boot sector and root-directory entries.
// Every field is little-endian; host/byte_order.h reads and writes them (a header of its own,
// tied to no port, so the FAT library links nothing of host/ for it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/byte_order.h"

namespace emulated::fat_layout {

inline constexpr std::size_t kSectorSize = 512;

// Master boot record.
inline constexpr std::size_t kPartitionTable = 0x1BE;
inline constexpr std::size_t kPartitionEntrySize = 16;
inline constexpr std::size_t kPartitionType = 4;
inline constexpr std::size_t kPartitionFirstLba = 8;
inline constexpr std::size_t kPartitionSectorCount = 12;
inline constexpr std::size_t kBootSignature = 0x1FE;  // 0x55 0xAA

// Boot sector (BIOS parameter block, FAT12/16 form).
inline constexpr std::size_t kJump = 0x00;
inline constexpr std::size_t kBytesPerSector = 0x0B;
inline constexpr std::size_t kSectorsPerCluster = 0x0D;
inline constexpr std::size_t kReservedSectors = 0x0E;
inline constexpr std::size_t kFatCount = 0x10;
inline constexpr std::size_t kRootEntries = 0x11;
inline constexpr std::size_t kTotalSectors16 = 0x13;
inline constexpr std::size_t kMedia = 0x15;
inline constexpr std::size_t kSectorsPerFat = 0x16;
inline constexpr std::size_t kTotalSectors32 = 0x20;
inline constexpr std::size_t kExtendedSignature = 0x26;  // 0x29 when serial, label and type follow
inline constexpr std::size_t kVolumeSerial = 0x27;
inline constexpr std::size_t kLabelField = 0x2B;
inline constexpr std::uint8_t kExtendedSignatureValue = 0x29;

// Root-directory entry.
inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kName = 0;  // 8 + 3 bytes, space padded
inline constexpr std::size_t kNameSize = 11;
inline constexpr std::size_t kAttributes = 11;
inline constexpr std::size_t kCreateTenths = 13;
inline constexpr std::size_t kCreateTime = 14;
inline constexpr std::size_t kCreateDate = 16;
inline constexpr std::size_t kAccessDate = 18;
inline constexpr std::size_t kWriteTime = 22;
inline constexpr std::size_t kWriteDate = 24;
inline constexpr std::size_t kFirstCluster = 26;
inline constexpr std::size_t kFileSize = 28;
static_assert(kFileSize + 4 == kEntrySize);

inline constexpr std::uint8_t kEndOfDirectory = 0x00;
inline constexpr std::uint8_t kDeleted = 0xE5;
inline constexpr std::uint8_t kLeadE5 = 0x05;  // a name really starting with 0xE5

}  // namespace emulated::fat_layout
