// A run of stelvarion-boot killed (SIGKILL) at each of its pauses, then run again on the same
// image as a user would after a crash: the rerun takes the stored key, starts from the areas the
// killed run left, makes the key bootable, and the volume passes fsck.fat (and boots in qemu).
// And two runs on one image at once: the second is turned away.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/app/image_tools.h"

namespace {

namespace fs = std::filesystem;
using image_tools::Quote;
using image_tools::RunCommand;

// What a shell reports for a program that died of SIGKILL.
constexpr int kKilledExit = 128 + 9;
constexpr char kSuccessful[] = "[StelvarionBootUtility] Successful.";
constexpr char kSystemFilesLine[] = "System files: IBMBIO.COM, IBMDOS.COM, COMMAND.COM";

struct Workflow {
  const char* name;
  const char* model;
  bool ordinaryUser;
  bool boot;  // one boot per model keeps the sweep short
};

void PrintTo(const Workflow& w, std::ostream* os) { *os << w.name; }

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The state file is read and written here on its own, as its format is documented: lines of
// "key value", the last "checksum" with the CRC-32 of every byte before it.
std::string StateField(const std::string& state, const std::string& key) {
  for (const std::string& line : image_tools::Lines(state)) {
    if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
  }
  return {};
}

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = crc & 1u ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

std::string ChecksumLine(const std::string& body) {
  char line[32];
  std::snprintf(line, sizeof line, "checksum %08X\n", static_cast<unsigned>(Crc32(body)));
  return line;
}

std::string WithField(const std::string& state, const std::string& key, const std::string& value) {
  std::string body;
  for (const std::string& line : image_tools::Lines(state)) {
    if (line.rfind("checksum ", 0) == 0) break;
    body += (line.rfind(key + " ", 0) == 0 ? key + " " + value : line) + "\n";
  }
  return body + ChecksumLine(body);
}

class KillSweepTest : public testing::TestWithParam<Workflow> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_tools::ToolAvailable(STELVARION_BOOT_EXE)) << STELVARION_BOOT_EXE;
    ASSERT_TRUE(image_tools::ToolAvailable(STELVARION_FSCK_FAT)) << "fsck.fat is missing (Debian package dosfstools)";
    m_scratch = image_tools::ScratchFolder(STELVARION_CLI_TEST_TEMP_DIR, std::string("KillSweep.") + GetParam().name);
    m_image = m_scratch / "key.img";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_scratch);
  }

  image_tools::CommandResult Run(const std::vector<std::string>& args, const std::string& environment = "") {
    std::string command = "cd " + Quote(m_scratch.string()) + " && " + environment + " " + Quote(STELVARION_BOOT_EXE);
    for (const std::string& arg : args) command += " " + Quote(arg);
    if (GetParam().ordinaryUser) command += " --ordinary-user";
    // The subshell waits for the program (rather than becoming it), so its own "Killed" joins
    // the output.
    return RunCommand("(" + command + " </dev/null; exit $?) 2>&1");
  }

  void FreshImage() {
    fs::remove(m_image);
    fs::remove(m_image.string() + ".state");
  }

  // fsck.fat -n on partition 1, copied out.
  std::vector<std::string> Fsck() {
    const image_tools::Partition partition = image_tools::FirstPartition(m_image);
    const fs::path volume = m_scratch / "volume.img";
    image_tools::CopyPartition(m_image, partition, volume);
    return image_tools::FsckFindings(STELVARION_FSCK_FAT, volume);
  }

  fs::path m_scratch;
  fs::path m_image;
};

