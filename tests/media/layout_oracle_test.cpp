// Outside judges of what the two layout writers leave on the emulated key: fsck.fat finds
// nothing to mend in any volume of the size and firmware matrix, mtools reads each volume and
// its label, and qemu boots a key of each template set once the system files are copied on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "boot/boot_images.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "media/format_sequence.h"
#include "media/single_partition_writer.h"
#include "tests/media/media_test_support.h"
#include "tests/media/volume_oracle.h"
#include "tests/support/boot_report.h"
#include "tests/support/library_fixture.h"

using namespace media_test;

namespace {

constexpr char kBanner[] = "Stelvarion boot check: the key started.";
constexpr char kSystemFilesLine[] = "System files: IBMBIO.COM, IBMDOS.COM, COMMAND.COM\n";

// Firmware revisions and flash types that give each of the four factors the matrix covers.
struct Firmware {
  const char* revision;
  std::uint16_t flashType;
  std::uint32_t perMegabyte;
  bool banksOf64;  // 1896 needs 64 MB per bank
};

const Firmware kFirmwares[] = {
    {"2.61", 2, 2048, false},
    {"2.45", 2, 1972, false},
    {"2.45", 3, 1936, false},
    {"2.00", 2, 1896, true},
};

emulated::KeyConfig KeyFor(const char* model, const Firmware& firmware, std::uint32_t capacityMb) {
  const std::uint16_t banks = firmware.banksOf64 ? static_cast<std::uint16_t>(capacityMb / 64) : 1;
  return Key(model, capacityMb, firmware.revision, firmware.flashType, banks);
}

std::string FirmwareName(const Firmware& firmware) {
  return std::string(firmware.revision) + " type " + std::to_string(firmware.flashType) + " (" +
         std::to_string(firmware.perMegabyte) + "/MB)";
}

class LayoutOracleTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    for (const char* tool : {STELVARION_FSCK_FAT, STELVARION_MCOPY, STELVARION_MLABEL, STELVARION_MDIR,
                             STELVARION_QEMU}) {
      ASSERT_TRUE(ToolAvailable(tool)) << tool << " is missing (Debian packages dosfstools, mtools, qemu-system-x86)";
    }
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    m_scratch = fs::path(STELVARION_TEST_SCRATCH) / (std::string(test->name()) + "-" + std::to_string(getpid()));
    fs::create_directories(m_scratch);
  }

  void TearDown() override {
    LibraryTest::TearDown();
    fs::remove_all(m_scratch);
  }

  // A key on a host of its own, with the library started afresh on it.
  emulated::EmulatedKey& FreshKey(const emulated::KeyConfig& config) {
    ResetDeviceLibraryForTests();
    m_cellHost = std::make_unique<emulated::EmulatedHost>();
    m_cellHost->Install();
    emulated::EmulatedKey& key = m_cellHost->AttachKey('E', config);
    int megabytes = 0;
    EXPECT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
    return key;
  }

  struct Volume {
    std::string fat;  // "FAT12" or "FAT16"
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t clusters = 0;
    bool clean = false;
  };

  // Judges the volume of the area that starts at flash sector `areaStart`: its MBR names the
  // partition, the partition stays inside the area, fsck.fat finds nothing and reads the FAT
  // width the area's size calls for, mtools reads the directory and the label.
  Volume JudgeArea(emulated::EmulatedKey& key, std::uint64_t areaStart, std::uint64_t areaSectors,
                   std::uint32_t partitionOffset, std::uint32_t areaMb, const std::string& label) {
    Volume volume;
    const int failuresBefore = CountFailures();
    const Sector mbr = FlashSector(key, areaStart);
    EXPECT_EQ(BytesAt(mbr, 0x1FE, 2), Bytes({0x55, 0xAA}));
    EXPECT_EQ(mbr[0x1BE], 0x80);
    EXPECT_EQ(Le32(mbr, 0x1C6), partitionOffset);
    const std::uint32_t partitionSectors = Le32(mbr, 0x1CA);
    EXPECT_LE(partitionOffset + std::uint64_t{partitionSectors}, areaSectors) << "the partition leaves its area";

    const Sector boot = FlashSector(key, areaStart + partitionOffset);
    const std::uint32_t total = Le16(boot, 0x13) != 0 ? Le16(boot, 0x13) : Le32(boot, 0x20);
    EXPECT_EQ(total, partitionSectors) << "boot sector and MBR disagree on the size";
    volume.sectorsPerCluster = boot[0x0D];
    const bool fat12 = areaMb <= 16;
    EXPECT_EQ(mbr[0x1C2], fat12 ? 0x01 : 0x06);
    EXPECT_EQ(TextAt(boot, 0x36, 8), fat12 ? "FAT12   " : "FAT16   ");

    const fs::path image = m_scratch / "volume.img";
    CopyOutSectors(key, areaStart + partitionOffset, partitionSectors, image);
    const FsckReport fsck = CheckFileSystem(STELVARION_FSCK_FAT, image);
    if (label.empty()) {
      EXPECT_TRUE(fsck.findings.empty()) << "fsck.fat:\n" << fsck.output;
      EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    } else {
      // The writers put the label into the root directory only; the boot sector keeps
      // "NO NAME", and fsck.fat offers to copy the label over. Nothing else may be found.
      EXPECT_EQ(fsck.findings, (std::vector<std::string>{
                                   "There is no label in boot sector, but there is volume label '" + label +
                                       "' stored in root directory",
                                   "  Auto-copying volume label from root directory to boot sector."}))
          << fsck.output;
    }
    EXPECT_EQ(fsck.fatBits, fat12 ? 12 : 16) << "fsck.fat reads another FAT width than the volume claims";
    volume.fat = "FAT" + std::to_string(fsck.fatBits);
    volume.clusters = fsck.dataClusters;

    const CommandResult dir = RunCommand(std::string(STELVARION_MDIR) + " -i " + Quote(image.string()) + " ::");
    EXPECT_EQ(dir.exitCode, 0) << dir.output;
    const CommandResult shown =
        RunCommand(std::string(STELVARION_MLABEL) + " -s -i " + Quote(image.string()) + " ::");
    EXPECT_EQ(shown.exitCode, 0) << shown.output;
    if (label.empty()) {
      EXPECT_NE(shown.output.find("Volume has no label"), std::string::npos) << shown.output;
    } else {
      EXPECT_NE(shown.output.find("Volume label is " + label), std::string::npos) << shown.output;
    }
    volume.clean = CountFailures() == failuresBefore;
    return volume;
  }

  static int CountFailures() {
    const testing::TestResult* result = testing::UnitTest::GetInstance()->current_test_info()->result();
    int failures = 0;
    for (int i = 0; i < result->total_part_count(); ++i) {
      if (result->GetTestPartResult(i).failed()) ++failures;
    }
    return failures;
  }

  static std::string Describe(const Volume& volume) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %3u/cl %5u clusters %s", volume.fat.c_str(), volume.sectorsPerCluster,
                  volume.clusters, volume.clean ? "ok" : "FAILED");
    return text;
  }

  // The system files the build carries, as files (placeholders when no real ones are given).
  std::vector<fs::path> SystemFiles() {
    std::vector<fs::path> files;
    if (!SystemFilesArePlaceholders()) {
      for (const char* path : {STELVARION_PLACEHOLDER_SYSTEM_FILES}) files.emplace_back(path);
      return files;
    }
    for (const SystemFileImage& image : SystemFileImages()) {
      const fs::path path = m_scratch / image.name;
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(image.bytes.data()), static_cast<std::streamsize>(image.bytes.size()));
      files.push_back(path);
    }
    return files;
  }

  // Copies the system files onto the key image's volume in the order the boot sector needs,
  // labels it, and boots the image.
  void CopyLabelAndBoot(const fs::path& image, std::uint32_t partitionOffset, int templateSet,
                        const std::string& label) {
    const std::string drive = image.string() + "@@" + std::to_string(std::uint64_t{partitionOffset} * 512);
    const char* names[] = {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM"};
    const std::vector<fs::path> files = SystemFiles();
    ASSERT_EQ(files.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      const CommandResult copy = RunCommand(std::string(STELVARION_MCOPY) + " -i " + Quote(drive) + " " +
                                            Quote(files[i].string()) + " ::" + names[i]);
      ASSERT_EQ(copy.exitCode, 0) << copy.output;
    }
    const CommandResult set =
        RunCommand(std::string(STELVARION_MLABEL) + " -i " + Quote(drive) + " " + Quote("::" + label));
    ASSERT_EQ(set.exitCode, 0) << set.output;

    const CommandResult boot = RunCommand("QEMU=" + Quote(STELVARION_QEMU) + " bash " + Quote(STELVARION_BOOT_CHECK) +
                                          " --set " + std::to_string(templateSet) + " " + Quote(image.string()));
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
    EXPECT_NE(boot.output.find("Volume label: " + label + "\n"), std::string::npos) << boot.output;
    EXPECT_NE(boot.output.find(kSystemFilesLine), std::string::npos) << boot.output;
    const std::string handOver = test_support::DosHandOverLine(image.string(), partitionOffset);
    EXPECT_FALSE(handOver.empty());
    EXPECT_NE(boot.output.find(handOver + "\n"), std::string::npos) << handOver << "\n" << boot.output;
  }

  fs::path m_scratch;
  std::unique_ptr<emulated::EmulatedHost> m_cellHost;
};

