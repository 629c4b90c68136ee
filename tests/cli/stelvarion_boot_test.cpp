// stelvarion-boot as a user runs it: the built program, its exit status, what it prints, what
// it leaves in the image and in the trace file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <fstream>
#include <numeric>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>  // geteuid

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
    std::string command = "cd " + Quote(m_scratch.string()) + " && " + m_runAs + Quote(STELVARION_BOOT_EXE);
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
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
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

  // fsck.fat -n on the image's partition: what it would mend, but for its false report on a
  // label with bytes from 0x80 up (`labelBytes`, as stored).
  std::vector<std::string> FsckFindings(const std::string& labelBytes = "") {
    if (!image_tools::ToolAvailable(STELVARION_FSCK_FAT)) return {"fsck.fat is missing (Debian package dosfstools)"};
    const fs::path volume = m_scratch / "volume.img";
    image_tools::CopyPartition(m_image, image_tools::FirstPartition(m_image), volume);
    std::vector<std::string> findings =
        image_tools::WithoutHighByteLabelReport(image_tools::FsckFindings(STELVARION_FSCK_FAT, volume), labelBytes);
    fs::remove(volume);
    return findings;
  }

  // A run that said "Successful." and left a volume fsck.fat finds nothing to mend in.
  void ExpectSuccessfulVolume(const Outcome& run, const std::string& labelBytes = "") {
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, kSuccessful)) << run.out;
    EXPECT_EQ(FsckFindings(labelBytes), std::vector<std::string>{});
  }

  // mtools in code page 1252, printing UTF-8.
  image_tools::CommandResult Mtools1252(const char* tool, std::uint32_t firstSector, const std::string& arguments) {
    const fs::path rc = m_scratch / "mtoolsrc";
    std::ofstream(rc) << "DEFAULT_CODEPAGE=1252\n";
    return image_tools::RunCommand("LC_ALL=C.UTF-8 MTOOLSRC=" + Quote(rc.string()) + " " + Quote(tool) + " -i " +
                                   Quote(m_image.string() + "@@" + std::to_string(firstSector * 512)) + " " + arguments);
  }

  // The label's bytes as stored, padded with spaces: in the boot sector's label field (offset 43
  // of a FAT12/16 boot sector) and in the root directory's label entry, as mtools reads it.
  void ExpectStoredLabel(const std::string& bytes, const std::string& asUtf8) {
    ASSERT_NO_FATAL_FAILURE(RequireMtools());
    const std::uint32_t first = image_tools::FirstPartition(m_image).firstSector;
    const std::vector<std::uint8_t> field = image_tools::ReadBytes(m_image, first * 512ull + 43, 11);
    EXPECT_EQ(std::string(field.begin(), field.end()), bytes + std::string(11 - bytes.size(), ' '));
    const image_tools::CommandResult label = Mtools1252(STELVARION_MLABEL, first, "-s ::");
    EXPECT_EQ(label.output, " Volume label is " + asUtf8 + "\n");
  }

  // Files the run left in its folder, but for the ones the test harness writes.
  std::vector<std::string> LeftBehind() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_scratch)) {
      const std::string name = entry.path().filename().string();
      if (name != "stdin.txt" && name != "out.txt" && name != "err.txt") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // A fresh key: its image and the state kept beside it both go.
  void RemoveKey() {
    fs::remove(m_image);
    fs::remove(m_image.string() + ".state");
  }

  // Later runs as a user without root's right to read and write anything (nobody, when the
  // tests run as root), the scratch folder theirs.
  void RunAsOrdinaryUser() {
    if (::geteuid() != 0) return;
    ASSERT_EQ(image_tools::RunCommand("chown -R 65534:65534 " + Quote(m_scratch.string())).exitCode, 0);
    m_runAs = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }

  fs::path m_scratch;
  fs::path m_image;
  std::string m_runAs;  // a command that runs the program, or empty
};

TEST_F(StelvarionBootTest, SuccessfulRunShowsTheDialogAndExitsZero) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const Outcome run = Invoke({"--image", "key.img", "--label", "STELV KEY 7", "--yes"});
  ExpectSuccessfulVolume(run);
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
  ExpectSuccessfulVolume(run);
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
  std::vector<std::string> lines = image_tools::Lines(Slurp(m_scratch / "trace.txt"));
  ASSERT_FALSE(lines.empty());
  // First the areas the key starts with: a fresh key's register covers the whole flash.
  EXPECT_EQ(lines.front(), "key E: area register 2019328 sectors, first area visible");
  lines.erase(lines.begin());

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
  EXPECT_EQ(LeftBehind(), std::vector<std::string>{}) << "the key took nothing: the new image goes again";
}

TEST_F(StelvarionBootTest, OneGigabyteKeyOnFirmware261IsMadeBootable) {
  const Outcome run =
      Invoke({"--image", "key.img", "--model", "KV 2 Zarno P9", "--capacity", "1024", "--revision", "2.61", "--yes"});
  ExpectSuccessfulVolume(run);
}

