// The front ends' real-key path (--device) through the Linux host's seam: a fake kernel whose
// disks are emulated devices. Whole Start sequences over SG_IO, judged by fsck.fat and mtools,
// with the same command trace as over the emulated host; and every refusal, with nothing written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/app_texts.h"
#include "app/boot_utility_app.h"
#include "frontend/emulated_setup.h"
#include "cli/real_key.h"
#include "cli/terminal_dialog.h"
#include "devlib/library_state.h"
#include "key/emulated_key.h"
#include "tests/app/image_tools.h"
#include "tests/host/linux/fake_kernel.h"

namespace {

namespace fs = std::filesystem;
using fake_linux::FakeKernel;

constexpr std::uint32_t kClockStart = 1000000000;

// FNV-1a: enough to tell any change apart.
std::uint64_t Hash(const std::uint8_t* bytes, std::size_t size, std::uint64_t hash = 1469598103934665603ull) {
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

struct RunResult {
  std::vector<std::string> messages;
  bool successful = false;
};

// The program as stelvarion-boot runs it: the dialog on a terminal, OK to "Format Warning"; the
// message boxes go to the terminal shell of a real key, or to the emulated host.
template <typename Shell>
RunResult RunStart(Shell& shell, const std::string& label) {
  RunResult result;
  shell.messageBoxHandler = [&](const auto& box) {
    result.messages.push_back(box.text);
    if (box.text == text::kSuccessful) result.successful = true;
    return host::win32::IDOK;
  };
  std::FILE* out = std::tmpfile();
  TerminalDialogRunner runner(out, false, label);
  BootUtilityApp app(runner);
  app.InitInstance();
  std::fclose(out);
  return result;
}

class RealKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    scratch = image_tools::ScratchFolder(STELVARION_CLI_TEST_TEMP_DIR,
                                         std::string("real_key.") + test->test_suite_name() + "." + test->name());
    kernel = std::make_unique<FakeKernel>(scratch / "root");
    ResetDeviceLibraryForTests();
  }
  void TearDown() override {
    realKey.reset();
    ResetDeviceLibraryForTests();
    if (!HasFailure()) fs::remove_all(scratch);
  }

  emulated::KeyConfig Config(const std::string& model, const std::string& name = "key.img") {
    emulated::KeyConfig config;
    config.model = model;
    config.imagePath = (scratch / name).string();
    return config;
  }
  emulated::EmulatedKey& AddKey(const std::string& disk, const emulated::KeyConfig& config) {
    auto key = std::make_unique<emulated::EmulatedKey>(config);
    emulated::EmulatedKey& added = *key;
    kernel->AddDisk(disk, std::move(key), true, "Varnok", config.model, config.capacityMb * 2048ull, {disk + "1"});
    return added;
  }
  // A USB stick of another make and an ATA disk, whose every byte must stay as it was.
  void AddBystanders() {
    auto stick = emulated::MakeUsbStick();
    stick->Media().Write(0, 1, std::vector<std::uint8_t>(512, 0x5A).data());
    m_stick = stick.get();
    kernel->AddDisk("sdc", std::move(stick), true, "Generic", "USB Flash Disk", 8192);
    auto disk = emulated::MakeFixedDisk();
    m_fixed = disk.get();
    kernel->AddDisk("sda", std::move(disk), false, "ATA", "QEMU HARDDISK", 8192);
    m_bystanderHash = BystanderHash();
  }
  // The sectors ever written, with their addresses: every other sector reads as zeros.
  std::uint64_t BystanderHash() {
    std::uint64_t hash = Hash(nullptr, 0);
    for (emulated::BystanderDrive* drive : {m_stick, m_fixed}) {
      for (const auto& [lba, sector] : drive->Media().WrittenSectors()) {
        hash = Hash(reinterpret_cast<const std::uint8_t*>(&lba), sizeof lba, hash);
        hash = Hash(sector.data(), sector.size(), hash);
      }
    }
    return hash;
  }
  void ExpectBystandersUntouched() {
    EXPECT_EQ(BystanderHash(), m_bystanderHash);
    EXPECT_EQ(kernel->Disk("sda").sgCommands, 0) << "a command went to a disk that is not on USB";
    EXPECT_EQ(kernel->Disk("sdc").sectorWrites + kernel->Disk("sda").sectorWrites, 0);
  }

