// The system files and the label on their own: the label entry's bytes, a second copy over
// hidden and read-only files, and the messages for the library's codes.
#include <cstring>
#include <string>
#include <vector>

#include "app/system_files.h"
#include "tests/app/app_fixture.h"

namespace app_test {
namespace {

using SystemFilesTest = AppTest;

emulated::Sector FlashSector(emulated::EmulatedKey& key, std::uint64_t lba) {
  emulated::Sector sector{};
  EXPECT_TRUE(key.Flash().Read(lba, 1, sector.data()));
  return sector;
}

struct LabelCase {
  const char* model;
  std::uint64_t rootSector;  // on the flash: the first area starts at flash sector 0
};

class LabelEntryTest : public AppTest, public testing::WithParamInterface<LabelCase> {};

// Mixed case: the system's call stores "ABCDE" in the same slot; the entry by sector, as typed.
TEST_P(LabelEntryTest, FiveCharacterLabelTakesSlotThreeWithTheFirstFilesTimeStamp) {
  emulated::EmulatedKey& key = AttachKey(GetParam().model);
  host.SetTime(1234567890);  // files written at a time of their own
  PressStart("AbcdE");
  ASSERT_EQ(BoxesAfterWarning().size(), 1u);
  const emulated::Sector root = FlashSector(key, GetParam().rootSector);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(root.data()), 11), "IBMBIO  COM");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(root.data() + 32), 11), "IBMDOS  COM");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(root.data() + 64), 11), "COMMAND COM");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(root.data() + 96), 11), "AbcdE      ");
  EXPECT_EQ(root[96 + 11], 0x08);
  // Write time and date of entry 0, copied; the date is not zero, so the copy shows.
  EXPECT_NE(root[24] | root[25], 0);
  EXPECT_TRUE(std::equal(root.begin() + 22, root.begin() + 26, root.begin() + 96 + 22));
  // The rest of the entry stays as the fresh root directory had it.
  for (std::size_t i = 96 + 12; i < 96 + 22; ++i) EXPECT_EQ(root[i], 0) << i;
  for (std::size_t i = 96 + 26; i < 128; ++i) EXPECT_EQ(root[i], 0) << i;
  EXPECT_EQ(root[128], 0) << "slot 4 stays free";
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, LabelEntryTest,
                         testing::Values(LabelCase{kP9, 564}, LabelCase{kP3, 543}, LabelCase{kVarnok, 543}),
                         [](const auto& info) {
                           std::string name = info.param.model;
                           std::erase(name, ' ');
                           return name;
                         });

TEST_F(SystemFilesTest, SecondCopyClearsTheOldAttributesFirst) {
  AttachKey();
  PressStart("");
  const std::size_t before = TraceSize();
  ASSERT_EQ(CopySystemFiles(), kResultSuccess);
  std::vector<std::string> expected{"pause 500"};
  const struct {
    const char* name;
    int resource;
    const char* attributes;
  } files[] = {{"IBMBIO.COM", 150, "06"}, {"IBMDOS.COM", 151, "06"}, {"COMMAND.COM", 152, "03"}};
  for (const auto& f : files) {
    const std::string path = std::string("E:\\") + f.name;
    Append(expected, {"file find " + path, "file attributes 80 " + path, "pause 100", "file create " + path,
                      "file write " + std::to_string(host.resources[f.resource].size()) + " bytes", "file close",
                      "pause 250", std::string("file attributes ") + f.attributes + " " + path});
  }
  std::vector<std::string> seen;
  for (const std::string& line : Timeline()) {
    if (line.rfind("file ", 0) == 0 || line.rfind("pause ", 0) == 0) seen.push_back(line);
  }
  seen.erase(seen.begin(), seen.end() - static_cast<std::ptrdiff_t>(expected.size()));
  EXPECT_TRUE(SameLines(seen, expected));
  for (const std::string& command : CommandsSince(before)) {
    EXPECT_NE(command.rfind("WRITE ", 0), 0u) << "files go through the file system, not by sector";
  }
  EXPECT_EQ(BoxesAfterWarning().size(), 1u) << "only the first run's success";
}

TEST_F(SystemFilesTest, CopyThatCannotWriteAFileCompletelyFails) {
  AttachKey();
  PressStart("");
  const auto expectFailure = [&](const char* what) {
    host.messageBoxes.clear();
    EXPECT_EQ(CopySystemFiles(), -8) << what;
    ASSERT_EQ(host.messageBoxes.size(), 1u) << what;
    EXPECT_EQ(host.messageBoxes[0].text, shown::kUnknownError) << what;
  };
  host.faults.fileSystemReadOnly = true;
  expectFailure("read-only file system");
  host.faults.fileSystemReadOnly = false;
  host.shortWrites = true;
  expectFailure("short write");
  host.shortWrites = false;
  host.resources.erase(150);
  expectFailure("missing resource");
}

