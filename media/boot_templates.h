// The 512-byte sector images that make a key bootable, the offsets of the fields that the
// layout writers patch, and the patches themselves.
//
// Two independent template sets exist. Set 1 belongs to the single-partition writer (partition
// from sector 63, 32 heads x 63 sectors), set 2 to the library's format sequence (partition from
// sector 32 of each area, 64 heads x 32 sectors). A writer keeps its own copy of a set, patches
// it and writes whole sectors; every patch rewrites its field completely, so a copy patched
// again for another size gives the same bytes as a fresh one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "boot/boot_images.h"

inline constexpr std::size_t kSectorSize = 512;
using Sector = std::array<std::uint8_t, kSectorSize>;

// Every on-key structure is little-endian: host/byte_order.h reads and writes it.

// 0x55 0xAA at 0x1FE of master boot records and boot sectors (not of FAT or directory sectors).
inline constexpr std::uint8_t kBootSignature[2] = {0x55, 0xAA};

// Master boot record.
namespace mbr_offset {
inline constexpr std::size_t kBootProgram = 0x000;
inline constexpr std::size_t kDiskSignature = 0x1B8;
inline constexpr std::size_t kZeroWord = 0x1BC;
inline constexpr std::size_t kPartitionTable = 0x1BE;
inline constexpr std::size_t kPartitionEntrySize = 16;
inline constexpr std::size_t kPartitionEntryCount = 4;
// Six ASCII bytes "AES256" over the upper half of entry 4's first-sector field and its
// sector-count field; entry 4 stays empty because its status and type bytes are zero.
inline constexpr std::size_t kMarker = 0x1F8;
inline constexpr std::size_t kMarkerSize = 6;
inline constexpr std::size_t kSignature = 0x1FE;

// Fields of partition entry 1 that the writers patch.
inline constexpr std::size_t kEntry1 = kPartitionTable;
inline constexpr std::size_t kEntry1Type = 0x1C2;
inline constexpr std::size_t kEntry1SectorCountLow = 0x1CA;   // low 16 bits of the count
inline constexpr std::size_t kEntry1SectorCountHigh = 0x1CC;  // high 16 bits, 0 for FAT12
}  // namespace mbr_offset

// Fields of one partition entry, relative to the entry.
namespace partition_entry {
inline constexpr std::size_t kStatus = 0;
inline constexpr std::size_t kStartChs = 1;  // head; sector | cylinder bits 8-9; cylinder 0-7
inline constexpr std::size_t kType = 4;
inline constexpr std::size_t kEndChs = 5;
inline constexpr std::size_t kFirstSector = 8;
inline constexpr std::size_t kSectorCount = 12;
}  // namespace partition_entry

inline constexpr std::uint8_t kActivePartition = 0x80;
inline constexpr std::uint8_t kPartitionTypeFat12 = 0x01;
inline constexpr std::uint8_t kPartitionTypeFat16 = 0x06;

// A partition entry's cylinder/head/sector triple as the three bytes the BIOS reads.
constexpr std::array<std::uint8_t, 3> EncodeChs(std::uint8_t head, std::uint8_t sector,
                                                std::uint16_t cylinder) {
  return {head, static_cast<std::uint8_t>((sector & 0x3F) | ((cylinder >> 2) & 0xC0)),
          static_cast<std::uint8_t>(cylinder)};
}

// FAT boot sector.
namespace boot_sector_offset {
inline constexpr std::size_t kJump = 0x00;
inline constexpr std::size_t kOemName = 0x03;
inline constexpr std::size_t kBytesPerSector = 0x0B;
inline constexpr std::size_t kSectorsPerCluster = 0x0D;  // patched by the format sequence only
inline constexpr std::size_t kReservedSectors = 0x0E;
inline constexpr std::size_t kFatCount = 0x10;
inline constexpr std::size_t kRootEntries = 0x11;
inline constexpr std::size_t kTotalSectors16 = 0x13;
inline constexpr std::size_t kMediaDescriptor = 0x15;
inline constexpr std::size_t kSectorsPerFat = 0x16;  // only the low byte is ever written
inline constexpr std::size_t kSectorsPerTrack = 0x18;
inline constexpr std::size_t kHeads = 0x1A;
inline constexpr std::size_t kHiddenSectors = 0x1C;
inline constexpr std::size_t kTotalSectors32 = 0x20;
inline constexpr std::size_t kDriveNumber = 0x24;
inline constexpr std::size_t kReservedByte = 0x25;  // the boot program's working storage
inline constexpr std::size_t kExtendedSignature = 0x26;
inline constexpr std::size_t kVolumeSerial = 0x27;
inline constexpr std::size_t kVolumeLabel = 0x2B;
inline constexpr std::size_t kFileSystemType = 0x36;
inline constexpr std::size_t kFatTypeDigit = 0x3A;  // the '2' or '6' of "FAT12   " / "FAT16   "
inline constexpr std::size_t kBootProgram = 0x3E;
inline constexpr std::size_t kErrorMessage = 0x19E;
inline constexpr std::size_t kFirstSystemFileName = 0x1E6;   // "IBMBIO  COM"
inline constexpr std::size_t kSecondSystemFileName = 0x1F1;  // "IBMDOS  COM"
inline constexpr std::size_t kSignature = 0x1FE;
}  // namespace boot_sector_offset

