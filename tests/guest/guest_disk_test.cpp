// scripts/guest-run with plain qemu usb-storage disks: what the guest's kernel reads and writes
// is what the images hold, COMMAND's streams and exit status come back unchanged, and every way
// out (done, timed out, interrupted, qemu not starting) ends with nothing left running.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/guest/guest_run.h"
#include "tests/support/shell_command.h"

namespace guest_test {
namespace {

constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kSmallDiskBytes = 8 << 20;   // 16384 sectors
constexpr std::size_t kLargeDiskBytes = 16 << 20;  // 32768 sectors
// What the guest writes into sector 1 of the large disk.
constexpr char kWrittenText[] = "written by the guest kernel";

// Two disks on EHCI and one boot: the guest prints the first sector of each (found by its size,
// since the kernel may name them in either order) raw on standard output, then the controller,
// writes sector 1 of the large one, says something on standard error and exits with 7.
class GuestDiskTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_scratch = new fs::path(ScratchFolder());
    s_small = new std::string(WriteRandomImage(*s_scratch / "small.img", kSmallDiskBytes));
    s_large = new std::string(WriteRandomImage(*s_scratch / "large.img", kLargeDiskBytes, 2));
    const std::string script =
        "first() { for d in /sys/block/sd*; do [ \"$(cat $d/size)\" = $1 ] && "
        "dd if=/dev/${d##*/} bs=512 count=1 2>/dev/null; done; }\n"
        "first 16384; first 32768\n"
        "ls /sys/bus/pci/drivers/ehci-pci | grep -q '^0000:' && echo 'on EHCI'\n"
        "for d in /sys/block/sd*; do [ \"$(cat $d/size)\" = 32768 ] && "
        "printf '" + std::string(kWrittenText) + "' | dd of=/dev/${d##*/} bs=512 seek=1 conv=sync,fsync 2>/dev/null; done\n"
        "printf 'said on standard error' >&2\n"
        "exit 7\n";
    // The keys' tests use the default xHCI controller; these disks sit on the other one.
    s_result = new GuestResult(GuestRun({"--controller", "ehci", "--usb-disk", (*s_scratch / "small.img").string(),
                                         "--usb-disk", (*s_scratch / "large.img").string()},
                                        {"sh", "-c", script}));
  }

  static void TearDownTestSuite() {
    fs::remove_all(*s_scratch);
    delete s_scratch;
    delete s_small;
    delete s_large;
    delete s_result;
  }

  static fs::path* s_scratch;
  static std::string* s_small;
  static std::string* s_large;
  static GuestResult* s_result;
};

fs::path* GuestDiskTest::s_scratch = nullptr;
std::string* GuestDiskTest::s_small = nullptr;
std::string* GuestDiskTest::s_large = nullptr;
GuestResult* GuestDiskTest::s_result = nullptr;

TEST_F(GuestDiskTest, TheKernelReadsEachDisksFirstSectorAsTheImageHoldsIt) {
  ASSERT_EQ(s_result->out.size(), 2 * kSectorSize + 8) << s_result->err;
  EXPECT_EQ(s_result->out.substr(2 * kSectorSize), "on EHCI\n");
  EXPECT_TRUE(s_result->out.substr(0, kSectorSize) == s_small->substr(0, kSectorSize))
      << "the small disk's first sector differs";
  EXPECT_TRUE(s_result->out.substr(kSectorSize, kSectorSize) == s_large->substr(0, kSectorSize))
      << "the large disk's first sector differs";
}

TEST_F(GuestDiskTest, AWriteInTheGuestLandsInTheImage) {
  std::string expected(kWrittenText);
  expected.resize(kSectorSize, '\0');
  EXPECT_EQ(ReadBytes(*s_scratch / "large.img", kSectorSize, kSectorSize), expected);
  // Nothing else moved: sector 0 of the same disk and the other disk stay as written.
  EXPECT_TRUE(ReadBytes(*s_scratch / "large.img", 0, kSectorSize) == s_large->substr(0, kSectorSize));
  EXPECT_TRUE(ReadBytes(*s_scratch / "small.img", 0, kSectorSize) == *s_small);
}

