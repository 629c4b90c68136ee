// The key a successful Start leaves behind, judged by tools that share nothing with the
// program: fsck.fat on the partition, mtools for the attributes, the directory, the label and
// the files' bytes, the root directory read here from the raw image, and a qemu boot through
// the key's own boot programs to the placeholder IBMBIO.COM, which reports what it found.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/boot_report.h"
#include "app/system_files.h"
#include "boot/boot_images.h"
#include "tests/app/app_fixture.h"
#include "tests/app/image_tools.h"
#include "host/byte_order.h"

namespace app_test {
namespace {

namespace fs = std::filesystem;
using image_tools::Quote;
using image_tools::RunCommand;

constexpr char kBanner[] = "Stelvarion boot check: the key started.";
// The placeholder IBMBIO.COM's last report: boot-check waits for it, since it stops reading the
// serial port as soon as the text it waits for has come.
constexpr char kSystemFilesLine[] = "System files: IBMBIO.COM, IBMDOS.COM, COMMAND.COM";

std::uint32_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) { return GetLittleEndian16(b.data() + at); }

std::string Text(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), n);
}

class KeyImageTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    for (const char* tool : {STELVARION_FSCK_FAT, STELVARION_MDIR, STELVARION_MATTRIB, STELVARION_MLABEL,
                             STELVARION_MCOPY, STELVARION_QEMU}) {
      ASSERT_TRUE(image_tools::ToolAvailable(tool))
          << tool << " is missing (Debian packages dosfstools, mtools, qemu-system-x86)";
    }
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    m_scratch = image_tools::ScratchFolder(STELVARION_APP_TEST_TEMP_DIR,
                                           std::string(test->test_suite_name()) + "." + test->name());
    m_image = m_scratch / "key.img";
    m_volume = m_scratch / "volume.img";
    // Real DOS files report nothing on the serial port; the placeholders stand in for them then.
    if (!SystemFilesArePlaceholders()) {
      int id = 150;
      for (const char* path : {STELVARION_PLACEHOLDER_SYSTEM_FILES}) {
        std::ifstream in(path, std::ios::binary);
        host.resources[id++].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
  }

  void TearDown() override {
    host.Detach('E');
    AppTest::TearDown();
    if (!HasFailure()) fs::remove_all(m_scratch);
  }

  void AttachFileKey(const char* model, std::uint32_t capacityMb, bool administrator, const char* revision = nullptr) {
    emulated::KeyConfig config;
    config.model = model;
    config.capacityMb = capacityMb;
    if (revision != nullptr) config.revision = revision;
    config.imagePath = m_image.string();
    host.AttachKey('E', config, 0);
    host.administrator = administrator;
  }

  // Closes the key's image and copies its partition out for the tools.
  void UnplugAndCopyPartition() {
    host.Detach('E');
    m_partition = image_tools::FirstPartition(m_image);
    ASSERT_GT(m_partition.sectorCount, 0u);
    image_tools::CopyPartition(m_image, m_partition, m_volume);
  }

  image_tools::CommandResult Mtools(const char* tool, const std::string& arguments) {
    return RunCommand(Quote(tool) + " -i " + Quote(m_volume.string()) + " " + arguments);
  }

  // The attribute letters mattrib shows for a file of the root.
  std::set<char> Attributes(const std::string& name) {
    const image_tools::CommandResult run = Mtools(STELVARION_MATTRIB, Quote("::/" + name));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::size_t path = run.output.find("::/");
    std::set<char> letters;
    for (char c : run.output.substr(0, path)) {
      if (c != ' ') letters.insert(c);
    }
    return letters;
  }

  // The first 128 bytes of the root directory, found from the boot sector's own fields.
  std::vector<std::uint8_t> RootSlots() {
    const std::uint64_t first = m_partition.firstSector;
    const std::vector<std::uint8_t> boot = image_tools::ReadBytes(m_image, first * 512, 512);
    const std::uint64_t root = first + Le16(boot, 0x0E) + std::uint64_t{boot[0x10]} * Le16(boot, 0x16);
    return image_tools::ReadBytes(m_image, root * 512, 128);
  }

  void ExpectFilesAsResources() {
    const char* names[] = {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM"};
    for (int i = 0; i < 3; ++i) {
      const fs::path out = m_scratch / names[i];
      const image_tools::CommandResult copy = Mtools(STELVARION_MCOPY, "-n " + Quote(std::string("::/") + names[i]) +
                                                                           " " + Quote(out.string()));
      ASSERT_EQ(copy.exitCode, 0) << copy.output;
      std::ifstream in(out, std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      EXPECT_TRUE(bytes == host.resources[150 + i]) << names[i] << " differs from its resource";
    }
  }

  image_tools::CommandResult BootCheck() {
    return RunCommand("QEMU=" + Quote(STELVARION_QEMU) + " bash " + Quote(STELVARION_BOOT_CHECK) + " --expect " +
                      Quote(kSystemFilesLine) + " " + Quote(m_image.string()));
  }

  fs::path m_scratch;
  fs::path m_image;
  fs::path m_volume;
  image_tools::Partition m_partition;
};

struct ImageCase {
  const char* name;
  const char* model;
  std::uint32_t capacityMb;
  bool administrator;
  const char* label;
  std::uint32_t partitionStart;
  const char* revision = nullptr;  // none: the emulated key's own
  bool labelRefused = false;       // the system refuses to rename the volume
  // The label as the root entry holds it: the system's call writes upper case, the entry by
  // sector the text as typed.
  const char* storedLabel = nullptr;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.name; }

class BootableImageTest : public KeyImageTest, public testing::WithParamInterface<ImageCase> {};

TEST_P(BootableImageTest, ToolsFindAValidBootableVolume) {
  const ImageCase& c = GetParam();
  AttachFileKey(c.model, c.capacityMb, c.administrator, c.revision);
  host.faults.labelRefused = c.labelRefused;
  PressStart(c.label);
  ASSERT_EQ(host.messageBoxes.back().text, shown::kSuccessful);
  ASSERT_NO_FATAL_FAILURE(UnplugAndCopyPartition());
  EXPECT_EQ(m_partition.firstSector, c.partitionStart);

  std::vector<std::string> findings;
  if (c.labelRefused) {
    // Only the system's call copies the label into the boot sector too; the entry by sector
    // names the volume in the root directory alone, which fsck.fat would mend and DOS ignores.
    findings = {"There is no label in boot sector, but there is volume label '" + std::string(c.label) +
                    "' stored in root directory",
                "  Auto-copying volume label from root directory to boot sector.", "Leaving filesystem unchanged."};
  } else if (c.storedLabel != nullptr) {
    // The label is used as typed; the system has put it in the boot sector in upper case.
    std::string upper = c.label;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    findings = {"Volume label '" + std::string(c.label) + "' stored in root directory and label '" + upper +
                    "' stored in boot sector and different.",
                "  Auto-copying volume label from root directory to boot sector.", "Leaving filesystem unchanged."};
  }
  EXPECT_EQ(image_tools::FsckFindings(STELVARION_FSCK_FAT, m_volume), findings);

  EXPECT_EQ(Attributes("IBMBIO.COM"), (std::set<char>{'S', 'H'}));
  EXPECT_EQ(Attributes("IBMDOS.COM"), (std::set<char>{'S', 'H'}));
  EXPECT_EQ(Attributes("COMMAND.COM"), (std::set<char>{'R', 'H'}));

  // mdir -a lists the hidden files in directory order under the label.
  const image_tools::CommandResult dir = Mtools(STELVARION_MDIR, "-a ::");
  ASSERT_EQ(dir.exitCode, 0) << dir.output;
  const std::string stored = c.storedLabel != nullptr ? c.storedLabel : c.label;
  EXPECT_NE(dir.output.find("Volume in drive : is " + stored), std::string::npos) << dir.output;
  const std::size_t bio = dir.output.find("IBMBIO   COM");
  const std::size_t dos = dir.output.find("IBMDOS   COM");
  const std::size_t command = dir.output.find("COMMAND  COM");
  EXPECT_TRUE(bio != std::string::npos && bio < dos && dos < command && command != std::string::npos) << dir.output;

  const image_tools::CommandResult label = Mtools(STELVARION_MLABEL, "-s ::");
  EXPECT_NE(label.output.find("Volume label is " + stored), std::string::npos) << label.output;

  // The root directory as written: the three files, then the label with IBMBIO.COM's time.
  const std::vector<std::uint8_t> root = RootSlots();
  EXPECT_EQ(Text(root, 0, 11), "IBMBIO  COM");
  EXPECT_EQ(Text(root, 32, 11), "IBMDOS  COM");
  EXPECT_EQ(Text(root, 64, 11), "COMMAND COM");
  std::string padded = stored;
  padded.resize(11, ' ');
  EXPECT_EQ(Text(root, 96, 11), padded);
  EXPECT_EQ(root[96 + 11], 0x08);
  EXPECT_EQ(std::vector<std::uint8_t>(root.begin() + 22, root.begin() + 26),
            std::vector<std::uint8_t>(root.begin() + 96 + 22, root.begin() + 96 + 26));

  ExpectFilesAsResources();

  const image_tools::CommandResult boot = BootCheck();
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
  EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find("Volume label: " + stored + "\n"), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find(kSystemFilesLine), std::string::npos) << boot.output;
  const std::string handOver = test_support::DosHandOverLine(m_image.string(), m_partition.firstSector);
  EXPECT_FALSE(handOver.empty());
  EXPECT_NE(boot.output.find(handOver + "\n"), std::string::npos) << handOver << "\n" << boot.output;
}

INSTANTIATE_TEST_SUITE_P(
    EveryModel, BootableImageTest,
    testing::Values(ImageCase{"P9Fat16Administrator", kP9, 1024, true, "BOOT KEY 11", 63},
                    ImageCase{"P9Fat12OrdinaryUser", kP9, 16, false, "SMALL", 63},
                    ImageCase{"P3Fat16OrdinaryUser", kP3, 1024, false, "AREA KEY", 32},
                    ImageCase{"P3Fat12Administrator", kP3, 16, true, "A1", 32},
                    ImageCase{"VarnokFat16Administrator", kVarnok, 1024, true, "VARNOK", 32},
                    // 2048 sectors to the megabyte: more clusters than 250 FAT sectors map.
                    ImageCase{"P9OneGigabyteOn260Administrator", kP9, 1024, true, "GB260", 63, "2.60"},
                    ImageCase{"P9OneGigabyteOn260OrdinaryUser", kP9, 1024, false, "GB260", 63, "2.60"},
                    ImageCase{"P9OneGigabyteOn261Administrator", kP9, 1024, true, "GB261", 63, "2.61"},
                    ImageCase{"P9OneGigabyteOn261OrdinaryUser", kP9, 1024, false, "GB261", 63, "2.61"},
                    // Renaming refused: only the entry by sector names the volume.
                    ImageCase{"P9LabelRefusedBySystem", kP9, 128, false, "REFUSED", 63, nullptr, true},
                    ImageCase{"P3LowerCaseLabelRefusedBySystem", kP3, 64, false, "Key one", 32, nullptr, true},
                    // The system writes "MIXED CASE"; the entry by sector rewrites it as typed.
                    ImageCase{"P9LowerCaseLabel", kP9, 128, true, "Mixed Case", 63, nullptr, false, "Mixed Case"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeyImageTest, SecondCopyReplacesHiddenAndReadOnlyFiles) {
  AttachFileKey(kP3, 64, true);
  PressStart("TWICE");
  ASSERT_EQ(host.messageBoxes.back().text, shown::kSuccessful);
  // New images of a different length for two of the files.
  host.resources[151].assign(3000, 0x5A);
  host.resources[152].resize(host.resources[152].size() / 2);
  ASSERT_EQ(CopySystemFiles(), kResultSuccess);
  ASSERT_NO_FATAL_FAILURE(UnplugAndCopyPartition());
  EXPECT_EQ(image_tools::FsckFindings(STELVARION_FSCK_FAT, m_volume), std::vector<std::string>{});
  ExpectFilesAsResources();
  EXPECT_EQ(Attributes("IBMDOS.COM"), (std::set<char>{'S', 'H'}));
  EXPECT_EQ(Attributes("COMMAND.COM"), (std::set<char>{'R', 'H'}));
  const std::vector<std::uint8_t> root = RootSlots();
  EXPECT_EQ(Text(root, 96, 11), "TWICE      ") << "the label entry stays in its slot";
}

// "\xE5" is "a with ring" in code page 1252, and a first name byte 0xE5 marks a deleted entry:
// the label must be stored with 0x05 there, or no reader finds it.
TEST_F(KeyImageTest, LabelBeginningWithE5IsStoredWith05AndRead) {
  const std::string typed = "\xE5LAND 7";
  AttachFileKey(kP9, 128, true);
  PressStart(typed.c_str());
  ASSERT_EQ(host.messageBoxes.back().text, shown::kSuccessful);
  ASSERT_NO_FATAL_FAILURE(UnplugAndCopyPartition());
  const std::vector<std::uint8_t> root = RootSlots();
  EXPECT_EQ(Text(root, 96, 11), "\x05LAND 7    ");
  EXPECT_EQ(root[96 + 11], 0x08);
  EXPECT_EQ(image_tools::WithoutHighByteLabelReport(image_tools::FsckFindings(STELVARION_FSCK_FAT, m_volume), typed),
            std::vector<std::string>{});
  // mtools in code page 1252, printing UTF-8.
  const fs::path rc = m_scratch / "mtoolsrc";
  std::ofstream(rc) << "DEFAULT_CODEPAGE=1252\n";
  const std::string env = "LC_ALL=C.UTF-8 MTOOLSRC=" + Quote(rc.string()) + " ";
  const image_tools::CommandResult label =
      RunCommand(env + Quote(STELVARION_MLABEL) + " -s -i " + Quote(m_volume.string()) + " ::");
  EXPECT_NE(label.output.find("Volume label is \u00E5LAND 7"), std::string::npos) << label.output;
  const image_tools::CommandResult dir = RunCommand(env + Quote(STELVARION_MDIR) + " -a -i " + Quote(m_volume.string()) + " ::");
  EXPECT_NE(dir.output.find("Volume in drive : is \u00E5LAND 7"), std::string::npos) << dir.output;
  EXPECT_NE(dir.output.find("COMMAND  COM"), std::string::npos) << dir.output;
}

}  // namespace
}  // namespace app_test