// ---- The library format sequence -----------------------------------------------------------

struct LibraryCell {
  const char* model;
  Firmware firmware;
  std::uint32_t capacityMb;
  std::uint32_t firstAreaMb;
};

std::vector<LibraryCell> LibraryCells() {
  std::vector<LibraryCell> cells;
  for (const Firmware& firmware : kFirmwares) {
    for (std::uint32_t size : {16u, 17u, 64u, 256u, 512u, 1024u, 2048u}) {
      // 64 MB per bank cannot be had on a smaller key: the small areas share a 64 MB key there.
      const std::uint32_t capacity = firmware.banksOf64 && size < 64 ? 64 : size;
      cells.push_back({kModelVarnok, firmware, capacity, size});
    }
    cells.push_back({kModelVarnok, firmware, 1024, 256});
    cells.push_back({kModelVarnok, firmware, 2048, 17});
    cells.push_back({kModelP3, firmware, 512, 512});
  }
  // The sized path of the P9 model: the second area written from sector 0 after 0x9F.
  cells.push_back({kModelP9, kFirmwares[1], 1024, 512});
  cells.push_back({kModelP9, kFirmwares[0], 1024, 1000});
  return cells;
}

TEST_F(LayoutOracleTest, EveryVolumeOfTheFormatSequencePassesFsckAndMtools) {
  std::string matrix = "format sequence (template set 2), no label, as the workflow calls it:\n";
  for (const LibraryCell& cell : LibraryCells()) {
    const std::string name = std::string(cell.model) + ", " + FirmwareName(cell.firmware) + ", key " +
                             std::to_string(cell.capacityMb) + " MB, first area " +
                             std::to_string(cell.firstAreaMb) + " MB";
    SCOPED_TRACE(name);
    emulated::EmulatedKey& key = FreshKey(KeyFor(cell.model, cell.firmware, cell.capacityMb));
    const ResultCode result = FormatKey(cell.firstAreaMb, nullptr, nullptr, nullptr);
    EXPECT_EQ(result, kResultSuccess);
    if (result != kResultSuccess) {
      matrix += "  " + name + ": FAILED with " + std::to_string(result) + "\n";
      continue;
    }
    const std::uint64_t spm = cell.firmware.perMegabyte;
    const std::uint64_t firstSectors = cell.firstAreaMb * spm;
    matrix += "  " + name + "\n    area 1: " +
              Describe(JudgeArea(key, 0, firstSectors, 32, cell.firstAreaMb, "")) + "\n";
    if (cell.firstAreaMb < cell.capacityMb) {
      const std::uint32_t secondMb = cell.capacityMb - cell.firstAreaMb;
      matrix += "    area 2: " + Describe(JudgeArea(key, firstSectors, secondMb * spm, 32, secondMb, "")) +
                " (from sector " + std::to_string(firstSectors) + ")\n";
    }
  }
  std::printf("%s", matrix.c_str());
}

