#include "media/boot_templates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "host/byte_order.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Slice(const Sector& sector, std::size_t offset, std::size_t size) {
  return Bytes(sector.begin() + offset, sector.begin() + offset + size);
}

std::string Text(const Sector& sector, std::size_t offset, std::size_t size) {
  return std::string(sector.begin() + offset, sector.begin() + offset + size);
}

std::set<std::size_t> DifferingOffsets(const Sector& a, const Sector& b) {
  std::set<std::size_t> offsets;
  for (std::size_t i = 0; i < kSectorSize; ++i) {
    if (a[i] != b[i]) offsets.insert(i);
  }
  return offsets;
}

bool AllZero(const Sector& sector, std::size_t from, std::size_t to) {
  return std::all_of(sector.begin() + from, sector.begin() + to,
                     [](std::uint8_t b) { return b == 0; });
}

// The last sector that a partition entry's end CHS bytes address, for the given geometry.
std::uint32_t EndLba(const Sector& mbr, std::uint32_t heads, std::uint32_t sectorsPerTrack) {
  const std::size_t end = mbr_offset::kEntry1 + partition_entry::kEndChs;
  const std::uint32_t head = mbr[end];
  const std::uint32_t sector = mbr[end + 1] & 0x3F;
  const std::uint32_t cylinder = mbr[end + 2] | (mbr[end + 1] & 0xC0) << 2;
  return (cylinder * heads + head) * sectorsPerTrack + sector - 1;
}

struct MbrCase {
  const char* name;
  Sector (*make)();
  Bytes diskSignature;
  Bytes entry1;
  std::span<const std::uint8_t, kMbrBootProgramSize> (*program)();
  std::uint32_t heads;
  std::uint32_t sectorsPerTrack;
};

const MbrCase kMbrCases[] = {
    {"Mbr63Template", [] { return MakeTemplateSet1().Mbr63Template; },
     {0x02, 0x3B, 0xA6, 0x0D},
     {0x80, 0x01, 0x01, 0x00, 0x06, 0x1F, 0xFF, 0xF6, 63, 0, 0, 0, 0xE1, 0x38, 0x1F, 0x00},
     Mbr63BootProgram, 32, 63},
    {"Mbr32Template", [] { return MakeTemplateSet2().Mbr32Template; },
     {0x00, 0x00, 0x00, 0x00},
     {0x80, 0x01, 0x01, 0x00, 0x06, 0x3F, 0xE0, 0xD9, 32, 0, 0, 0, 0xE0, 0xCF, 0x1E, 0x00},
     Mbr32BootProgram, 64, 32},
};

void PrintTo(const MbrCase& c, std::ostream* os) { *os << c.name; }

class MbrTemplateTest : public testing::TestWithParam<MbrCase> {};

TEST_P(MbrTemplateTest, HoldsTheStoredBytes) {
  const MbrCase& c = GetParam();
  const Sector mbr = c.make();
  EXPECT_EQ(Slice(mbr, 0, kMbrBootProgramSize), Bytes(c.program().begin(), c.program().end()));
  EXPECT_EQ(Slice(mbr, 0x1B8, 4), c.diskSignature);
  EXPECT_EQ(Slice(mbr, 0x1BC, 2), Bytes(2, 0));
  EXPECT_EQ(Slice(mbr, 0x1BE, 16), c.entry1);
  // Entries 2 to 4 are empty but for the six marker bytes.
  EXPECT_TRUE(AllZero(mbr, 0x1CE, 0x1F8));
  EXPECT_EQ(Text(mbr, 0x1F8, 6), "AES256");
  EXPECT_EQ(mbr[0x1FE], 0x55);
  EXPECT_EQ(mbr[0x1FF], 0xAA);
}

TEST_P(MbrTemplateTest, EntryOneEndsWhereItsCountSays) {
  const MbrCase& c = GetParam();
  const Sector mbr = c.make();
  const std::uint32_t first = GetLittleEndian32(mbr.data() + 0x1C6);
  const std::uint32_t count = GetLittleEndian32(mbr.data() + 0x1CA);
  EXPECT_EQ(EndLba(mbr, c.heads, c.sectorsPerTrack), first + count - 1);
}

