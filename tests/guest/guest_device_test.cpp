// A real key made bootable from Linux: stelvarion-boot and stelvarion-probe with --device in the
// guest, over Debian's kernel (usb-storage, sd, SG_IO) and the key on its USB bus. What they do
// there is held against the same runs over the emulated host, and judged outside the guest by
// fsck.fat and a qemu boot; every disk that is not the key stays byte for byte as it was.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/guest/guest_run.h"
#include "tests/support/shell_command.h"

namespace guest_test {
namespace {

using test_support::Quote;
using test_support::RunCommand;

// The filler bytes of the command blocks are seeded from the clock: both runs start it here.
constexpr char kClockStart[] = "1000000000";
constexpr std::size_t kBystanderBytes = 4u << 20;

struct Model {
  std::string name;
  std::string capacityMb;
  std::string device;  // a path in the guest, or "auto"
};

std::string KeyOptions(const Model& model) { return "--model " + Quote(model.name) + " --capacity " + model.capacityMb; }

std::string Sha256(const fs::path& file) {
  const auto sum = RunCommand("sha256sum " + Quote(file.string()));
  return sum.output.substr(0, 64);
}

// The lines from `label` to the next "== " line.
std::string Part(const std::string& text, const std::string& label) {
  std::string part;
  bool in = false;
  for (const std::string& line : Lines(text)) {
    if (line.rfind("== ", 0) == 0) {
      in = line == "== " + label;
      continue;
    }
    if (in) part += line + "\n";
  }
  return part;
}

std::string LineStarting(const std::string& text, const std::string& start) {
  for (const std::string& line : Lines(text)) {
    if (line.rfind(start, 0) == 0) return line;
  }
  return {};
}

// Partition 1 of the image, checked by fsck.fat -n: its output, empty when nothing is to mend.
std::string FsckFindings(const fs::path& image, const fs::path& scratch) {
  const fs::path volume = scratch / "volume.img";
  const auto check = RunCommand(
      "set -e; start=$(od -An -tu4 -j454 -N4 " + Quote(image.string()) + " | tr -d ' '); count=$(od -An -tu4 -j458 -N4 " +
      Quote(image.string()) + " | tr -d ' '); dd if=" + Quote(image.string()) + " of=" + Quote(volume.string()) +
      " bs=512 skip=$start count=$count conv=sparse status=none; fsck.fat -n " + Quote(volume.string()));
  fs::remove(volume);
  return check.exitCode == 0 ? std::string() : check.output + " (status " + std::to_string(check.exitCode) + ")";
}

// Finds the key among the guest's disks by the kernel's vendor text.
constexpr char kFindKey[] = R"sh(key=; for d in /sys/block/sd*; do
  case "$(cat $d/device/vendor)" in Varnok*) key=/dev/${d##*/};; esac
done
)sh";

class GuestDeviceTest : public testing::TestWithParam<Model> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_support::ToolAvailable("fsck.fat")) << "fsck.fat is missing (Debian package dosfstools)";
    m_scratch = ScratchFolder() / GetParam().name;
    fs::remove_all(m_scratch);
    fs::create_directories(m_scratch);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_scratch);
  }
  std::string KeyProgram() const { return "STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY); }
  fs::path m_scratch;
};

