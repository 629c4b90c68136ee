// A run of stelvarion-boot killed (SIGKILL) at each of its pauses, and inside each state write
// that changes the key's areas (half-way through writing it, and before its new copy is renamed),
// then run again on the same image as a user would after a crash: the rerun takes the stored key,
// starts from the areas the killed run had reached (or, killed in a state write, the ones it was
// storing), makes the key bootable, and the volume passes fsck.fat (and boots in qemu). Which
// areas those are comes from the commands the run sent, never from the state file it left.
// And two runs on one image at once: the second is turned away.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
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

// The areas a key shows, as its documented commands set them: 0xB4 stores the register and shows
// the whole flash until a refresh (0x99) shows the first area; 0x9E shows area 0, 1 or the whole
// flash (5); SwitchMedium the area its flag names; 0x9F toggles between the areas; a device reset
// shows the first area.
struct Areas {
  std::uint64_t reg = 0;
  std::string view = "first area";

  // The rerun's first trace line for a key starting so.
  std::string Line() const { return "key E: area register " + std::to_string(reg) + " sectors, " + view + " visible"; }

  // One line of the key log: "NAME in|out LENGTH status S field=value ...".
  void Apply(const std::string& record) {
    std::istringstream in(record);
    std::string name, direction, length, statusWord, field;
    int status = -1;
    in >> name >> direction >> length >> statusWord >> status;
    std::uint64_t value = 0;
    std::string key;
    while (in >> field) {
      key = field.substr(0, field.find('='));
      value = std::stoull(field.substr(field.find('=') + 1));
    }
    if (status != 0) return;
    const char* views[] = {"first area", "second area", "whole flash"};
    if (name == "SetAreaSize" && key == "sectors") {
      reg = value;
      view = views[2];
    } else if (name == "SendCommand9E" && (value == 0 || value == 1 || value == 5)) {
      view = views[value == 5 ? 2 : value];
    } else if (name == "SwitchMedium" && value <= 1) {
      view = views[value];
    } else if (name == "SendCommand9F") {
      view = view == views[1] ? views[0] : views[1];
    } else if (name == "RefreshMedium" && view == views[2]) {
      view = views[0];
    } else if (name == "DeviceReset") {
      view = views[0];
    }
  }
  bool operator!=(const Areas& o) const { return reg != o.reg || view != o.view; }
};

// Where an uncut run from the same start had its key at each pause and after each command: the
// commands a killed run sent are the ones the uncut run sent before the same point.
struct RunOracle {
  std::vector<Areas> atPause{Areas{}};           // [k]: as the k-th pause began
  std::vector<std::size_t> commandsAtPause{0};   // [k]: how many commands the key had run
  std::vector<Areas> afterCommand;               // [m]: after the key's m-th command; [0] the start

  // The trace has every pause and every command block (those no device answered marked so);
  // the key log every command the key ran, in the same order.
  RunOracle(const Areas& start, const std::vector<std::string>& trace, const std::vector<std::string>& keyLog)
      : afterCommand{start} {
    Areas now = start;
    std::size_t ran = 0;
    for (const std::string& line : trace) {
      if (line.rfind("pause ", 0) == 0) {
        atPause.push_back(now);
        commandsAtPause.push_back(ran);
      } else if ((line.rfind("scsi ", 0) == 0 || line.rfind("helper ", 0) == 0) && line.find(" (") == std::string::npos) {
        if (ran < keyLog.size()) now.Apply(keyLog[ran]);
        ++ran;
        afterCommand.push_back(now);
      }
    }
    EXPECT_EQ(ran, keyLog.size()) << "the trace's commands and the key log's differ";
  }
};

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