TEST_F(SystemFilesTest, FailedSectorReadGivesItsCodeAndWritesNothing) {
  AttachKey();
  PressStart("");
  bool failed = false;
  trigger = [&](const std::string& line) {
    if (!failed && line == "before cmd READ 63+1") {
      failed = true;
      host.faults.forcedStatus[host.CommandCount()] = 0x02;  // CHECK CONDITION
    }
  };
  const std::size_t before = TraceSize();
  host.messageBoxes.clear();
  EXPECT_EQ(WriteLabelEntry("LABEL"), -8);
  EXPECT_TRUE(failed);
  for (const std::string& command : CommandsSince(before)) EXPECT_NE(command.rfind("WRITE", 0), 0u) << command;
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(host.messageBoxes[0].text, shown::kUnknownError);
}

TEST_F(SystemFilesTest, MissingResourceIsNotWritten) {
  AttachKey();
  PressStart("");
  host.resources.erase(152);
  const std::size_t before = TraceSize();
  EXPECT_FALSE(WriteResourceToFile("E:\\EXTRA.COM", 152));
  std::vector<std::string> files;
  for (std::size_t i = before; i < host.trace.Events().size(); ++i) {
    if (host.trace.Events()[i].kind == emulated::TraceKind::kFile) files.push_back(host.trace.Events()[i].text);
  }
  EXPECT_EQ(files, std::vector<std::string>{"find E:\\EXTRA.COM"});
}

// GetDiskFreeSpaceExA takes a null for any of its outputs, as Windows documents.
TEST_F(SystemFilesTest, FreeSpaceLeavesOutANullOutput) {
  AttachKey();
  PressStart("");
  std::uint64_t free = 0, total = 0, totalFree = 0;
  ASSERT_TRUE(host.GetDiskFreeSpaceEx("E:\\", &free, &total, &totalFree));
  std::uint64_t onlyTotal = 0;
  EXPECT_TRUE(host.GetDiskFreeSpaceEx("E:\\", nullptr, &onlyTotal, nullptr));
  EXPECT_EQ(onlyTotal, total);
}

TEST_F(SystemFilesTest, EmptyLabelEntryTouchesNothing) {
  AttachKey();
  PressStart("");
  const std::size_t before = TraceSize();
  const std::size_t boxes = host.messageBoxes.size();
  EXPECT_EQ(WriteLabelEntry(""), -8);
  EXPECT_EQ(TraceSize(), before);
  EXPECT_EQ(host.messageBoxes.size(), boxes);
}

TEST_F(SystemFilesTest, WithoutAKeyEachOperationSaysWhy) {
  EXPECT_EQ(CopySystemFiles(), -6);
  EXPECT_EQ(SetKeyVolumeLabel("LABEL"), -6);
  EXPECT_EQ(WriteLabelEntry("LABEL"), -8);
  ASSERT_EQ(host.messageBoxes.size(), 3u);
  EXPECT_EQ(host.messageBoxes[0].text, shown::kNotFound);
  EXPECT_EQ(host.messageBoxes[1].text, shown::kNotFound);
  EXPECT_EQ(host.messageBoxes[2].text, shown::kNoDeviceInformation);
  for (const auto& box : host.messageBoxes) EXPECT_EQ(box.type, kAppBox);
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kFile).empty());
}

TEST_F(SystemFilesTest, ResultCodesHaveTheirMessages) {
  const struct {
    ResultCode code;
    const char* text;
  } cases[] = {{-7, shown::kWriteProtected}, {-6, shown::kNotFound}, {-8, shown::kUnknownError},
               {-1, shown::kUnknownError},   {-15, shown::kUnknownError}, {5, shown::kUnknownError}};
  for (const auto& c : cases) {
    host.messageBoxes.clear();
    ShowResultError(c.code);
    ASSERT_EQ(host.messageBoxes.size(), 1u) << c.code;
    EXPECT_EQ(host.messageBoxes[0].text, c.text) << c.code;
    EXPECT_EQ(host.messageBoxes[0].caption, kApplicationName);
    EXPECT_EQ(host.messageBoxes[0].type, kAppBox);
  }
}

}  // namespace
}  // namespace app_test
