// Sectors per megabyte by firmware revision and flash configuration, the two figures of the
// flash configuration, and the area-size commands, against the emulated key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devlib/capacity.h"
#include "devlib/key_library.h"
#include "tests/media/media_test_support.h"
#include "tests/support/library_fixture.h"

using namespace media_test;

namespace {

constexpr std::uint32_t kUntouched = 0xDEADBEEF;

class GeometryTest : public LibraryTest {
 protected:
  emulated::EmulatedKey& Attach(const emulated::KeyConfig& config) {
    key = &host.AttachKey('E', config);
    int megabytes = 0;
    EXPECT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);  // settles the library on E:
    mark = host.trace.Commands().size();
    return *key;
  }
  // Another key in the same drive: the library keeps its drive letter and model.
  emulated::EmulatedKey& Replace(const emulated::KeyConfig& config) {
    host.Detach('E');
    key = &host.AttachKey('E', config);
    mark = host.trace.Commands().size();
    return *key;
  }
  std::vector<std::string> StorySinceMark() const { return Story(host, mark); }
  void RemoveKeyAfter(std::uint64_t commands) { host.faults.keyRemovedFrom = host.CommandCount() + commands; }

  emulated::EmulatedKey* key = nullptr;
  std::size_t mark = 0;
};

// ---- The conversion table ------------------------------------------------------------------

struct FactorCase {
  const char* name;
  const char* revision;
  std::uint16_t flashType;
  std::uint16_t banks;
  std::uint32_t capacityMb;
  std::uint32_t factor;  // 0: the combination is refused
};

void PrintTo(const FactorCase& c, std::ostream* os) { *os << c.name; }

const FactorCase kFactorCases[] = {
    {"W21AnyType", "W2.1", 1, 1, 1024, 2048},
    {"W21UnlistedType", "W2.1", 9, 1, 1024, 2048},
    {"Rev100", "1.00", 3, 2, 512, 2048},
    {"Rev110", "1.10", 0, 1, 256, 2048},
    {"Rev115Type2", "1.15", 2, 1, 1024, 1972},
    {"Rev120Type2", "1.20", 2, 2, 512, 1972},
    {"Rev121Type2", "1.21", 2, 1, 128, 1972},
    {"Rev115Type0Refused", "1.15", 0, 1, 1024, 0},
    {"Rev120Type1Refused", "1.20", 1, 1, 1024, 0},
    {"Rev121Type3Refused", "1.21", 3, 2, 1024, 0},
    {"Rev312Type0", "3.12", 0, 1, 1024, 1972},
    {"Rev242Type1", "2.42", 1, 1, 1024, 1972},
    {"Rev245Type2", "2.45", 2, 1, 1024, 1972},
    {"Rev250Type2SmallBanks", "2.50", 2, 2, 128, 1972},  // listed: the 64-per-bank row is never reached
    {"Rev245Type3", "2.45", 3, 1, 1024, 1936},
    {"Rev312Type3", "3.12", 3, 2, 2048, 1936},
    {"Rev249UnlistedTypeRefused", "2.49", 4, 1, 1024, 0},
    {"Rev260", "2.60", 3, 1, 1024, 2048},
    {"Rev261SmallBanks", "2.61", 2, 2, 128, 2048},
    {"Unlisted200Type2SmallBanks", "2.00", 2, 2, 128, 1896},
    {"Unlisted200Type2OneSmallBank", "2.00", 2, 1, 64, 1896},
    {"UnlistedType2BanksOf64ByDivision", "9.99", 2, 2, 129, 1896},  // 129 / 2 = 64
    {"UnlistedType2BanksOf65", "9.99", 2, 2, 130, 1972},
    {"UnlistedType0SmallBanks", "2.00", 0, 2, 128, 1972},
    {"UnlistedType2LargeBanks", "2.00", 2, 1, 128, 1972},
    {"UnlistedType1", "2.00", 1, 1, 1024, 1988},
    {"UnlistedType3SmallBanks", "2.00", 3, 2, 128, 1988},
    {"UnlistedUnlistedTypeRefused", "2.00", 5, 1, 1024, 0},
    {"NoBanksRefused", "2.00", 2, 0, 1024, 0},
    {"NoBanksListedRevisionRefused", "2.45", 2, 0, 1024, 0},
    // Revisions are compared case-sensitively: "w2.1" is not "W2.1".
    {"LowerCaseW21IsUnlistedType1", "w2.1", 1, 1, 1024, 1988},
    {"LowerCaseW21IsUnlistedType2", "w2.1", 2, 16, 1024, 1896},
};