  // --device as the front ends take it; empty when the key is ready.
  std::string Prepare(const std::string& device) {
    realKey = std::make_unique<RealKey>(*kernel, kernel->Paths());
    shell.resources = SystemFileResources();
    std::string refused = realKey->Open(device);
    if (!refused.empty()) return refused;
    realKey->Host().realPauses = false;
    realKey->Host().FollowPauseClock(kClockStart);
    return realKey->Identify(shell);
  }

  // The same run over the emulated host: the emulated front end's trace lines.
  std::vector<std::string> EmulatedTrace(const emulated::KeyConfig& config, const std::string& label) {
    ResetDeviceLibraryForTests();
    emulated::EmulatedHost emulatedHost;
    emulated::KeyConfig inMemory = config;
    inMemory.imagePath.clear();
    emulatedHost.AttachKey('E', inMemory, 0);
    emulatedHost.SetTime(kClockStart);
    AddSystemFileResources(emulatedHost);
    emulatedHost.Install();
    EXPECT_TRUE(RunStart(emulatedHost, label).successful);
    std::vector<std::string> lines;
    for (const auto& event : emulatedHost.trace.Events()) {
      if (event.kind == emulated::TraceKind::kPassThrough || event.kind == emulated::TraceKind::kPause) {
        lines.push_back(event.Describe());
      }
    }
    ResetDeviceLibraryForTests();
    return lines;
  }