TEST_P(GuestDeviceTest, MakesTheKeyBootableWithTheEmulatedHostsCommands) {
  const Model& model = GetParam();
  const fs::path image = m_scratch / "key.img";
  const fs::path bystander = m_scratch / "bystander.img";
  WriteRandomImage(bystander, kBystanderBytes, 64);
  const std::string bystanderBefore = Sha256(bystander);

  const std::string device = model.device == "auto" ? "auto" : "$key";
  const std::string script = std::string(kFindKey) +
      "echo '== probe'; stelvarion-probe --device " + device + " 2>&1; echo \"status $?\"\n"
      "echo '== boot'; STELVARION_CLOCK_START=" + kClockStart + " stelvarion-boot --device " + device +
      " --yes --label GUESTKEY --trace /tmp/trace 2>&1; echo \"status $?\"\n"
      "echo '== trace'; cat /tmp/trace\n";
  std::vector<std::string> options = {"--timeout", "140", "--usb-disk", bystander.string(), "--key", image.string(),
                                      "--model", model.name, "--capacity", model.capacityMb};
  const GuestResult guest = GuestRun(options, {"sh", "-c", script}, KeyProgram());
  ASSERT_EQ(guest.exitCode, 0) << guest.err << guest.out;
  std::printf("[ guest    ] %.1f s\n%s", guest.seconds, Part(guest.out, "probe").c_str());

  // The probe reads over SG_IO what it reads over the emulated host.
  const std::string probe = Part(guest.out, "probe");
  EXPECT_NE(probe.find("status 0"), std::string::npos) << probe;
  const auto emulatedProbe = RunCommand(std::string(STELVARION_PROBE) + " " + KeyOptions(model));
  ASSERT_EQ(emulatedProbe.exitCode, 0) << emulatedProbe.output;
  for (const char* line : {"Model:", "Capacity:", "Inquiry:", "Keys found:"}) {
    EXPECT_EQ(LineStarting(probe, line), LineStarting(emulatedProbe.output, line)) << line;
    EXPECT_FALSE(LineStarting(probe, line).empty()) << line;
  }
  EXPECT_EQ(LineStarting(probe, "Drive:").rfind("Drive:      /dev/sd", 0), 0u) << probe;

  const std::string boot = Part(guest.out, "boot");
  EXPECT_NE(boot.find("Successful.\nYour Stelvarion is now bootable.\n"), std::string::npos) << boot;
  EXPECT_NE(boot.find("status 0"), std::string::npos) << boot;

  // The same command blocks, in the same order, with the same lengths and statuses, and the
  // same pauses, as the emulated key gets from the emulated front end.
  const fs::path emulatedTrace = m_scratch / "emulated.trace";
  const auto emulated = RunCommand(std::string("STELVARION_CLOCK_START=") + kClockStart + " " + STELVARION_BOOT +
                                   " --image " + Quote((m_scratch / "emulated.img").string()) + " " + KeyOptions(model) +
                                   " --yes --label GUESTKEY --trace " + Quote(emulatedTrace.string()));
  ASSERT_EQ(emulated.exitCode, 0) << emulated.output;
  const std::vector<std::string> overSgIo = Lines(Part(guest.out, "trace"));
  std::vector<std::string> overEmulatedHost = Lines(RunCommand("cat " + Quote(emulatedTrace.string())).output);
  // The emulated key's trace opens with the areas it starts from, which only the emulated host
  // can see.
  ASSERT_FALSE(overEmulatedHost.empty());
  EXPECT_EQ(overEmulatedHost.front().rfind("key E: ", 0), 0u) << overEmulatedHost.front();
  overEmulatedHost.erase(overEmulatedHost.begin());
  EXPECT_GT(overSgIo.size(), 40u);
  EXPECT_EQ(overSgIo, overEmulatedHost);

  // Outside the guest: a clean volume that boots; the other disk untouched.
  EXPECT_EQ(FsckFindings(image, m_scratch), "");
  const auto booted = RunCommand("STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY) + " " + STELVARION_BOOT_CHECK +
                                 " --usb-key " + KeyOptions(model) + " " + Quote(image.string()));
  EXPECT_EQ(booted.exitCode, 0) << booted.output;
  EXPECT_NE(booted.output.find("Volume label: GUESTKEY"), std::string::npos) << booted.output;
  std::printf("%s", booted.output.c_str());
  EXPECT_EQ(Sha256(bystander), bystanderBefore);
}

