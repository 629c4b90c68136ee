// The single-partition writer on the emulated key, through the library's entry functions: what
// the key receives byte for byte, the command order, the progress protocol, the sizes the fixed
// layout refuses, and failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "devlib/key_library.h"
#include "media/boot_templates.h"
#include "media/single_partition_writer.h"
#include "tests/media/media_test_support.h"
#include "tests/support/library_fixture.h"

using namespace media_test;

namespace {

constexpr std::uint32_t kScribbled = 700;

class SinglePartitionWriterTest : public LibraryTest {
 protected:
  emulated::EmulatedKey& Attach(const emulated::KeyConfig& config) {
    key = &host.AttachKey('E', config);
    int megabytes = 0;
    EXPECT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);  // settles the library on E:
    Scribble(*key, 0, kScribbled);
    mark = host.trace.Commands().size();
    return *key;
  }
  std::vector<std::string> StorySinceMark() const { return Story(host, mark); }
  Sector At(std::uint64_t lba) { return FlashSector(*key, lba); }

  emulated::EmulatedKey* key = nullptr;
  std::size_t mark = 0;
};

// The stored images with the size fields written here byte by byte.
Sector ExpectedMbr(bool fat12, std::uint32_t partitionSectors) {
  Sector mbr = MakeTemplateSet1().Mbr63Template;
  mbr[0x1C2] = fat12 ? 0x01 : 0x06;
  mbr[0x1CA] = static_cast<std::uint8_t>(partitionSectors);
  mbr[0x1CB] = static_cast<std::uint8_t>(partitionSectors >> 8);
  mbr[0x1CC] = fat12 ? 0 : static_cast<std::uint8_t>(partitionSectors >> 16);
  mbr[0x1CD] = fat12 ? 0 : static_cast<std::uint8_t>(partitionSectors >> 24);
  return mbr;
}

Sector ExpectedBootSector(bool fat12, std::uint32_t partitionSectors) {
  Sector boot = MakeTemplateSet1().BootSector63Template;
  const std::uint32_t total16 = fat12 ? partitionSectors & 0xFFFF : 0;
  const std::uint32_t total32 = fat12 ? 0 : partitionSectors;
  boot[0x13] = static_cast<std::uint8_t>(total16);
  boot[0x14] = static_cast<std::uint8_t>(total16 >> 8);
  boot[0x16] = fat12 ? 12 : 250;
  boot[0x17] = 0;
  for (int i = 0; i < 4; ++i) boot[0x20 + i] = static_cast<std::uint8_t>(total32 >> (8 * i));
  boot[0x25] = 0;  // stored as 1, which every FAT reader takes for the dirty flag
  boot[0x3A] = fat12 ? '2' : '6';
  return boot;
}

Sector ExpectedFatHead(bool fat12) {
  Sector head{};
  head[0] = 0xF8;
  head[1] = 0xFF;
  head[2] = 0xFF;
  head[3] = fat12 ? 0x00 : 0xFF;
  return head;
}