TEST_F(StelvarionBootTest, RefusedLabelExitsOneWithoutTouchingTheKey) {
  const Outcome run = Invoke({"--image", "key.img", "--label", "A.B", "--yes"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.out, "[StelvarionBootUtility] A volume label cannot contain any of the following characters.\n"
                           "\\/|\".?,;:*+=<>[]\n\nPlease enter a valid volume label.\n"))
      << run.out;
  EXPECT_FALSE(Has(run.out, "[Format Warning]")) << run.out;
  EXPECT_EQ(LeftBehind(), std::vector<std::string>{});
}

// Only "y" and "yes", in any case and between blanks, are OK. Anything else cancels, says so
// and leaves no image of its own making.
TEST_F(StelvarionBootTest, WarningIsAnsweredOnTheTerminal) {
  struct Answer {
    std::optional<std::string> input;
    int exitCode;
  };
  for (const Answer& answer : {Answer{"n\n", 1}, Answer{"\n", 1}, Answer{std::nullopt, 1}, Answer{"no way\n", 1},
                               Answer{"yn\n", 1}, Answer{"ye\n", 1}, Answer{"yes please\n", 1}, Answer{"Y\n", 0},
                               Answer{"yes\n", 0}, Answer{" YeS \r\n", 0}}) {
    SCOPED_TRACE(answer.input.value_or("(end of input)"));
    RemoveKey();
    const Outcome run = Invoke({"--image", "key.img", "--capacity", "16"}, answer.input);
    EXPECT_TRUE(Has(run.out, std::string(kWarning) + "Continue? [y/N] ")) << run.out;
    if (answer.exitCode == 0) {
      ExpectSuccessfulVolume(run);
    } else {
      EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
      // Cancel: the closing line follows the question, and the key was not written.
      EXPECT_TRUE(Has(run.out, "\nCancelled: nothing was written.\n")) << run.out;
      EXPECT_FALSE(Has(run.out, "Formatting...")) << run.out;
      EXPECT_FALSE(Has(run.out, "[StelvarionBootUtility]")) << run.out;
      EXPECT_EQ(LeftBehind(), std::vector<std::string>{});
    }
  }
}

// An image that was there before is left as it was.
TEST_F(StelvarionBootTest, CancelKeepsAnImageThatWasThere) {
  ASSERT_EQ(Invoke({"--image", "key.img", "--capacity", "16", "--label", "KEPT", "--yes"}).exitCode, 0);
  const std::vector<std::uint8_t> before = image_tools::ReadBytes(m_image, 0, 128 * 512);
  const Outcome run = Invoke({"--image", "key.img", "--capacity", "16"}, "n\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Has(run.out, "Cancelled: nothing was written.\n")) << run.out;
  ASSERT_TRUE(fs::exists(m_image));
  EXPECT_EQ(image_tools::ReadBytes(m_image, 0, 128 * 512), before);
}

constexpr char kTwelveBytes[] =
    "a volume label has at most 11 characters, counted as the bytes stored (one per character of code page 1252); "
    "this one has 12";

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
  EXPECT_EQ(LeftBehind(), std::vector<std::string>{}) << "neither an image nor a trace file";
}

