// The library's format sequence on the emulated key: what each area receives, byte for byte,
// the order of the commands, the progress protocol, the refusals and the failures.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "media/boot_templates.h"
#include "media/format_sequence.h"
#include "media/progress_sink.h"
#include "tests/media/media_test_support.h"
#include "tests/support/library_fixture.h"

using namespace media_test;

namespace {

constexpr std::uint32_t kAreaClear = 576;
constexpr std::uint32_t kSizedAreaClear = 1152;
// Sectors scribbled over before a run, so that every sector a clear misses shows.
constexpr std::uint32_t kScribbled = 1300;

class FormatSequenceTest : public LibraryTest {
 protected:
  emulated::EmulatedKey& Attach(const emulated::KeyConfig& config) {
    key = &host.AttachKey('E', config);
    int megabytes = 0;
    EXPECT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);  // settles the library on E:
    Scribble(*key, 0, kScribbled);
    Mark();
    return *key;
  }
  void Mark() {
    mark = host.trace.Commands().size();
    eventMark = host.trace.Events().size();
  }
  std::vector<std::string> StorySinceMark() const { return Story(host, mark); }
  int OneMillisecondPausesSinceMark() const {
    int pauses = 0;
    const auto& events = host.trace.Events();
    for (std::size_t i = eventMark; i < events.size(); ++i) {
      if (events[i].kind == emulated::TraceKind::kPause && events[i].milliseconds == 1) ++pauses;
    }
    return pauses;
  }
  Sector At(std::uint64_t lba) { return FlashSector(*key, lba); }

  emulated::EmulatedKey* key = nullptr;
  std::size_t mark = 0;
  std::size_t eventMark = 0;
};

// ---- What an area receives -----------------------------------------------------------------

// The stored image with the size fields set as an area of this kind and size needs them, written
// here byte by byte.
Sector ExpectedMbr(bool fat12, std::uint32_t partitionSectors) {
  Sector mbr = MakeTemplateSet2().Mbr32Template;
  mbr[0x1C2] = fat12 ? 0x01 : 0x06;
  mbr[0x1CA] = static_cast<std::uint8_t>(partitionSectors);
  mbr[0x1CB] = static_cast<std::uint8_t>(partitionSectors >> 8);
  mbr[0x1CC] = fat12 ? 0 : static_cast<std::uint8_t>(partitionSectors >> 16);
  mbr[0x1CD] = fat12 ? 0 : static_cast<std::uint8_t>(partitionSectors >> 24);
  return mbr;
}

Sector ExpectedBootSector(bool fat12, std::uint32_t partitionSectors, std::uint8_t sectorsPerCluster) {
  Sector boot = MakeTemplateSet2().AreaBootSectorTemplate;
  boot[0x0D] = sectorsPerCluster;
  const std::uint32_t total16 = fat12 ? partitionSectors & 0xFFFF : 0;
  const std::uint32_t total32 = fat12 ? 0 : partitionSectors;
  boot[0x13] = static_cast<std::uint8_t>(total16);
  boot[0x14] = static_cast<std::uint8_t>(total16 >> 8);
  boot[0x16] = fat12 ? 12 : 255;
  boot[0x17] = 0;
  for (int i = 0; i < 4; ++i) boot[0x20 + i] = static_cast<std::uint8_t>(total32 >> (8 * i));
  boot[0x3A] = fat12 ? '2' : '6';
  return boot;
}

Sector ExpectedFatHead(bool fat12) {
  Sector head{};
  head[0] = 0xF8;
  head[1] = 0xFF;
  head[2] = 0xFF;
  head[3] = fat12 ? 0x00 : 0xFF;  // a FAT12 head of F8 FF FF FF would mark cluster 2 used
  return head;
}

Sector ExpectedLabelSector(const std::string& label) {
  Sector sector{};
  std::string name = label;
  name.resize(11, ' ');
  std::copy(name.begin(), name.end(), sector.begin());
  sector[11] = 0x08;
  return sector;
}

struct AreaShape {
  std::uint32_t partitionSectors;
  std::uint8_t sectorsPerCluster;
  bool fat12;
};

