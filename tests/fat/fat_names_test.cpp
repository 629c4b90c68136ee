// How Win32 paths and labels become directory-entry names, and how local time is stamped.
#include <gtest/gtest.h>

#include <string>

#include "fat/fat_errors.h"
#include "fat/fat_names.h"
#include "fat/fat_time.h"

namespace {

using namespace emulated;
using namespace emulated::fat_error;

std::string Stored(const ShortName& name) { return std::string(name.begin(), name.end()); }

TEST(FatNames, RootPathsBecomeShortNames) {
  struct Case {
    const char* path;
    const char* stored;  // null: a legal name no short entry can hold
  };
  const Case cases[] = {
      {"E:\\IBMBIO.COM", "IBMBIO  COM"}, {"e:\\command.com", "COMMAND COM"}, {"\\A", "A          "},
      {"X.Y", "X       Y  "},            {"E:/READ.ME", "READ    ME "},     {"E:\\FOO. .", "FOO        "},
      {"E:\\$(~1)!.{}", "$(~1)!  {} "}, {"E:\\\xE5X.A", "\x05X      A  "},  {"E:\\A.B.C", nullptr},
      {"E:\\NINECHARS.TXT", nullptr},   {"E:\\A.TEXT", nullptr},            {"E:\\A B.TXT", nullptr},
      {"E:\\.PROFILE", nullptr},        {"E:\\A+B.TXT", nullptr},
  };
  for (const Case& c : cases) {
    const RootPath parsed = ParseRootPath(c.path);
    EXPECT_EQ(parsed.error, ERROR_SUCCESS) << c.path;
    EXPECT_EQ(parsed.isShortName, c.stored != nullptr) << c.path;
    if (c.stored != nullptr) {
      EXPECT_EQ(Stored(parsed.name), c.stored) << c.path;
    }
  }
  for (const char* bad : {"E:\\", "E:\\...", "E:\\A*.COM", "E:\\A?", "E:\\A<B", "E:\\A\tB", "E:\\A:B"}) {
    EXPECT_EQ(ParseRootPath(bad).error, ERROR_INVALID_NAME) << bad;
  }
  EXPECT_EQ(ParseRootPath(nullptr).error, ERROR_INVALID_NAME);
  EXPECT_EQ(ParseRootPath("E:\\DIR\\FILE.TXT").error, ERROR_PATH_NOT_FOUND);
}

TEST(FatNames, LabelsAreUppercasedPaddedAndChecked) {
  ShortName label;
  bool remove = false;
  ASSERT_EQ(MakeVolumeLabel("my key", &label, &remove), ERROR_SUCCESS);
  EXPECT_EQ(Stored(label), "MY KEY     ");
  EXPECT_FALSE(remove);
  ASSERT_EQ(MakeVolumeLabel("ABCDEFGHIJK", &label, &remove), ERROR_SUCCESS);
  EXPECT_EQ(Stored(label), "ABCDEFGHIJK");
  for (const char* empty : {"", "   "}) {
    ASSERT_EQ(MakeVolumeLabel(empty, &label, &remove), ERROR_SUCCESS);
    EXPECT_TRUE(remove) << '"' << empty << '"';
  }
  ASSERT_EQ(MakeVolumeLabel(nullptr, &label, &remove), ERROR_SUCCESS);
  EXPECT_TRUE(remove);
  for (const char* bad : {"ABCDEFGHIJKL", "A.B", "A*", "A+B", "A,B", "A[1]", "A\x01"}) {
    EXPECT_EQ(MakeVolumeLabel(bad, &label, &remove), ERROR_LABEL_TOO_LONG) << bad;
  }
}

TEST(FatTime, SecondsBecomeCalendarTime) {
  const LocalTime t = LocalTimeFromSeconds(1709647657);  // 2024-03-05 14:07:37
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 5);
  EXPECT_EQ(t.hour, 14);
  EXPECT_EQ(t.minute, 7);
  EXPECT_EQ(t.second, 37);
  const LocalTime leap = LocalTimeFromSeconds(951782400);  // 2000-02-29 00:00:00
  EXPECT_EQ(leap.month * 100 + leap.day, 229);
  const LocalTime late = LocalTimeFromSeconds(4107542399);  // 2100-02-28 23:59:59, no leap day
  EXPECT_EQ(late.year * 10000 + late.month * 100 + late.day, 21000228);
  EXPECT_EQ(late.hour * 3600 + late.minute * 60 + late.second, 86399);
}

TEST(FatTime, StampsPackAndClamp) {
  const LocalTime t{2024, 3, 5, 14, 7, 37, 250};
  EXPECT_EQ(DosDate(t), 44 << 9 | 3 << 5 | 5);
  EXPECT_EQ(DosTime(t), 14 << 11 | 7 << 5 | 18);
  EXPECT_EQ(DosTenths(t), 125);
  EXPECT_EQ(DosDate(LocalTimeFromSeconds(0)), 1 << 5 | 1);  // before 1980: the first FAT day
  EXPECT_EQ(DosTime(LocalTimeFromSeconds(0)), 0);
  EXPECT_EQ(DosDate(LocalTime{2200, 6, 1, 0, 0, 0, 0}), 127 << 9 | 12 << 5 | 31);
  EXPECT_EQ(DosTime(LocalTime{2200, 6, 1, 0, 0, 0, 0}), 23 << 11 | 59 << 5 | 29);
}

}  // namespace
