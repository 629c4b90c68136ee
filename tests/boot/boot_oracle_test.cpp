// Independent judges of the templates and the boot programs: fsck.fat and mtools check a key
// laid out from the templates, and qemu boots it through the MBR program, the boot-sector
// program and the placeholder IBMBIO.COM, which reports on COM1 what it found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "boot/boot_images.h"
#include "key_image.h"

namespace {

constexpr char kBanner[] = "Stelvarion boot check: the key started.";
constexpr char kSystemFilesLine[] = "System files: IBMBIO.COM, IBMDOS.COM, COMMAND.COM\n";

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
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
  EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find(std::string("Volume label: ") + c.label + "\n"), std::string::npos)
      << boot.output;
  EXPECT_NE(boot.output.find(kSystemFilesLine), std::string::npos) << boot.output;
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

TEST_F(BootOracleTest, Mbr32ReadsLbaPartitionTypesByExtendedRead) {
  const KeyImage key = BootableKey(2, 17);
  // Point the start CHS at sector 1, which is blank: only a read by LBA finds the boot sector.
  Sector mbr = ReadSector(key.path, 0);
  const auto chs = EncodeChs(0, 2, 0);
  std::ranges::copy(chs, mbr.begin() + mbr_offset::kEntry1 + partition_entry::kStartChs);
  mbr[mbr_offset::kEntry1Type] = 0x0E;
  WriteSector(key.path, 0, mbr);
  const CommandResult lba = BootCheck(key);
  EXPECT_EQ(lba.exitCode, 0) << lba.output;

  mbr[mbr_offset::kEntry1Type] = kPartitionTypeFat16;
  WriteSector(key.path, 0, mbr);
  const CommandResult chsRead = BootCheckScreen(key, "Missing operating system");
  EXPECT_EQ(chsRead.exitCode, 0) << chsRead.output;
}

TEST_F(BootOracleTest, Mbr32RejectsASecondActiveEntry) {
  const KeyImage key = BootableKey(2, 17);
  Sector mbr = ReadSector(key.path, 0);
  mbr[mbr_offset::kPartitionTable + mbr_offset::kPartitionEntrySize] = kActivePartition;
  WriteSector(key.path, 0, mbr);
  const CommandResult boot = BootCheckScreen(key, "Invalid partition table");
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
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

}  // namespace