INSTANTIATE_TEST_SUITE_P(
    BadCommandLines, UsageErrorTest,
    testing::Values(UsageCase{"UnknownOption", {"--bogus"}, "unknown option --bogus"},
                    UsageCase{"ArgumentWithoutOption", {"key2.img"}, "unknown option key2.img"},
                    UsageCase{"LabelWithoutValue", {"--label"}, "--label needs a value"},
                    UsageCase{"ModelWithoutValue", {"--model"}, "--model needs a value"},
                    UsageCase{"CapacityWithoutValue", {"--capacity"}, "--capacity needs a value"},
                    UsageCase{"TraceWithoutValue", {"--trace"}, "--trace needs a value"},
                    UsageCase{"TwelveCharacterLabel", {"--label", "ABCDEFGHIJKL"}, kTwelveBytes},
                    UsageCase{"CapacityZero", {"--capacity", "0"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityTooLarge", {"--capacity", "65536"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityNegative", {"--capacity", "-5"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityWithUnit", {"--capacity", "12MB"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"CapacityNotANumber", {"--capacity", "big"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"UnknownOptionWithValue", {"--bogus=7"}, "unknown option --bogus=7"},
                    UsageCase{"UnknownOptionAfterGoodOnes", {"--capacity=16", "--labels", "X"}, "unknown option --labels"},
                    UsageCase{"TwelveCharacterLabelAfterEquals", {"--label=ABCDEFGHIJKL"}, kTwelveBytes},
                    UsageCase{"CapacityZeroAfterEquals", {"--capacity=0"}, "--capacity takes megabytes from 1 to 65535"},
                    UsageCase{"RevisionTooLongAfterEquals", {"--revision=2.450"}, "--revision takes four characters of printable ASCII, like 2.45"},
                    UsageCase{"BanksNotANumberAfterEquals", {"--banks=two"}, "--banks takes a number from 1 to 65535"},
                    // Labels a FAT reader refuses, or that the code page cannot hold.
                    UsageCase{"LabelWithATab", {"--label", "A\tB"}, "a volume label cannot hold control characters (U+0009 is character 2)"},
                    UsageCase{"LabelWithControlA", {"--label", "A\x01" "B"}, "a volume label cannot hold control characters (U+0001 is character 2)"},
                    UsageCase{"LabelWithDelete", {"--label", "AB\x7F"}, "a volume label cannot hold control characters (U+007F is character 3)"},
                    UsageCase{"LabelWithC1Control", {"--label", "A\u0085"}, "a volume label cannot hold control characters (U+0085 is character 2)"},
                    UsageCase{"LabelAllSpaces", {"--label", "   "}, "a volume label cannot be all spaces (--label '' gives none)"},
                    UsageCase{"LabelBeginningWithASpace", {"--label", " KEY"}, "a volume label cannot begin with a space"},
                    UsageCase{"LabelInChinese", {"--label", "\u597D"},
                              "a volume label is written in the Windows code page 1252, which has no \u597D (U+597D)"},
                    UsageCase{"LabelNamesEveryMissingCharacter", {"--label", "A\u0394B\u2603"},
                              "a volume label is written in the Windows code page 1252, which has no \u0394 (U+0394), "
                              "\u2603 (U+2603)"},
                    UsageCase{"LabelNotUtf8", {"--label", "\xC4\xD6"}, "a volume label is read as UTF-8, and this one is not UTF-8"},
                    // Twelve letters of two UTF-8 bytes each: twelve bytes stored.
                    UsageCase{"TwelveUmlauts", {"--label", "\u00C4\u00D6\u00DC\u00C4\u00D6\u00DC\u00C4\u00D6\u00DC\u00C4\u00D6\u00DC"}, kTwelveBytes},
                    UsageCase{"RevisionWithAControlCharacter", {"--revision", "2.4\t"}, "--revision takes four characters of printable ASCII, like 2.45"},
                    UsageCase{"RevisionOfFourUtf8Bytes", {"--revision", "2.\u00E9"}, "--revision takes four characters of printable ASCII, like 2.45"},
                    // Empty values.
                    UsageCase{"EmptyImage", {"--image", ""}, "--image needs a value"},
                    UsageCase{"EmptyImageAfterEquals", {"--image="}, "--image needs a value"},
                    UsageCase{"EmptyTrace", {"--trace", ""}, "--trace needs a value"},
                    UsageCase{"EmptyTraceAfterEquals", {"--trace="}, "--trace needs a value"},
                    UsageCase{"EmptyModelAfterEquals", {"--model="}, "--model needs a value"},
                    UsageCase{"EmptyCapacityAfterEquals", {"--capacity="}, "--capacity needs a value"},
                    UsageCase{"EmptyRevisionAfterEquals", {"--revision="}, "--revision needs a value"},
                    UsageCase{"EmptyBanksAfterEquals", {"--banks="}, "--banks needs a value"},
                    UsageCase{"YesWithAValue", {"--yes=1"}, "--yes takes no value"},
                    UsageCase{"FlagWithAnEmptyValue", {"--ordinary-user="}, "--ordinary-user takes no value"},
                    // Values no layout takes.
                    UsageCase{"FlashTypeFour", {"--flash-type", "4"},
                              "--flash-type 4 gives firmware 2.45 no sector count to lay the key out with; it takes 0 to 3"},
                    UsageCase{"FlashTypeLargest", {"--flash-type=65535"},
                              "--flash-type 65535 gives firmware 2.45 no sector count to lay the key out with; it takes 0 to 3"},
                    UsageCase{"FlashTypeOnFirmware115", {"--revision", "1.15", "--flash-type", "0"},
                              "--flash-type 0 gives firmware 1.15 no sector count to lay the key out with; it takes 2"},
                    UsageCase{"BanksZero", {"--banks", "0"}, "--banks takes a number from 1 to 65535"},
                    UsageCase{"P9Capacity17", {"--capacity", "17"},
                              "--capacity 17 MB: no layout makes a sound volume of it on \"KV 2 Zarno P9\" with firmware 2.45; "
                              "it takes 1 to 16 and 67 to 65535 MB"},
                    UsageCase{"P9Capacity30", {"--capacity", "30"},
                              "--capacity 30 MB: no layout makes a sound volume of it on \"KV 2 Zarno P9\" with firmware 2.45; "
                              "it takes 1 to 16 and 67 to 65535 MB"},
                    UsageCase{"P9Capacity66", {"--capacity", "66"},
                              "--capacity 66 MB: no layout makes a sound volume of it on \"KV 2 Zarno P9\" with firmware 2.45; "
                              "it takes 1 to 16 and 67 to 65535 MB"},
                    UsageCase{"P9Capacity64On260", {"--capacity", "64", "--revision", "2.60"},
                              "--capacity 64 MB: no layout makes a sound volume of it on \"KV 2 Zarno P9\" with firmware 2.60; "
                              "it takes 1 to 16 and 65 to 65535 MB"},
                    UsageCase{"P3Capacity4097", {"--model", "KV 2 Zarno P3", "--capacity", "4097"},
                              "--capacity 4097 MB: no layout makes a sound volume of it on \"KV 2 Zarno P3\" with firmware 2.45; "
                              "it takes 1 to 4096 MB"},
                    UsageCase{"ImageInProc", {"--image", "/proc/version"}, "--image /proc/version is not a plain file: its size is not what it holds"},
                    UsageCase{"ImageIsAFolder", {"--image", "/tmp"}, "--image /tmp is not a plain file"},
                    UsageCase{"ImageInAMissingFolder", {"--image", "/nonexistent/key.img"}, "--image /nonexistent/key.img: there is no folder /nonexistent"},
                    UsageCase{"TraceInAMissingFolder", {"--trace", "/nonexistent/t.txt"},
                              "--trace /nonexistent/t.txt cannot be written: No such file or directory"},
                    UsageCase{"TraceIsTheImage", {"--trace", "key.img"}, "--trace key.img is the key's image key.img; the trace needs a file of its own"},
                    UsageCase{"TraceIsTheImageByAnotherPath", {"--trace", "./key.img"},
                              "--trace ./key.img is the key's image key.img; the trace needs a file of its own"},
                    UsageCase{"UnknownModel",
                              {"--model", "KV 2 Zarno P7"},
                              "unknown model \"KV 2 Zarno P7\" (one of \"KV 2 Zarno P9\", \"KV 2 Zarno P3\", \"Varnok Key\")"}),
    [](const auto& info) { return std::string(info.param.name); });

// The terminal's UTF-8 becomes the code-page bytes the Windows program would get; mtools, told
// the code page, reads the label back.
TEST_F(StelvarionBootTest, LabelIsStoredInCodePage1252) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const Outcome run = Invoke({"--image", "key.img", "--label", "\u00C4\u00D6\u00DC caf\u00E9", "--yes", "--capacity", "16"});
  ExpectSuccessfulVolume(run, "\xC4\xD6\xDC caf\xE9");
  EXPECT_TRUE(Has(run.out, "Volume label: \u00C4\u00D6\u00DC caf\u00E9\n")) << run.out;
  const image_tools::CommandResult label = Mtools1252(STELVARION_MLABEL, 63, "-s ::");
  EXPECT_TRUE(Has(label.output, "Volume label is \u00C4\u00D6\u00DC caf\u00E9")) << label.output;
  const std::vector<std::uint8_t> boot = image_tools::ReadBytes(m_image, 63 * 512, 512);
  const std::uint64_t root = 63 + 1 + 2ull * boot[22];
  const std::vector<std::uint8_t> entry = image_tools::ReadBytes(m_image, root * 512 + 96, 11);
  EXPECT_EQ(std::string(entry.begin(), entry.end()), "\xC4\xD6\xDC caf\xE9   ");
}

// "\u00E5" is 0xE5 in the code page, the byte that marks a deleted entry: stored as 0x05, the
// label is still there for mtools (the command that used to report "has no label").
TEST_F(StelvarionBootTest, LabelBeginningWithARingedAIsKept) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const Outcome run = Invoke({"--image", "key.img", "--label", "\u00E5land", "--yes", "--capacity", "128"});
  ExpectSuccessfulVolume(run, "\xE5land");
  const image_tools::CommandResult label = Mtools1252(STELVARION_MLABEL, 63, "-s ::");
  EXPECT_TRUE(Has(label.output, "Volume label is \u00E5land")) << label.output;
  const image_tools::CommandResult dir = Mtools1252(STELVARION_MDIR, 63, "-a ::");
  EXPECT_TRUE(Has(dir.output, "Volume in drive : is \u00E5land")) << dir.output;
  EXPECT_TRUE(Has(dir.output, "COMMAND  COM")) << dir.output;
}

// Eleven letters of two UTF-8 bytes each are eleven bytes stored: within the limit.
TEST_F(StelvarionBootTest, LimitCountsTheBytesStored) {
  const std::string label = "\u00C4\u00D6\u00DC\u00C4\u00D6\u00DC\u00C4\u00D6\u00DC\u00C4\u00D6";
  ASSERT_EQ(label.size(), 22u);
  const Outcome run = Invoke({"--image", "key.img", "--label", label, "--yes", "--capacity", "16"});
  ExpectSuccessfulVolume(run, "\xC4\xD6\xDC\xC4\xD6\xDC\xC4\xD6\xDC\xC4\xD6");
  EXPECT_TRUE(Has(run.out, "Volume label: " + label + "\n")) << run.out;
  ExpectStoredLabel("\xC4\xD6\xDC\xC4\xD6\xDC\xC4\xD6\xDC\xC4\xD6", label);
}

// "--label=" is the empty label, as "--label ''" is: the next argument stays an option.
TEST_F(StelvarionBootTest, EmptyLabelAfterAnEqualsSignTakesNothingElse) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  for (const std::vector<std::string>& label : {std::vector<std::string>{"--label="}, std::vector<std::string>{"--label", ""}}) {
    SCOPED_TRACE(label.size());
    RemoveKey();
    std::vector<std::string> args = label;
    for (const char* arg : {"--yes", "--image", "key.img", "--capacity", "16"}) args.push_back(arg);
    const Outcome run = Invoke(args);
    ExpectSuccessfulVolume(run);
    EXPECT_FALSE(Has(run.out, "Volume label:")) << run.out;
    EXPECT_TRUE(Has(run.out, "Continue? [y/N] y (--yes)\n")) << run.out;
    EXPECT_TRUE(Has(Mtools(STELVARION_MLABEL, 63, "-s ::").output, "has no label"));
    EXPECT_EQ(LeftBehind(), (std::vector<std::string>{"key.img", "key.img.state"}));
  }
}

