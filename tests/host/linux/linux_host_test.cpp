// The Linux host's discovery, mounts, SG_IO mapping, and the library's commands and sectors
// over it, against a fake kernel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "key/emulated_key.h"
#include "media/format_sequence.h"
#include "host/linux/linux_host.h"
#include "tests/host/linux/fake_kernel.h"

namespace {

namespace fs = std::filesystem;
using fake_linux::FakeKernel;

constexpr std::uint64_t kKeySectors = 1024 * 2048;

fs::path Scratch() {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = fs::path(STELVARION_LINUX_TEST_TEMP_DIR) /
                       (std::string(test->test_suite_name()) + "." + test->name() + "." + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

class LinuxDisks : public testing::Test {
 protected:
  void SetUp() override {
    kernel.AddDisk("sda", emulated::MakeFixedDisk(), false, "ATA", "QEMU HARDDISK", 4096);
    kernel.AddDisk("sdb", std::make_unique<emulated::EmulatedKey>(emulated::KeyConfig{}), true, "Varnok",
                   "KV 2 Zarno P9", kKeySectors, {"sdb1"});
    kernel.AddDisk("sdc", emulated::MakeUsbStick(), true, "Generic", "USB Flash Disk", 8192, {"sdc1", "sdc2"});
  }
  fs::path root = Scratch();
  FakeKernel kernel{root};
};

TEST_F(LinuxDisks, OnlyDisksWithAUsbAncestorAreOffered) {
  const auto all = linuxhost::ListDisks(kernel.Paths());
  ASSERT_EQ(all.size(), 3u);
  EXPECT_FALSE(all[0].usb);
  const auto usb = linuxhost::ListUsbDisks(kernel.Paths());
  ASSERT_EQ(usb.size(), 2u);
  EXPECT_EQ(usb[0].name, "sdb");
  EXPECT_EQ(usb[0].vendor, "Varnok");  // the kernel pads the vendor to eight characters
  EXPECT_EQ(usb[0].model, "KV 2 Zarno P9");
  EXPECT_EQ(usb[0].sectors, kKeySectors);
  EXPECT_EQ(usb[0].Describe(), kernel.Node("sdb") + " (Varnok KV 2 Zarno P9, 1024 MB)");
  EXPECT_EQ(usb[1].name, "sdc");
  ASSERT_EQ(usb[1].partitions.size(), 2u);
  EXPECT_EQ(usb[1].partitions[1].name, "sdc2");
}

// A path is taken for the device node it is, by its number: links lead to it, the generic node
// to its block device, and a plain file named like a disk is no disk.
TEST_F(LinuxDisks, APathNamesItsDiskByTheNodesNumber) {
  fs::create_directories(root / "dev/disk/by-id");
  fs::create_symlink(root / "dev/sdc", root / "dev/disk/by-id/usb-Generic_USB_Flash_Disk-0:0");
  fs::create_directories(root / "elsewhere");
  std::ofstream(root / "elsewhere/sdb") << "a text, no disk\n";
  fs::create_symlink(root / "dev/sdb", root / "elsewhere/sdc");  // a link counts for what it names
  const std::string notANode = " is not a device node: give the key's block device (/dev/sdb) or its SCSI generic "
                               "node (/dev/sg2)";
  struct Case {
    std::string path;
    std::string disk;  // empty: refused with this message
    std::string message;
  };
  const Case cases[] = {
      {kernel.Node("sdb"), "sdb", ""},
      {(root / "dev/disk/by-id/usb-Generic_USB_Flash_Disk-0:0").string(), "sdc", ""},
      // The generic node of the key (host 3) leads to its block device, which can be held exclusively.
      {kernel.Node("sg3"), "sdb", ""},
      {(root / "elsewhere/sdc").string(), "sdb", ""},
      {(root / "elsewhere/sdb").string(), "", notANode},
      {(root / "elsewhere").string(), "", notANode},
      {kernel.Node("sdc2"), "", " is a partition of " + kernel.Node("sdc") + ": give the whole disk"},
      {"/dev/null", "", " is not a disk"},
      {(root / "dev/sdz").string(), "", ": No such file or directory"},
  };
  for (const Case& c : cases) {
    linuxhost::Disk disk;
    std::string error;
    const bool found = linuxhost::FindDisk(kernel, kernel.Paths(), c.path, &disk, &error);
    EXPECT_EQ(found, !c.disk.empty()) << c.path;
    EXPECT_EQ(found ? disk.name : error, found ? c.disk : c.path + c.message);
    if (found) {
      EXPECT_EQ(disk.node, kernel.Node(c.disk));
    }
  }
}

TEST_F(LinuxDisks, MountsAreFoundByDeviceNumberWithTheirPointsUnescaped) {
  linuxhost::Disk key;
  std::string error;
  ASSERT_TRUE(linuxhost::FindDisk(kernel, kernel.Paths(), kernel.Node("sdb"), &key, &error));
  EXPECT_TRUE(linuxhost::MountsOf(kernel.Paths(), key).empty());
  kernel.AddMount("8:33", "/media/stick");  // sdc2: another disk's partition
  EXPECT_TRUE(linuxhost::MountsOf(kernel.Paths(), key).empty());
  kernel.AddMount("8:17", "/media/my\\040key");  // sdb1
  const auto mounts = linuxhost::MountsOf(kernel.Paths(), key);
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0], kernel.Node("sdb1") + " on /media/my key");
}

// ---- SG_IO and what its answers mean ------------------------------------------------------

class ScriptedCalls : public linuxhost::DeviceCalls {
 public:
  std::function<int(sg_io_hdr_t&)> answer;
  sg_io_hdr_t sent{};
  int Stat(const std::string&, linuxhost::NodeKind*) override { return -ENOENT; }
  int Open(const std::string&, int) override { return 3; }
  int Close(int) override { return 0; }
  int Ioctl(int, unsigned long request, void* argument) override {
    if (request != SG_IO) return -ENOTTY;
    auto& header = *static_cast<sg_io_hdr_t*>(argument);
    sent = header;
    return answer(header);
  }
  long ReadAt(int, void*, std::size_t, std::uint64_t) override { return -EIO; }
  long WriteAt(int, const void*, std::size_t, std::uint64_t) override { return -EIO; }
  int Flush(int) override { return 0; }
  int WriteAttribute(const std::string&, const std::string&) override { return 0; }
};

TEST(SgTransport, OnlyAnAnswerOfTheDeviceCarriesAStatus) {
  ScriptedCalls calls;
  std::uint8_t cdb[10] = {0xAD, 0x0A, 0x16, 0x9A};
  std::uint8_t data[8] = {};
  std::uint8_t sense[24] = {};
  linuxhost::SgCommand command{cdb, 10, true, data, sizeof data, sense, sizeof sense, 60000};

  calls.answer = [](sg_io_hdr_t&) { return -EPERM; };
  auto outcome = linuxhost::SendSgIo(calls, 3, command);
  EXPECT_FALSE(outcome.delivered);
  EXPECT_EQ(outcome.error, -EPERM);
  EXPECT_EQ(calls.sent.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(calls.sent.cmd_len, 10);
  EXPECT_EQ(calls.sent.dxfer_len, 8u);
  EXPECT_EQ(calls.sent.mx_sb_len, 24);
  EXPECT_EQ(calls.sent.timeout, 60000u);

  // The host adapter lost the device: status 0 here is no GOOD of the device.
  calls.answer = [](sg_io_hdr_t& h) { h.status = 0; h.host_status = 0x01; return 0; };
  outcome = linuxhost::SendSgIo(calls, 3, command);
  EXPECT_FALSE(outcome.delivered);
  EXPECT_EQ(outcome.hostStatus, 0x01);

  calls.answer = [](sg_io_hdr_t& h) { h.status = 0; h.driver_status = 0x06; return 0; };  // DRIVER_TIMEOUT
  EXPECT_FALSE(linuxhost::SendSgIo(calls, 3, command).delivered);

  // CHECK CONDITION with its sense is the device's answer.
  calls.answer = [](sg_io_hdr_t& h) {
    h.status = 0x02;
    h.driver_status = 0x08;
    h.sbp[0] = 0x70;
    h.sbp[2] = 0x05;
    h.sb_len_wr = 18;
    return 0;
  };
  outcome = linuxhost::SendSgIo(calls, 3, command);
  EXPECT_TRUE(outcome.delivered);
  EXPECT_EQ(outcome.status, 0x02);
  EXPECT_EQ(sense[2], 0x05);

  // No data: no direction, no buffer.
  command.length = 0;
  calls.answer = [](sg_io_hdr_t&) { return 0; };
  EXPECT_TRUE(linuxhost::SendSgIo(calls, 3, command).delivered);
  EXPECT_EQ(calls.sent.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(calls.sent.dxferp, nullptr);
}

// ---- The library over the Linux host --------------------------------------------------------

class LibraryOverLinux : public LinuxDisks {
 protected:
  void SetUp() override {
    LinuxDisks::SetUp();
    ResetDeviceLibraryForTests();
  }
  void TearDown() override { ResetDeviceLibraryForTests(); }

  linuxhost::Disk DiskNamed(const std::string& name) {
    linuxhost::Disk disk;
    std::string error;
    EXPECT_TRUE(linuxhost::FindDisk(kernel, kernel.Paths(), kernel.Node(name), &disk, &error)) << error;
    return disk;
  }
  void Install(linuxhost::LinuxHost& host) {
    host::Ports ports;
    host.FillPorts(ports);
    host::Install(ports);
  }
};

TEST_F(LibraryOverLinux, TheKeyIsHeldExclusivelyAndAnswersTheLibrary) {
  linuxhost::LinuxHost host(kernel, kernel.Paths());
  host.realPauses = false;
  ASSERT_EQ(host.Attach('E', DiskNamed("sdb")), 0);
  EXPECT_EQ(kernel.Disk("sdb").exclusiveOpens, 1);
  // Nobody else gets the disk while the run holds it, not even a look.
  EXPECT_EQ(kernel.Open(kernel.Node("sdb"), O_RDONLY), -EBUSY);
  Install(host);

  char name[20] = {};
  int count = 0;
  ASSERT_EQ(FindKey(name, &count), kResultSuccess);
  EXPECT_STREQ(name, "KV 2 Zarno P9");
  EXPECT_EQ(count, 1);
  char letter = 0;
  ASSERT_EQ(GetKeyDriveLetter(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'E');
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1024);
  char vendor[8] = {}, product[16] = {}, revision[4] = {};
  ASSERT_EQ(GetKeyInquiryStrings(vendor, product, revision), kResultSuccess);
  EXPECT_EQ(std::string(vendor, 6), "Varnok");
  // No helper driver and no registry on Linux: every command went by SG_IO.
  EXPECT_EQ(TransportKind, kTransportPassThrough);
  EXPECT_GT(kernel.Disk("sdb").sgCommands, 0);
  EXPECT_EQ(kernel.Disk("sdb").sgCommands,
            static_cast<int>(host.trace.OfKind(host::TraceKind::kPassThrough).size()));
  EXPECT_EQ(kernel.Disk("sdc").sgCommands, 0);
  EXPECT_EQ(kernel.Disk("sda").sgCommands, 0);
}

TEST_F(LibraryOverLinux, ACheckConditionReachesTheCallerWithItsSense) {
  linuxhost::LinuxHost host(kernel, kernel.Paths());
  ASSERT_EQ(host.Attach('E', DiskNamed("sdb")), 0);
  const host::Handle volume = host.OpenVolume("\\\\.\\E:", 0xC0000000u, 3, 3, 0);
  ASSERT_NE(volume, host::kInvalidHandle);
  EXPECT_EQ(host.OpenVolume("\\\\.\\F:", 0xC0000000u, 3, 3, 0), host::kInvalidHandle);
  host::PassThroughRequest request;
  std::uint8_t* image = request.image.data();
  image[0] = 44;
  image[6] = 10;
  image[7] = 24;
  image[24] = 48;  // sense offset
  const std::uint8_t unknown[10] = {0xAD, 0x0A, 0x16, 0x01};  // no such subcode
  std::memcpy(image + 28, unknown, 10);
  std::uint32_t returned = 0;
  ASSERT_TRUE(host.SendPassThrough(volume, host::win32::IOCTL_SCSI_PASS_THROUGH_DIRECT, request, 80, 80, &returned));
  EXPECT_EQ(image[2], 0x02);   // CHECK CONDITION
  EXPECT_EQ(image[48], 0x70);  // fixed-format sense, where the caller asked for it
  EXPECT_EQ(image[48 + 2], 0x05);  // ILLEGAL REQUEST
  EXPECT_EQ(returned, 80u);
  EXPECT_TRUE(host.CloseVolume(volume));
  EXPECT_FALSE(host.SendPassThrough(volume, host::win32::IOCTL_SCSI_PASS_THROUGH_DIRECT, request, 80, 80, &returned));
}

TEST_F(LibraryOverLinux, APulledKeyFailsAtTransportLevelAndIsThenNotFound) {
  linuxhost::LinuxHost host(kernel, kernel.Paths());
  host.realPauses = false;
  ASSERT_EQ(host.Attach('E', DiskNamed("sdb")), 0);
  Install(host);
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_FALSE(host.lastFailure.has_value());
  kernel.Disk("sdb").pulledAfter = kernel.Disk("sdb").sgCommands;
  // The command in flight fails on the bus; the next finds no volume.
  EXPECT_EQ(GetKeyCapacity(&megabytes), kResultGeneralFailure);
  ASSERT_TRUE(host.lastFailure.has_value());
  EXPECT_EQ(host.lastFailure->hostStatus, 0x01);
  EXPECT_EQ(GetKeyCapacity(&megabytes), kResultKeyNotFound);
  EXPECT_EQ(host.Files().GetDriveType("E:\\"), host::win32::DRIVE_NO_ROOT_DIR);
}

TEST_F(LibraryOverLinux, AReadOnlyMediumOpensForReadingAndRefusesFileWrites) {
  kernel.Disk("sdb").writeProtectTab = true;
  linuxhost::LinuxHost host(kernel, kernel.Paths());
  ASSERT_EQ(host.Attach('E', DiskNamed("sdb")), 0);
  EXPECT_EQ(host.Files().CreateFile("E:\\IBMBIO.COM", 0x40000000u, 0, host::win32::CREATE_ALWAYS, 0x80), host::kInvalidHandle);
  EXPECT_EQ(kernel.Disk("sdb").sectorWrites, 0);
}

TEST_F(LibraryOverLinux, NoHelperDriverNoRegistryAndRealPaths) {
  linuxhost::LinuxHost host(kernel, kernel.Paths());
  std::uint32_t error = 0;
  EXPECT_EQ(host.OpenDriver("\\\\.\\ZQIL200", 0, 0, 3, 0, &error), host::kInvalidHandle);
  EXPECT_EQ(error, host::win32::ERROR_FILE_NOT_FOUND);
  host::RegistryKey key = 0;
  EXPECT_EQ(host.OpenKey(host::kHkeyLocalMachine, "SYSTEM\\MountedDevices", host::kKeyRead, &key),
            static_cast<std::int32_t>(host::win32::ERROR_FILE_NOT_FOUND));
  // The current directory is a Linux path: no drive letter, so never "started from the key".
  char current[4096] = {};
  ASSERT_GT(host.Files().GetCurrentDirectory(sizeof current, current), 0u);
  EXPECT_EQ(current[0], '/');
}

TEST_F(LibraryOverLinux, TheFileSystemWritesThroughTheBlockDeviceAndFlushes) {
  // A volume laid out by the key's emulated self, then written by the host's file calls.
  linuxhost::LinuxHost host(kernel, kernel.Paths());
  host.realPauses = false;
  ASSERT_EQ(host.Attach('E', DiskNamed("sdb")), 0);
  Install(host);
  ASSERT_EQ(FormatKey(1024, nullptr, nullptr, nullptr), kResultSuccess);
  const int flushesBefore = kernel.Disk("sdb").flushes;
  const host::Handle file = host.Files().CreateFile("E:\\HELLO.TXT", 0x40000000u, 0, host::win32::CREATE_ALWAYS, 0x80);
  ASSERT_NE(file, host::kInvalidHandle);
  std::uint32_t written = 0;
  ASSERT_TRUE(host.Files().WriteFile(file, "hello", 5, &written));
  EXPECT_EQ(written, 5u);
  ASSERT_TRUE(host.Files().CloseFile(file));
  EXPECT_GT(kernel.Disk("sdb").sectorWrites, 0);
  // Dropped the cache when it began, flushed when the file was closed.
  EXPECT_GE(kernel.Disk("sdb").flushes, flushesBefore + 2);
  EXPECT_TRUE(host.Files().FindFirstFile("E:\\HELLO.TXT"));
  ASSERT_TRUE(host.Files().SetVolumeLabel("E:\\", "LINUX"));
  std::uint64_t total = 0;
  EXPECT_TRUE(host.Files().GetDiskFreeSpaceEx("E:\\", nullptr, &total, nullptr));
  EXPECT_GT(total, 1000000000u);
}

}  // namespace
