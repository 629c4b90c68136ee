// Independent judges of the templates and the boot programs: fsck.fat and mtools check a key
// laid out from the templates, and qemu boots it through the MBR program, the boot-sector
// program and the placeholder IBMBIO.COM, which reports on COM1 what it found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boot/boot_images.h"
#include "key_image.h"
#include "tests/support/boot_report.h"

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

constexpr char kBanner[] = "Stelvarion boot check: the key started.";
constexpr char kSystemFilesLine[] = "System files: IBMBIO.COM, IBMDOS.COM, COMMAND.COM\n";
constexpr char kFailed[] = "Boot check failed: ";

// The geometry a template set was laid out for, as the placeholder reports it.
std::string StoredGeometry(int templateSet) {
  return templateSet == 1 ? "32 heads, 63 sectors" : "64 heads, 32 sectors";
}

void ExpectGeometry(const CommandResult& boot, const std::string& geometry) {
  EXPECT_NE(boot.output.find("Geometry handed over: " + geometry + " per track\n"),
            std::string::npos)
      << geometry << "\n" << boot.output;
}

// The whole report of a key booted through the placeholder, with the hand-over line its BPB
// calls for and the geometry the boot programs took from the BIOS.
void ExpectFullReport(const CommandResult& boot, const KeyImage& key,
                      const std::string& geometry) {
  ExpectGeometry(boot, geometry);
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
  EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find(kSystemFilesLine), std::string::npos) << boot.output;
  const std::string handOver = test_support::DosHandOverLine(key.path.string(), key.partitionStart);
  ASSERT_FALSE(handOver.empty());
  EXPECT_NE(boot.output.find(handOver + "\n"), std::string::npos) << handOver << "\n" << boot.output;
  EXPECT_EQ(boot.output.find(kFailed), std::string::npos) << boot.output;
}

class BootOracleTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {STELVARION_FSCK_FAT, STELVARION_MCOPY, STELVARION_MLABEL,
                             STELVARION_QEMU}) {
      ASSERT_TRUE(ToolAvailable(tool))
          << tool << " is missing (Debian packages dosfstools, mtools, qemu-system-x86)";
    }
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        std::string("stelvarion-boot-") + test->name() + "-" + std::to_string(getpid());
    std::ranges::replace(name, '/', '-');  // parameterised names carry a slash
    m_scratch = fs::temp_directory_path() / name;
    fs::create_directories(m_scratch);
  }

  void TearDown() override { fs::remove_all(m_scratch); }

  // The system files the build carries while they are placeholders (real DOS files would
  // report nothing on COM1; then the assembled placeholders stand in).
  std::vector<fs::path> SystemFiles() {
    std::vector<fs::path> files;
    if (!SystemFilesArePlaceholders()) {
      for (const char* path : {STELVARION_PLACEHOLDER_SYSTEM_FILES}) files.emplace_back(path);
      return files;
    }
    for (const SystemFileImage& image : SystemFileImages()) {
      const fs::path path = m_scratch / image.name;
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(image.bytes.data()),
                 static_cast<std::streamsize>(image.bytes.size()));
      files.push_back(path);
    }
    return files;
  }

  // Copies the three files, by default in the order the boot sector needs them.
  void CopySystemFiles(const KeyImage& key, std::vector<std::size_t> order = {0, 1, 2}) {
    const char* names[] = {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM"};
    const std::vector<fs::path> files = SystemFiles();
    for (std::size_t i : order) {
      const CommandResult copy =
          RunCommand(std::string(STELVARION_MCOPY) + " -i " + Quote(key.MtoolsDrive()) + " " +
                     Quote(files[i].string()) + " ::" + names[i]);
      ASSERT_EQ(copy.exitCode, 0) << copy.output;
    }
  }

  void SetLabel(const KeyImage& key, const std::string& label) {
    const CommandResult set = RunCommand(std::string(STELVARION_MLABEL) + " -i " +
                                         Quote(key.MtoolsDrive()) + " " + Quote("::" + label));
    ASSERT_EQ(set.exitCode, 0) << set.output;
    const CommandResult show =
        RunCommand(std::string(STELVARION_MLABEL) + " -s -i " + Quote(key.MtoolsDrive()) + " ::");
    EXPECT_NE(show.output.find("Volume label is " + label), std::string::npos) << show.output;
  }

  KeyImage BootableKey(int templateSet, std::uint32_t megabytes) {
    const KeyImage key = WriteKeyImage(m_scratch / "key.img", templateSet, megabytes);
    CopySystemFiles(key);
    return key;
  }

  CommandResult BootCheck(const KeyImage& key, const std::string& options = "") {
    return RunCommand("QEMU=" + Quote(STELVARION_QEMU) + " bash " +
                      Quote(STELVARION_BOOT_CHECK) + " --set " +
                      std::to_string(key.templateSet) + " " + options + " " +
                      Quote(key.path.string()));
  }

  CommandResult BootCheckScreen(const KeyImage& key, const std::string& text,
                                const std::string& options = "") {
    return BootCheck(key, options + " --expect-screen " + Quote(text));
  }

  // Boots the key through the INT 13h shim (tests/boot/bios_shim.asm), which answers AH=08 with
  // heads x sectors or fails it, and translates reads by that geometry.
  CommandResult BootThroughShim(const KeyImage& key, bool answers, unsigned heads,
                                unsigned sectors) {
    std::vector<std::uint8_t> shim = ReadFile(STELVARION_BIOS_SHIM);
    EXPECT_EQ(shim.size(), kSectorSize);
    shim.resize(kSectorSize);
    shim[0x1F0] = answers;
    shim[0x1F1] = static_cast<std::uint8_t>(heads - 1);
    shim[0x1F2] = static_cast<std::uint8_t>(sectors);
    const fs::path floppy = m_scratch / "shim.img";
    std::ofstream(floppy, std::ios::binary)
        .write(reinterpret_cast<const char*>(shim.data()), static_cast<std::streamsize>(shim.size()));
    fs::resize_file(floppy, 1474560);
    return BootCheck(key, "--geometry " + std::to_string(heads) + "," + std::to_string(sectors) +
                              " --boot-floppy " + Quote(floppy.string()));
  }

  // Sets one byte of the key's master boot record.
  static void PatchMbr(const KeyImage& key, std::size_t offset, std::uint8_t value) {
    Sector mbr = ReadSector(key.path, 0);
    mbr[offset] = value;
    WriteSector(key.path, 0, mbr);
  }

  fs::path m_scratch;
};