// Checks the whole key as the writer leaves it for a partition of S sectors.
void ExpectKey(emulated::EmulatedKey& key, bool fat12, std::uint32_t partitionSectors, const std::string& label) {
  const std::uint32_t perFat = fat12 ? 12 : 250;
  const std::uint32_t fat2 = 64 + perFat;
  const std::uint32_t labelAt = 64 + 2 * perFat;

  const Sector mbr = FlashSector(key, 0);
  EXPECT_EQ(mbr, ExpectedMbr(fat12, partitionSectors));
  EXPECT_EQ(BytesAt(mbr, 0x1B8, 4), Bytes({0x02, 0x3B, 0xA6, 0x0D})) << "disk signature as stored";
  EXPECT_EQ(BytesAt(mbr, 0x1BE, 4), Bytes({0x80, 0x01, 0x01, 0x00}));
  EXPECT_EQ(BytesAt(mbr, 0x1C3, 3), Bytes({0x1F, 0xFF, 0xF6})) << "end CHS as stored";
  EXPECT_EQ(Le32(mbr, 0x1C6), 63u);
  EXPECT_EQ(Le32(mbr, 0x1CA), partitionSectors);
  EXPECT_EQ(TextAt(mbr, 0x1F8, 6), "AES256");
  EXPECT_EQ(BytesAt(mbr, 0x1FE, 2), Bytes({0x55, 0xAA}));

  const Sector boot = FlashSector(key, 63);
  EXPECT_EQ(boot, ExpectedBootSector(fat12, partitionSectors));
  EXPECT_EQ(boot[0x0D], 32) << "sectors per cluster keep their stored value";
  EXPECT_EQ(BytesAt(boot, 0x27, 4), Bytes({0xD5, 0x18, 0x16, 0x21}));
  EXPECT_EQ(TextAt(boot, 0x36, 8), fat12 ? "FAT12   " : "FAT16   ");

  // Sector 32 is the stored image whatever the size: FAT16, 250 sectors per FAT, 2019296 sectors.
  const Sector second = FlashSector(key, 32);
  EXPECT_EQ(second, MakeTemplateSet1().BootSector32Template);
  EXPECT_EQ(Le16(second, 0x16), 250u);
  EXPECT_EQ(Le32(second, 0x20), 2019296u);
  EXPECT_EQ(Le16(second, 0x0E), 32u);

  EXPECT_EQ(FlashSector(key, 64), ExpectedFatHead(fat12));
  EXPECT_EQ(FlashSector(key, fat2), ExpectedFatHead(fat12)) << "FAT 2 at " << fat2;
  if (!label.empty()) {
    const Sector entry = FlashSector(key, labelAt);
    std::string name = label;
    name.resize(11, ' ');
    EXPECT_EQ(TextAt(entry, 0, 11), name) << "label at " << labelAt;
    EXPECT_EQ(entry[11], 0x08);
    Sector rest = entry;
    std::fill(rest.begin(), rest.begin() + 12, 0);
    EXPECT_TRUE(IsZero(rest));
  }
  // FAT16's root directory runs to 595; FAT12's ends at 119, and the clear at 575.
  const std::uint32_t clearedTo = fat12 ? 576 : 596;
  for (std::uint32_t s = 0; s < clearedTo; ++s) {
    if (s == 0 || s == 32 || s == 63 || s == 64 || s == fat2 || (s == labelAt && !label.empty())) continue;
    EXPECT_TRUE(IsZero(FlashSector(key, s))) << "sector " << s << " should be cleared";
  }
  for (std::uint32_t s = clearedTo; s < kScribbled; ++s) {
    ASSERT_TRUE(IsScribble(FlashSector(key, s), s)) << "sector " << s << " was written";
  }
}

std::string SetAreaLine(std::uint32_t sectors) {
  char line[32];
  std::snprintf(line, sizeof line, "setarea %08X", sectors);
  return line;
}

std::vector<std::string> ExpectedStory(std::uint32_t megabytes, std::uint32_t perMegabyte, bool fat12,
                                       bool label) {
  const std::uint32_t perFat = fat12 ? 12 : 250;
  std::vector<std::string> story = {"convert", "9E 0", "capacity", "convert", SetAreaLine(megabytes * perMegabyte),
                                    "reset"};
  Append(story, ClearLines(0, 576));
  if (!fat12) story.push_back(WriteLine(576, 20));
  Append(story, {WriteLine(0, 1), WriteLine(63, 1), WriteLine(64, 1), WriteLine(64 + perFat, 1)});
  if (label) story.push_back(WriteLine(64 + 2 * perFat, 1));
  Append(story, {WriteLine(32, 1), "reset"});
  return story;
}

// ---- What the key receives -----------------------------------------------------------------

TEST_F(SinglePartitionWriterTest, WholeKeyOf1024MegabytesBecomesOneFat16Partition) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 1024), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), ExpectedStory(1024, 1972, false, false));
  EXPECT_EQ(key->Areas().Register(), 1024u * 1972);
  ExpectKey(*key, false, 2019265, "");
  EXPECT_EQ(BytesAt(At(0), 0x1CA, 4), Bytes({0xC1, 0xCF, 0x1E, 0x00}));
  EXPECT_EQ(Le16(At(63), 0x13), 0u);
  EXPECT_EQ(Le32(At(63), 0x20), 2019265u);
}

TEST_F(SinglePartitionWriterTest, SixteenMegabytesBecomeOneFat12Partition) {
  Attach(Key(kModelP9, 16, "2.45", 2));
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "SMALL", nullptr, nullptr, 16), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), ExpectedStory(16, 1972, true, true));
  ExpectKey(*key, true, 16 * 1972 - 63, "SMALL");
  EXPECT_EQ(At(0)[0x1C2], 0x01);
  EXPECT_EQ(BytesAt(At(0), 0x1CA, 4), Bytes({0x01, 0x7B, 0x00, 0x00}));
  EXPECT_EQ(Le32(At(63), 0x20), 0u);
}

TEST_F(SinglePartitionWriterTest, LabelGoesBehindBothFats) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "STELVARION", nullptr, nullptr, 1024), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), ExpectedStory(1024, 1972, false, true));
  ExpectKey(*key, false, 2019265, "STELVARION");

  Scribble(*key, 0, kScribbled);
  mark = host.trace.Commands().size();
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "", nullptr, nullptr, 1024), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), ExpectedStory(1024, 1972, false, false)) << "an empty label writes nothing";
  EXPECT_TRUE(IsZero(At(564)));
}