class ConversionTableTest : public GeometryTest, public testing::WithParamInterface<FactorCase> {};

TEST_P(ConversionTableTest, ConvertsBothWaysOrRefusesUntouched) {
  const FactorCase& c = GetParam();
  const emulated::KeyConfig config = Key(kModelP9, c.capacityMb, c.revision, c.flashType, c.banks);
  Attach(config);

  std::uint32_t megabytes = 1024;
  std::uint32_t sectors = kUntouched;
  const ResultCode up = ConvertKeyCapacity(&megabytes, &sectors, 0);
  std::uint32_t downMegabytes = kUntouched;
  std::uint32_t downSectors = 7 * (c.factor == 0 ? 1 : c.factor) + (c.factor == 0 ? 0 : c.factor - 1);
  const std::uint32_t downSectorsBefore = downSectors;
  const ResultCode down = ConvertKeyCapacity(&downMegabytes, &downSectors, 1);

  if (c.factor == 0) {
    EXPECT_EQ(up, kResultGeneralFailure);
    EXPECT_EQ(down, kResultGeneralFailure);
    EXPECT_EQ(megabytes, 1024u);
    EXPECT_EQ(sectors, kUntouched);
    EXPECT_EQ(downMegabytes, kUntouched);
    EXPECT_EQ(downSectors, downSectorsBefore);
  } else {
    EXPECT_EQ(up, kResultSuccess);
    EXPECT_EQ(sectors, 1024 * c.factor);
    EXPECT_EQ(megabytes, 1024u);
    EXPECT_EQ(down, kResultSuccess);
    EXPECT_EQ(downMegabytes, 7u) << "truncating division by " << c.factor;
    EXPECT_EQ(downSectors, downSectorsBefore);
    // The key works its flash out on its own; both readings must agree.
    EXPECT_EQ(c.factor, emulated::KeySectorsPerMegabyte(config));
  }
  // Nothing is cached: every conversion asks the key for capacity, flash and revision again.
  // Without banks there is no capacity per bank, and the revision is not asked for.
  const std::vector<std::string> once =
      c.banks == 0 ? std::vector<std::string>{"capacity", "flashconfig"} : std::vector<std::string>{"convert"};
  std::vector<std::string> twice = once;
  Append(twice, once);
  EXPECT_EQ(StorySinceMark(), twice);
}

INSTANTIATE_TEST_SUITE_P(Rows, ConversionTableTest, testing::ValuesIn(kFactorCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Known figures -------------------------------------------------------------------------

TEST_F(GeometryTest, Revision120WithType2ConvertsOneMegabyteTo1972Sectors) {
  Attach(Key(kModelP9, 1024, "1.20", 2));
  std::uint32_t megabytes = 1;
  std::uint32_t sectors = 0;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 0), kResultSuccess);
  EXPECT_EQ(sectors, 1972u);

  Replace(Key(kModelP9, 1024, "1.20", 0));
  megabytes = 1;
  sectors = 4242;
  EXPECT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 0), kResultGeneralFailure);
  EXPECT_EQ(megabytes, 1u);
  EXPECT_EQ(sectors, 4242u);
}

TEST_F(GeometryTest, Revision261Converts1024MegabytesTo2097152Sectors) {
  Attach(Key(kModelP9, 1024, "2.61", 1));
  std::uint32_t megabytes = 1024;
  std::uint32_t sectors = 0;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 0), kResultSuccess);
  EXPECT_EQ(sectors, 2097152u);
}

TEST_F(GeometryTest, UnlistedRevisionWithType1Converts1024MegabytesTo2035712Sectors) {
  Attach(Key(kModelVarnok, 1024, "2.00", 1));
  std::uint32_t megabytes = 1024;
  std::uint32_t sectors = 0;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 0), kResultSuccess);
  EXPECT_EQ(sectors, 2035712u);
}

TEST_F(GeometryTest, ZeroSectorsConvertToZeroMegabytes) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  std::uint32_t megabytes = 55;
  std::uint32_t sectors = 0;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 1), kResultSuccess);
  EXPECT_EQ(megabytes, 0u);
}

TEST_F(GeometryTest, SectorsConvertToWholeMegabytesOnly) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  std::uint32_t megabytes = 0;
  std::uint32_t sectors = 2019327;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 1), kResultSuccess);
  EXPECT_EQ(megabytes, 1023u);
  sectors = 2019328;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 1), kResultSuccess);
  EXPECT_EQ(megabytes, 1024u);
}

