// The Start sequence on the emulated host, from "Format Warning" to "Successful.", for every
// model on both transports: the commands the key receives and the pauses between them, the
// file calls, the progress bar, the monitor program's messages, the boxes and the notification.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/app/app_fixture.h"

namespace app_test {
namespace {

constexpr char kLabel[] = "BOOT KEY 11";  // 11 characters: letters, a digit pair, spaces
constexpr char kMonitorTitle[] = "StelvarionMonitorProgram";

struct SequenceCase {
  const char* name;
  const char* model;
  bool administrator;
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

// 0x99: three settling pauses of 500 ms, then TEST UNIT READY.
std::vector<std::string> Refresh() {
  std::vector<std::string> lines{"cmd vendor 99"};
  Append(lines, Repeat("pause 500", 3));
  lines.push_back("cmd TUR");
  return lines;
}

// The device reset 0xFF 0x1D and the same follow-up as 0x99.
std::vector<std::string> ResetAndRefresh() {
  std::vector<std::string> lines{"cmd FF1D"};
  Append(lines, Repeat("pause 500", 3));
  lines.push_back("cmd TUR");
  return lines;
}

// A megabyte-to-sector conversion reads the firmware revision by INQUIRY; over pass-through the
// key is given 300 ms after it.
std::vector<std::string> Conversion(bool administrator) {
  return administrator ? std::vector<std::string>{"pause 300"} : std::vector<std::string>{};
}

std::vector<std::string> Clear(std::uint32_t first, std::uint32_t end) {
  std::vector<std::string> lines;
  for (std::uint32_t s = first; s < end; s += 32) lines.push_back("cmd WRITE " + std::to_string(s) + "+32");
  return lines;
}

class StartSequenceTest : public AppTest, public testing::WithParamInterface<SequenceCase> {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    AttachKey(GetParam().model);
    if (!GetParam().administrator) UseHelperDriver();
  }

  bool IsP9() const { return std::string(GetParam().model) == kP9; }

  std::vector<std::string> SystemFiles() {
    std::vector<std::string> lines{"pause 500"};
    const struct {
      const char* name;
      int resource;
      const char* attributes;
    } files[] = {{"IBMBIO.COM", 150, "06"}, {"IBMDOS.COM", 151, "06"}, {"COMMAND.COM", 152, "03"}};
    for (const auto& f : files) {
      const std::string path = std::string("E:\\") + f.name;
      Append(lines, {"file find " + path + " (failed)", "file create " + path,
                     "file write " + std::to_string(host.resources[f.resource].size()) + " bytes", "file close",
                     "pause 250", std::string("file attributes ") + f.attributes + " " + path});
    }
    return lines;
  }