INSTANTIATE_TEST_SUITE_P(BothSets, MbrTemplateTest, testing::ValuesIn(kMbrCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BootSectorTemplates, HoldTheStoredFields) {
  const TemplateSet1 set1 = MakeTemplateSet1();
  const TemplateSet2 set2 = MakeTemplateSet2();
  struct Row {
    const Sector* sector;
    std::uint16_t reserved, sectorsPerFat, sectorsPerTrack, heads;
    std::uint32_t hidden;
    std::uint8_t drive, reservedByte;
  };
  const Row rows[] = {
      {&set1.BootSector63Template, 1, 250, 63, 32, 63, 0x00, 0x01},
      {&set1.BootSector32Template, 32, 250, 32, 32, 32, 0x00, 0x00},
      {&set2.AreaBootSectorTemplate, 1, 247, 32, 64, 32, 0x80, 0x00},
  };
  for (const Row& row : rows) {
    const Sector& s = *row.sector;
    SCOPED_TRACE(testing::Message() << "hidden " << row.hidden << ", reserved " << row.reserved);
    EXPECT_EQ(Slice(s, 0x00, 3), (Bytes{0xEB, 0x3C, 0x90}));
    EXPECT_EQ(Text(s, 0x03, 8), "IBM  7.0");
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x0B), 512);
    EXPECT_EQ(s[0x0D], 32);
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x0E), row.reserved);
    EXPECT_EQ(s[0x10], 2);
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x11), 512);
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x13), 0);
    EXPECT_EQ(s[0x15], 0xF8);
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x16), row.sectorsPerFat);
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x18), row.sectorsPerTrack);
    EXPECT_EQ(GetLittleEndian16(s.data() + 0x1A), row.heads);
    EXPECT_EQ(GetLittleEndian32(s.data() + 0x1C), row.hidden);
    EXPECT_EQ(GetLittleEndian32(s.data() + 0x20), 2019296u);
    EXPECT_EQ(s[0x24], row.drive);
    EXPECT_EQ(s[0x25], row.reservedByte);
    EXPECT_EQ(s[0x26], 0x29);
    EXPECT_EQ(Slice(s, 0x27, 4), (Bytes{0xD5, 0x18, 0x16, 0x21}));
    EXPECT_EQ(Text(s, 0x2B, 11), "NO NAME    ");
    EXPECT_EQ(Text(s, 0x36, 8), "FAT16   ");
    EXPECT_EQ(Slice(s, 0x3E, kFatBootProgramSize),
              Bytes(FatBootProgram().begin(), FatBootProgram().end()));
    EXPECT_EQ(Slice(s, 0x1FE, 2), (Bytes{0x55, 0xAA}));
  }
}

TEST(BootSectorTemplates, DifferOnlyInTheirGeometryBytes) {
  const TemplateSet1 set1 = MakeTemplateSet1();
  const TemplateSet2 set2 = MakeTemplateSet2();
  // Multi-byte fields whose values differ only in the low byte differ in one byte.
  EXPECT_EQ(DifferingOffsets(set1.BootSector32Template, set1.BootSector63Template),
            (std::set<std::size_t>{0x0E, 0x18, 0x1C, 0x25}));
  EXPECT_EQ(DifferingOffsets(set2.AreaBootSectorTemplate, set1.BootSector32Template),
            (std::set<std::size_t>{0x0E, 0x16, 0x1A, 0x24}));
}

TEST(BootSectorTemplates, SetOnePlacesBothBootSectorsOnTheSameFats) {
  const TemplateSet1 set1 = MakeTemplateSet1();
  for (const auto& [sector, at] : {std::pair{&set1.BootSector63Template, set1_sector::kPartitionStart},
                                  std::pair{&set1.BootSector32Template, set1_sector::kSecondBootSector}}) {
    EXPECT_EQ(GetLittleEndian32(sector->data() + 0x1C), at);
    EXPECT_EQ(at + GetLittleEndian16(sector->data() + 0x0E), set1_sector::kFirstFat);
  }
  const TemplateSet2 set2 = MakeTemplateSet2();
  EXPECT_EQ(GetLittleEndian32(set2.AreaBootSectorTemplate.data() + 0x1C) +
                GetLittleEndian16(set2.AreaBootSectorTemplate.data() + 0x0E),
            set2_sector::kFirstFat);
}