// ---- The one-sector adjustment of model P3 with firmware 2.00 ------------------------------

struct AdjustmentCase {
  const char* name;
  const char* model;
  const char* revision;
  std::uint16_t banks;
  std::uint32_t megabytes;
  std::uint32_t sectors;  // expected, after the adjustment if any
};

void PrintTo(const AdjustmentCase& c, std::ostream* os) { *os << c.name; }

const AdjustmentCase kAdjustmentCases[] = {
    {"OneBankMultipleOf256", kModelP3, "2.00", 1, 1024, 2035713},
    {"OneBankSixtyFourMb", kModelP3, "2.00", 1, 64, 127233},  // 127232 = 256 x 497
    {"OneBankNotAMultiple", kModelP3, "2.00", 1, 1, 1988},
    {"TwoBanksMultipleOf512", kModelP3, "2.00", 2, 1024, 2035713},
    {"TwoBanksMultipleOf256Only", kModelP3, "2.00", 2, 64, 127232},
    {"OtherRevision", kModelP3, "2.01", 1, 1024, 2035712},
    {"OtherModel", kModelP9, "2.00", 1, 1024, 2035712},
    {"ModelKindZero", kModelVarnok, "2.00", 1, 1024, 2035712},
};

class AdjustmentTest : public GeometryTest, public testing::WithParamInterface<AdjustmentCase> {};

TEST_P(AdjustmentTest, AddsOneSectorOnlyForModelP3WithFirmware200AtBankBoundaries) {
  const AdjustmentCase& c = GetParam();
  Attach(Key(c.model, 1024, c.revision, 1, c.banks));
  std::uint32_t megabytes = c.megabytes;
  std::uint32_t sectors = 0;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 0), kResultSuccess);
  EXPECT_EQ(sectors, c.sectors);
  EXPECT_EQ(megabytes, c.megabytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, AdjustmentTest, testing::ValuesIn(kAdjustmentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GeometryTest, AdjustmentTowardsMegabytesChangesOnlyTheSectorOperandAndOnlyOnce) {
  Attach(Key(kModelP3, 1024, "2.00", 1, 1));
  std::uint32_t megabytes = 0;
  std::uint32_t sectors = 2035712;
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 1), kResultSuccess);
  EXPECT_EQ(megabytes, 1024u);
  EXPECT_EQ(sectors, 2035713u);
  // 2035713 is no multiple of 256: converting it again leaves it alone.
  ASSERT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 1), kResultSuccess);
  EXPECT_EQ(megabytes, 1024u);
  EXPECT_EQ(sectors, 2035713u);
}

// ---- Failures of the queries under the conversion ------------------------------------------

TEST_F(GeometryTest, ConversionPassesOnAFailingQueryAndWritesNothing) {
  Attach(Key(kModelP9, 1024, "2.45", 2));
  for (std::uint64_t survivors : {0, 1, 2}) {  // capacity, flash configuration, INQUIRY
    SCOPED_TRACE("key removed after " + std::to_string(survivors) + " commands");
    RemoveKeyAfter(survivors);
    std::uint32_t megabytes = 10;
    std::uint32_t sectors = kUntouched;
    EXPECT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 0), kResultKeyNotFound);
    EXPECT_EQ(megabytes, 10u);
    EXPECT_EQ(sectors, kUntouched);
    host.faults.keyRemovedFrom.reset();
  }
  host.faults.failingIoctls.insert(host.CommandCount() + 1);  // the flash configuration fails
  std::uint32_t megabytes = kUntouched;
  std::uint32_t sectors = 1972;
  EXPECT_EQ(ConvertKeyCapacity(&megabytes, &sectors, 1), kResultGeneralFailure);
  EXPECT_EQ(megabytes, kUntouched);
  EXPECT_EQ(sectors, 1972u);
}

// ---- The two figures of the flash configuration --------------------------------------------

struct FigureCase {
  std::uint32_t capacityMb;
  std::uint16_t flashType;
  std::uint16_t banks;
  int typeFigure;  // -1: left unwritten
  int capacityFigure;
};

void PrintTo(const FigureCase& c, std::ostream* os) {
  *os << c.capacityMb << " MB, type " << c.flashType << ", " << c.banks << " banks";
}

