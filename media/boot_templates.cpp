#include "media/boot_templates.h"

#include <algorithm>
#include <string_view>

#include "host/byte_order.h"

namespace {

struct ChsAddress {
  std::uint8_t head;
  std::uint8_t sector;
  std::uint16_t cylinder;
};

struct MbrValues {
  std::span<const std::uint8_t, kMbrBootProgramSize> program;
  std::array<std::uint8_t, 4> diskSignature;
  ChsAddress start;
  ChsAddress end;
  std::uint32_t firstSector;
  std::uint32_t sectorCount;
};

// Entry 1 as stored covers the whole nominal 1 GB key; the writers patch only type and count.
Sector MakeMbr(const MbrValues& values) {
  Sector sector{};
  std::ranges::copy(values.program, sector.begin() + mbr_offset::kBootProgram);
  std::ranges::copy(values.diskSignature, sector.begin() + mbr_offset::kDiskSignature);

  const std::span<std::uint8_t> entry(sector.data() + mbr_offset::kEntry1,
                                      mbr_offset::kPartitionEntrySize);
  entry[partition_entry::kStatus] = kActivePartition;
  std::ranges::copy(EncodeChs(values.start.head, values.start.sector, values.start.cylinder),
                    entry.begin() + partition_entry::kStartChs);
  entry[partition_entry::kType] = kPartitionTypeFat16;
  std::ranges::copy(EncodeChs(values.end.head, values.end.sector, values.end.cylinder),
                    entry.begin() + partition_entry::kEndChs);
  PutLittleEndian32(entry.data() + partition_entry::kFirstSector, values.firstSector);
  PutLittleEndian32(entry.data() + partition_entry::kSectorCount, values.sectorCount);

  constexpr std::string_view kMarker = "AES256";
  static_assert(kMarker.size() == mbr_offset::kMarkerSize);
  std::ranges::copy(kMarker, sector.begin() + mbr_offset::kMarker);
  std::ranges::copy(kBootSignature, sector.begin() + mbr_offset::kSignature);
  return sector;
}

// The boot-sector fields in which the three templates differ.
struct BootSectorValues {
  std::uint16_t reservedSectors;
  std::uint16_t sectorsPerFat;
  std::uint16_t sectorsPerTrack;
  std::uint16_t heads;
  std::uint32_t hiddenSectors;
  std::uint8_t driveNumber;
  std::uint8_t reservedByte;
};

Sector MakeBootSector(const BootSectorValues& values) {
  namespace at = boot_sector_offset;
  Sector sector{};
  constexpr std::uint8_t kJumpToProgram[3] = {0xEB, 0x3C, 0x90};  // jmp short 0x3E; nop
  std::ranges::copy(kJumpToProgram, sector.begin() + at::kJump);
  std::ranges::copy(std::string_view("IBM  7.0"), sector.begin() + at::kOemName);
  PutLittleEndian16(sector.data() + at::kBytesPerSector, kSectorSize);
  sector[at::kSectorsPerCluster] = 32;
  PutLittleEndian16(sector.data() + at::kReservedSectors, values.reservedSectors);
  sector[at::kFatCount] = 2;
  PutLittleEndian16(sector.data() + at::kRootEntries, 512);
  PutLittleEndian16(sector.data() + at::kTotalSectors16, 0);
  sector[at::kMediaDescriptor] = 0xF8;
  PutLittleEndian16(sector.data() + at::kSectorsPerFat, values.sectorsPerFat);
  PutLittleEndian16(sector.data() + at::kSectorsPerTrack, values.sectorsPerTrack);
  PutLittleEndian16(sector.data() + at::kHeads, values.heads);
  PutLittleEndian32(sector.data() + at::kHiddenSectors, values.hiddenSectors);
  PutLittleEndian32(sector.data() + at::kTotalSectors32, 2019296);
  sector[at::kDriveNumber] = values.driveNumber;
  sector[at::kReservedByte] = values.reservedByte;
  sector[at::kExtendedSignature] = 0x29;
  // One constant serial number for every key (shown by DOS as 2116-18D5).
  PutLittleEndian32(sector.data() + at::kVolumeSerial, 0x211618D5);
  std::ranges::copy(std::string_view("NO NAME    "), sector.begin() + at::kVolumeLabel);
  std::ranges::copy(std::string_view("FAT16   "), sector.begin() + at::kFileSystemType);
  std::ranges::copy(FatBootProgram(), sector.begin() + at::kBootProgram);
  std::ranges::copy(kBootSignature, sector.begin() + at::kSignature);
  return sector;
}

Sector MakeFatHeadSector() {
  Sector sector{};
  // Media descriptor and end-of-chain entries; the same bytes start FAT12 and FAT16 copies.
  constexpr std::uint8_t kHead[4] = {0xF8, 0xFF, 0xFF, 0xFF};
  std::ranges::copy(kHead, sector.begin());
  return sector;
}

Sector MakeLabelSector() {
  Sector sector{};
  std::fill_n(sector.begin() + dir_entry_offset::kName, kDirNameSize, ' ');
  sector[dir_entry_offset::kAttribute] = kVolumeLabelAttribute;
  return sector;
}

}  // namespace