// Firmware 2.00 of the P3 model counts one sector more at bank boundaries (64 MB on one bank:
// 121344 sectors become 121345), and such a key holds that spare sector: the partition sized from
// the adjusted count must end on the key, not one sector behind it.
TEST_F(LayoutOracleTest, ModelP3Firmware200PartitionStaysOnTheKey) {
  emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP3, kFirmwares[3], 64));
  ASSERT_EQ(FormatKey(64, nullptr, nullptr, nullptr), kResultSuccess);
  ASSERT_EQ(key.Flash().SectorCount(), 64u * 1896 + 1);
  // The key is told the adjusted count, and the partition is sized from it.
  EXPECT_EQ(key.Areas().Register(), 64u * 1896 + 1);
  EXPECT_EQ(Le32(FlashSector(key, 0), 0x1CA), 64u * 1896 + 1 - 32);
  const Volume volume = JudgeArea(key, 0, key.Flash().SectorCount(), 32, 64, "");
  std::printf("P3, 2.00 type 2, one bank, 64 MB: %s\n", Describe(volume).c_str());
  // The volume's last sector, read the way Windows would read it.
  const std::uint32_t last = 32 + Le32(FlashSector(key, 0), 0x1CA) - 1;
  Sector sector{};
  EXPECT_EQ(ReadKeySectors(last, sector.data(), 1), kResultSuccess) << "sector " << last << " is not on the key";
}

