// stelvarion-boot as a user runs it: the built program, its exit status, what it prints, what
// it leaves in the image and in the trace file.
#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/app/image_tools.h"

namespace {

namespace fs = std::filesystem;
using image_tools::Quote;

constexpr char kWarning[] =
    "[Format Warning] Formatting the disk will erase all data in the Stelvarion.\n"
    "To format the disk, click 'OK'.\n"
    "To quit, click 'Cancel'.\n";
constexpr char kSuccessful[] = "[StelvarionBootUtility] Successful.\nYour Stelvarion is now bootable.\n";

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class StelvarionBootTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(image_tools::ToolAvailable(STELVARION_BOOT_EXE)) << STELVARION_BOOT_EXE;
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    m_scratch = image_tools::ScratchFolder(STELVARION_CLI_TEST_TEMP_DIR,
                                           std::string(test->test_suite_name()) + "." + test->name());
    m_image = m_scratch / "key.img";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_scratch);
  }

  // Runs the program in the scratch folder with these arguments; stdin is the given text, or
  // empty (end of file at once).
  Outcome Invoke(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt) {
    std::string command = "cd " + Quote(m_scratch.string()) + " && " + Quote(STELVARION_BOOT_EXE);
    for (const std::string& arg : args) command += " " + Quote(arg);
    const fs::path in = m_scratch / "stdin.txt";
    std::ofstream(in) << input.value_or("");
    command += " <" + Quote(in.string()) + " >" + Quote((m_scratch / "out.txt").string()) + " 2>" +
               Quote((m_scratch / "err.txt").string());
    Outcome outcome;
    // In a subshell of its own: the runner sends the shell's own errors to its output.
    outcome.exitCode = image_tools::RunCommand("(" + command + ")").exitCode;
    outcome.out = Slurp(m_scratch / "out.txt");
    outcome.err = Slurp(m_scratch / "err.txt");
    return outcome;
  }

  static std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void RequireMtools() {
    for (const char* tool : {STELVARION_MLABEL, STELVARION_MDIR}) {
      ASSERT_TRUE(image_tools::ToolAvailable(tool)) << tool << " is missing (Debian package mtools)";
    }
  }

  // mtools on the image's partition, which starts at `firstSector`.
  image_tools::CommandResult Mtools(const char* tool, std::uint32_t firstSector, const std::string& arguments) {
    return image_tools::RunCommand(Quote(tool) + " -i " + Quote(m_image.string() + "@@" + std::to_string(firstSector * 512)) +
                                   " " + arguments);
  }

  fs::path m_scratch;
  fs::path m_image;
};

TEST_F(StelvarionBootTest, SuccessfulRunShowsTheDialogAndExitsZero) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const Outcome run = Invoke({"--image", "key.img", "--label", "STELV KEY 7", "--yes"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("Stelvarion Boot Utility", 0), 0u) << run.out;
  for (const char* line : {"Capacity: 1024 MB\n", "Volume label: STELV KEY 7\n", kWarning, "Continue? [y/N] y (--yes)\n",
                           "Formatting...\n", kSuccessful}) {
    EXPECT_TRUE(Has(run.out, line)) << "missing: " << line << "\nin:\n" << run.out;
  }
  EXPECT_LT(run.out.find(kWarning), run.out.find("Formatting...")) << run.out;

  // What the image holds, as mtools reads it.
  const image_tools::CommandResult label = Mtools(STELVARION_MLABEL, 63, "-s ::");
  EXPECT_TRUE(Has(label.output, "Volume label is STELV KEY 7")) << label.output;
  const image_tools::CommandResult dir = Mtools(STELVARION_MDIR, 63, "-a ::");
  for (const char* name : {"IBMBIO   COM", "IBMDOS   COM", "COMMAND  COM"}) EXPECT_TRUE(Has(dir.output, name)) << dir.output;
}

TEST_F(StelvarionBootTest, OtherModelThroughTheHelperDriver) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const Outcome run = Invoke({"--image", "key.img", "--model", "Varnok Key", "--capacity", "64", "--ordinary-user",
                              "--label", "VARNOK", "--yes"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "Capacity: 64 MB\n")) << run.out;
  EXPECT_TRUE(Has(run.out, kSuccessful)) << run.out;
  const image_tools::CommandResult label = Mtools(STELVARION_MLABEL, 32, "-s ::");
  EXPECT_TRUE(Has(label.output, "Volume label is VARNOK")) << label.output;
}