// Every finding must be one of the known ones, and every known one must be found.
void ExpectFindings(const std::vector<std::string>& findings,
                    const std::vector<std::string>& known) {
  for (const std::string& finding : findings) {
    EXPECT_TRUE(std::ranges::any_of(known, [&](const std::string& k) {
      return finding.find(k) != std::string::npos;
    })) << "fsck.fat: " << finding;
  }
  for (const std::string& k : known) {
    EXPECT_TRUE(std::ranges::any_of(findings, [&](const std::string& finding) {
      return finding.find(k) != std::string::npos;
    })) << "fsck.fat no longer reports: " << k;
  }
}

// Known reports of fsck.fat on volumes laid out exactly from the stored templates:
// BootSector63Template stores 0x01 in byte 0x25, which FAT checkers read as "dirty", and the
// FAT head F8 FF FF FF, shared by the FAT12 and FAT16 layouts, leaves cluster 2 allocated in a
// FAT12 table.
const std::string kDirtyBit = "Dirty bit is set";
const std::string kAutomaticallyRemoving = "Automatically removing dirty bit";
const std::string kClusterTwo = "Reclaimed 1 unused cluster";

struct KeyCase {
  const char* name;
  int templateSet;
  std::uint32_t megabytes;
  const char* label;
  std::vector<std::string> knownFindings;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class KeyFromTemplatesTest : public BootOracleTest,
                             public testing::WithParamInterface<KeyCase> {};

TEST_P(KeyFromTemplatesTest, PassesFsckTakesTheFilesAndBoots) {
  const KeyCase& c = GetParam();
  const KeyImage key = WriteKeyImage(m_scratch / "key.img", c.templateSet, c.megabytes);
  ExpectFindings(FsckFindings(key, m_scratch), c.knownFindings);

  CopySystemFiles(key);
  SetLabel(key, c.label);
  ExpectFindings(FsckFindings(key, m_scratch), c.knownFindings);

  const CommandResult boot = BootCheck(key);
  ExpectFullReport(boot, key, StoredGeometry(c.templateSet));
  EXPECT_NE(boot.output.find(std::string("Volume label: ") + c.label + "\n"), std::string::npos)
      << boot.output;
}

INSTANTIATE_TEST_SUITE_P(
    BothSets, KeyFromTemplatesTest,
    testing::Values(
        KeyCase{"Set1Fat16", 1, 128, "STELVKEY", {kDirtyBit, kAutomaticallyRemoving}},
        KeyCase{"Set1Fat12", 1, 16, "SMALL", {kDirtyBit, kAutomaticallyRemoving, kClusterTwo}},
        KeyCase{"Set2Fat16", 2, 17, "BOOT KEY", {}},
        KeyCase{"Set2Fat12", 2, 16, "AREA", {kClusterTwo}}),
    [](const auto& info) { return std::string(info.param.name); });

void ExpectNonSystemDisk(const CommandResult& boot) {
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
  EXPECT_NE(boot.output.find("Replace and press any key when ready"), std::string::npos)
      << boot.output;
  EXPECT_EQ(boot.output.find(kBanner), std::string::npos) << boot.output;
}

TEST_F(BootOracleTest, BootSectorRefusesIbmdosAsTheFirstEntry) {
  const KeyImage key = WriteKeyImage(m_scratch / "key.img", 2, 17);
  CopySystemFiles(key, {1, 0, 2});
  ExpectNonSystemDisk(BootCheckScreen(key, "Non-System disk or disk error"));
}

TEST_F(BootOracleTest, BootSectorRefusesALabelWrittenBeforeTheFiles) {
  // A layout written with a label puts the label entry first; the files then follow it.
  const KeyImage key = WriteKeyImage(m_scratch / "key.img", 1, 128, "FIRST");
  CopySystemFiles(key);
  ExpectNonSystemDisk(BootCheckScreen(key, "Non-System disk or disk error"));
}

// The stored start CHS bytes are not used: they point at sector 1, which is blank. An LBA type
// is read by extended read (the shim sees no CHS read of the partition), the others by a CHS
// read computed from the first-sector field.
TEST_F(BootOracleTest, Mbr32ReadsLbaPartitionTypesByExtendedRead) {
  const KeyImage key = BootableKey(2, 17);
  Sector mbr = ReadSector(key.path, 0);
  const auto chs = EncodeChs(0, 2, 0);
  std::ranges::copy(chs, mbr.begin() + mbr_offset::kEntry1 + partition_entry::kStartChs);
  char root[64], partition[64];
  std::snprintf(root, sizeof root, "--- COM1 ---\nshim: AH=08\nshim: read %08X", key.rootSector);
  std::snprintf(partition, sizeof partition, "--- COM1 ---\nshim: AH=08\nshim: read %08X",
                key.partitionStart);
  for (const std::uint8_t type : {std::uint8_t{0x0E}, kPartitionTypeFat16}) {
    SCOPED_TRACE(type);
    mbr[mbr_offset::kEntry1Type] = type;
    WriteSector(key.path, 0, mbr);
    const CommandResult boot = BootThroughShim(key, true, 64, 32);
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_NE(boot.output.find(type == 0x0E ? root : partition), std::string::npos) << boot.output;
  }
}

TEST_F(BootOracleTest, Mbr32RejectsASecondActiveEntry) {
  const KeyImage key = BootableKey(2, 17);
  PatchMbr(key, mbr_offset::kPartitionTable + mbr_offset::kPartitionEntrySize, kActivePartition);
  const CommandResult boot = BootCheckScreen(key, "Invalid partition table");
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
}

TEST_F(BootOracleTest, Mbr32RejectsAStatusByteThatIsNeitherActiveNorZero) {
  const KeyImage key = BootableKey(2, 17);
  PatchMbr(key, mbr_offset::kPartitionTable + mbr_offset::kPartitionEntrySize, 0x01);
  const CommandResult boot = BootCheckScreen(key, "Invalid partition table");
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
}

// Without an active entry both master boot records give the BIOS back the boot (INT 18h);
// with no other device to try, it says so.
TEST_F(BootOracleTest, NoActiveEntryHandsTheBootBackToTheBios) {
  for (const int set : {1, 2}) {
    SCOPED_TRACE(set == 1 ? "set 1" : "set 2");
    const KeyImage key = BootableKey(set, set == 1 ? 128 : 17);
    PatchMbr(key, mbr_offset::kPartitionTable + partition_entry::kStatus, 0);
    const CommandResult boot = BootCheckScreen(key, "No bootable device");
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
  }
}

TEST_F(BootOracleTest, Mbr63ReportsABootSectorWithoutSignature) {
  const KeyImage key = BootableKey(1, 128);
  Sector boot = ReadSector(key.path, set1_sector::kPartitionStart);
  boot[boot_sector_offset::kSignature] = 0;
  WriteSector(key.path, set1_sector::kPartitionStart, boot);
  const CommandResult run = BootCheckScreen(key, "Missing operating system");
  EXPECT_EQ(run.exitCode, 0) << run.output;
}

TEST_F(BootOracleTest, Mbr63TakesDriveZeroOnlyWhenItCarriesTheMark) {
  const KeyImage key = BootableKey(1, 128);
  const fs::path floppy = m_scratch / "floppy.img";
  { std::ofstream create(floppy, std::ios::binary); }
  fs::resize_file(floppy, 1474560);

  // An unmarked drive 0 is passed over: the key boots from drive 0x80.
  const CommandResult unmarked = BootCheck(key, "--floppy " + Quote(floppy.string()));
  EXPECT_EQ(unmarked.exitCode, 0) << unmarked.output;

  // A marked one is taken; its sector at head 1, sector 1 is blank.
  Sector first{};
  first[0x1BC] = 'U';
  first[0x1BD] = 'S';
  WriteSector(floppy, 0, first);
  const CommandResult marked =
      BootCheckScreen(key, "Missing operating system", "--floppy " + Quote(floppy.string()));
  EXPECT_EQ(marked.exitCode, 0) << marked.output;
}

// The placeholder only reports once it has loaded the rest of itself by the data area handed
// over in AX:BX; a boot program that hands over another sector is caught.
TEST_F(BootOracleTest, PlaceholderRefusesAWrongDataAreaInAxBx) {
  for (int templateSet : {1, 2}) {
    SCOPED_TRACE("template set " + std::to_string(templateSet));
    const KeyImage key = BootableKey(templateSet, templateSet == 1 ? 128 : 17);
    // The boot program's "mov bx, [bp-8]" (data area, low word) becomes "mov bx, [bp-4]"
    // (the volume's end), as a boot sector computing the wrong sector would hand over.
    Sector boot = ReadSector(key.path, key.partitionStart);
    const std::array<unsigned char, 3> loadData = {0x8B, 0x5E, 0xF8};
    const auto at = std::search(boot.begin() + 0x3E, boot.begin() + 0x19E, loadData.begin(),
                                loadData.end());
    ASSERT_NE(at, boot.begin() + 0x19E);
    at[2] = 0xFC;
    WriteSector(key.path, key.partitionStart, boot);
    const CommandResult run = BootCheck(key, "--expect " + Quote("the BPB puts the data area"));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(std::string(kFailed) + "wrong DOS hand-over"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find(kBanner), std::string::npos) << run.output;
  }
}

// IBMBIO.COM's first cluster is chained to itself: the loader, following the chain, finds a
// sector out of place instead of its report.
TEST_F(BootOracleTest, PlaceholderFollowsTheClusterChain) {
  const KeyImage key = BootableKey(2, 17);  // FAT16
  Sector boot = ReadSector(key.path, key.partitionStart);
  const std::uint32_t fat = key.partitionStart + (boot[0x0E] | (boot[0x0F] << 8));
  Sector first = ReadSector(key.path, fat);
  ASSERT_EQ(first[4] | (first[5] << 8), 3) << "IBMBIO.COM no longer starts at cluster 2";
  first[4] = 2;
  WriteSector(key.path, fat, first);
  const CommandResult run = BootCheck(key, "--expect " + Quote(kFailed));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("sector out of place"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(kBanner), std::string::npos) << run.output;
}

struct GeometryCase {
  const char* name;
  int templateSet;
  std::uint32_t megabytes;
  const char* options;
  const char* geometry;  // what the BIOS gives, as reported
};

void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

class BiosGeometryTest : public BootOracleTest,
                         public testing::WithParamInterface<GeometryCase> {};

TEST_P(BiosGeometryTest, BootsThroughTheWholePlaceholder) {
  const GeometryCase& c = GetParam();
  const KeyImage key = BootableKey(c.templateSet, c.megabytes);
  ExpectFullReport(BootCheck(key, c.options), key, c.geometry);
}

INSTANTIATE_TEST_SUITE_P(
    HardDiskAndUsb, BiosGeometryTest,
    testing::Values(
        GeometryCase{"Set1As255x63", 1, 128, "--geometry 255,63", "255 heads, 63 sectors"},
        GeometryCase{"Set1As16x63", 1, 128, "--geometry 16,63", "16 heads, 63 sectors"},
        GeometryCase{"Set1As64x32", 1, 128, "--geometry 64,32", "64 heads, 32 sectors"},
        GeometryCase{"Set1AsUsbStickOnEhci", 1, 256, "--usb=ehci", "16 heads, 63 sectors"},
        GeometryCase{"Set2As255x63", 2, 17, "--geometry 255,63", "255 heads, 63 sectors"},
        GeometryCase{"Set2As16x63", 2, 128, "--geometry 16,63", "16 heads, 63 sectors"},
        GeometryCase{"Set2AsQemusOwn", 2, 1024, "--geometry default", "32 heads, 63 sectors"},
        GeometryCase{"Set2AsUsbStickOnXhci", 2, 128, "--usb=xhci", "16 heads, 63 sectors"}),
    [](const auto& info) { return std::string(info.param.name); });

// The register-level view: a BIOS of the test's own in front of qemu's (tests/boot/bios_shim.asm)
// answers INT 13h AH=08 as told, translates every cylinder/head/sector read into a logical
// sector in that geometry and logs it. The MBR must ask for the geometry and read the
// partition's first sector, the boot sector ask again and read the root directory and then
// IBMBIO.COM's first three sectors; the placeholder then loads the rest in the handed-over
// geometry. When AH=08 fails, the programs must fall back to the geometry stored in the layout.
struct QueryCase {
  const char* name;
  int templateSet;
  bool answers;
  std::uint8_t heads, sectors;  // answered, or else the stored geometry the shim translates by
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

class GeometryQueryTest : public BootOracleTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(GeometryQueryTest, ReadsTheRightSectorsInTheAnsweredGeometry) {
  const QueryCase& c = GetParam();
  const KeyImage key = BootableKey(c.templateSet, c.templateSet == 1 ? 128 : 17);
  const CommandResult boot = BootThroughShim(key, c.answers, c.heads, c.sectors);
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
  char expected[256];
  const std::uint32_t data = key.rootSector + 32;  // 512 root entries
  std::snprintf(expected, sizeof expected,
                "shim: AH=08\nshim: read %08X 01\nshim: AH=08\nshim: read %08X 01\n"
                "shim: read %08X 01\nshim: read %08X 01\nshim: read %08X 01\n",
                key.partitionStart, key.rootSector, data, data + 1, data + 2);
  EXPECT_NE(boot.output.find(std::string("--- COM1 ---\n") + expected), std::string::npos)
      << expected << boot.output;
  EXPECT_EQ(boot.output.find("shim: bad CHS"), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
  ExpectGeometry(boot, std::to_string(c.heads) + " heads, " + std::to_string(c.sectors) + " sectors");
}

INSTANTIATE_TEST_SUITE_P(
    Int13Function08, GeometryQueryTest,
    testing::Values(QueryCase{"Set1Answered255x63", 1, true, 255, 63},
                    QueryCase{"Set2Answered255x63", 2, true, 255, 63},
                    QueryCase{"Set1Answered64x32", 1, true, 64, 32},
                    QueryCase{"Set2Answered64x32", 2, true, 64, 32},
                    QueryCase{"Set1Failed", 1, false, 32, 63},
                    QueryCase{"Set2Failed", 2, false, 64, 32}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