const FigureCase kFigureCases[] = {
    {2048, 0, 1, 128, 4}, {2048, 3, 2, 128, 4},  // 2048: 4 whatever the rest
    {1024, 3, 2, 128, 2}, {1024, 3, 1, 128, 4}, {1024, 2, 2, 256, 4},
    {512, 1, 2, 64, 2},   {512, 3, 1, 128, 2},  {512, 0, 1, 128, 4},  {512, 2, 4, 256, 4},
    {256, 3, 1, 128, 1},  {256, 3, 2, 128, 1},  {256, 0, 2, 128, 1},  {256, 0, 1, 128, 2},
    {256, 3, 4, 128, 2},  {128, 2, 2, 256, 1},  {4096, 1, 1, 64, 1},  {1024, 7, 2, -1, 4},
};

class FigureTest : public GeometryTest, public testing::WithParamInterface<FigureCase> {};

TEST_P(FigureTest, FollowTheTablesFromTheKeysAnswers) {
  const FigureCase& c = GetParam();
  Attach(Key(kModelP9, c.capacityMb, "2.45", c.flashType, c.banks));
  int perBank = -1, type = -1, banks = -1, typeFigure = -1, capacityFigure = -1;
  ASSERT_EQ(QueryFlashGeometry(&perBank, &type, &banks, &typeFigure, &capacityFigure), kResultSuccess);
  EXPECT_EQ(perBank, static_cast<int>(c.capacityMb / c.banks));
  EXPECT_EQ(type, c.flashType);
  EXPECT_EQ(banks, c.banks);
  EXPECT_EQ(typeFigure, c.typeFigure);
  EXPECT_EQ(capacityFigure, c.capacityFigure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "flashconfig"}));
}

INSTANTIATE_TEST_SUITE_P(Tables, FigureTest, testing::ValuesIn(kFigureCases));

TEST_F(GeometryTest, FlashGeometryWritesNoOutputWhenAQueryFails) {
  Attach(Key(kModelP9, 512, "2.45", 2, 2));
  for (std::uint64_t survivors : {0, 1}) {
    SCOPED_TRACE("key removed after " + std::to_string(survivors) + " commands");
    RemoveKeyAfter(survivors);
    int out[5] = {-1, -1, -1, -1, -1};
    EXPECT_EQ(QueryFlashGeometry(&out[0], &out[1], &out[2], &out[3], &out[4]), kResultKeyNotFound);
    for (int value : out) EXPECT_EQ(value, -1);
    host.faults.keyRemovedFrom.reset();
  }
}

TEST_F(GeometryTest, FirmwareRevisionIsCopiedAsFourCharacters) {
  Attach(Key(kModelP9, 512, "2.47", 2));
  char revision[6] = {'x', 'x', 'x', 'x', '#', '#'};
  ASSERT_EQ(QueryFirmwareRevision(revision), kResultSuccess);
  EXPECT_EQ(std::string(revision, 6), "2.47##");
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"inquiry"}));

  RemoveKeyAfter(0);
  char untouched[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(QueryFirmwareRevision(untouched), kResultKeyNotFound);
  EXPECT_EQ(std::string(untouched, 4), "abcd");
}

// ---- The area-size commands ----------------------------------------------------------------

TEST_F(GeometryTest, AreaSizeIsSentAsABigEndianSectorCount) {
  emulated::EmulatedKey& k = Attach(Key(kModelP9, 1024, "2.45", 2));
  ASSERT_EQ(SetKeyAreaSize(1024), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "convert", "setarea 001ED000"}));
  const emulated::TraceEvent block = host.trace.Commands().back();
  EXPECT_FALSE(block.dataIn);
  EXPECT_EQ(block.length, 4u);
  EXPECT_EQ(block.dataOut, Bytes({0x00, 0x1E, 0xD0, 0x00}));
  EXPECT_EQ(k.Areas().Register(), 2019328u);  // as the key decoded it

  ASSERT_EQ(SetKeyAreaSize(1000), kResultSuccess);
  EXPECT_EQ(k.Areas().Register(), 1972000u);
  std::uint32_t megabytes = 0;
  ASSERT_EQ(GetKeyAreaSize(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1000u);
}