// Checks one area laid out from flash sector `first`, cleared over `cleared` sectors (scribbled
// before the run), with the label sector when label is not empty.
void ExpectArea(emulated::EmulatedKey& key, std::uint64_t first, const AreaShape& shape, const std::string& label,
                std::uint32_t cleared) {
  const std::uint32_t perFat = shape.fat12 ? 12 : 255;
  const std::uint64_t fat2 = first + 33 + perFat;
  const std::uint64_t labelAt = first + 33 + 2 * perFat;

  const Sector mbr = FlashSector(key, first);
  EXPECT_EQ(mbr, ExpectedMbr(shape.fat12, shape.partitionSectors)) << "MBR at " << first;
  // The fields that no size changes, as literal bytes.
  EXPECT_EQ(BytesAt(mbr, 0x1B8, 4), Bytes({0, 0, 0, 0})) << "disk signature";
  EXPECT_EQ(BytesAt(mbr, 0x1BE, 4), Bytes({0x80, 0x01, 0x01, 0x00})) << "status and start CHS";
  EXPECT_EQ(BytesAt(mbr, 0x1C3, 3), Bytes({0x3F, 0xE0, 0xD9})) << "end CHS as stored";
  EXPECT_EQ(Le32(mbr, 0x1C6), 32u) << "partition start counts from the area";
  EXPECT_EQ(TextAt(mbr, 0x1F8, 6), "AES256");
  EXPECT_EQ(BytesAt(mbr, 0x1FE, 2), Bytes({0x55, 0xAA}));
  EXPECT_EQ(Le32(mbr, 0x1CA), shape.partitionSectors);

  const Sector boot = FlashSector(key, first + 32);
  EXPECT_EQ(boot, ExpectedBootSector(shape.fat12, shape.partitionSectors, shape.sectorsPerCluster))
      << "boot sector at " << first + 32;
  EXPECT_EQ(BytesAt(boot, 0x27, 4), Bytes({0xD5, 0x18, 0x16, 0x21})) << "volume serial";
  EXPECT_EQ(Le32(boot, 0x1C), 32u) << "hidden sectors count from the area";
  EXPECT_EQ(TextAt(boot, 0x36, 8), shape.fat12 ? "FAT12   " : "FAT16   ");
  EXPECT_EQ(BytesAt(boot, 0x1FE, 2), Bytes({0x55, 0xAA}));

  EXPECT_EQ(FlashSector(key, first + 33), ExpectedFatHead(shape.fat12)) << "FAT 1 at " << first + 33;
  EXPECT_EQ(FlashSector(key, fat2), ExpectedFatHead(shape.fat12)) << "FAT 2 at " << fat2;
  if (!label.empty()) {
    EXPECT_EQ(FlashSector(key, labelAt), ExpectedLabelSector(label)) << "label at " << labelAt;
  }
  for (std::uint64_t s = first; s < first + cleared; ++s) {
    if (s == first || s == first + 32 || s == first + 33 || s == fat2 || (s == labelAt && !label.empty())) continue;
    EXPECT_TRUE(IsZero(FlashSector(key, s))) << "sector " << s << " should be cleared";
  }
}

struct AreaCase {
  const char* name;
  const char* revision;
  std::uint16_t flashType;
  std::uint16_t banks;
  std::uint32_t capacityMb;
  AreaShape shape;
  std::array<std::uint8_t, 4> mbrCount;  // bytes 0x1CA to 0x1CD, written out
};

void PrintTo(const AreaCase& c, std::ostream* os) { *os << c.name; }

const AreaCase kAreaCases[] = {
    {"Fat12At16Mb", "2.45", 2, 1, 16, {31520, 8, true}, {0x20, 0x7B, 0x00, 0x00}},
    {"Fat16At17Mb", "2.45", 2, 1, 17, {33492, 1, false}, {0xD4, 0x82, 0x00, 0x00}},
    {"Fat16At1024MbWith1972", "2.45", 2, 1, 1024, {2019296, 32, false}, {0xE0, 0xCF, 0x1E, 0x00}},
    {"Fat16At512MbWith1936", "2.45", 3, 1, 512, {991200, 16, false}, {0xE0, 0x1F, 0x0F, 0x00}},
    {"Fat16At2048MbWith1896", "2.00", 2, 32, 2048, {3882976, 64, false}, {0xE0, 0x3F, 0x3B, 0x00}},
    {"Fat16At64MbWith2048", "2.61", 2, 1, 64, {131040, 2, false}, {0xE0, 0xFF, 0x01, 0x00}},
    // From 128 MB at 2048 sectors per megabyte a 255-sector FAT cannot map every cluster: the
    // partition ends with the 65278th cluster.
    {"ShortenedAt128MbWith2048", "2.61", 2, 1, 128, {543 + 65278 * 4, 4, false}, {0x17, 0xFE, 0x03, 0x00}},
    {"ShortenedAt2048MbWith2048", "2.61", 2, 1, 2048, {543 + 65278 * 64, 64, false}, {0x9F, 0xC1, 0x3F, 0x00}},
};

class AreaLayoutTest : public FormatSequenceTest, public testing::WithParamInterface<AreaCase> {};