// ---- The single-partition writer -----------------------------------------------------------

struct WriterCell {
  Firmware firmware;
  std::uint32_t megabytes;
  bool refusedByDesign;  // too few clusters for FAT16 at 32 sectors per cluster
};

const WriterCell kWriterCells[] = {
    {kFirmwares[1], 256, false},  {kFirmwares[1], 512, false},  {kFirmwares[1], 1024, false},
    {kFirmwares[1], 16, false},   {kFirmwares[1], 17, true},    {kFirmwares[1], 66, true},
    {kFirmwares[1], 67, false},   {kFirmwares[1], 1038, false}, {kFirmwares[1], 1039, false},
    {kFirmwares[1], 2048, false}, {kFirmwares[0], 256, false},  {kFirmwares[0], 512, false},
    {kFirmwares[0], 1024, false}, {kFirmwares[2], 256, false},  {kFirmwares[2], 1024, false},
    {kFirmwares[3], 256, false},  {kFirmwares[3], 1024, false},
};

TEST_F(LayoutOracleTest, EveryVolumeOfTheSinglePartitionWriterPassesFsckAndMtools) {
  std::string matrix = "single-partition writer (template set 1), no label, as the workflow calls it:\n";
  for (const WriterCell& cell : kWriterCells) {
    const std::string name = FirmwareName(cell.firmware) + ", key " + std::to_string(cell.megabytes) + " MB";
    SCOPED_TRACE(name);
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP9, cell.firmware, cell.megabytes));
    const ResultCode result = WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, cell.megabytes);
    if (cell.refusedByDesign) {
      EXPECT_EQ(result, kResultGeneralFailure);
      const auto& written = dynamic_cast<emulated::MemoryFlashImage&>(key.Flash()).WrittenSectors();
      EXPECT_TRUE(written.empty()) << written.size() << " sectors written before the refusal";
      matrix += "  " + name + ": refused by design" +
                (result == kResultGeneralFailure && written.empty() ? "" : " -- FAILED") + "\n";
      continue;
    }
    EXPECT_EQ(result, kResultSuccess);
    if (result != kResultSuccess) {
      matrix += "  " + name + ": FAILED with " + std::to_string(result) + "\n";
      continue;
    }
    const std::uint64_t keySectors = std::uint64_t{cell.megabytes} * cell.firmware.perMegabyte;
    matrix += "  " + name + ": " + Describe(JudgeArea(key, 0, keySectors, 63, cell.megabytes, "")) + "\n";
  }
  std::printf("%s", matrix.c_str());
}

// ---- Labels written by the layout writers --------------------------------------------------