TEST_P(KillSweepTest, RerunAfterAKillAtEveryPauseStartsFromTheStoredAreasAndMakesTheKeyBootable) {
  const Workflow& w = GetParam();
  const std::vector<std::string> first{"--image", "key.img", "--model", w.model, "--label", "KILLED", "--yes"};

  // The whole run once, to count its pauses and see what a fresh key starts with.
  const image_tools::CommandResult whole = Run({"--image", "key.img", "--model", w.model, "--yes", "--trace", "whole.txt"});
  ASSERT_EQ(whole.exitCode, 0) << whole.output;
  const std::vector<std::string> wholeTrace = image_tools::Lines(Slurp(m_scratch / "whole.txt"));
  ASSERT_FALSE(wholeTrace.empty());
  const std::string freshStart = wholeTrace.front();
  int pauses = 0;
  for (const std::string& line : wholeTrace) pauses += line.rfind("pause ", 0) == 0 ? 1 : 0;
  ASSERT_GE(pauses, 10) << "the Start sequence pauses after its device commands";

  // The state is the documented one: its checksum is the CRC-32 of what stands before it.
  const std::string wholeState = Slurp(m_image.string() + ".state");
  const std::size_t checksumAt = wholeState.rfind("checksum ");
  ASSERT_NE(checksumAt, std::string::npos);
  ASSERT_EQ(wholeState.substr(checksumAt), ChecksumLine(wholeState.substr(0, checksumAt)));
  // Each killed run starts on a blank key that an earlier user split into two halves, so that a
  // rerun which forgot the key's areas would start otherwise.
  const std::uint64_t flashSectors = std::stoull(StateField(wholeState, "flash-sectors"));
  const std::string splitState = WithField(wholeState, "area-register", std::to_string(flashSectors / 2));

  int startsUnlikeAFreshKey = 0;
  for (int k = 1; k <= pauses; ++k) {
    SCOPED_TRACE("killed at pause " + std::to_string(k) + " of " + std::to_string(pauses));
    FreshImage();
    std::ofstream(m_image, std::ios::binary).close();
    fs::resize_file(m_image, flashSectors * 512);
    std::ofstream(m_image.string() + ".state", std::ios::binary) << splitState;
    const image_tools::CommandResult killed = Run(first, "STELVARION_TEST_KILL_AT_PAUSE=" + std::to_string(k));
    ASSERT_EQ(killed.exitCode, kKilledExit) << killed.output;
    ASSERT_EQ(killed.output.find(kSuccessful), std::string::npos) << killed.output;

    // What the killed run left in the key's state, read from the file itself.
    const std::string state = Slurp(m_image.string() + ".state");
    const std::string reg = StateField(state, "area-register");
    std::string view = StateField(state, "view");
    ASSERT_FALSE(reg.empty()) << state.substr(0, 400);
    ASSERT_NE(view.find("-"), std::string::npos) << view;
    view[view.find('-')] = ' ';
    const std::string leftStart = "key E: area register " + reg + " sectors, " + view + " visible";
    // The first pause comes before any command that sets the areas.
    if (k == 1) {
      EXPECT_EQ(reg, std::to_string(flashSectors / 2)) << "the killed run did not start from the stored areas";
    }
    // The last comes after Start has set them as the whole run did.
    if (k == pauses) {
      EXPECT_EQ(reg, StateField(wholeState, "area-register")) << "the killed run's areas were not kept";
    }

    // Run again as a user would: only the image; the key is the stored one.
    const image_tools::CommandResult rerun = Run({"--image", "key.img", "--label", "RERUN", "--yes", "--trace", "rerun.txt"});
    ASSERT_EQ(rerun.exitCode, 0) << rerun.output;
    EXPECT_NE(rerun.output.find(std::string("emulated key \"") + w.model + "\""), std::string::npos) << rerun.output;
    EXPECT_NE(rerun.output.find(kSuccessful), std::string::npos) << rerun.output;
    const std::vector<std::string> trace = image_tools::Lines(Slurp(m_scratch / "rerun.txt"));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), leftStart);
    if (trace.front() != freshStart) ++startsUnlikeAFreshKey;

    EXPECT_EQ(Fsck(), std::vector<std::string>{});
    if (w.boot && k == pauses / 2) {
      const image_tools::CommandResult boot =
          RunCommand("QEMU=" + Quote(STELVARION_QEMU) + " bash " + Quote(STELVARION_BOOT_CHECK) + " --expect " +
                     Quote(kSystemFilesLine) + " " + Quote(m_image.string()));
      EXPECT_EQ(boot.exitCode, 0) << boot.output;
      EXPECT_NE(boot.output.find("Volume label: RERUN"), std::string::npos) << boot.output;
    }
    if (HasFailure()) return;
  }
  // Cut off before Start set its areas, the key keeps the halves: a rerun that forgot them would
  // start as a fresh key does.
  EXPECT_GT(startsUnlikeAFreshKey, 0);
}

// The first run holds the key while it waits at "Format Warning"; a second one started then is
// refused at once, and the first ends as if it had been alone.
TEST(ImageLockTest, ASecondRunOnAKeyInUseIsRefusedAndTheFirstFinishes) {
  ASSERT_TRUE(image_tools::ToolAvailable(STELVARION_FSCK_FAT)) << "fsck.fat is missing (Debian package dosfstools)";
  const fs::path scratch = image_tools::ScratchFolder(STELVARION_CLI_TEST_TEMP_DIR, "ImageLock");
  const std::string program = Quote(STELVARION_BOOT_EXE);
  const std::string script =
      "cd " + Quote(scratch.string()) + " && mkfifo answer && { " + program +
      " --image key.img --label FIRST <answer >first.txt 2>&1 & } && exec 3>answer && "
      "for i in $(seq 200); do grep -q 'Continue?' first.txt && break; sleep 0.05; done && " +
      program + " --image key.img --label SECOND --yes >second.txt 2>&1; echo \"second $?\"; "
      "echo y >&3; exec 3>&-; wait $!; echo \"first $?\"";
  const image_tools::CommandResult run = RunCommand("bash -c " + Quote(script));
  EXPECT_NE(run.output.find("second 1\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("first 0\n"), std::string::npos) << run.output;
  EXPECT_EQ(Slurp(scratch / "second.txt"),
            "stelvarion-boot: the key in key.img is in use by another program; wait for it to finish\n");
  EXPECT_NE(Slurp(scratch / "first.txt").find(kSuccessful), std::string::npos) << Slurp(scratch / "first.txt");
  const fs::path image = scratch / "key.img";
  const image_tools::Partition partition = image_tools::FirstPartition(image);
  image_tools::CopyPartition(image, partition, scratch / "volume.img");
  EXPECT_EQ(image_tools::FsckFindings(STELVARION_FSCK_FAT, scratch / "volume.img"), std::vector<std::string>{});
  if (!testing::Test::HasFailure()) fs::remove_all(scratch);
}

INSTANTIATE_TEST_SUITE_P(EveryModelBothTransports, KillSweepTest,
                         testing::Values(Workflow{"P9PassThrough", "KV 2 Zarno P9", false, true},
                                         Workflow{"P9HelperDriver", "KV 2 Zarno P9", true, false},
                                         Workflow{"P3PassThrough", "KV 2 Zarno P3", false, true},
                                         Workflow{"P3HelperDriver", "KV 2 Zarno P3", true, false},
                                         Workflow{"VarnokPassThrough", "Varnok Key", false, true},
                                         Workflow{"VarnokHelperDriver", "Varnok Key", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