// The empty image path comes first, as a user types it: the next option stays an option, and no
// file of that name is made.
TEST_F(StelvarionBootTest, EmptyImageTakesNoOtherArgument) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--image=", "--yes"},
                                               std::vector<std::string>{"--image", "", "--yes"}}) {
    SCOPED_TRACE(args[0]);
    const Outcome run = Invoke(args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "stelvarion-boot: --image needs a value\nTry 'stelvarion-boot --help'.\n");
    EXPECT_EQ(LeftBehind(), std::vector<std::string>{});
  }
}

// The trace is refused when it is the image under any name; the image keeps what it held.
// The trace never goes over the key's own files, nor into what is not a plain file (a FIFO
// would hold the run before it began), and a trace that could not be written fails the run.
TEST_F(StelvarionBootTest, TraceThatCannotTakeTheLinesIsRefused) {
  ASSERT_EQ(Invoke({"--image", "key.img", "--capacity", "16", "--label", "KEPT", "--yes"}).exitCode, 0);
  const std::vector<std::uint8_t> before = image_tools::ReadBytes(m_image, 0, 128 * 512);
  const std::string state = Slurp(m_image.string() + ".state");
  fs::create_directory(m_scratch / "sub");
  fs::create_symlink("key.img", m_scratch / "link.txt");
  fs::create_symlink("key.img.state", m_scratch / "state-link.txt");
  fs::create_hard_link(m_image, m_scratch / "sub" / "second.img");
  ASSERT_EQ(mkfifo((m_scratch / "fifo").c_str(), 0600), 0);
  const std::string image = " is the key's image key.img; the trace needs a file of its own";
  const std::pair<const char*, std::string> cases[] = {
      {"link.txt", image},
      {"sub/../key.img", image},
      {"sub/second.img", image},
      {"key.img", image},
      {"key.img.state", " is the key's state file key.img.state; the trace needs a file of its own"},
      {"state-link.txt", " is the key's state file key.img.state; the trace needs a file of its own"},
      {"key.img.state.new", " is where the key's state file key.img.state is written first; the trace needs a file of its own"},
      {"fifo", " is a FIFO: the trace is written into a plain file"},
      {"sub", " is a folder: the trace is written into a plain file"},
  };
  for (const auto& [trace, message] : cases) {
    SCOPED_TRACE(trace);
    const Outcome run = Invoke({"--image", "key.img", "--capacity", "16", "--yes", "--trace", trace});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("stelvarion-boot: --trace ") + trace + message + "\nTry 'stelvarion-boot --help'.\n");
    EXPECT_EQ(fs::file_size(m_image), 16u * 1972 * 512);
    EXPECT_EQ(image_tools::ReadBytes(m_image, 0, 128 * 512), before);
    EXPECT_EQ(Slurp(m_image.string() + ".state"), state);
    EXPECT_FALSE(fs::exists(m_image.string() + ".state.new"));
  }
  // Written at the end, and checked: a file system with no room left fails the run.
  const Outcome full = Invoke({"--image", "key.img", "--capacity", "16", "--yes", "--trace", "/dev/full"});
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_TRUE(Has(full.out, kSuccessful)) << full.out;
  EXPECT_EQ(full.err, "stelvarion-boot: cannot write the trace to /dev/full: No space left on device\n");
  // A symlink that names a missing image: the file it would create is not left behind.
  RemoveKey();
  fs::remove(m_scratch / "sub" / "second.img");
  const Outcome run = Invoke({"--image", "key.img", "--yes", "--trace", "link.txt"});
  EXPECT_EQ(run.exitCode, 2) << run.err;
  EXPECT_FALSE(fs::exists(m_image));
  EXPECT_TRUE(fs::is_symlink(m_scratch / "link.txt"));
}