TEST_F(LayoutOracleTest, LabelOfEitherWriterIsTheFirstRootDirectoryEntry) {
  {
    SCOPED_TRACE("format sequence, 17 MB first area of a 64 MB key at 1896/MB");
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP3, kFirmwares[3], 64));
    ASSERT_EQ(FormatKey(17, "AREA ONE", nullptr, nullptr), kResultSuccess);
    JudgeArea(key, 0, 17 * 1896, 32, 17, "AREA ONE");
    JudgeArea(key, 17 * 1896, 47 * 1896, 32, 47, "");
  }
  {
    SCOPED_TRACE("format sequence, 16 MB key at 2048/MB");
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP3, kFirmwares[0], 16));
    ASSERT_EQ(FormatKey(16, "SMALL", nullptr, nullptr), kResultSuccess);
    JudgeArea(key, 0, 16 * 2048, 32, 16, "SMALL");
  }
  {
    SCOPED_TRACE("single-partition writer, 256 MB key at 1972/MB");
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP9, kFirmwares[1], 256));
    ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "WRITER", nullptr, nullptr, 256), kResultSuccess);
    JudgeArea(key, 0, 256 * 1972, 63, 256, "WRITER");
  }
  {
    SCOPED_TRACE("single-partition writer, 16 MB key at 1936/MB");
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP9, kFirmwares[2], 16));
    ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "TINY", nullptr, nullptr, 16), kResultSuccess);
    JudgeArea(key, 0, 16 * 1936, 63, 16, "TINY");
  }
}

// ---- Booting a key of each template set ----------------------------------------------------

TEST_F(LayoutOracleTest, KeyFromTheSinglePartitionWriterBootsWithTheSystemFiles) {
  const Firmware& firmware = kFirmwares[1];
  for (std::uint32_t megabytes : {16u, 256u, 1024u}) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP9, firmware, megabytes));
    ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, megabytes),
              kResultSuccess);
    const fs::path image = m_scratch / "key.img";
    fs::remove(image);
    CopyOutSectors(key, 0, std::uint64_t{megabytes} * firmware.perMegabyte, image);
    CopyLabelAndBoot(image, 63, 1, "WRITERKEY");

    // The volume stays clean with the files and the label on it.
    const fs::path volume = m_scratch / "volume.img";
    fs::remove(volume);
    RunCommand("dd if=" + Quote(image.string()) + " of=" + Quote(volume.string()) +
               " bs=512 skip=63 conv=sparse status=none");
    const FsckReport fsck = CheckFileSystem(STELVARION_FSCK_FAT, volume);
    EXPECT_TRUE(fsck.findings.empty()) << fsck.output;
    EXPECT_NE(fsck.output.find("4 files"), std::string::npos) << fsck.output;  // and the label
  }
}

TEST_F(LayoutOracleTest, KeyFromTheFormatSequenceBootsWithTheSystemFiles) {
  // 2048 sectors per megabyte: the partition is cut back to what the FAT maps. 17 MB gets one
  // sector per cluster, so IBMBIO.COM's chain runs through 130 clusters.
  const Firmware& firmware = kFirmwares[0];
  for (std::uint32_t megabytes : {16u, 17u, 256u, 512u, 1024u}) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    emulated::EmulatedKey& key = FreshKey(KeyFor(kModelP3, firmware, megabytes));
    ASSERT_EQ(FormatKey(megabytes, nullptr, nullptr, nullptr), kResultSuccess);
    const fs::path image = m_scratch / "key.img";
    fs::remove(image);
    CopyOutSectors(key, 0, std::uint64_t{megabytes} * firmware.perMegabyte, image);
    CopyLabelAndBoot(image, 32, 2, "LIBRARYKEY");
    if (megabytes == 17) {
      EXPECT_EQ(test_support::SectorsPerCluster(image.string(), 32), 1u);
    }

    const fs::path volume = m_scratch / "volume.img";
    fs::remove(volume);
    RunCommand("dd if=" + Quote(image.string()) + " of=" + Quote(volume.string()) +
               " bs=512 skip=32 conv=sparse status=none");
    const FsckReport fsck = CheckFileSystem(STELVARION_FSCK_FAT, volume);
    EXPECT_TRUE(fsck.findings.empty()) << fsck.output;
    EXPECT_NE(fsck.output.find("4 files"), std::string::npos) << fsck.output;  // and the label
  }
}

}  // namespace
