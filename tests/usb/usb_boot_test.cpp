// Keys made bootable by stelvarion-boot, booted by qemu's BIOS from the emulated key itself:
// scripts/boot-check --usb-key serves the image with stelvarion-usb-key through usb-redir.
// SeaBIOS reads such a stick by LBA and gives it 63 sectors per track (16 to 255 heads by its
// size), so the template set 1 layout starts and the set 2 layout (64 x 32, started by CHS)
// meets its documented limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/app/image_tools.h"
#include "tests/support/boot_report.h"
#include "tests/support/shell_command.h"

namespace {

namespace fs = std::filesystem;
using test_support::CommandResult;
using test_support::Quote;
using test_support::RunCommand;

constexpr char kBanner[] = "Stelvarion boot check: the key started.";

struct UsbBootCase {
  const char* name;
  const char* model;
  const char* capacity;
  bool boots;  // false: the set 2 layout, which this BIOS geometry cannot start
};

void PrintTo(const UsbBootCase& c, std::ostream* os) { *os << c.name; }

class UsbKeyBootTest : public testing::TestWithParam<UsbBootCase> {
 protected:
  void SetUp() override {
    for (const char* tool : {STELVARION_FSCK_FAT, STELVARION_QEMU, STELVARION_BOOT_EXE, STELVARION_USB_KEY_EXE}) {
      ASSERT_TRUE(test_support::ToolAvailable(tool))
          << tool << " is missing (Debian packages dosfstools, qemu-system-x86; or the build)";
    }
    m_scratch = fs::temp_directory_path() /
                ("stelvarion-usb-boot-" + std::string(GetParam().name) + "-" + std::to_string(getpid()));
    fs::create_directories(m_scratch);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_scratch);
  }
  fs::path m_scratch;
};

TEST_P(UsbKeyBootTest, BootsTheKeyItselfThroughUsbRedir) {
  const UsbBootCase& c = GetParam();
  const std::string image = (m_scratch / "key.img").string();
  const std::string keyOptions = std::string(" --model ") + Quote(c.model) + " --capacity " + c.capacity;
  const CommandResult made =
      RunCommand(Quote(STELVARION_BOOT_EXE) + " --image " + Quote(image) + keyOptions + " --label USBKEY --yes");
  ASSERT_EQ(made.exitCode, 0) << made.output;

  const CommandResult boot = RunCommand("STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY_EXE) + " " +
                                        Quote(STELVARION_BOOT_CHECK) + " --usb-key" + keyOptions +
                                        (c.boots ? "" : " --expect-screen " + Quote("Missing operating system")) + " " + Quote(image));
  EXPECT_NE(boot.output.find("served by stelvarion-usb-key through usb-redir"), std::string::npos) << boot.output;
  if (c.boots) {
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
    EXPECT_NE(boot.output.find("Volume label: USBKEY\n"), std::string::npos) << boot.output;
    const std::string handOver = test_support::DosHandOverLine(image, image_tools::FirstPartition(image).firstSector);
    ASSERT_FALSE(handOver.empty());
    EXPECT_NE(boot.output.find(handOver + "\n"), std::string::npos) << handOver << "\n" << boot.output;
  } else {
    // The set 2 programs address the key by CHS for 64 x 32, which this BIOS does not give.
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_EQ(boot.output.find(kBanner), std::string::npos) << boot.output;
  }
  // What the BIOS did through the key left the volume whole.
  const image_tools::Partition partition = image_tools::FirstPartition(image);
  const fs::path volume = m_scratch / "volume.img";
  image_tools::CopyPartition(image, partition, volume);
  EXPECT_EQ(image_tools::FsckFindings(STELVARION_FSCK_FAT, volume), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    EveryModel, UsbKeyBootTest,
    testing::Values(UsbBootCase{"ZarnoP9", "KV 2 Zarno P9", "1024", true},
                    UsbBootCase{"ZarnoP9Small", "KV 2 Zarno P9", "256", true},
                    UsbBootCase{"ZarnoP3", "KV 2 Zarno P3", "1024", false},
                    UsbBootCase{"VarnokKey", "Varnok Key", "1024", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