TEST(FatAndLabelSectors, HoldTheStoredBytesInBothSets) {
  const TemplateSet1 set1 = MakeTemplateSet1();
  const TemplateSet2 set2 = MakeTemplateSet2();
  EXPECT_EQ(Slice(set1.FatHeadSector, 0, 4), (Bytes{0xF8, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(AllZero(set1.FatHeadSector, 4, kSectorSize));
  EXPECT_EQ(Text(set1.LabelSectorTemplate, 0, 11), std::string(11, ' '));
  EXPECT_EQ(set1.LabelSectorTemplate[11], 0x08);
  EXPECT_TRUE(AllZero(set1.LabelSectorTemplate, 12, kSectorSize));
  EXPECT_EQ(set1.FatHeadSector, set2.FatHeadSector);
  EXPECT_EQ(set1.LabelSectorTemplate, set2.LabelSectorTemplate);
}

struct PatchCase {
  const char* name;
  bool set1;
  std::uint32_t megabytes;
  std::uint32_t sectorCount;
  std::uint8_t type;
  Bytes countBytes;  // MBR entry 1 sector count as written
  std::uint16_t total16;
  std::uint32_t total32;
  std::uint8_t sectorsPerFat;
  const char* fileSystem;
};

const PatchCase kPatchCases[] = {
    // 1024 MB at 1972 sectors per MB, less the 63 sectors in front of the partition.
    {"Set1Fat16", true, 1024, 2019265, 0x06, {0xC1, 0xCF, 0x1E, 0x00}, 0, 2019265, 250,
     "FAT16   "},
    {"Set2Fat16", false, 1024, 2019296, 0x06, {0xE0, 0xCF, 0x1E, 0x00}, 0, 2019296, 255,
     "FAT16   "},
    {"Set1Fat12", true, 16, 31489, 0x01, {0x01, 0x7B, 0x00, 0x00}, 31489, 0, 12, "FAT12   "},
    {"Set2Fat12", false, 16, 31520, 0x01, {0x20, 0x7B, 0x00, 0x00}, 31520, 0, 12, "FAT12   "},
    {"Set2Fat16Smallest", false, 17, 33492, 0x06, {0xD4, 0x82, 0x00, 0x00}, 0, 33492, 255,
     "FAT16   "},
};

void PrintTo(const PatchCase& c, std::ostream* os) { *os << c.name; }

class PatchPartitionSizeTest : public testing::TestWithParam<PatchCase> {};

TEST_P(PatchPartitionSizeTest, RewritesTheSizeFieldsOnly) {
  const PatchCase& c = GetParam();
  Sector mbr = c.set1 ? MakeTemplateSet1().Mbr63Template : MakeTemplateSet2().Mbr32Template;
  Sector boot = c.set1 ? MakeTemplateSet1().BootSector63Template
                       : MakeTemplateSet2().AreaBootSectorTemplate;
  const Sector storedMbr = mbr;
  const Sector storedBoot = boot;

  // Patching an image patched before for the other FAT kind gives the same bytes.
  const FatKind other =
      FatKindForAreaMb(c.megabytes) == FatKind::kFat12 ? FatKind::kFat16 : FatKind::kFat12;
  PatchPartitionSize(mbr, boot, other, 0xFFFFFFFF, 0xEE);
  PatchPartitionSize(mbr, boot, FatKindForAreaMb(c.megabytes), c.sectorCount, c.sectorsPerFat);

  EXPECT_EQ(mbr[0x1C2], c.type);
  EXPECT_EQ(Slice(mbr, 0x1CA, 4), c.countBytes);
  for (std::size_t offset : DifferingOffsets(mbr, storedMbr)) {
    EXPECT_TRUE(offset == 0x1C2 || (offset >= 0x1CA && offset < 0x1CE)) << "offset " << offset;
  }
  EXPECT_EQ(GetLittleEndian16(boot.data() + 0x13), c.total16);
  EXPECT_EQ(GetLittleEndian32(boot.data() + 0x20), c.total32);
  EXPECT_EQ(boot[0x16], c.sectorsPerFat);
  EXPECT_EQ(boot[0x17], 0);
  EXPECT_EQ(Text(boot, 0x36, 8), c.fileSystem);
  for (std::size_t offset : DifferingOffsets(boot, storedBoot)) {
    EXPECT_TRUE(offset == 0x13 || offset == 0x14 || offset == 0x16 ||
                (offset >= 0x20 && offset < 0x24) || offset == 0x3A)
        << "offset " << offset;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PatchPartitionSizeTest, testing::ValuesIn(kPatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SectorsPerClusterForAreaMb, FollowsTheClusterTableAtEveryBoundary) {
  const std::pair<std::uint32_t, int> expected[] = {
      {1, 1},     {2, 1},      {3, 2},      {4, 2},      {5, 4},      {8, 4},
      {9, 8},     {16, 8},     {17, 1},     {32, 1},     {33, 2},     {64, 2},
      {65, 4},    {128, 4},    {129, 8},    {256, 8},    {257, 16},   {512, 16},
      {513, 32},  {1024, 32},  {1025, 64},  {2048, 64},  {2049, 128}, {4096, 128},
      {4097, 0},  {65535, 0},
  };
  for (const auto& [megabytes, sectors] : expected) {
    EXPECT_EQ(SectorsPerClusterForAreaMb(megabytes), sectors) << megabytes << " MB";
  }
}

TEST(FillLabelEntry, PadsWithSpacesAndKeepsTheAttribute) {
  Sector label = MakeTemplateSet1().LabelSectorTemplate;
  FillLabelEntry(label, "ELEVENCHARS");
  FillLabelEntry(label, "BOOT1");
  EXPECT_EQ(Text(label, 0, 11), "BOOT1      ");
  EXPECT_EQ(label[11], 0x08);
  EXPECT_TRUE(AllZero(label, 12, kSectorSize));

  FillLabelEntry(label, "TWELVE CHARS");
  EXPECT_EQ(Text(label, 0, 11), "TWELVE CHAR");
  EXPECT_EQ(label[11], 0x08);
}

// 0xE5 first would mark the entry deleted; it is stored as 0x05, and only in the first place.
TEST(FillLabelEntry, StoresALeadingE5As05) {
  Sector label = MakeTemplateSet2().LabelSectorTemplate;
  FillLabelEntry(label, "\xE5L\xE5ND");
  EXPECT_EQ(Text(label, 0, 11), "\x05L\xE5ND      ");
  FillLabelEntry(label, "L\xE5ND");
  EXPECT_EQ(Text(label, 0, 11), "L\xE5ND       ");
}

}  // namespace