TEST_P(AreaLayoutTest, WholeKeyAreaGetsTheLayoutForItsSize) {
  const AreaCase& c = GetParam();
  Attach(Key(kModelP3, c.capacityMb, c.revision, c.flashType, c.banks));
  ASSERT_EQ(FormatKey(c.capacityMb, "STELVARION", nullptr, nullptr), kResultSuccess);

  ExpectArea(*key, 0, c.shape, "STELVARION", kAreaClear);
  EXPECT_EQ(BytesAt(At(0), 0x1CA, 4), std::vector<std::uint8_t>(c.mbrCount.begin(), c.mbrCount.end()));
  // The clear ends at 575; nothing behind it is touched.
  for (std::uint64_t s = kAreaClear; s < kScribbled; ++s) {
    ASSERT_TRUE(IsScribble(At(s), s)) << "sector " << s << " was written";
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AreaLayoutTest, testing::ValuesIn(kAreaCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormatSequenceTest, WithoutALabelTheLabelSectorStaysClear) {
  Attach(Key(kModelP3, 17, "2.45", 2));
  ASSERT_EQ(FormatKey(17, nullptr, nullptr, nullptr), kResultSuccess);
  ExpectArea(*key, 0, {33492, 1, false}, "", kAreaClear);
  EXPECT_TRUE(IsZero(At(543)));

  Scribble(*key, 0, kScribbled);
  ASSERT_EQ(FormatKey(17, "", nullptr, nullptr), kResultSuccess);
  EXPECT_TRUE(IsZero(At(543)));
}

TEST_F(FormatSequenceTest, ShortLabelIsPaddedWithSpaces) {
  Attach(Key(kModelP3, 16, "2.45", 2));
  ASSERT_EQ(FormatKey(16, "AB", nullptr, nullptr), kResultSuccess);
  const Sector label = At(57);
  EXPECT_EQ(TextAt(label, 0, 11), "AB         ");
  EXPECT_EQ(label[11], 0x08);
}

// The writer's plan alone, with no key: the same images, in the order the sequencer sends them,
// the first three counted as steps.
TEST(AreaLayoutPlan, PlansTheAreaSectorsInWritingOrder) {
  const AreaLayout fat12 = PlanAreaLayout(1000, 16, 16 * 1972, "AB");
  ASSERT_EQ(fat12.Writes().size(), 5u);
  const std::uint32_t fat12Sectors = 16 * 1972 - 32;
  const std::uint32_t lbas[] = {1000, 1032, 1033, 1045, 1057};
  const Sector images[] = {ExpectedMbr(true, fat12Sectors), ExpectedBootSector(true, fat12Sectors, 8),
                           ExpectedFatHead(true), ExpectedFatHead(true), ExpectedLabelSector("AB")};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(fat12.Writes()[i].lba, lbas[i]) << i;
    EXPECT_EQ(fat12.Writes()[i].image, images[i]) << i;
    EXPECT_EQ(fat12.Writes()[i].countsStep, i < 3) << i;
  }

  for (const char* noLabel : {static_cast<const char*>(nullptr), ""}) {
    const AreaLayout fat16 = PlanAreaLayout(0, 1024, 1024 * 1972, noLabel);
    ASSERT_EQ(fat16.Writes().size(), 4u);
    EXPECT_EQ(fat16.Writes()[0].image, ExpectedMbr(false, 2019296));
    EXPECT_EQ(fat16.Writes()[1].image, ExpectedBootSector(false, 2019296, 32));
    EXPECT_EQ(fat16.Writes()[3].lba, 33u + 255);
  }
}

// ---- The order of commands -----------------------------------------------------------------

std::vector<std::string> AreaWrites(std::uint32_t first, bool fat12, bool label) {
  const std::uint32_t perFat = fat12 ? 12 : 255;
  std::vector<std::string> lines = {WriteLine(first, 1), WriteLine(first + 32, 1), WriteLine(first + 33, 1),
                                    WriteLine(first + 33 + perFat, 1)};
  if (label) lines.push_back(WriteLine(first + 33 + 2 * perFat, 1));
  return lines;
}

TEST_F(FormatSequenceTest, WholeKeyIsSizedThenLaidOutAsOneArea) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  ASSERT_EQ(FormatKey(1024, "ONE", nullptr, nullptr), kResultSuccess);

  std::vector<std::string> expected = {"capacity", "convert", "setarea 001ED000", "capacity", "9E 5",
                                       "getarea", "convert"};
  Append(expected, ClearLines(0, kAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, true));
  Append(expected, {"refresh", "refresh"});
  EXPECT_EQ(StorySinceMark(), expected);
  EXPECT_EQ(key->Areas().Register(), 1024u * 1972);
}