TEST_F(SinglePartitionWriterTest, EveryRunRewritesEverySizeField) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 1024), kResultSuccess);
  const Sector mbr1024 = At(0);
  const Sector boot1024 = At(63);

  Scribble(*key, 0, kScribbled);
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 16), kResultSuccess);
  ExpectKey(*key, true, 16 * 1972 - 63, "");

  Scribble(*key, 0, kScribbled);
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 1024), kResultSuccess);
  EXPECT_EQ(At(0), mbr1024);
  EXPECT_EQ(At(63), boot1024);
}

// ---- Progress ------------------------------------------------------------------------------

struct ProgressCase {
  const char* name;
  bool control;
  std::int32_t counterIn;
  std::vector<std::pair<int, int>> ranges;
  std::vector<std::int32_t> positions;
  std::int32_t counterOut;
};

void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::int32_t> ThenZero(std::vector<std::int32_t> positions) {
  positions.push_back(0);
  return positions;
}

const ProgressCase kProgressCases[] = {
    {"Claimed", true, 0, {{0, 23}}, ThenZero(Steps(0, 22)), 23},
    // The workflow's bar: positions 3 to 25, no range, no reset.
    {"WorkflowsBar", true, 3, {}, Steps(3, 25), 26},
    {"NoControl", false, 0, {}, {}, 0},
    {"NoControlCounterKept", false, 3, {}, {}, 3},
};

class WriterProgressTest : public SinglePartitionWriterTest, public testing::WithParamInterface<ProgressCase> {};

TEST_P(WriterProgressTest, AdvancesTwentyThreeTimes) {
  const ProgressCase& c = GetParam();
  Attach(Key(kModelP9, 1024, "2.45", 2));
  RecordingBar bar(host);
  std::int32_t counter = c.counterIn;
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, c.control ? &bar : nullptr, &counter, 1024),
            kResultSuccess);
  EXPECT_EQ(bar.Ranges(), c.ranges);
  EXPECT_EQ(bar.Positions(), c.positions);
  EXPECT_EQ(counter, c.counterOut);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriterProgressTest, testing::ValuesIn(kProgressCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SinglePartitionWriterTest, NoControlAndNoCounterIsFine) {
  Attach(Key(kModelP9, 128, "2.00", 2, 2));  // 1896 sectors per megabyte
  EXPECT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 128), kResultSuccess);
  ExpectKey(*key, false, 128 * 1896 - 63, "");
}

// ---- Failures ------------------------------------------------------------------------------

struct FailureCase {
  const char* name;
  const char* command;  // as Story tells it, before folding
  int occurrence;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

const FailureCase kFailureCases[] = {
    {"Command9E", "9E 0", 0},
    {"CapacityQuery", "capacity", 0},
    {"SetAreaSize", "setarea 001ED000", 0},
    {"FirstReset", "reset", 0},
    {"Conversion", "inquiry", 0},
    {"Clear", "write 32+32", 0},
    {"RootTail", "write 576+20", 0},
    {"Mbr", "write 0+1", 0},
    {"BootSector", "write 63+1", 0},
    {"FirstFat", "write 64+1", 0},
    {"SecondFat", "write 314+1", 0},
    {"Label", "write 564+1", 0},
    {"SecondBootSector", "write 32+1", 0},
    {"FinalReset", "reset", 1},
};

class WriterFailureTest : public SinglePartitionWriterTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(WriterFailureTest, StopsAtOnceAndLeavesTheBarWhereItStands) {
  const FailureCase& c = GetParam();
  Attach(Key(kModelP9, 1024, "2.45", 2));
  ASSERT_EQ(host.trace.Commands().size(), host.CommandCount());
  const std::uint64_t rehearsal = host.CommandCount();
  ASSERT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "LABEL", nullptr, nullptr, 1024), kResultSuccess);
  const long at = IndexOfCommand(host, rehearsal, c.command, c.occurrence);
  ASSERT_GE(at, 0) << c.command << " was never sent";
  const std::uint64_t offset = static_cast<std::uint64_t>(at) - rehearsal;

  const std::uint64_t start = host.CommandCount();
  host.faults.failingIoctls.insert(start + offset);
  RecordingBar bar(host);
  std::int32_t counter = 0;
  EXPECT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, "LABEL", &bar, &counter, 1024), kResultGeneralFailure);
  EXPECT_EQ(host.CommandCount(), start + offset + 1) << "commands were sent after the failure";
  EXPECT_EQ(bar.Ranges(), (std::vector<std::pair<int, int>>{{0, 23}}));
  EXPECT_EQ(bar.Positions(), Steps(0, counter - 1)) << "the bar is never reset after a failure";
}