INSTANTIATE_TEST_SUITE_P(EveryModel, GuestDeviceTest,
                         testing::Values(Model{"KV 2 Zarno P9", "1024", "path"},
                                         Model{"KV 2 Zarno P3", "512", "auto"},
                                         Model{"Varnok Key", "256", "auto"}),
                         [](const auto& info) {
                           std::string name = info.param.name + "_" + info.param.device;
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

// Every refusal in one guest: two keys (one write-protected, one with its volume mounted read
// only), a plain USB disk, a user without rights; nothing may be written to any of them. A third
// key is then made bootable by an ordinary user who may read and write its device node.
class GuestRefusalTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_scratch = new fs::path(ScratchFolder());
    const fs::path& scratch = *s_scratch;
    s_images = new std::map<std::string, std::string>;
    // A key made bootable beforehand, so that it has a partition to mount.
    const fs::path made = scratch / "made.img";
    const auto make = RunCommand(std::string(STELVARION_BOOT) + " --image " + Quote(made.string()) +
                                 " --model 'KV 2 Zarno P3' --capacity 512 --yes --label MOUNTED");
    ASSERT_EQ(make.exitCode, 0) << make.output;
    // Images of 256 MB keys must be the flash's size, 1972 sectors to the megabyte on firmware
    // 2.45: the key refuses a file of another size as not its image.
    constexpr std::uint64_t kKey256Bytes = 256ull * 1972 * 512;
    const fs::path protectedKey = scratch / "protected.img";
    WriteRandomImage(protectedKey, kKey256Bytes, 64);
    const fs::path disk = scratch / "disk.img";
    WriteRandomImage(disk, kBystanderBytes, 64);
    const fs::path p9 = scratch / "p9.img";
    WriteRandomImage(p9, kKey256Bytes, 64);
    for (const fs::path& image : {made, protectedKey, disk, p9}) (*s_images)[image.string()] = Sha256(image);
    s_access = new fs::path(scratch / "access.img");

    const std::string script = R"sh(for d in /sys/block/sd*; do
  model=$(sed 's/ *$//' $d/device/model)
  case "$model" in
    "KV 2 Zarno P3") if [ -e $d/${d##*/}1 ]; then made=/dev/${d##*/}; else access=/dev/${d##*/}; fi;;
    "Varnok Key") protected=/dev/${d##*/};;
    "KV 2 Zarno P9") p9=/dev/${d##*/};;
    *) disk=/dev/${d##*/};;
  esac
done
run() { label=$1; shift; echo "== $label"; "$@" 2>&1; echo "status $?"; }
run auto stelvarion-boot --device auto --yes
run bystander stelvarion-boot --device $disk --yes
run partition stelvarion-boot --device ${made}1 --yes
mkdir -p /tmp/impostor && echo 'no disk' >/tmp/impostor/${made##*/}
run impostor stelvarion-boot --device /tmp/impostor/${made##*/} --yes
run generic stelvarion-boot --device /dev/$(ls /sys/block/${protected##*/}/device/scsi_generic) --yes --label NOPE
run protected stelvarion-boot --device $protected --yes --label NOPE
mkdir -p /etc && echo 'root:x:0:0::/:/bin/sh' >>/etc/passwd && echo 'tester:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
echo 'root:x:0:' >>/etc/group && echo 'tester:x:1000:' >>/etc/group
run user su tester -c "stelvarion-boot --device $made --yes"
mkdir -p /mnt/key && mount -t vfat -o ro ${made}1 /mnt/key
run mounted stelvarion-boot --device $made --yes
umount /mnt/key
chmod 666 $access $p9
run p9 su tester -c "stelvarion-boot --device $p9 --yes"
run access su tester -c "stelvarion-boot --device $access --yes --label ORDINARY"
)sh";
    s_guest = new GuestResult(GuestRun({"--timeout", "200", "--key", made.string(), "--model", "KV 2 Zarno P3",
                                        "--capacity", "512", "--key", protectedKey.string(), "--model", "Varnok Key",
                                        "--capacity", "256", "--write-protected", "--key", s_access->string(),
                                        "--model", "KV 2 Zarno P3", "--capacity", "256", "--key", p9.string(), "--model",
                                        "KV 2 Zarno P9", "--capacity", "256", "--usb-disk", disk.string()},
                                       {"sh", "-c", script}, "STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY)));
  }
  static void TearDownTestSuite() {
    fs::remove_all(*s_scratch);
    delete s_scratch;
    delete s_images;
    delete s_access;
    delete s_guest;
  }

  // The refusal's output, which must end with exit status 1 (0 nowhere).
  static std::string Refusal(const std::string& label) {
    const std::string part = Part(s_guest->out, label);
    EXPECT_NE(part.find("status 1\n"), std::string::npos) << label << ":\n" << part;
    std::printf("[ %-8s ] %s", label.c_str(), part.c_str());
    return part;
  }

  static fs::path* s_scratch;
  static std::map<std::string, std::string>* s_images;
  static fs::path* s_access;
  static GuestResult* s_guest;
};

fs::path* GuestRefusalTest::s_scratch = nullptr;
fs::path* GuestRefusalTest::s_access = nullptr;
std::map<std::string, std::string>* GuestRefusalTest::s_images = nullptr;
GuestResult* GuestRefusalTest::s_guest = nullptr;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(GuestRefusalTest, EachRefusalSaysWhatToDo) {
  ASSERT_EQ(s_guest->exitCode, 0) << s_guest->err << s_guest->out;
  EXPECT_TRUE(Has(Refusal("auto"), "more than one Stelvarion key is attached (/dev/sd"));
  EXPECT_TRUE(Has(Refusal("bystander"), "is not a Stelvarion key: it did not answer with the identity"));
  EXPECT_TRUE(Has(Refusal("partition"), "1 is a partition of /dev/sd"));
  // Taken by the node's number: a plain file named like the key is no key; the generic node
  // leads to its block device.
  EXPECT_TRUE(Has(Refusal("impostor"), " is not a device node: give the key's block device"));
  EXPECT_TRUE(Has(Refusal("generic"), "[StelvarionBootUtility] Stelvarion is write protected."));
  EXPECT_TRUE(Has(Refusal("protected"), "[StelvarionBootUtility] Stelvarion is write protected."));
  EXPECT_TRUE(Has(Refusal("user"), "Permission denied. Run as root, or with read and write access to /dev/sd"));
  EXPECT_TRUE(Has(Refusal("mounted"), "1 on /mnt/key): unmount it first (umount /mnt/key); nothing was written."));
  EXPECT_TRUE(Has(Refusal("p9"), "is reset by a command (FF 1D) that the kernel passes only to a process with the "
                                 "CAP_SYS_RAWIO capability: run as root. Nothing was written."));
}

// Debian's kernel lets a user who may write the node send the key's vendor commands by SG_IO
// (opcode AD passes its filter as READ DVD STRUCTURE), but not the P9's reset block (FF).
TEST_F(GuestRefusalTest, AnOrdinaryUserWithAccessToTheNodeMakesTheKeyBootable) {
  ASSERT_EQ(s_guest->exitCode, 0) << s_guest->err;
  const std::string part = Part(s_guest->out, "access");
  EXPECT_TRUE(Has(part, "Successful.\nYour Stelvarion is now bootable.\nstatus 0\n")) << part;
  EXPECT_EQ(FsckFindings(*s_access, *s_scratch), "");
}

TEST_F(GuestRefusalTest, NoDiskChangedByAByte) {
  ASSERT_EQ(s_guest->exitCode, 0) << s_guest->err;
  for (const auto& [image, before] : *s_images) EXPECT_EQ(Sha256(image), before) << image;
}

// A run cut off by the guest's sudden end, then run again in a fresh guest on the same key.
TEST(GuestCutOffTest, ARunCutOffMidwayIsRepeatedOnTheSameKey) {
  const fs::path scratch = ScratchFolder();
  const fs::path image = scratch / "cut.img";
  const fs::path bystander = scratch / "bystander.img";
  WriteRandomImage(bystander, kBystanderBytes, 64);
  const std::string bystanderBefore = Sha256(bystander);
  const std::vector<std::string> options = {"--timeout", "140", "--usb-disk", bystander.string(), "--key",
                                            image.string(), "--model", "KV 2 Zarno P9", "--capacity", "1024"};
  const std::string environment = "STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY);
  // The power goes a few seconds into the sequence, while it formats.
  const GuestResult cut = GuestRun(options, {"sh", "-c", "stelvarion-boot --device auto --yes --label CUT & "
                                             "sleep 6; echo o >/proc/sysrq-trigger; sleep 30"}, environment);
  EXPECT_NE(cut.exitCode, 0) << cut.out;
  EXPECT_TRUE(Has(cut.out, "Formatting...")) << cut.out;  // the sequence had begun
  EXPECT_FALSE(Has(cut.out, "Successful.")) << cut.out;
  std::printf("[ cut      ] guest-run status %d after %.1f s; %s\n", cut.exitCode, cut.seconds,
              cut.out.substr(cut.out.rfind('[') == std::string::npos ? 0 : cut.out.rfind('[')).c_str());

  const GuestResult again = GuestRun(options, {"stelvarion-boot", "--device", "auto", "--yes", "--label", "CUT"}, environment);
  ASSERT_EQ(again.exitCode, 0) << again.err << again.out;
  EXPECT_TRUE(Has(again.out, "Successful.")) << again.out;
  EXPECT_EQ(FsckFindings(image, scratch), "");
  const auto booted = RunCommand(std::string(STELVARION_BOOT_CHECK) + " --usb-key --model 'KV 2 Zarno P9' " +
                                 Quote(image.string()));
  EXPECT_TRUE(Has(booted.output, "Volume label: CUT")) << booted.output;
  EXPECT_EQ(Sha256(bystander), bystanderBefore);
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace guest_test