TEST_F(FormatSequenceTest, SmallerFirstAreaLaysOutTheSecondAreaFirstWithoutLabel) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  Scribble(*key, 1972000, kScribbled);
  ASSERT_EQ(FormatKey(1000, "FIRSTAREA", nullptr, nullptr), kResultSuccess);

  std::vector<std::string> expected = {"capacity", "convert", "setarea 001E1720", "capacity",
                                       "getarea", "convert", "convert", "capacity"};
  Append(expected, ClearLines(1972000, kAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(1972000, false, false));
  Append(expected, {"refresh", "getarea", "convert"});
  Append(expected, ClearLines(0, kAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, true));
  Append(expected, {"refresh", "refresh"});
  EXPECT_EQ(StorySinceMark(), expected);

  // Second area: 24 MB from sector 1000 x 1972, one sector per cluster; first area: 1000 MB.
  ExpectArea(*key, 1972000, {24 * 1972 - 32, 1, false}, "", kAreaClear);
  EXPECT_TRUE(IsZero(At(1972000 + 543))) << "the second area gets no label";
  ExpectArea(*key, 0, {1000 * 1972 - 32, 32, false}, "FIRSTAREA", kAreaClear);
  EXPECT_TRUE(IsScribble(At(1972000 + kAreaClear), 1972000 + kAreaClear));
}

TEST_F(FormatSequenceTest, EachAreaGetsItsOwnFatKindFromTheSameTemplates) {
  // FAT16 is patched for the second area first; the FAT12 first area must not keep any of it.
  Attach(Key(kModelP3, 1024, "2.45", 2));
  Scribble(*key, 16 * 1972, kScribbled);
  ASSERT_EQ(FormatKey(16, nullptr, nullptr, nullptr), kResultSuccess);
  ExpectArea(*key, 16 * 1972, {1008 * 1972 - 32, 32, false}, "", kAreaClear);
  ExpectArea(*key, 0, {16 * 1972 - 32, 8, true}, "", kAreaClear);

  // And back: a FAT16 first area after a FAT12 run.
  Scribble(*key, 0, kScribbled);
  ASSERT_EQ(FormatKey(1024, nullptr, nullptr, nullptr), kResultSuccess);
  ExpectArea(*key, 0, {1024 * 1972 - 32, 32, false}, "", kAreaClear);
}

TEST_F(FormatSequenceTest, ModelKindZeroIdentifiesTheKeyFirst) {
  Attach(Key(kModelVarnok, 64, "2.45", 2));
  ASSERT_EQ(FormatKey(64, nullptr, nullptr, nullptr), kResultSuccess);
  const std::vector<std::string> story = StorySinceMark();
  ASSERT_GE(story.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(story.begin(), story.begin() + 4),
            (std::vector<std::string>{"capacity", "identify", "convert", "setarea 0001ED00"}));
  ExpectArea(*key, 0, {64 * 1972 - 32, 2, false}, "", kAreaClear);
}

// ---- Progress ------------------------------------------------------------------------------

struct ProgressCase {
  const char* name;
  bool control;
  std::int32_t counterIn;
  std::uint32_t firstAreaMb;  // of a 1024 MB key
  std::vector<std::pair<int, int>> ranges;
  std::vector<std::int32_t> positions;
  std::int32_t counterOut;
  int fillerPauses;  // 1 ms pauses
};

void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::int32_t> Then(std::vector<std::int32_t> positions, std::int32_t last) {
  positions.push_back(last);
  return positions;
}

const ProgressCase kProgressCases[] = {
    // 2 + filler to 25 + 1 + 23 + 1 = 50 steps; the claim returns the bar to 0.
    {"ClaimedWholeKey", true, 0, 1024, {{0, 50}}, Then(Steps(0, 49), 0), 50, 23},
    {"ClaimedTwoAreas", true, 0, 1000, {{0, 50}}, Then(Steps(0, 49), 0), 50, 0},
    // A caller's counter: no range, no reset; the filler only tops up to 25.
    {"CallersBarLowCounter", true, 5, 1024, {}, Steps(5, 49), 50, 18},
    {"CallersBarHighCounter", true, 30, 1024, {}, Steps(30, 56), 57, 0},
    {"CallersBarTwoAreas", true, 1, 1000, {}, Steps(1, 50), 51, 0},
    {"NoControl", false, 0, 1024, {}, {}, 0, 0},
    {"NoControlCounterKept", false, 9, 1000, {}, {}, 9, 0},
};

class FormatProgressTest : public FormatSequenceTest, public testing::WithParamInterface<ProgressCase> {};