TemplateSet1 MakeTemplateSet1() {
  return TemplateSet1{
      .Mbr63Template = MakeMbr({.program = Mbr63BootProgram(),
                                .diskSignature = {0x02, 0x3B, 0xA6, 0x0D},
                                .start = {1, 1, 0},
                                .end = {31, 63, 1014},
                                .firstSector = 63,
                                .sectorCount = 2046177}),
      .BootSector63Template = MakeBootSector({.reservedSectors = 1,
                                              .sectorsPerFat = 250,
                                              .sectorsPerTrack = 63,
                                              .heads = 32,
                                              .hiddenSectors = 63,
                                              .driveNumber = 0x00,
                                              .reservedByte = 0x01}),
      // Placed at sector 32 with 32 reserved sectors, so its FATs start at sector 64 too.
      .BootSector32Template = MakeBootSector({.reservedSectors = 32,
                                              .sectorsPerFat = 250,
                                              .sectorsPerTrack = 32,
                                              .heads = 32,
                                              .hiddenSectors = 32,
                                              .driveNumber = 0x00,
                                              .reservedByte = 0x00}),
      .FatHeadSector = MakeFatHeadSector(),
      .LabelSectorTemplate = MakeLabelSector(),
  };
}

TemplateSet2 MakeTemplateSet2() {
  return TemplateSet2{
      .Mbr32Template = MakeMbr({.program = Mbr32BootProgram(),
                                .diskSignature = {0x00, 0x00, 0x00, 0x00},
                                .start = {1, 1, 0},
                                .end = {63, 32, 985},
                                .firstSector = 32,
                                .sectorCount = 2019296}),
      // The set-2 MBR program leaves the drive-number field alone, so it is stored as 0x80.
      .AreaBootSectorTemplate = MakeBootSector({.reservedSectors = 1,
                                                .sectorsPerFat = 247,
                                                .sectorsPerTrack = 32,
                                                .heads = 64,
                                                .hiddenSectors = 32,
                                                .driveNumber = 0x80,
                                                .reservedByte = 0x00}),
      .FatHeadSector = MakeFatHeadSector(),
      .LabelSectorTemplate = MakeLabelSector(),
  };
}

std::uint8_t SectorsPerClusterForAreaMb(std::uint32_t megabytes) {
  struct Row {
    std::uint32_t upToMb;
    std::uint8_t sectorsPerCluster;
  };
  // FAT12 up to 16 MB, then FAT16 starting again from one sector per cluster.
  static constexpr Row kTable[] = {
      {2, 1},    {4, 2},    {8, 4},     {16, 8},     {32, 1},     {64, 2},
      {128, 4},  {256, 8},  {512, 16},  {1024, 32},  {2048, 64},  {4096, 128},
  };
  for (const Row& row : kTable) {
    if (megabytes <= row.upToMb) return row.sectorsPerCluster;
  }
  return 0;
}

void PatchPartitionSize(Sector& mbr, Sector& bootSector, FatKind kind, std::uint32_t sectorCount,
                        std::uint8_t sectorsPerFat) {
  namespace at = boot_sector_offset;
  const bool fat12 = kind == FatKind::kFat12;
  const auto low = static_cast<std::uint16_t>(sectorCount);
  const auto high = static_cast<std::uint16_t>(sectorCount >> 16);

  mbr[mbr_offset::kEntry1Type] = fat12 ? kPartitionTypeFat12 : kPartitionTypeFat16;
  PutLittleEndian16(mbr.data() + mbr_offset::kEntry1SectorCountLow, low);
  PutLittleEndian16(mbr.data() + mbr_offset::kEntry1SectorCountHigh, fat12 ? 0 : high);

  PutLittleEndian16(bootSector.data() + at::kTotalSectors16, fat12 ? low : 0);
  bootSector[at::kSectorsPerFat] = sectorsPerFat;
  PutLittleEndian32(bootSector.data() + at::kTotalSectors32, fat12 ? 0 : sectorCount);
  bootSector[at::kFatTypeDigit] = fat12 ? '2' : '6';
}

void FillLabelEntry(Sector& labelSector, std::string_view label) {
  const auto name = labelSector.begin() + dir_entry_offset::kName;
  std::fill_n(name, kDirNameSize, ' ');
  std::ranges::copy(label.substr(0, kDirNameSize), name);
  *name = StoredNameLead(*name);
}