  void ExpectCleanVolume(const fs::path& image, const std::string& label) {
    ASSERT_TRUE(image_tools::ToolAvailable(STELVARION_FSCK_FAT)) << "fsck.fat is missing (Debian package dosfstools)";
    ASSERT_TRUE(image_tools::ToolAvailable(STELVARION_MDIR)) << "mdir is missing (Debian package mtools)";
    const image_tools::Partition partition = image_tools::FirstPartition(image);
    ASSERT_GT(partition.sectorCount, 0u);
    const fs::path volume = scratch / "volume.img";
    image_tools::CopyPartition(image, partition, volume);
    EXPECT_TRUE(image_tools::FsckFindings(STELVARION_FSCK_FAT, volume).empty());
    const auto listing = image_tools::RunCommand(image_tools::Quote(STELVARION_MDIR) + " -a -i " +
                                                 image_tools::Quote(volume.string()) + " ::");
    EXPECT_NE(listing.output.find("IBMBIO   COM"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("COMMAND  COM"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("Volume in drive : is " + label), std::string::npos) << listing.output;
  }

  fs::path scratch;
  std::unique_ptr<FakeKernel> kernel;
  std::unique_ptr<RealKey> realKey;
  TerminalShell shell;

 private:
  emulated::BystanderDrive* m_stick = nullptr;
  emulated::BystanderDrive* m_fixed = nullptr;
  std::uint64_t m_bystanderHash = 0;
};

TEST_F(RealKeyTest, EveryModelIsMadeBootableOverSgIoWithTheEmulatedHostsCommands) {
  for (const char* model : {"KV 2 Zarno P9", "KV 2 Zarno P3", "Varnok Key"}) {
    SCOPED_TRACE(model);
    SetUp();
    AddBystanders();
    const emulated::KeyConfig config = Config(model);
    AddKey("sdb", config);
    ASSERT_EQ(Prepare(kernel->Node("sdb")), "");
    const RunResult run = RunStart(shell, "LINUXKEY");
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(run.messages.back(), text::kSuccessful);
    const std::vector<std::string> overSgIo = realKey->TraceLines();
    realKey.reset();  // closes the block device, as the program's end does
    ExpectCleanVolume(config.imagePath, "LINUXKEY");
    ExpectBystandersUntouched();
    // The same command blocks in the same order with the same lengths, and the same pauses.
    const std::vector<std::string> emulatedRun = EmulatedTrace(config, "LINUXKEY");
    EXPECT_GT(overSgIo.size(), 40u);
    EXPECT_EQ(overSgIo, emulatedRun);
    TearDown();
  }
}

TEST_F(RealKeyTest, AutoTakesTheOneKeyAmongTheUsbDisks) {
  AddBystanders();
  AddKey("sdd", Config("KV 2 Zarno P3"));
  ASSERT_EQ(Prepare("auto"), "");
  EXPECT_EQ(realKey->Disk().name, "sdd");
  EXPECT_TRUE(RunStart(shell, "AUTO").successful);
  ExpectBystandersUntouched();
}

TEST_F(RealKeyTest, AutoRefusesNoKeyOrTwoAndNamesWhatItFound) {
  EXPECT_EQ(Prepare("auto"), "no USB disk is attached: plug the key in, or name it with --device PATH.");
  AddBystanders();
  EXPECT_EQ(Prepare("auto"), "no Stelvarion key among the USB disks (" + kernel->Node("sdc") +
                                 " (Generic USB Flash Disk, 4 MB)). Plug the key in; as an ordinary user, run as root or get access to its device node.");
  AddKey("sdd", Config("KV 2 Zarno P9", "one.img"));
  AddKey("sde", Config("Varnok Key", "two.img"));
  EXPECT_EQ(Prepare("auto"), "more than one Stelvarion key is attached (" + kernel->Node("sdd") +
                                 " (Varnok KV 2 Zarno P9, 1024 MB), " + kernel->Node("sde") +
                                 " (Varnok Varnok Key, 1024 MB)): name the one to use with --device PATH.");
  ExpectBystandersUntouched();
  EXPECT_EQ(kernel->Disk("sdd").sectorWrites + kernel->Disk("sde").sectorWrites, 0);
}

TEST_F(RealKeyTest, EachRefusalSaysWhatToDoAndWritesNothing) {
  AddBystanders();
  emulated::EmulatedKey& key = AddKey("sdb", Config("KV 2 Zarno P9"));
  const auto refusal = [&](const std::string& device) {
    ResetDeviceLibraryForTests();
    return Prepare(device);
  };

  EXPECT_EQ(refusal(kernel->Node("sda")), kernel->Node("sda") + " (ATA QEMU HARDDISK, 4 MB) is not a USB disk: only a key "
            "on a USB bus is driven, and no vendor command goes to any other disk.");
  EXPECT_EQ(refusal(kernel->Node("sdc")), kernel->Node("sdc") + " (Generic USB Flash Disk, 4 MB) is not a Stelvarion key: "
            "it did not answer with the identity of a KV 2 Zarno P3, a Varnok Key or a KV 2 Zarno P9. Nothing was written.");

  kernel->Disk("sdb").openError = -EACCES;
  EXPECT_EQ(refusal(kernel->Node("sdb")), "cannot open " + kernel->Node("sdb") + ": Permission denied. Run as root, or "
            "with read and write access to " + kernel->Node("sdb") + ".");
  kernel->Disk("sdb").openError = 0;

  // A kernel that keeps vendor commands for CAP_SYS_RAWIO (Debian's 6.1 lets a writable open
  // send them) is named for what it wants.
  kernel->Disk("sdb").sgError = -EPERM;
  EXPECT_EQ(refusal(kernel->Node("sdb")), "the kernel refused the key's vendor commands on " + kernel->Node("sdb") +
            " (Operation not permitted): they need the CAP_SYS_RAWIO capability. Run as root.");
  kernel->Disk("sdb").sgError = 0;

  // Without CAP_SYS_RAWIO the P9's reset block would be refused midway: refused before Start.
  kernel->SetRawIo(false);
  EXPECT_EQ(refusal(kernel->Node("sdb")), "");
  EXPECT_EQ(realKey->CheckStartCanFinish(), "the KV 2 Zarno P9 at " + kernel->Node("sdb") + " is reset by a command "
            "(FF 1D) that the kernel passes only to a process with the CAP_SYS_RAWIO capability: run as root. Nothing "
            "was written.");
  kernel->SetRawIo(true);
  EXPECT_EQ(refusal(kernel->Node("sdb")), "");
  EXPECT_EQ(realKey->CheckStartCanFinish(), "");

  linuxhost::Disk disk;
  std::string error;
  ASSERT_TRUE(linuxhost::FindDisk(*kernel, kernel->Paths(), kernel->Node("sdb"), &disk, &error));
  kernel->AddMount(disk.partitions.at(0).majorMinor, "/media/root/STELVARION");
  EXPECT_EQ(refusal(kernel->Node("sdb")), kernel->Node("sdb") + " is mounted (" + kernel->Node("sdb1") +
            " on /media/root/STELVARION): unmount it first (umount /media/root/STELVARION); nothing was written.");
  // Found by auto as well, and refused by name.
  EXPECT_NE(refusal("auto").find("is mounted"), std::string::npos);

  realKey.reset();
  EXPECT_EQ(kernel->Disk("sdb").sectorWrites, 0);
  EXPECT_TRUE(image_tools::AllZero(key.Config().imagePath));  // a fresh key, still blank
  ExpectBystandersUntouched();
}

TEST_F(RealKeyTest, AWriteProtectedKeyGetsTheProgramsOwnMessageAndKeepsItsBytes) {
  emulated::KeyConfig config = Config("KV 2 Zarno P3");
  config.writeProtected = true;
  emulated::EmulatedKey& key = AddKey("sdb", config);
  kernel->Disk("sdb").writeProtectTab = true;
  kernel->SetRawIo(false);  // a P3 needs nothing but standard blocks and AD
  ASSERT_EQ(Prepare(kernel->Node("sdb")), "");
  EXPECT_EQ(realKey->CheckStartCanFinish(), "");
  const RunResult run = RunStart(shell, "");
  EXPECT_FALSE(run.successful);
  EXPECT_NE(std::find(run.messages.begin(), run.messages.end(), text::kWriteProtected), run.messages.end());
  realKey.reset();
  EXPECT_EQ(kernel->Disk("sdb").sectorWrites, 0);
  EXPECT_TRUE(image_tools::AllZero(key.Config().imagePath));
}

TEST_F(RealKeyTest, AKeyPulledMidwayFailsAndTheRunRepeatedOnItSucceeds) {
  const emulated::KeyConfig config = Config("KV 2 Zarno P9");
  AddKey("sdb", config);
  kernel->Disk("sdb").pulledAfter = 20;
  ASSERT_EQ(Prepare(kernel->Node("sdb")), "");
  const RunResult cut = RunStart(shell, "AGAIN");
  EXPECT_FALSE(cut.successful);
  EXPECT_NE(realKey->FailureAdvice().find("stopped answering (host adapter status 0x0001)"), std::string::npos)
      << realKey->FailureAdvice();
  realKey.reset();

  // Plugged in again: the same image on a fresh kernel and process state.
  ResetDeviceLibraryForTests();
  kernel = std::make_unique<FakeKernel>(scratch / "root2");
  AddKey("sdb", config);
  ASSERT_EQ(Prepare(kernel->Node("sdb")), "");
  EXPECT_TRUE(RunStart(shell, "AGAIN").successful);
  realKey.reset();
  ExpectCleanVolume(config.imagePath, "AGAIN");
}

}  // namespace