TEST_P(FormatProgressTest, FollowsTheSinkProtocol) {
  const ProgressCase& c = GetParam();
  Attach(Key(kModelP3, 1024, "2.45", 2));
  RecordingBar bar(host);
  std::int32_t counter = c.counterIn;
  ASSERT_EQ(FormatKey(c.firstAreaMb, nullptr, c.control ? &bar : nullptr, &counter), kResultSuccess);
  EXPECT_EQ(bar.Ranges(), c.ranges);
  EXPECT_EQ(bar.Positions(), c.positions);
  EXPECT_EQ(counter, c.counterOut);
  EXPECT_EQ(OneMillisecondPausesSinceMark(), c.fillerPauses);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatProgressTest, testing::ValuesIn(kProgressCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormatSequenceTest, FillerAdvancesOneStepPerMillisecondBeforeTheFirstArea) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  RecordingBar bar(host);
  std::int32_t counter = 0;
  ASSERT_EQ(FormatKey(1024, nullptr, &bar, &counter), kResultSuccess);
  std::vector<RecordingBar::Call> positions;
  for (const auto& call : bar.calls) {
    if (!call.isRange) positions.push_back(call);
  }
  ASSERT_GE(positions.size(), 26u);
  for (std::size_t p = 2; p <= 24; ++p) {
    EXPECT_EQ(positions[p + 1].atMs - positions[p].atMs, 1u) << "from position " << p;
  }
  // The filler runs after 9E 5 and before anything of the first area is sent.
  const long nine = IndexOfCommand(host, mark, "9E 5");
  const long getArea = IndexOfCommand(host, mark, "getarea");
  ASSERT_GE(nine, 0);
  EXPECT_EQ(getArea, nine + 1);
}

TEST_F(FormatSequenceTest, NoControlAndNoCounterIsFine) {
  Attach(Key(kModelP3, 64, "2.45", 2));
  EXPECT_EQ(FormatKey(64, nullptr, nullptr, nullptr), kResultSuccess);
  EXPECT_EQ(OneMillisecondPausesSinceMark(), 0);
}

// ---- Failures ------------------------------------------------------------------------------

struct FailureCase {
  const char* name;
  std::uint32_t firstAreaMb;  // of a 1024 MB key
  const char* command;        // as Story tells it, before folding
  int occurrence;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

const FailureCase kFailureCases[] = {
    {"SetAreaSize", 1000, "setarea 001E1720", 0},
    {"CapacityRead", 1000, "capacity", 2},  // after FormatKey's own and the conversion's
    {"SecondAreaSizeRead", 1000, "getarea", 0},
    {"SecondAreaClear", 1000, "write 1972032+32", 0},
    {"SecondAreaRefresh", 1000, "refresh", 0},
    {"FirstAreaConversion", 1000, "inquiry", 5},
    {"FirstAreaMbr", 1000, "write 0+1", 0},
    {"FirstAreaSecondFat", 1000, "write 288+1", 0},
    {"FirstAreaLabel", 1024, "write 543+1", 0},
    {"FinalRefresh", 1024, "refresh", 1},
};

class FormatFailureTest : public FormatSequenceTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(FormatFailureTest, StopsAtOnceAndLeavesTheBarWhereItStands) {
  const FailureCase& c = GetParam();
  Attach(Key(kModelP3, 1024, "2.45", 2));
  // A rehearsal finds where the command falls; the second run is the same sequence.
  ASSERT_EQ(host.trace.Commands().size(), host.CommandCount());
  const std::uint64_t rehearsal = host.CommandCount();
  ASSERT_EQ(FormatKey(c.firstAreaMb, "LABEL", nullptr, nullptr), kResultSuccess);
  const long at = IndexOfCommand(host, rehearsal, c.command, c.occurrence);
  ASSERT_GE(at, 0) << c.command << " was never sent";
  const std::uint64_t offset = static_cast<std::uint64_t>(at) - rehearsal;

  const std::uint64_t start = host.CommandCount();
  host.faults.failingIoctls.insert(start + offset);
  RecordingBar bar(host);
  std::int32_t counter = 0;
  EXPECT_EQ(FormatKey(c.firstAreaMb, "LABEL", &bar, &counter), kResultGeneralFailure);
  EXPECT_EQ(host.CommandCount(), start + offset + 1) << "commands were sent after the failure";
  EXPECT_EQ(bar.Ranges(), (std::vector<std::pair<int, int>>{{0, 50}}));
  EXPECT_EQ(bar.Positions(), Steps(0, counter - 1)) << "the bar is never reset after a failure";
}

INSTANTIATE_TEST_SUITE_P(Commands, FormatFailureTest, testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormatSequenceTest, AFailing9EIsIgnored) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  host.faults.failingIoctls.insert(host.CommandCount() + 6);  // capacity, convert (3), setarea, capacity: 9E
  EXPECT_EQ(FormatKey(1024, nullptr, nullptr, nullptr), kResultSuccess);
  EXPECT_EQ(IndexOfCommand(host, mark, "9E 5"), static_cast<long>(mark) + 6);
  ExpectArea(*key, 0, {1024 * 1972 - 32, 32, false}, "", kAreaClear);
}