  // What the key, the files and the shell see from "Format Warning" to "Successful.".
  std::vector<std::string> ExpectedSequence(const std::string& monitorPosts) {
    const bool admin = GetParam().administrator;
    std::vector<std::string> lines{std::string("box Format Warning: ") + shown::kWarning};
    if (!monitorPosts.empty()) Append(lines, {"post " + monitorPosts + " 8003 0 0", "post " + monitorPosts + " 8000 0 0"});
    Append(lines, Refresh());
    Append(lines, {"cmd vendor 97", "pause 1000"});
    Append(lines, {"cmd vendor B6 00", "pause 1000", "cmd TUR"});
    if (IsP9()) {
      // One area over the whole key, partition at 63, 250-sector FATs, root at 564; the
      // partition's size is worked out before the key is changed.
      Append(lines, Conversion(admin));
      lines.push_back("cmd vendor 9E 00");
      Append(lines, Conversion(admin));
      lines.push_back("cmd vendor B4");
      Append(lines, ResetAndRefresh());
      Append(lines, Clear(0, 576));
      lines.push_back("cmd WRITE 576+20");  // the rest of the root directory
      Append(lines, {"cmd WRITE 0+1", "cmd WRITE 63+1", "cmd WRITE 64+1", "cmd WRITE 314+1", "cmd WRITE 32+1"});
      Append(lines, ResetAndRefresh());
    } else {
      // The first area set to the whole key, then laid out from sector 0: boot sector at 32,
      // 255-sector FATs, root at 543.
      Append(lines, Conversion(admin));
      lines.push_back("cmd vendor B4");
      lines.push_back("cmd vendor 9E 05");
      Append(lines, Repeat("pause 1", 20));  // the bar filled from 5 to 24
      Append(lines, Conversion(admin));       // the area size read back, in megabytes
      Append(lines, Clear(0, 576));
      Append(lines, Conversion(admin));
      Append(lines, {"cmd WRITE 0+1", "cmd WRITE 32+1", "cmd WRITE 33+1", "cmd WRITE 288+1"});
      Append(lines, Refresh());  // the area's own
      Append(lines, Refresh());  // the sequence's
    }
    Append(lines, SystemFiles());
    Append(lines, IsP9() ? ResetAndRefresh() : Refresh());
    lines.push_back(std::string("file label E:\\ \"") + kLabel + "\"");
    const std::string boot = IsP9() ? "63" : "32";
    const std::string root = IsP9() ? "564" : "543";
    Append(lines, {"cmd READ " + boot + "+1", "cmd READ " + root + "+1", "cmd WRITE " + root + "+1"});
    Append(lines, {"notify 1000 1 E:\\", "pause 500", std::string("box ") + kApplicationName + ": " + shown::kSuccessful});
    return lines;
  }
};

TEST_P(StartSequenceTest, KeyReceivesTheCommandsAndPausesInOrder) {
  const host::WindowHandle monitor = host.AddWindow(kMonitorTitle);
  PressStart(kLabel);
  char window[24];
  std::snprintf(window, sizeof window, "%llX", static_cast<unsigned long long>(monitor));
  EXPECT_TRUE(SameLines(Sequence(), ExpectedSequence(window)));
}

TEST_P(StartSequenceTest, ModelIsReadWhereTheLayoutAndTheLabelEntryNeedIt) {
  PressStart(kLabel);
  const std::vector<std::string> lines = SequenceWithIdentityReads();
  // After the preparatory commands, before the layout's first command.
  const auto switched = std::find(lines.begin(), lines.end(), "cmd vendor B6 00");
  ASSERT_LT(switched + 3, lines.end());
  EXPECT_EQ(std::vector<std::string>(switched, switched + 4),
            (std::vector<std::string>{"cmd vendor B6 00", "cmd TUR", "identify",
                                      IsP9() ? "cmd vendor 9E 00" : "cmd vendor B4"}));
  // After the system's label, before the boot sector is read for the root directory's place.
  const std::string bootRead = IsP9() ? "cmd READ 63+1" : "cmd READ 32+1";
  const auto read = std::find(lines.begin(), lines.end(), bootRead);
  ASSERT_NE(read, lines.end());
  ASSERT_GE(read - lines.begin(), 2);
  EXPECT_EQ(*(read - 1), "identify");
  EXPECT_EQ(*(read - 2), std::string("file label E:\\ \"") + kLabel + "\"");
  if (!GetParam().administrator) {
    // Through the helper driver nothing else identifies the key: these are the only two reads.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "identify"), 2);
  }
}

TEST_P(StartSequenceTest, ProgressBarRunsThroughTheSharedCounter) {
  PressStart(kLabel);
  std::vector<std::int32_t> expected{1, 2};
  if (IsP9()) {
    for (int p = 3; p <= 25; ++p) expected.push_back(p);  // the writer's 23 steps
    expected.push_back(26);
  } else {
    expected.insert(expected.end(), {3, 4});
    for (int p = 5; p <= 24; ++p) expected.push_back(p);  // filled while there is no second area
    expected.push_back(25);
    for (int p = 26; p <= 48; ++p) expected.push_back(p);  // the area writer's 23 steps
    expected.insert(expected.end(), {49, 50});
  }
  expected.insert(expected.end(), {52, 0});
  EXPECT_EQ(view.positions, expected);
  EXPECT_EQ(view.LinesStartingWith("range "), std::vector<std::string>{"range 0 52"});
}

TEST_P(StartSequenceTest, DialogIsBusyUntilTheSuccessMessage) {
  PressStart(kLabel);
  std::vector<std::string> busy = view.lines;
  // From Start on: the dialog's lines without the bar's steps in the middle.
  const auto start = std::find(busy.begin(), busy.end(), "enable 1 0");
  ASSERT_NE(start, busy.end());
  std::vector<std::string> outline;
  for (auto it = start; it != busy.end(); ++it) {
    if (it->rfind("pos ", 0) != 0 || *it == "pos 1" || *it == "pos 52" || *it == "pos 0") outline.push_back(*it);
  }
  EXPECT_EQ(outline, (std::vector<std::string>{"enable 1 0", "show 1003 1", "update", "range 0 52", "pos 1", "pos 52",
                                               "pos 0", "show 1003 0", "enable 1 1", "end 2"}));

  // The end as the user sees it: the full bar, half a second, the bar cleared and the text
  // hidden, then the message; Start comes back after it.
  const std::vector<std::string> all = Timeline();
  const auto full = std::find(all.begin(), all.end(), "pos 52");
  ASSERT_NE(full, all.end());
  EXPECT_EQ(std::vector<std::string>(full, all.end()),
            (std::vector<std::string>{"pos 52", "pause 500", "pos 0", "show 1003 0",
                                      std::string("box ") + kApplicationName + ": " + shown::kSuccessful, "enable 1 1",
                                      "end 2"}));
  // Nothing is sent to the key before the dialog says it is formatting.
  const auto warning = std::find(all.begin(), all.end(), std::string("box Format Warning: ") + shown::kWarning);
  const auto formatting = std::find(all.begin(), all.end(), "show 1003 1");
  const auto ranged = std::find(all.begin(), all.end(), "range 0 52");
  ASSERT_TRUE(warning < formatting && formatting < ranged);
  for (auto it = warning; it != ranged; ++it) EXPECT_NE(it->rfind("cmd ", 0), 0u) << *it;
}

TEST_P(StartSequenceTest, BoxesAreOwnedByTheDialogAndTheShellIsTold) {
  PressStart(kLabel);
  ASSERT_EQ(host.messageBoxes.size(), 2u);
  const emulated::MessageBoxRecord& warning = host.messageBoxes[0];
  EXPECT_EQ(warning.caption, shown::kWarningCaption);
  EXPECT_EQ(warning.text, shown::kWarning);
  EXPECT_EQ(warning.type, kWarningBox);
  EXPECT_EQ(warning.owner, RecordingDialogView::kWindow);
  const emulated::MessageBoxRecord& success = host.messageBoxes[1];
  EXPECT_EQ(success.caption, kApplicationName);
  EXPECT_EQ(success.text, shown::kSuccessful);
  EXPECT_EQ(success.type, kSuccessBox);
  EXPECT_EQ(success.owner, RecordingDialogView::kWindow);

  ASSERT_EQ(host.changeNotifications.size(), 1u);
  EXPECT_EQ(host.changeNotifications[0].eventId, 0x1000);  // SHCNE_UPDATEDIR
  EXPECT_EQ(host.changeNotifications[0].flags, 1u);        // SHCNF_PATHA
  EXPECT_EQ(host.changeNotifications[0].path, "E:\\");
  EXPECT_TRUE(host.postedMessages.empty()) << "no monitor program runs";
  EXPECT_EQ(KeyCapacityMB, 1024) << "the capacity the line showed";
}

INSTANTIATE_TEST_SUITE_P(EveryModelBothTransports, StartSequenceTest,
                         testing::Values(SequenceCase{"P9Administrator", kP9, true},
                                         SequenceCase{"P9OrdinaryUser", kP9, false},
                                         SequenceCase{"P3Administrator", kP3, true},
                                         SequenceCase{"P3OrdinaryUser", kP3, false},
                                         SequenceCase{"VarnokAdministrator", kVarnok, true},
                                         SequenceCase{"VarnokOrdinaryUser", kVarnok, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The monitor program ------------------------------------------------------------------------

using MonitorTest = AppTest;

TEST_F(MonitorTest, WindowFoundInAnyCaseGetsBothMessagesBeforeTheFirstCommand) {
  AttachKey();
  host.AddWindow("Some Editor");
  const host::WindowHandle monitor = host.AddWindow("sTELVARIONmONITORpROGRAM");
  PressStart("");
  ASSERT_EQ(host.postedMessages.size(), 2u);
  EXPECT_EQ(host.postedMessages[0].window, monitor);
  EXPECT_EQ(host.postedMessages[0].message, 0x8003u);  // WM_APP + 3
  EXPECT_EQ(host.postedMessages[1].window, monitor);
  EXPECT_EQ(host.postedMessages[1].message, 0x8000u);  // WM_APP
  for (const auto& posted : host.postedMessages) {
    EXPECT_EQ(posted.wParam, 0u);
    EXPECT_EQ(posted.lParam, 0);
  }
  // Both come after the bar is set up and before the 0x99 that follows them.
  const std::vector<std::string> order = Only({"range", "post", "cmd vendor 99", "pos 1"});
  ASSERT_GE(order.size(), 5u);
  EXPECT_EQ(order[0], "range 0 52");
  EXPECT_EQ(order[1].substr(0, 5), "post ");
  EXPECT_EQ(order[2].substr(0, 5), "post ");
  EXPECT_EQ(order[3], "cmd vendor 99");
  EXPECT_EQ(order[4], "pos 1");
}

TEST_F(MonitorTest, WindowsOfOtherTitlesGetNothingAndTheSequenceRunsAlike) {
  AttachKey();
  host.AddWindow("StelvarionMonitorProgram2");
  host.AddWindow("Stelvarion Monitor Program");
  host.AddWindow("Stelvarion Boot Utility Helper");
  PressStart("");
  EXPECT_TRUE(host.postedMessages.empty());
  const std::vector<std::string> sequence = Sequence();
  ASSERT_GE(sequence.size(), 2u);
  EXPECT_EQ(sequence[1], "cmd vendor 99");
  EXPECT_EQ(sequence.back(), std::string("box ") + kApplicationName + ": " + shown::kSuccessful);
}

}  // namespace
}  // namespace app_test