TEST_F(GuestDiskTest, ExitStatusAndStandardErrorPassThrough) {
  EXPECT_EQ(s_result->exitCode, 7) << s_result->err;
  EXPECT_EQ(s_result->err, "said on standard error");
}

class GuestRunEndTest : public testing::Test {
 protected:
  void SetUp() override {
    m_scratch = ScratchFolder();
    m_disk = m_scratch / "disk.img";
    WriteRandomImage(m_disk, kSmallDiskBytes);
    m_key = m_scratch / "key.img";
  }
  void TearDown() override { fs::remove_all(m_scratch); }

  // qemu names the disk, stelvarion-usb-key the key's image.
  void ExpectNothingLeft() {
    for (const fs::path& image : {m_disk, m_key}) {
      for (const std::string& process : ProcessesMentioning(image.string())) {
        ADD_FAILURE() << "still running: " << process;
      }
    }
  }

  std::string KeyProgram() const { return "STELVARION_USB_KEY=" + test_support::Quote(STELVARION_USB_KEY); }

  fs::path m_scratch;
  fs::path m_disk;
  fs::path m_key;
};

TEST_F(GuestRunEndTest, TheTimeoutEndsACommandThatDoesNotEndAndAllItStarted) {
  const GuestResult result = GuestRun(
      {"--timeout", "8", "--usb-disk", m_disk.string(), "--key", m_key.string()}, {"sleep", "600"}, KeyProgram());
  EXPECT_EQ(result.exitCode, 124);
  EXPECT_EQ(result.err, "guest-run: COMMAND did not finish within 8 s\n");
  EXPECT_GE(result.seconds, 8.0);
  EXPECT_LT(result.seconds, 14.0);
  ExpectNothingLeft();
}

TEST_F(GuestRunEndTest, AnInterruptedRunTakesTheGuestAndTheKeyWithIt) {
  const test_support::CommandResult run = test_support::RunCommand(
      "STELVARION_GUEST_DIR=" + test_support::Quote(STELVARION_GUEST_DIR) + " " + KeyProgram() + " bash " +
      test_support::Quote(STELVARION_GUEST_RUN) + " --usb-disk " + test_support::Quote(m_disk.string()) +
      " --key " + test_support::Quote(m_key.string()) + " -- sleep 600 & pid=$!; sleep 4; kill -TERM $pid; "
      "wait $pid; echo \"status $?\"");
  EXPECT_NE(run.output.find("status 143"), std::string::npos) << run.output;
  ExpectNothingLeft();
}

// A guest test must never pass because the guest did not run: each way qemu can fail to start
// is one clear line and status 125.
TEST_F(GuestRunEndTest, QemuThatCannotStartIsOneClearLine) {
  const fs::path failing = m_scratch / "failing-qemu";
  std::ofstream(failing) << "#!/bin/sh\necho 'failing-qemu: no such machine' >&2\nexit 1\n";
  fs::permissions(failing, fs::perms::owner_all);
  struct Case {
    std::string qemu;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"/nonexistent/qemu-system-x86_64",
       "guest-run: /nonexistent/qemu-system-x86_64 not found; install it (Debian package qemu-system-x86)\n"},
      {"/bin/false", "guest-run: qemu ended without starting the guest\n"},
      {failing.string(), "guest-run: qemu ended without starting the guest: failing-qemu: no such machine\n"},
  };
  for (const Case& c : cases) {
    const GuestResult result =
        GuestRun({"--usb-disk", m_disk.string()}, {"true"}, "QEMU=" + test_support::Quote(c.qemu));
    EXPECT_EQ(result.exitCode, 125) << c.qemu;
    EXPECT_EQ(result.err, c.line) << c.qemu;
    EXPECT_EQ(result.out, "") << c.qemu;
  }
  const GuestResult missing = GuestRun({"--usb-disk", (m_scratch / "none.img").string()}, {"true"});
  EXPECT_EQ(missing.exitCode, 125);
  EXPECT_EQ(missing.err, "guest-run: no disk image at " + (m_scratch / "none.img").string() + "\n");
  ExpectNothingLeft();
}

}  // namespace
}  // namespace guest_test