// Directory entry (the label sector holds one).
inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::size_t kDirNameSize = 11;
namespace dir_entry_offset {
inline constexpr std::size_t kName = 0;
inline constexpr std::size_t kAttribute = 11;
inline constexpr std::size_t kWriteTime = 22;
inline constexpr std::size_t kWriteDate = 24;
inline constexpr std::size_t kFirstCluster = 26;
inline constexpr std::size_t kFileSize = 28;
}  // namespace dir_entry_offset
inline constexpr std::uint8_t kVolumeLabelAttribute = 0x08;
// A name's first byte 0xE5 marks a deleted entry, so a name that really begins with that byte
// (a letter in some code pages) is stored with 0x05 there instead, as DOS and Windows do.
inline constexpr std::uint8_t kDeletedEntryMark = 0xE5;
inline constexpr std::uint8_t kStoredLeadE5 = 0x05;

// The first byte of a directory entry's name as it is stored.
constexpr std::uint8_t StoredNameLead(std::uint8_t lead) { return lead == kDeletedEntryMark ? kStoredLeadE5 : lead; }

static_assert(mbr_offset::kBootProgram + kMbrBootProgramSize == mbr_offset::kDiskSignature);
static_assert(mbr_offset::kPartitionTable +
                  mbr_offset::kPartitionEntryCount * mbr_offset::kPartitionEntrySize ==
              mbr_offset::kSignature);
static_assert(mbr_offset::kMarker + mbr_offset::kMarkerSize == mbr_offset::kSignature);
static_assert(mbr_offset::kMarker == mbr_offset::kPartitionTable +
                                         3 * mbr_offset::kPartitionEntrySize +
                                         partition_entry::kFirstSector + 2);
static_assert(mbr_offset::kEntry1Type == mbr_offset::kEntry1 + partition_entry::kType);
static_assert(mbr_offset::kEntry1SectorCountLow ==
              mbr_offset::kEntry1 + partition_entry::kSectorCount);
static_assert(mbr_offset::kEntry1SectorCountHigh == mbr_offset::kEntry1SectorCountLow + 2);
static_assert(boot_sector_offset::kBootProgram + kFatBootProgramSize ==
              boot_sector_offset::kSignature);
static_assert(boot_sector_offset::kFatTypeDigit == boot_sector_offset::kFileSystemType + 4);
static_assert(boot_sector_offset::kSecondSystemFileName ==
              boot_sector_offset::kFirstSystemFileName + kDirNameSize);
static_assert(kSectorSize % kDirEntrySize == 0);

// Where each image goes, in sectors from the layout's first sector.
namespace set1_sector {
inline constexpr std::uint32_t kMbr = 0;
inline constexpr std::uint32_t kSecondBootSector = 32;  // BootSector32Template, as stored
inline constexpr std::uint32_t kPartitionStart = 63;    // BootSector63Template
inline constexpr std::uint32_t kFirstFat = 64;
}  // namespace set1_sector
namespace set2_sector {
inline constexpr std::uint32_t kMbr = 0;
inline constexpr std::uint32_t kPartitionStart = 32;  // AreaBootSectorTemplate
inline constexpr std::uint32_t kFirstFat = 33;
}  // namespace set2_sector

// Template set 1: the single-partition writer's images.
struct TemplateSet1 {
  Sector Mbr63Template;         // sector 0
  Sector BootSector63Template;  // sector 63, the partition's boot sector
  Sector BootSector32Template;  // sector 32, always written exactly as stored
  Sector FatHeadSector;         // first sector of both FAT copies
  Sector LabelSectorTemplate;   // first root-directory sector with a volume-label entry
};

// Template set 2: the library format sequence's images, per area.
struct TemplateSet2 {
  Sector Mbr32Template;           // area sector 0
  Sector AreaBootSectorTemplate;  // area sector 32, the partition's boot sector
  Sector FatHeadSector;
  Sector LabelSectorTemplate;
};

// Fresh copies of the stored images.
TemplateSet1 MakeTemplateSet1();
TemplateSet2 MakeTemplateSet2();

// An area of up to 16 megabytes gets FAT12, a larger one FAT16.
enum class FatKind { kFat12, kFat16 };
inline constexpr std::uint32_t kLargestFat12AreaMb = 16;
constexpr FatKind FatKindForAreaMb(std::uint32_t megabytes) {
  return megabytes <= kLargestFat12AreaMb ? FatKind::kFat12 : FatKind::kFat16;
}

// Sectors per FAT that the writers store.
inline constexpr std::uint8_t kFat12SectorsPerFat = 12;
inline constexpr std::uint8_t kSinglePartitionFat16SectorsPerFat = 250;  // set 1
inline constexpr std::uint8_t kAreaFat16SectorsPerFat = 255;             // set 2

// Sectors per cluster for an area of the given size (the format sequence's cluster table);
// 0 above 4096 megabytes, where the table ends.
std::uint8_t SectorsPerClusterForAreaMb(std::uint32_t megabytes);

// Rewrites the size-dependent fields of an MBR (entry 1's type and sector count) and of its
// partition's boot sector (both total-sector fields, the low byte of sectors per FAT, the FAT
// type text) for a partition of sectorCount sectors. Nothing else is touched: the CHS bytes,
// status, first sector and signatures stay as stored.
void PatchPartitionSize(Sector& mbr, Sector& bootSector, FatKind kind, std::uint32_t sectorCount,
                        std::uint8_t sectorsPerFat);

// Writes label into the name of the label sector's entry: eleven spaces, then the label's
// characters over their start (no terminator), a leading 0xE5 stored as 0x05. Longer labels are
// cut to eleven characters.
void FillLabelEntry(Sector& labelSector, std::string_view label);