TEST_F(FormatSequenceTest, NothingIsRolledBackAfterAFailure) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  Scribble(*key, 1972000, kScribbled);
  // Let the second area through, then remove the key when the first area's MBR is due.
  ASSERT_EQ(FormatKey(1000, nullptr, nullptr, nullptr), kResultSuccess);
  const long mbr = IndexOfCommand(host, mark, "write 0+1");
  ASSERT_GE(mbr, 0);
  Scribble(*key, 0, kScribbled);
  Scribble(*key, 1972000, kScribbled);
  key->Areas().SetRegister(1024 * 1972);
  const std::uint64_t start = host.CommandCount();
  host.faults.keyRemovedFrom = start + (static_cast<std::uint64_t>(mbr) - mark);
  EXPECT_EQ(FormatKey(1000, nullptr, nullptr, nullptr), kResultKeyNotFound);
  EXPECT_EQ(key->Areas().Register(), 1000u * 1972) << "the first area's size stays set";
  ExpectArea(*key, 1972000, {24 * 1972 - 32, 1, false}, "", kAreaClear);
  EXPECT_TRUE(IsZero(At(0))) << "the first area's clear stays done";
  EXPECT_TRUE(IsZero(At(32)));
}

TEST_F(FormatSequenceTest, UnsupportedRevisionEndsBeforeAnySectorIsWritten) {
  Attach(Key(kModelP3, 1024, "1.20", 0));
  const std::uint32_t factoryRegister = key->Areas().Register();
  RecordingBar bar(host);
  std::int32_t counter = 0;
  EXPECT_EQ(FormatKey(1024, nullptr, &bar, &counter), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "convert"}));
  EXPECT_EQ(key->Areas().Register(), factoryRegister);
  EXPECT_TRUE(bar.Positions().empty());
}

TEST_F(FormatSequenceTest, WriteProtectedKeyEndsAtTheAreaSizeItRefuses) {
  // The key refuses a new area size while its switch is on; nothing after it is sent.
  Attach(Key(kModelP3, 1024, "2.45", 2));
  key->SetWriteProtected(true);
  EXPECT_EQ(FormatKey(1024, nullptr, nullptr, nullptr), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "convert", "setarea 001ED000"}));
  for (std::uint64_t s = 0; s < kScribbled; ++s) ASSERT_TRUE(IsScribble(At(s), s)) << "sector " << s;
}

// ---- Refusals ------------------------------------------------------------------------------

TEST_F(FormatSequenceTest, FormatKeyTakesAFirstAreaFromOneMegabyteToTheCapacity) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  EXPECT_EQ(FormatKey(0, nullptr, nullptr, nullptr), kResultGeneralFailure);
  EXPECT_TRUE(StorySinceMark().empty());

  Mark();
  EXPECT_EQ(FormatKey(1025, nullptr, nullptr, nullptr), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity"}));

  Mark();
  host.faults.keyRemovedFrom = host.CommandCount();
  EXPECT_EQ(FormatKey(1024, nullptr, nullptr, nullptr), kResultKeyNotFound);
  host.faults.keyRemovedFrom.reset();
  EXPECT_EQ(FormatKey(1024, nullptr, nullptr, nullptr), kResultSuccess);
}

TEST_F(FormatSequenceTest, FormatKeyRefusesEitherAreaAbove4096MegabytesUntouched) {
  Attach(Key(kModelP3, 5000, "2.45", 2));
  const std::uint32_t factoryRegister = key->Areas().Register();
  for (std::uint32_t firstArea : {4097u, 903u}) {  // the first area, then the second (4097 MB)
    Mark();
    EXPECT_EQ(FormatKey(firstArea, nullptr, nullptr, nullptr), kResultGeneralFailure) << firstArea;
    EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity"})) << firstArea;
  }
  EXPECT_EQ(key->Areas().Register(), factoryRegister);
  EXPECT_TRUE(IsScribble(At(0), 0));

  // 4096 MB is the largest area the cluster table covers: 128 sectors per cluster.
  Scribble(*key, 904 * 1972, kScribbled);
  ASSERT_EQ(FormatKey(904, nullptr, nullptr, nullptr), kResultSuccess);
  ExpectArea(*key, 904 * 1972, {4096 * 1972 - 32, 128, false}, "", kAreaClear);
  ExpectArea(*key, 0, {904 * 1972 - 32, 32, false}, "", kAreaClear);
}