TEST_P(KillSweepTest, RerunAfterAKillAtEveryPauseAndInEveryStateWriteStartsFromTheAreasReached) {
  const Workflow& w = GetParam();
  const std::vector<std::string> first{"--image", "key.img", "--model", w.model, "--label", "KILLED", "--yes"};

  // The whole run once, to see what a fresh key starts with and to have a state to start from.
  const image_tools::CommandResult whole = Run({"--image", "key.img", "--model", w.model, "--yes", "--trace", "whole.txt"});
  ASSERT_EQ(whole.exitCode, 0) << whole.output;
  const std::vector<std::string> wholeTrace = image_tools::Lines(Slurp(m_scratch / "whole.txt"));
  ASSERT_FALSE(wholeTrace.empty());
  const std::string freshStart = wholeTrace.front();

  // The state is the documented one: its last checksum is the CRC-32 of all that stands before it.
  const std::string wholeState = Slurp(m_image.string() + ".state");
  const std::size_t checksumAt = wholeState.rfind("checksum ");
  ASSERT_NE(checksumAt, std::string::npos);
  ASSERT_EQ(wholeState.substr(checksumAt), ChecksumLine(wholeState.substr(0, checksumAt)));
  // Each killed run starts on a blank key that an earlier user split into two halves, so that a
  // rerun which forgot the key's areas would start otherwise.
  const std::uint64_t flashSectors = std::stoull(StateField(wholeState, "flash-sectors"));
  const std::string splitState =
      WithField(WithField(wholeState, "area-register", std::to_string(flashSectors / 2)), "view", "first-area");
  const Areas split{flashSectors / 2, "first area"};
  const auto startSplit = [&] {
    FreshImage();
    std::ofstream(m_image, std::ios::binary).close();
    fs::resize_file(m_image, flashSectors * 512);
    std::ofstream(m_image.string() + ".state", std::ios::binary) << splitState;
  };

  // The killed runs' run, uncut: its commands tell where each kill leaves the key.
  startSplit();
  const image_tools::CommandResult uncut = [&] {
    std::vector<std::string> args = first;
    args.insert(args.end(), {"--trace", "uncut.txt", "--key-log", "uncut-key.txt"});
    return Run(args);
  }();
  ASSERT_EQ(uncut.exitCode, 0) << uncut.output;
  const RunOracle oracle(split, image_tools::Lines(Slurp(m_scratch / "uncut.txt")),
                         image_tools::Lines(Slurp(m_scratch / "uncut-key.txt")));
  const std::size_t pauses = oracle.atPause.size() - 1;
  ASSERT_GE(pauses, 10u) << "the Start sequence pauses after its device commands";

  int startsUnlikeAFreshKey = 0;
  bool booted = !w.boot;
  // Run again as a user would: only the image; the key is the stored one, starting as expected.
  const auto rerunStartsFrom = [&](const std::set<std::string>& starts) {
    const image_tools::CommandResult rerun = Run({"--image", "key.img", "--label", "RERUN", "--yes", "--trace", "rerun.txt"});
    ASSERT_EQ(rerun.exitCode, 0) << rerun.output;
    EXPECT_NE(rerun.output.find(std::string("emulated key \"") + w.model + "\""), std::string::npos) << rerun.output;
    EXPECT_NE(rerun.output.find(kSuccessful), std::string::npos) << rerun.output;
    const std::vector<std::string> trace = image_tools::Lines(Slurp(m_scratch / "rerun.txt"));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(starts.count(trace.front()), 1u) << trace.front() << "\nexpected " << *starts.begin();
    if (trace.front() != freshStart) ++startsUnlikeAFreshKey;
    EXPECT_FALSE(fs::exists(m_image.string() + ".state.new")) << "a new copy left by the killed run";
    EXPECT_EQ(Fsck(), std::vector<std::string>{});
    if (!booted) {
      booted = true;
      const image_tools::CommandResult boot =
          RunCommand("QEMU=" + Quote(STELVARION_QEMU) + " bash " + Quote(STELVARION_BOOT_CHECK) + " --expect " +
                     Quote(kSystemFilesLine) + " " + Quote(m_image.string()));
      EXPECT_EQ(boot.exitCode, 0) << boot.output;
      EXPECT_NE(boot.output.find("Volume label: RERUN"), std::string::npos) << boot.output;
    }
  };

  // Killed at each pause; pauses with no command since the one before leave the key as that one.
  for (std::size_t k = 1; k <= pauses; ++k) {
    if (k > 1 && oracle.commandsAtPause[k] == oracle.commandsAtPause[k - 1]) continue;
    SCOPED_TRACE("killed at pause " + std::to_string(k) + " of " + std::to_string(pauses));
    startSplit();
    const image_tools::CommandResult killed = Run(first, "STELVARION_TEST_KILL_AT_PAUSE=" + std::to_string(k));
    ASSERT_EQ(killed.exitCode, kKilledExit) << killed.output;
    ASSERT_EQ(killed.output.find(kSuccessful), std::string::npos) << killed.output;
    rerunStartsFrom({oracle.atPause[k].Line()});
    if (HasFailure()) return;
  }

  // Killed inside the state write of each command that changes the areas: the rerun reads the
  // state before the command or after it, never a damaged one.
  int newCopiesLeft = 0;
  int killedBeforeRename = 0;
  for (std::size_t m = 1; m < oracle.afterCommand.size(); ++m) {
    if (!(oracle.afterCommand[m] != oracle.afterCommand[m - 1])) continue;
    for (const char* point : {"half", "rename"}) {
      SCOPED_TRACE("killed in the state write of command " + std::to_string(m) + " (" + point + ")");
      startSplit();
      const image_tools::CommandResult killed =
          Run(first, "STELVARION_TEST_KILL_IN_STATE_WRITE=" + std::to_string(m) + ":" + point);
      // A change added to the file has no new copy to rename.
      if (std::string(point) == "rename" && killed.exitCode == 0) continue;
      ASSERT_EQ(killed.exitCode, kKilledExit) << killed.output;
      killedBeforeRename += std::string(point) == "rename" ? 1 : 0;
      newCopiesLeft += fs::exists(m_image.string() + ".state.new") ? 1 : 0;
      rerunStartsFrom({oracle.afterCommand[m - 1].Line(), oracle.afterCommand[m].Line()});
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(killedBeforeRename, 0) << "no state write renamed a new copy";
  EXPECT_GT(newCopiesLeft, 0) << "no killed write left a new copy for the rerun to clear away";
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