// The key's files that cannot be used, each reported with its cause on the terminal (the dialog's
// own message stays the Windows program's).
TEST_F(StelvarionBootTest, KeyFilesThatCannotBeUsedAreReportedWithTheirCause) {
  struct Case {
    const char* name;
    std::string setUp;  // shell commands in the scratch folder
    bool ordinaryUser;
    std::string runAs;
    std::vector<std::string> args;
    std::string err;
    bool dialog;  // the run reached the dialog, which ends in "unknown error"
  };
  const std::string made = "'" STELVARION_BOOT_EXE "' --image key.img --capacity 16 --yes >/dev/null && ";
  const Case cases[] = {
      {"dangling image link", "ln -s gone.img key.img", false, "", {"--image", "key.img", "--yes"},
       "stelvarion-boot: the key image key.img is a symbolic link to gone.img, which does not exist\n", false},
      {"unreadable state", made + "chmod 000 key.img.state", true, "", {"--image", "key.img", "--yes"},
       "stelvarion-boot: cannot read key.img.state: Permission denied\n", false},
      {"read-only state folder", made + "mkdir ro && mv key.img key.img.state ro && chmod 666 ro/key.img && chmod 555 ro",
       true, "", {"--image", "ro/key.img", "--yes"},
       "stelvarion-boot: cannot create ro/key.img.state.new: Permission denied\n", true},
      {"unreadable system files folder", "mkdir dos && chmod 000 dos", true, "",
       {"--image", "key.img", "--yes", "--system-files", "dos"},
       "stelvarion-boot: --system-files: cannot read the folder dos: Permission denied\n", false},
      {"full file system", "mkdir full", false,
       "unshare --mount --map-root-user sh -c 'mount -t tmpfs -o size=64k tmpfs full && exec \"$0\" \"$@\"' ",
       {"--image", "full/key.img", "--capacity", "16", "--yes"},
       "stelvarion-boot: cannot write the key image full/key.img: No space left on device\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(image_tools::RunCommand("cd " + Quote(m_scratch.string()) + " && " + c.setUp).exitCode, 0);
    if (c.ordinaryUser) {
      ASSERT_NO_FATAL_FAILURE(RunAsOrdinaryUser());
    }
    if (!c.runAs.empty()) m_runAs = c.runAs;
    const Outcome run = Invoke(c.args);
    m_runAs.clear();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(Has(run.out, "[StelvarionBootUtility] Program has encountered unknown error."), c.dialog) << run.out;
    EXPECT_FALSE(fs::exists(m_scratch / "gone.img"));
    ASSERT_EQ(image_tools::RunCommand("chmod -R u+rwx " + Quote(m_scratch.string()) + " && cd " + Quote(m_scratch.string()) +
                                      " && rm -rf key.img key.img.state ro dos full")
                  .exitCode,
              0);
  }
}

// A large key gets a volume as large as the layout's FAT reaches, and is told so before the
// warning, in one line.
TEST_F(StelvarionBootTest, LargeKeyIsToldHowLargeItsVolumeWillBe) {
  const Outcome run = Invoke({"--image", "key.img", "--capacity", "4096", "--yes"});
  ExpectSuccessfulVolume(run);
  const std::string notice =
      "Capacity: 4096 MB\nThe volume will be 1000 MB of the key's 4096 MB: the layout's FAT of 250 sectors maps no "
      "more than 63998 clusters of 16 KB.\n\n" + std::string(kWarning);
  EXPECT_TRUE(Has(run.out, notice)) << run.out;
  const image_tools::Partition partition = image_tools::FirstPartition(m_image);
  EXPECT_EQ(partition.sectorCount, 1u + 2 * 250 + 32 + 63998u * 32);
  // A key the FAT covers whole hears nothing of it.
  RemoveKey();
  const Outcome small = Invoke({"--image", "key.img", "--capacity", "1024", "--yes"});
  ExpectSuccessfulVolume(small);
  EXPECT_FALSE(Has(small.out, "The volume will be")) << small.out;
}

// The first capacities past the gap in which no FAT16 volume of 32-sector clusters fits.
TEST_F(StelvarionBootTest, SmallestServedFat16KeysAreMadeBootable) {
  for (const std::vector<std::string>& key : {std::vector<std::string>{"--capacity", "67"},
                                              std::vector<std::string>{"--capacity", "65", "--revision", "2.60"}}) {
    SCOPED_TRACE(key[1]);
    RemoveKey();
    std::vector<std::string> args{"--image", "key.img", "--yes"};
    args.insert(args.end(), key.begin(), key.end());
    ExpectSuccessfulVolume(Invoke(args));
  }
}

TEST_F(StelvarionBootTest, ElevenCharacterLabelIsTaken) {
  const Outcome run = Invoke({"--image", "key.img", "--label", "ABCDEFGHIJK", "--yes", "--capacity", "16"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "Volume label: ABCDEFGHIJK\n")) << run.out;
  ExpectStoredLabel("ABCDEFGHIJK", "ABCDEFGHIJK");
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
  const std::string state = Slurp(m_image.string() + ".state");
  EXPECT_TRUE(Has(state, "\nflash-type 3\nbanks 2\n")) << state;
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
  EXPECT_EQ(run.out.rfind("Usage: stelvarion-boot [options]\n", 0), 0u) << run.out;
  for (const char* option : {"--image PATH", "--label TEXT", "--yes", "--model NAME", "--capacity MB", "--revision TEXT",
                             "--flash-type N", "--banks N", "--ordinary-user", "--write-protected", "--real-pauses",
                             "--trace FILE", "--system-files DIR", "--help", "--version"}) {
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

  // The key's copy of each named file, read by mtools, is the folder's file `from` byte for byte.
  void ExpectCopied(const fs::path& folder, const std::vector<std::pair<std::string, std::string>>& files) {
    ASSERT_NO_FATAL_FAILURE(RequireMtools());
    for (const auto& [name, from] : files) {
      const fs::path copied = m_scratch / ("copied-" + name);
      const image_tools::CommandResult read = Mtools(STELVARION_MCOPY, 63, "-n ::" + name + " " + Quote(copied.string()));
      ASSERT_EQ(read.exitCode, 0) << read.output;
      EXPECT_TRUE(Slurp(copied) == Slurp(folder / from)) << name << " differs from the folder's " << from;
    }
  }

  static constexpr const char* kNames[] = {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM"};
};

TEST_F(SystemFilesFolderTest, TheFolderFilesAreCopiedInsteadOfTheBuiltInOnes) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const fs::path folder = MakeFolder(1536);
  const Outcome run = Invoke({"--image", "key.img", "--yes", "--system-files", folder.string()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  ExpectCopied(folder, {{kNames[0], kNames[0]}, {kNames[1], kNames[1]}, {kNames[2], kNames[2]}});

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
  ExpectCopied(folder, {{"COMMAND.COM", "command.com"}});
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
  ExpectCopied(exe, {{"IBMBIO.COM", "IBMBIO.COM"}});
  fs::remove_all(exe);

  const fs::path noJump = MakeFolder(4096, 0x00);
  std::ofstream(noJump / "MSDOS.SYS") << "x";
  const Outcome other = Invoke({"--image", "key.img", "--yes", "--system-files", noJump.string()});
  EXPECT_EQ(other.exitCode, 0) << other.out << other.err;
  EXPECT_TRUE(Has(other.err, "warning: IBMBIO.COM does not begin with a jump")) << other.err;
  EXPECT_TRUE(Has(other.err, "warning: the folder also holds MSDOS.SYS, which is not copied")) << other.err;
  ExpectCopied(noJump, {{"IBMBIO.COM", "IBMBIO.COM"}});
}

// Folders and files that must not reach a made key: each refused before "Format Warning", the
// key's image and state as they were. The files are sparse, so the large ones cost nothing.
TEST_F(SystemFilesFolderTest, HostileFilesAreRefusedBeforeTheWarningWithTheKeyUnchanged) {
  const std::vector<std::string> varnok = {"--image", "key.img", "--yes", "--model", "Varnok Key", "--capacity", "16"};
  ASSERT_EQ(Invoke(varnok).exitCode, 0);
  const fs::path state = m_scratch / "key.img.state";
  const std::string image = Slurp(m_image), stateBefore = Slurp(state);
  std::ofstream(m_scratch / "trace.txt") << "an old trace\n";
  std::ofstream(m_scratch / "log.txt") << "an old key log\n";

  struct Case {
    const char* what;
    std::function<void(const fs::path&)> spoil;
    std::vector<std::string> options;
    std::string because;
  };
  const auto link = [](const fs::path& target) {
    return [target](const fs::path& dos) {
      fs::remove(dos / "COMMAND.COM");
      fs::create_symlink(target, dos / "COMMAND.COM");
    };
  };
  const Case cases[] = {
      {"empty IBMDOS.COM", [](const fs::path& dos) { fs::resize_file(dos / "IBMDOS.COM", 0); }, {}, "IBMDOS.COM is empty"},
      {"empty COMMAND.COM", [](const fs::path& dos) { fs::resize_file(dos / "COMMAND.COM", 0); }, {}, "COMMAND.COM is empty"},
      {"two spellings, neither the key's",
       [](const fs::path& dos) {
         fs::copy_file(dos / "IBMBIO.COM", dos / "Ibmbio.com");
         fs::rename(dos / "IBMBIO.COM", dos / "ibmbio.com");
       },
       {},
       ", which differ only in case: keep one IBMBIO.COM"},
      {"64 GB", [](const fs::path& dos) { fs::resize_file(dos / "COMMAND.COM", std::uintmax_t{64} << 30); }, {},
       "COMMAND.COM is 68719476736 bytes; a FAT file holds at most 4294967295"},
      {"larger than the volume", [](const fs::path& dos) { fs::resize_file(dos / "COMMAND.COM", 20u << 20); }, {},
       "the files do not fit the key's volume: IBMBIO.COM 2048, IBMDOS.COM 4000 and COMMAND.COM 20971520 bytes take"},
      {"the key's image", link(m_image), {}, "COMMAND.COM is the key's image (key.img); the run writes it"},
      {"the key's state", link(state), {}, "COMMAND.COM is the key's state (key.img.state)"},
      {"the trace", link(m_scratch / "trace.txt"), {"--trace", "trace.txt"}, "COMMAND.COM is the trace (trace.txt)"},
      {"the key log", link(m_scratch / "log.txt"), {"--key-log", "log.txt"}, "COMMAND.COM is the key log (log.txt)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = MakeFolder(2048);
    c.spoil(folder);
    std::vector<std::string> args = varnok;
    args.insert(args.end(), {"--system-files", folder.string()});
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Outcome run = Invoke(args);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, c.because)) << run.err;
    EXPECT_EQ(run.out, "") << "nothing was started";
    EXPECT_TRUE(Slurp(m_image) == image) << "the key's image changed";
    EXPECT_TRUE(Slurp(state) == stateBefore) << "the key's state changed";
    fs::remove_all(folder);
  }
  EXPECT_EQ(Slurp(m_scratch / "trace.txt"), "an old trace\n");
  EXPECT_EQ(Slurp(m_scratch / "log.txt"), "an old key log\n");
}

// The volume's free space as mtools counts it: files that fill it exactly are copied whole,
// one byte more is refused with the key as it was. The file is mapped, not read into memory: the
// program copies it with less data space than the file's size (not under the sanitizers, whose
// shadow memory counts as data).
TEST_F(SystemFilesFolderTest, FilesThatFillTheVolumeExactlyAreCopiedAndOneByteMoreIsRefused) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const fs::path folder = MakeFolder(2048);
  const std::vector<std::string> args = {"--image", "key.img", "--yes", "--model", "Varnok Key", "--capacity", "16",
                                         "--system-files", folder.string()};
  ASSERT_EQ(Invoke(args).exitCode, 0);
  const std::string bootSector = Slurp(m_image).substr(32 * 512, 512);
  const std::uintmax_t clusterBytes = static_cast<std::uint8_t>(bootSector[13]) * 512u;
  std::smatch free;
  const std::string dir = Mtools(STELVARION_MDIR, 32, "-a ::").output;
  ASSERT_TRUE(std::regex_search(dir, free, std::regex(R"(([\d ]+) bytes free)"))) << dir;
  std::string freeBytes = free[1];
  std::erase(freeBytes, ' ');
  // COMMAND.COM's own 5000 bytes take whole clusters; the free ones come on top of them.
  const std::uintmax_t fills = (5000 + clusterBytes - 1) / clusterBytes * clusterBytes + std::stoull(freeBytes);
  fs::resize_file(folder / "COMMAND.COM", fills - 4);
  std::ofstream(folder / "COMMAND.COM", std::ios::binary | std::ios::app) << "tail";

  std::string command = "cd " + Quote(m_scratch.string()) + " && ";
#if !defined(__SANITIZE_ADDRESS__)
  command += "ulimit -d " + std::to_string(fills / 1024 * 3 / 4) + " && ";
#endif
  command += Quote(STELVARION_BOOT_EXE);
  for (const std::string& arg : args) command += " " + Quote(arg);
  const image_tools::CommandResult filled = image_tools::RunCommand("(" + command + ") </dev/null 2>&1");
  ASSERT_EQ(filled.exitCode, 0) << filled.output;
  const fs::path copied = m_scratch / "copied-COMMAND.COM";
  ASSERT_EQ(Mtools(STELVARION_MCOPY, 32, "-n ::COMMAND.COM " + Quote(copied.string())).exitCode, 0);
  EXPECT_TRUE(Slurp(copied) == Slurp(folder / "COMMAND.COM")) << "COMMAND.COM was not copied whole";
  EXPECT_TRUE(Has(Mtools(STELVARION_MDIR, 32, "-a ::").output, " 0 bytes free"));

  const std::string image = Slurp(m_image);
  fs::resize_file(folder / "COMMAND.COM", fills + 1);
  const Outcome over = Invoke(args);
  EXPECT_EQ(over.exitCode, 1);
  EXPECT_TRUE(Has(over.err, "the files do not fit the key's volume")) << over.err;
  EXPECT_TRUE(Slurp(m_image) == image) << "the key's image changed";
}

// Beside the name as the key's root spells it, other spellings are left, and said so.
TEST_F(SystemFilesFolderTest, TheNameAsTheKeySpellsItIsTakenBesideOtherSpellings) {
  ASSERT_NO_FATAL_FAILURE(RequireMtools());
  const fs::path folder = MakeFolder(2048);
  std::ofstream(folder / "ibmbio.com", std::ios::binary) << std::string(4096, 'x');
  const Outcome run = Invoke({"--image", "key.img", "--yes", "--system-files", folder.string()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.err, "warning: the folder also holds ibmbio.com, which is not copied: IBMBIO.COM is taken as it is spelt"))
      << run.err;
  const fs::path copied = m_scratch / "copied-IBMBIO.COM";
  ASSERT_EQ(Mtools(STELVARION_MCOPY, 63, "-n ::IBMBIO.COM " + Quote(copied.string())).exitCode, 0);
  EXPECT_TRUE(Slurp(copied) == Slurp(folder / "IBMBIO.COM"));
}

}  // namespace
