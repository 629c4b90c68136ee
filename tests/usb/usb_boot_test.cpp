// Keys made bootable by stelvarion-boot, booted by qemu's BIOS from the emulated key itself
// (scripts/boot-check --usb-key serves the image with stelvarion-usb-key through usb-redir), as
// qemu's own USB stick, and as a hard disk under several BIOS geometries. SeaBIOS gives a USB
// stick 63 sectors per track whatever the layout was written for; every model must start
// all the same, its boot programs working in the geometry the BIOS reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
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

struct KeyModel {
  const char* name;
  const char* model;
  const char* capacity;
};

struct Boot {
  const char* name;
  const char* options;   // to boot-check
  const char* geometry;  // forced on the BIOS, as reported; empty where the BIOS chooses
};

void PrintTo(const KeyModel& k, std::ostream* os) { *os << k.name; }
void PrintTo(const Boot& b, std::ostream* os) { *os << b.name; }

class KeyBootTest : public testing::TestWithParam<std::tuple<KeyModel, Boot>> {
 protected:
  void SetUp() override {
    for (const char* tool : {STELVARION_FSCK_FAT, STELVARION_QEMU, STELVARION_BOOT_EXE, STELVARION_USB_KEY_EXE}) {
      ASSERT_TRUE(test_support::ToolAvailable(tool))
          << tool << " is missing (Debian packages dosfstools, qemu-system-x86; or the build)";
    }
    const auto& [key, boot] = GetParam();
    m_scratch = fs::temp_directory_path() / ("stelvarion-usb-boot-" + std::string(key.name) + "-" +
                                             boot.name + "-" + std::to_string(getpid()));
    fs::create_directories(m_scratch);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_scratch);
  }
  fs::path m_scratch;
};

TEST_P(KeyBootTest, StartsThePlaceholderInTheBiosGeometry) {
  const auto& [key, how] = GetParam();
  const std::string image = (m_scratch / "key.img").string();
  const std::string keyOptions = std::string(" --model ") + Quote(key.model) + " --capacity " + key.capacity;
  const CommandResult made =
      RunCommand(Quote(STELVARION_BOOT_EXE) + " --image " + Quote(image) + keyOptions + " --label USBKEY --yes");
  ASSERT_EQ(made.exitCode, 0) << made.output;

  const bool usbKey = std::string(how.options).starts_with("--usb-key");
  const CommandResult boot = RunCommand("STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY_EXE) + " " +
                                        Quote(STELVARION_BOOT_CHECK) + " " + how.options +
                                        (usbKey ? keyOptions : "") + " " + Quote(image));
  if (usbKey) {
    EXPECT_NE(boot.output.find("served by stelvarion-usb-key through usb-redir"), std::string::npos) << boot.output;
  }
  EXPECT_EQ(boot.exitCode, 0) << boot.output;
  EXPECT_NE(boot.output.find(kBanner), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find("Volume label: USBKEY\n"), std::string::npos) << boot.output;
  const std::string handOver = test_support::DosHandOverLine(image, image_tools::FirstPartition(image).firstSector);
  ASSERT_FALSE(handOver.empty());
  EXPECT_NE(boot.output.find(handOver + "\n"), std::string::npos) << handOver << "\n" << boot.output;
  const std::string geometry = "Geometry handed over: " + std::string(how.geometry);
  EXPECT_NE(boot.output.find(geometry), std::string::npos) << geometry << "\n" << boot.output;

  // What the BIOS did through the key left the volume whole.
  const image_tools::Partition partition = image_tools::FirstPartition(image);
  const fs::path volume = m_scratch / "volume.img";
  image_tools::CopyPartition(image, partition, volume);
  EXPECT_EQ(image_tools::FsckFindings(STELVARION_FSCK_FAT, volume), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    EveryModel, KeyBootTest,
    testing::Combine(
        testing::Values(KeyModel{"ZarnoP9", "KV 2 Zarno P9", "1024"},
                        KeyModel{"ZarnoP3", "KV 2 Zarno P3", "256"},
                        KeyModel{"VarnokKey", "Varnok Key", "256"},
                        KeyModel{"VarnokKey16", "Varnok Key", "16"}),
        testing::Values(Boot{"KeyOnXhci", "--usb-key", ""},
                        Boot{"KeyOnEhci", "--usb-key --usb=ehci", ""},
                        Boot{"StickOnXhci", "--usb=xhci", ""},
                        Boot{"StickOnEhci", "--usb=ehci", ""},
                        Boot{"QemusGeometry", "--geometry default", ""},
                        Boot{"As255x63", "--geometry 255,63", "255 heads, 63 sectors"},
                        Boot{"As16x63", "--geometry 16,63", "16 heads, 63 sectors"},
                        Boot{"As64x32", "--geometry 64,32", "64 heads, 32 sectors"})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

}  // namespace