// On both paths of the sequence (the single-area model's and the others') every refusal of the
// entry function comes before the area size (B4), the whole-flash view (9E 5) or any write: the
// key hears at most the capacity read.
TEST_F(FormatSequenceTest, FormatKeyRefusesBeforeAnyCommandThatChangesTheKey) {
  struct Case {
    const char* model;
    std::uint32_t capacityMb;
    std::uint32_t firstAreaMb;
  };
  const Case cases[] = {{kModelP9, 1024, 0},    {kModelP9, 1024, 1025}, {kModelP9, 5000, 4097}, {kModelP9, 5000, 903},
                        {kModelVarnok, 64, 0},  {kModelVarnok, 64, 65}, {kModelVarnok, 5000, 5000},
                        {kModelP3, 8192, 4095}};
  for (const Case& c : cases) {
    host.Detach('E');
    ResetDeviceLibraryForTests();
    Attach(Key(c.model, c.capacityMb, "2.45", 2));
    const std::uint32_t factoryRegister = key->Areas().Register();
    const std::string what = std::string(c.model) + ", " + std::to_string(c.capacityMb) + " MB, first area " +
                             std::to_string(c.firstAreaMb) + " MB";
    EXPECT_EQ(FormatKey(c.firstAreaMb, "LABEL", nullptr, nullptr), kResultGeneralFailure) << what;
    const std::vector<std::string> heard = StorySinceMark();
    EXPECT_EQ(heard, c.firstAreaMb == 0 ? std::vector<std::string>{} : std::vector<std::string>{"capacity"}) << what;
    EXPECT_EQ(key->Areas().Register(), factoryRegister) << what;
    EXPECT_TRUE(IsScribble(At(0), 0)) << what;
  }
}

TEST_F(FormatSequenceTest, AreaLayoutRefusesAnAreaOutsideTheClusterTableBeforeWriting) {
  Attach(Key(kModelP3, 5000, "2.45", 2));
  for (std::uint32_t registerSectors : {4097u * 1972, 1971u}) {  // 4097 MB, then 0 MB
    key->Areas().SetRegister(registerSectors);
    Mark();
    RecordingBar bar(host);
    std::int32_t counter = 0;
    EXPECT_EQ(FormatKeyRegion(1, nullptr, &bar, &counter), kResultGeneralFailure) << registerSectors;
    EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "getarea", "convert", "getarea", "convert"}))
        << registerSectors;
    EXPECT_EQ(bar.Positions(), Steps(0, counter - 1)) << "no reset after a refusal";
  }
  EXPECT_TRUE(IsScribble(At(0), 0));
}

// ---- The region entry function and the sized layout ----------------------------------------

TEST_F(FormatSequenceTest, FormatKeyRegionLaysOutOneAreaAndClaimsTheBarFor23Steps) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  key->Areas().SetRegister(1000 * 1972);
  Scribble(*key, 1972000, kScribbled);
  ASSERT_EQ(KeyCommand9E(5), kResultSuccess);  // the whole flash, where the second area lies
  Mark();
  RecordingBar bar(host);
  std::int32_t counter = 0;
  ASSERT_EQ(FormatKeyRegion(0, "SECOND", &bar, &counter), kResultSuccess);
  std::vector<std::string> expected = {"capacity", "getarea", "convert", "getarea", "convert", "convert", "capacity"};
  Append(expected, ClearLines(1972000, kAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(1972000, false, true));
  expected.push_back("refresh");
  EXPECT_EQ(StorySinceMark(), expected);
  EXPECT_EQ(bar.Ranges(), (std::vector<std::pair<int, int>>{{0, 23}}));
  EXPECT_EQ(bar.Positions(), Then(Steps(0, 22), 0));
  EXPECT_EQ(counter, 23);

  ExpectArea(*key, 1972000, {24 * 1972 - 32, 1, false}, "SECOND", kAreaClear);

  key->Areas().SetRegister(1024 * 1972);
  Mark();
  EXPECT_EQ(FormatKeyRegion(0, nullptr, nullptr, nullptr), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "getarea", "convert"}));
  host.faults.keyRemovedFrom = host.CommandCount() + 1;
  EXPECT_EQ(FormatKeyRegion(1, nullptr, nullptr, nullptr), kResultKeyNotFound);
}

TEST_F(FormatSequenceTest, SizedLayoutClears1152SectorsFromZeroAndAdvances41Times) {
  Attach(Key(kModelP3, 1024, "2.45", 2));
  RecordingBar bar(host);
  std::int32_t counter = 0;
  ProgressSink sink(&bar, &counter);
  ASSERT_EQ(WriteRegionLayoutSized(AreaSelector::kSecond, nullptr, sink, 1000), kResultSuccess);
  std::vector<std::string> expected = {"convert", "capacity"};
  Append(expected, ClearLines(0, kSizedAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, false));
  expected.push_back("refresh");
  EXPECT_EQ(StorySinceMark(), expected);
  EXPECT_EQ(bar.Ranges(), (std::vector<std::pair<int, int>>{{0, 23}}));
  EXPECT_EQ(bar.Positions(), Then(Steps(0, 40), 0));
  // The second area's size, 24 MB, written from sector 0 of what the key shows.
  ExpectArea(*key, 0, {24 * 1972 - 32, 1, false}, "", kSizedAreaClear);
  EXPECT_TRUE(IsScribble(At(kSizedAreaClear), kSizedAreaClear));
}