INSTANTIATE_TEST_SUITE_P(Commands, WriterFailureTest, testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SinglePartitionWriterTest, SizeOutsideTheKeyIsRefusedAfter9EAndBeforeAnyWrite) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  const std::uint32_t factoryRegister = key->Areas().Register();
  EXPECT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 0), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"convert", "9E 0"}));

  mark = host.trace.Commands().size();
  EXPECT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, nullptr, nullptr, 1025), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"convert", "9E 0", "capacity"}));
  EXPECT_EQ(key->Areas().Register(), factoryRegister);
  EXPECT_TRUE(IsScribble(At(0), 0));
}

TEST_F(SinglePartitionWriterTest, UnsupportedRevisionIsRefusedBeforeTheKeyIsChanged) {
  Attach(Key(kModelP9, 1024, "1.21", 1));
  const std::uint32_t factoryRegister = key->Areas().Register();
  RecordingBar bar(host);
  std::int32_t counter = 0;
  EXPECT_EQ(WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, &bar, &counter, 1024), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"convert"}));
  EXPECT_EQ(bar.Positions(), (std::vector<std::int32_t>{0}));
  EXPECT_EQ(key->Areas().Register(), factoryRegister);
  EXPECT_TRUE(IsScribble(At(0), 0));
}

// ---- Sizes the fixed layout cannot describe ------------------------------------------------

// 32 sectors per cluster and 250 sectors per FAT: FAT16 needs 4087 clusters, which with 1972
// sectors per megabyte is 67 MB; FAT12 (up to 16 MB) always fits. The FAT maps 63998 clusters:
// a larger area gets a partition that ends where the FAT's reach ends (2048019 sectors).
constexpr std::uint32_t kFatReachSectors = 1 + 2 * 250 + 32 + 63998 * 32;

struct SizeCase {
  const char* name;
  const char* revision;
  std::uint16_t flashType;
  std::uint16_t banks;
  std::uint32_t megabytes;
  std::uint32_t perMegabyte;
  bool accepted;
  bool endsAtTheFatsReach;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

const SizeCase kSizeCases[] = {
    {"Fat12At1Mb", "2.45", 2, 1, 1, 1972, true, false},
    {"Fat12At16Mb", "2.45", 2, 1, 16, 1972, true, false},
    {"TooFewClustersAt17Mb", "2.45", 2, 1, 17, 1972, false, false},
    {"TooFewClustersAt66Mb", "2.45", 2, 1, 66, 1972, false, false},
    {"FewestClustersAt67Mb", "2.45", 2, 1, 67, 1972, true, false},
    {"MostClustersAt1038Mb", "2.45", 2, 1, 1038, 1972, true, false},
    {"FatReachEndsThePartitionAt1039Mb", "2.45", 2, 1, 1039, 1972, true, true},
    {"FatReachEndsThePartitionAt2048Mb", "2.45", 2, 1, 2048, 1972, true, true},
    {"FatReachEndsThePartitionAt1024MbOn261", "2.61", 2, 1, 1024, 2048, true, true},
    {"FatReachEndsThePartitionAt1024MbOn260", "2.60", 2, 1, 1024, 2048, true, true},
    {"Fits512MbWith2048", "2.61", 2, 1, 512, 2048, true, false},
    {"Fits1024MbWith1936", "2.45", 3, 1, 1024, 1936, true, false},
    {"Fits1024MbWith1896", "2.00", 2, 16, 1024, 1896, true, false},
};

class WriterSizeTest : public SinglePartitionWriterTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(WriterSizeTest, RefusesTooFewClustersBeforeTheKeyIsChanged) {
  const SizeCase& c = GetParam();
  Attach(Key(kModelP9, c.megabytes, c.revision, c.flashType, c.banks));
  RecordingBar bar(host);
  std::int32_t counter = 0;
  const ResultCode result = WriteSinglePartitionBoot(kWholeKeyAsOneArea, nullptr, &bar, &counter, c.megabytes);
  const std::uint32_t areaSectors = c.megabytes * c.perMegabyte;
  if (c.accepted) {
    ASSERT_EQ(result, kResultSuccess);
    EXPECT_EQ(key->Areas().Register(), areaSectors) << "the whole key is the one area";
    ExpectKey(*key, c.megabytes <= 16, c.endsAtTheFatsReach ? kFatReachSectors : areaSectors - 63, "");
    if (c.endsAtTheFatsReach) {
      EXPECT_LT(kFatReachSectors, areaSectors - 63);
    }
    return;
  }
  EXPECT_EQ(result, kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"convert"})) << "nothing that changes the key was sent";
  EXPECT_EQ(bar.Positions(), Steps(0, 0));
  for (std::uint32_t s = 0; s < kScribbled; ++s) ASSERT_TRUE(IsScribble(At(s), s)) << "sector " << s;
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriterSizeTest, testing::ValuesIn(kSizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