TEST_F(GeometryTest, AreaSizeCarriesTheModelP3Adjustment) {
  emulated::EmulatedKey& k = Attach(Key(kModelP3, 1024, "2.00", 1, 1));
  ASSERT_EQ(SetKeyAreaSize(1024), kResultSuccess);
  EXPECT_EQ(Story(host, mark).back(), "setarea 001F1001");
  EXPECT_EQ(k.Areas().Register(), 2035713u);
  std::uint32_t megabytes = 0;
  ASSERT_EQ(GetKeyAreaSize(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1024u);
}

TEST_F(GeometryTest, AreaSizeIsReadBigEndianAndConvertedToMegabytes) {
  emulated::EmulatedKey* k = &Attach(Key(kModelP9, 1024, "2.61", 2));
  k->Areas().SetRegister(0x000FA000);  // the key answers 00 0F A0 00
  std::uint32_t megabytes = kUntouched;
  ASSERT_EQ(GetKeyAreaSize(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 500u);  // 1024000 / 2048
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"getarea", "convert"}));
  const emulated::TraceEvent block = host.trace.Commands()[mark];
  EXPECT_TRUE(block.dataIn);
  EXPECT_EQ(block.length, 4u);

  k = &Replace(Key(kModelP9, 1024, "2.45", 2));
  const std::pair<std::uint32_t, std::uint32_t> readings[] = {
      {0x000FA000, 519}, {2019327, 1023}, {2019328, 1024}, {0, 0}};
  for (const auto& [sectors, expected] : readings) {
    k->Areas().SetRegister(sectors);
    megabytes = kUntouched;
    ASSERT_EQ(GetKeyAreaSize(&megabytes), kResultSuccess);
    EXPECT_EQ(megabytes, expected) << sectors << " sectors";
  }
}

TEST_F(GeometryTest, AreaSizeReadFailsWithTheTransportOrTheConversion) {
  emulated::EmulatedKey& k = Attach(Key(kModelP9, 1024, "1.21", 0));
  k.Areas().SetRegister(1972);
  std::uint32_t megabytes = kUntouched;
  EXPECT_EQ(GetKeyAreaSize(&megabytes), kResultGeneralFailure);  // unsupported: 1.21 with type 0
  EXPECT_EQ(megabytes, kUntouched);
  RemoveKeyAfter(0);
  EXPECT_EQ(GetKeyAreaSize(&megabytes), kResultKeyNotFound);
  EXPECT_EQ(megabytes, kUntouched);
}

TEST_F(GeometryTest, SetKeyAreaSizeAcceptsOnlyOneMegabyteUpToTheCapacity) {
  emulated::EmulatedKey& k = Attach(Key(kModelP9, 512, "2.45", 3));
  const std::uint32_t factoryRegister = k.Areas().Register();
  ASSERT_EQ(factoryRegister, 512u * 1936);

  EXPECT_EQ(SetKeyAreaSize(0), kResultGeneralFailure);
  EXPECT_TRUE(StorySinceMark().empty()) << "a size of 0 is refused before anything is sent";

  mark = host.trace.Commands().size();
  EXPECT_EQ(SetKeyAreaSize(513), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity"}));
  EXPECT_EQ(k.Areas().Register(), factoryRegister);

  mark = host.trace.Commands().size();
  RemoveKeyAfter(0);
  EXPECT_EQ(SetKeyAreaSize(256), kResultKeyNotFound);
  host.faults.keyRemovedFrom.reset();
  EXPECT_EQ(k.Areas().Register(), factoryRegister);

  mark = host.trace.Commands().size();
  host.faults.failingIoctls.insert(host.CommandCount());
  EXPECT_EQ(SetKeyAreaSize(256), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity"}));

  mark = host.trace.Commands().size();
  ASSERT_EQ(SetKeyAreaSize(512), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "convert", "setarea 000F2000"}));
  EXPECT_EQ(k.Areas().Register(), 512u * 1936);
}

TEST_F(GeometryTest, SetKeyAreaSizeSendsNothingForAnUnsupportedRevision) {
  emulated::EmulatedKey& k = Attach(Key(kModelP9, 1024, "1.15", 3));
  const std::uint32_t factoryRegister = k.Areas().Register();
  EXPECT_EQ(SetKeyAreaSize(512), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"capacity", "convert"}));
  EXPECT_EQ(k.Areas().Register(), factoryRegister);
}

// The format sequence's own area-size entry: the conversion and the command, no capacity read.
TEST_F(GeometryTest, KeyCommandB4SendsTheAreaSizeWithoutReadingTheCapacity) {
  emulated::EmulatedKey& k = Attach(Key(kModelP9, 1024, "2.45", 2));
  ASSERT_EQ(KeyCommandB4(1000), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"convert", "setarea 001E1720"}));
  EXPECT_EQ(k.Areas().Register(), 1972000u);

  emulated::EmulatedKey& unsupported = Replace(Key(kModelP9, 1024, "1.15", 3));
  const std::uint32_t factoryRegister = unsupported.Areas().Register();
  EXPECT_EQ(KeyCommandB4(512), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"convert"}));
  EXPECT_EQ(unsupported.Areas().Register(), factoryRegister);
}

}  // namespace