// ---- The path of the P9 model --------------------------------------------------------------

TEST_F(FormatSequenceTest, ModelP9TogglesToTheSecondAreaAndWritesItFromSectorZero) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  Scribble(*key, 1972000, kScribbled);
  RecordingBar bar(host);
  std::int32_t counter = 0;
  ASSERT_EQ(FormatKey(1000, "P9KEY", &bar, &counter), kResultSuccess);

  std::vector<std::string> expected = {"capacity", "capacity", "convert", "setarea 001E1720", "reset"};
  Append(expected, ClearLines(0, kSizedAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, true));
  Append(expected, {"refresh", "9F", "convert", "capacity"});
  Append(expected, ClearLines(0, kSizedAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, false));
  Append(expected, {"refresh", "refresh", "convert", "setarea 001E1720", "reset"});
  EXPECT_EQ(StorySinceMark(), expected);

  // On the flash the second area lies behind the first.
  ExpectArea(*key, 0, {1000 * 1972 - 32, 32, false}, "P9KEY", kSizedAreaClear);
  ExpectArea(*key, 1972000, {24 * 1972 - 32, 1, false}, "", kSizedAreaClear);
  EXPECT_TRUE(IsZero(At(1972000 + 543)));
  // 2 + 41 + 41 + 2 steps under the claimed range of 50, then back to 0.
  EXPECT_EQ(bar.Ranges(), (std::vector<std::pair<int, int>>{{0, 50}}));
  EXPECT_EQ(bar.Positions(), Then(Steps(0, 85), 0));
  EXPECT_EQ(OneMillisecondPausesSinceMark(), 0);
}

TEST_F(FormatSequenceTest, ModelP9WholeKeySends9EAndNeedsNoFiller) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  RecordingBar bar(host);
  std::int32_t counter = 0;
  ASSERT_EQ(FormatKey(1024, nullptr, &bar, &counter), kResultSuccess);
  std::vector<std::string> expected = {"capacity", "capacity", "convert", "setarea 001ED000", "reset"};
  Append(expected, ClearLines(0, kSizedAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, false));
  Append(expected, {"refresh", "9E 5", "refresh", "convert", "setarea 001ED000", "reset"});
  EXPECT_EQ(StorySinceMark(), expected);
  EXPECT_EQ(bar.Positions(), Then(Steps(0, 44), 0));
  EXPECT_EQ(OneMillisecondPausesSinceMark(), 0);
  ExpectArea(*key, 0, {1024 * 1972 - 32, 32, false}, "", kSizedAreaClear);
}

TEST_F(FormatSequenceTest, ModelP9ReportsAFailedFirstAreaOnlyAfterTheSecond) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  Scribble(*key, 1972000, kScribbled);
  const std::uint64_t rehearsal = host.CommandCount();
  ASSERT_EQ(FormatKey(1000, nullptr, nullptr, nullptr), kResultSuccess);
  const long mbr = IndexOfCommand(host, rehearsal, "write 0+1");
  ASSERT_GE(mbr, 0);
  Scribble(*key, 1972000, kScribbled);

  Mark();
  host.faults.failingIoctls.insert(host.CommandCount() + (static_cast<std::uint64_t>(mbr) - rehearsal));
  RecordingBar bar(host);
  std::int32_t counter = 0;
  EXPECT_EQ(FormatKey(1000, nullptr, &bar, &counter), kResultGeneralFailure);
  std::vector<std::string> expected = {"capacity", "capacity", "convert", "setarea 001E1720", "reset"};
  Append(expected, ClearLines(0, kSizedAreaClear));
  Append(expected, {"convert", WriteLine(0, 1), "9F", "convert", "capacity"});
  Append(expected, ClearLines(0, kSizedAreaClear));
  expected.push_back("convert");
  Append(expected, AreaWrites(0, false, false));
  expected.push_back("refresh");
  EXPECT_EQ(StorySinceMark(), expected);
  ExpectArea(*key, 1972000, {24 * 1972 - 32, 1, false}, "", kSizedAreaClear);
  // 2 + 38 (up to the failed MBR) + 41 + 1 steps; no reset.
  EXPECT_EQ(bar.Positions(), Steps(0, 81));
}

}  // namespace