struct TraceCase {
  const char* name;
  std::vector<std::string> options;
  const char* commandPrefix;  // how a command line begins
  std::uint64_t pausesMs;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class TraceFileTest : public StelvarionBootTest, public testing::WithParamInterface<TraceCase> {};

TEST_P(TraceFileTest, HoldsEveryCommandBlockAndEveryPause) {
  const TraceCase& c = GetParam();
  std::vector<std::string> args{"--image", "key.img", "--label", "TRACED", "--yes", "--trace", "trace.txt"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const Outcome run = Invoke(args);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<std::string> lines = image_tools::Lines(Slurp(m_scratch / "trace.txt"));
  ASSERT_FALSE(lines.empty());

  // A command: where it went, the direction, the block's bytes, the length, the status.
  const std::regex command(R"((scsi [D-Z]: |helper \d+: )(in |out)( [0-9A-F]{2}){10,12} \d+ status \d+( \(.+\))?)");
  const std::regex pause(R"(pause (\d+) ms)");
  std::uint64_t pausedMs = 0;
  int fullClears = 0, sectorWrites = 0, sectorReads = 0;
  for (const std::string& line : lines) {
    std::smatch match;
    if (std::regex_match(line, match, pause)) {
      pausedMs += std::stoull(match[1]);
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, command)) << line;
    if (line.find("(no device answered)") != std::string::npos) continue;  // the helper's search
    EXPECT_EQ(line.rfind(c.commandPrefix, 0), 0u) << line;
    EXPECT_TRUE(line.find(" status 0") != std::string::npos) << line;
    const bool write = line.find("out 2A ") != std::string::npos;
    const bool read = line.find("in  28 ") != std::string::npos;
    if (write && line.find(" 16384 status") != std::string::npos) ++fullClears;
    if (write && line.find(" 512 status") != std::string::npos) ++sectorWrites;
    if (read && line.find(" 512 status") != std::string::npos) ++sectorReads;
  }
  // 0x99 and three resets 1500 each, 0x97 and 0xB6 1000 each, the files 500 + 3 x 250, the
  // end 500, and 300 after each of the two INQUIRYs over pass-through.
  EXPECT_EQ(pausedMs, c.pausesMs);
  EXPECT_EQ(fullClears, 18);
  EXPECT_EQ(sectorWrites, 6) << "MBR, both boot sectors, both FAT heads, the label entry";
  EXPECT_EQ(sectorReads, 2) << "the boot sector and the root directory for the label";
}

INSTANTIATE_TEST_SUITE_P(BothTransports, TraceFileTest,
                         testing::Values(TraceCase{"Administrator", {}, "scsi E: ", 10350},
                                         TraceCase{"OrdinaryUser", {"--ordinary-user"}, "helper 0: ", 9750}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StelvarionBootTest, WriteProtectedKeyExitsOneWithItsMessage) {
  const Outcome run = Invoke({"--image", "key.img", "--write-protected", "--yes"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.out, "\n[StelvarionBootUtility] Stelvarion is write protected.\n")) << run.out;
  EXPECT_FALSE(Has(run.out, "Successful.")) << run.out;
  EXPECT_TRUE(image_tools::AllZero(m_image));
}

// 30 MB hold too few 32-sector clusters for FAT16: refused before the key is changed.
TEST_F(StelvarionBootTest, KeyTooSmallForItsModelExitsOneUntouched) {
  const Outcome run = Invoke({"--image", "key.img", "--capacity", "30", "--yes"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.out, "Capacity: 30 MB\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "\n[StelvarionBootUtility] Program has encountered unknown error.\n")) << run.out;
  EXPECT_FALSE(Has(run.out, "Successful.")) << run.out;
  EXPECT_TRUE(image_tools::AllZero(m_image));
}

TEST_F(StelvarionBootTest, OneGigabyteKeyOnFirmware261IsMadeBootable) {
  const Outcome run =
      Invoke({"--image", "key.img", "--model", "KV 2 Zarno P9", "--capacity", "1024", "--revision", "2.61", "--yes"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Has(run.out, "Successful.")) << run.out;
}

TEST_F(StelvarionBootTest, RefusedLabelExitsOneWithoutTouchingTheKey) {
  const Outcome run = Invoke({"--image", "key.img", "--label", "A.B", "--yes"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.out, "[StelvarionBootUtility] A volume label cannot contain any of the following characters.\n"
                           "\\/|\".?,;:*+=<>[]\n\nPlease enter a valid volume label.\n"))
      << run.out;
  EXPECT_FALSE(Has(run.out, "[Format Warning]")) << run.out;
  EXPECT_TRUE(image_tools::AllZero(m_image));
}

TEST_F(StelvarionBootTest, WarningIsAnsweredOnTheTerminal) {
  struct Answer {
    std::optional<std::string> input;
    int exitCode;
  };
  for (const Answer& answer : {Answer{"n\n", 1}, Answer{"\n", 1}, Answer{std::nullopt, 1}, Answer{"no way\n", 1},
                               Answer{"Y\n", 0}}) {
    SCOPED_TRACE(answer.input.value_or("(end of input)"));
    fs::remove(m_image);
    const Outcome run = Invoke({"--image", "key.img", "--capacity", "16"}, answer.input);
    EXPECT_EQ(run.exitCode, answer.exitCode) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, std::string(kWarning) + "Continue? [y/N] ")) << run.out;
    if (answer.exitCode == 0) {
      EXPECT_TRUE(Has(run.out, kSuccessful)) << run.out;
    } else {
      // Cancel: nothing follows the question, and the key was not written.
      EXPECT_FALSE(Has(run.out, "Formatting...")) << run.out;
      EXPECT_FALSE(Has(run.out, "[StelvarionBootUtility]")) << run.out;
      EXPECT_TRUE(fs::exists(m_image));
      EXPECT_TRUE(image_tools::AllZero(m_image));
    }
  }
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class UsageErrorTest : public StelvarionBootTest, public testing::WithParamInterface<UsageCase> {};

TEST_P(UsageErrorTest, ExitsTwoWithAMessageAndLeavesNoImage) {
  std::vector<std::string> args{"--image", "key.img", "--yes"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const Outcome run = Invoke(args);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, std::string("stelvarion-boot: ") + GetParam().message + "\nTry 'stelvarion-boot --help'.\n");
  EXPECT_FALSE(fs::exists(m_image));
}

INSTANTIATE_TEST_SUITE_P(
    BadCommandLines, UsageErrorTest,
    testing::Values(UsageCase{"UnknownOption", {"--bogus"}, "unknown option --bogus"},
                    UsageCase{"ArgumentWithoutOption", {"key2.img"}, "unknown option key2.img"},
                    UsageCase{"LabelWithoutValue", {"--label"}, "--label needs a value"},
                    UsageCase{"ModelWithoutValue", {"--model"}, "--model needs a value"},
                    UsageCase{"CapacityWithoutValue", {"--capacity"}, "--capacity needs a value"},
                    UsageCase{"TraceWithoutValue", {"--trace"}, "--trace needs a value"},
                    UsageCase{"TwelveCharacterLabel", {"--label", "ABCDEFGHIJKL"}, "a volume label has at most 11 characters"},
                    UsageCase{"CapacityZero", {"--capacity", "0"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityTooLarge", {"--capacity", "65536"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityNegative", {"--capacity", "-5"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityWithUnit", {"--capacity", "12MB"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityNotANumber", {"--capacity", "big"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"UnknownOptionWithValue", {"--bogus=7"}, "unknown option --bogus=7"},
                    UsageCase{"UnknownOptionAfterGoodOnes", {"--capacity=16", "--labels", "X"}, "unknown option --labels"},
                    UsageCase{"TwelveCharacterLabelAfterEquals", {"--label=ABCDEFGHIJKL"}, "a volume label has at most 11 characters"},
                    UsageCase{"CapacityZeroAfterEquals", {"--capacity=0"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"RevisionTooLongAfterEquals", {"--revision=2.450"}, "--revision takes four characters, like 2.45"},
                    UsageCase{"BanksNotANumberAfterEquals", {"--banks=two"}, "--banks takes a number from 0 to 65535"},
                    UsageCase{"UnknownModel",
                              {"--model", "KV 2 Zarno P7"},
                              "unknown model \"KV 2 Zarno P7\" (one of \"KV 2 Zarno P9\", \"KV 2 Zarno P3\", \"Varnok Key\")"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StelvarionBootTest, ElevenCharacterLabelIsTaken) {
  const Outcome run = Invoke({"--image", "key.img", "--label", "ABCDEFGHIJK", "--yes", "--capacity", "16"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "Volume label: ABCDEFGHIJK\n")) << run.out;
}

// Every option with a value takes it after an equals sign as well as in the next argument.
TEST_F(StelvarionBootTest, ValuesAfterAnEqualsSignAreTaken) {
  const Outcome run = Invoke({"--image=key.img", "--label=EQUALS SIGN", "--yes", "--capacity=16",
                              "--model=KV 2 Zarno P3", "--revision=2.00", "--flash-type=3", "--banks=2", "--trace=trace.txt"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "emulated key \"KV 2 Zarno P3\", 16 MB, firmware 2.00, image key.img\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "Volume label: EQUALS SIGN\n")) << run.out;
  EXPECT_TRUE(fs::exists(m_image));
  EXPECT_GT(fs::file_size(m_scratch / "trace.txt"), 0u);
}

TEST_F(StelvarionBootTest, AnOptionGivenTwiceTakesItsLastValue) {
  const Outcome run = Invoke({"--image", "other.img", "--label", "FIRST", "--yes", "--capacity", "8",
                              "--label=SECOND", "--capacity", "16", "--image", "key.img"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "16 MB, firmware 2.45, image key.img\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "Volume label: SECOND\n")) << run.out;
  EXPECT_TRUE(fs::exists(m_image));
  EXPECT_FALSE(fs::exists(m_scratch / "other.img"));
}

TEST_F(StelvarionBootTest, HelpListsEveryOptionAndTouchesNothing) {
  const Outcome run = Invoke({"--image", "key.img", "--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("usage: stelvarion-boot [options]\n", 0), 0u) << run.out;
  for (const char* option : {"--image PATH", "--label TEXT", "--yes", "--model NAME", "--capacity MB", "--revision TEXT",
                             "--flash-type N", "--banks N", "--ordinary-user", "--write-protected", "--real-pauses",
                             "--trace FILE", "--system-files DIR", "--help"}) {
    EXPECT_TRUE(Has(run.out, std::string("  ") + option)) << option;
  }
  EXPECT_TRUE(Has(run.out, "Exit status: 0 after \"Successful.\", 1 after any other message or a refusal, 2 for a\nusage error."))
      << run.out;
  EXPECT_FALSE(fs::exists(m_image));
  EXPECT_EQ(Invoke({"-h"}).out, run.out);
}

// ---- System files from a folder ------------------------------------------------------------

class SystemFilesFolderTest : public StelvarionBootTest {
 protected:
  // A folder with the three files: IBMBIO.COM of `ibmbioBytes` beginning with a jump, each file
  // of its own pattern, so that a file copied from the wrong source or cut short shows.
  fs::path MakeFolder(std::size_t ibmbioBytes, std::uint8_t firstByte = 0xE9) {
    const fs::path folder = m_scratch / "dos";
    fs::create_directories(folder);
    const std::size_t sizes[] = {ibmbioBytes, 4000, 5000};
    for (std::size_t i = 0; i < 3; ++i) {
      std::string bytes(sizes[i], '\0');
      for (std::size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>((b * 7 + i * 31) & 0xFF);
      if (!bytes.empty() && i == 0) bytes[0] = static_cast<char>(firstByte);
      if (bytes.size() > 1 && i == 0 && firstByte == 'M') bytes[1] = 'Z';
      std::ofstream(folder / kNames[i], std::ios::binary) << bytes;
    }
    return folder;
  }

  // A refused folder leaves an existing image as it was and creates none.
  void ExpectRefusedUntouched(const std::vector<std::string>& args, const std::string& because) {
    std::ofstream(m_image, std::ios::binary) << std::string(4096, 'k');
    std::vector<std::string> withImage = {"--image", "key.img", "--yes"};
    withImage.insert(withImage.end(), args.begin(), args.end());
    const Outcome existing = Invoke(withImage);
    EXPECT_EQ(existing.exitCode, 1) << existing.out << existing.err;
    EXPECT_TRUE(Has(existing.err, because)) << existing.err;
    EXPECT_EQ(existing.out, "") << "nothing was started";
    // Its size first: a program that went on would have grown it to the key's whole capacity.
    ASSERT_EQ(fs::file_size(m_image), 4096u);
    EXPECT_TRUE(Slurp(m_image) == std::string(4096, 'k')) << "the image was written to";

    fs::remove(m_image);
    withImage[1] = "new.img";
    EXPECT_EQ(Invoke(withImage).exitCode, 1);
    EXPECT_FALSE(fs::exists(m_scratch / "new.img"));
  }

  static constexpr const char* kNames[] = {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM"};
};

TEST_F(SystemFilesFolderTest, TheFolderFilesAreCopiedInsteadOfTheBuiltInOnes) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const fs::path folder = MakeFolder(1536);
  const Outcome run = Invoke({"--image", "key.img", "--yes", "--system-files", folder.string()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* name : kNames) {
    const fs::path copied = m_scratch / (std::string("copied-") + name);
    const image_tools::CommandResult read = Mtools(STELVARION_MCOPY, 63, "-n ::" + std::string(name) + " " + Quote(copied.string()));
    ASSERT_EQ(read.exitCode, 0) << read.output;
    EXPECT_TRUE(Slurp(copied) == Slurp(folder / name)) << name << " differs from the folder's";
  }

  // Without the option the built-in files are copied again.
  const Outcome builtIn = Invoke({"--image", "key.img", "--yes"});
  EXPECT_EQ(builtIn.exitCode, 0) << builtIn.out;
  const fs::path copied = m_scratch / "built-in-IBMBIO.COM";
  ASSERT_EQ(Mtools(STELVARION_MCOPY, 63, "-n ::IBMBIO.COM " + Quote(copied.string())).exitCode, 0);
  EXPECT_TRUE(Slurp(copied) != Slurp(folder / "IBMBIO.COM")) << "the folder's IBMBIO.COM was copied again";
}

TEST_F(SystemFilesFolderTest, NamesInAnotherCaseAreFound) {
  const fs::path folder = MakeFolder(2048);
  fs::rename(folder / "COMMAND.COM", folder / "command.com");
  const Outcome run = Invoke({"--image", "key.img", "--yes", "--system-files", folder.string()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

TEST_F(SystemFilesFolderTest, AFolderLackingAFileIsRefusedWithNothingWritten) {
  for (const char* name : kNames) {
    const fs::path folder = MakeFolder(2048);
    fs::remove(folder / name);
    ExpectRefusedUntouched({"--system-files", folder.string()}, std::string("lacks ") + name);
    fs::remove_all(folder);
  }
  ExpectRefusedUntouched({"--system-files", (m_scratch / "nowhere").string()}, "is not a folder");
}

TEST_F(SystemFilesFolderTest, AnIbmbioShorterThanThreeSectorsIsRefusedWithNothingWritten) {
  ExpectRefusedUntouched({"--system-files", MakeFolder(1535).string()},
                         "IBMBIO.COM is 1535 bytes, shorter than the 1536 (three sectors) that the boot sector loads");
}

TEST_F(SystemFilesFolderTest, FilesThatWillNotStartAreWarnedAboutButCopied) {
  const fs::path exe = MakeFolder(4096, 'M');
  const Outcome run = Invoke({"--image", "key.img", "--yes", "--system-files", exe.string()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.err, "stelvarion-boot: warning: IBMBIO.COM is an EXE image")) << run.err;
  fs::remove_all(exe);

  const fs::path noJump = MakeFolder(4096, 0x00);
  std::ofstream(noJump / "MSDOS.SYS") << "x";
  const Outcome other = Invoke({"--image", "key.img", "--yes", "--system-files", noJump.string()});
  EXPECT_EQ(other.exitCode, 0) << other.out << other.err;
  EXPECT_TRUE(Has(other.err, "warning: IBMBIO.COM does not begin with a jump")) << other.err;
  EXPECT_TRUE(Has(other.err, "warning: the folder also holds MSDOS.SYS, which is not copied")) << other.err;
}

}  // namespace
