// The ways the Start sequence stops short of "Successful.": a label it refuses, Cancel at the
// warning, a write-protected key, a key the layout cannot describe, a key pulled out at various
// moments, a file system that takes no files, a missing system file, a failing label sector.
// Each shows its own message once, writes nothing after it, and gives Start back.
#include <algorithm>
#include <string>
#include <vector>

#include "app/boot_utility_dialog.h"
#include "tests/app/app_fixture.h"

namespace app_test {
namespace {

constexpr char kForbidden[] = "\\/|\".?,;:*+=<>[]";

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// ---- The label ------------------------------------------------------------------------------------

TEST(LabelCheck, EachOfTheSixteenCharactersIsRefusedAnywhere) {
  ASSERT_EQ(std::string(kForbidden).size(), 16u);
  for (char c : std::string(kForbidden)) {
    const std::string one(1, c);
    EXPECT_EQ(IsLabelInvalid(one), 1) << one;
    EXPECT_EQ(IsLabelInvalid(one + "LABEL"), 1) << one;
    EXPECT_EQ(IsLabelInvalid("LA" + one + "BEL"), 1) << one;
    EXPECT_EQ(IsLabelInvalid("LABEL" + one), 1) << one;
  }
}

TEST(LabelCheck, ControlCharactersAreRefusedAnywhere) {
  for (int c = 0x01; c <= 0x7F; c = c == 0x1F ? 0x7F : c + 1) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(IsLabelInvalid(one), 1) << c;
    EXPECT_EQ(IsLabelInvalid("A" + one + "B"), 1) << c;
    EXPECT_EQ(IsLabelInvalid("LABEL" + one), 1) << c;
  }
  EXPECT_EQ(IsLabelInvalid(std::string("A\0B", 3)), 1);
}

TEST(LabelCheck, EverythingElseIsAccepted) {
  EXPECT_EQ(IsLabelInvalid(""), 0);
  EXPECT_EQ(IsLabelInvalid("AB 12 cd 9Z"), 0);
  EXPECT_EQ(IsLabelInvalid("   "), 0);
  EXPECT_EQ(IsLabelInvalid("lower case"), 0);
  EXPECT_EQ(IsLabelInvalid("-_!#$%&'()@"), 0);
  EXPECT_EQ(IsLabelInvalid("^{}~`"), 0);
  EXPECT_EQ(IsLabelInvalid(std::string("\xE9t\xE9", 3)), 0);  // a code-page letter
}

using LabelRefusalTest = AppTest;

TEST_F(LabelRefusalTest, RefusedLabelShowsTheListSelectsTheFieldAndSendsNothing) {
  AttachKey();
  host.AddWindow("StelvarionMonitorProgram");
  std::size_t before = 0;
  std::vector<std::string> afterInit;
  RunProgram([&](BootUtilityDialog& dialog) {
    for (const char* label : {"BAD.NAME", "\\", "A:B", "[KEY]", "x=1"}) {
      view.lines.clear();
      before = TraceSize();
      view.Type(1001, label);
      dialog.OnOK();
      EXPECT_TRUE(CommandsSince(before).empty()) << label;
      EXPECT_EQ(view.lines, (std::vector<std::string>{"enable 1 0", "focus 1001", "select 1001 0 -1", "scroll 1001",
                                                      "enable 1 1"}))
          << label;
    }
  });
  ASSERT_EQ(host.messageBoxes.size(), 5u);
  for (const auto& box : host.messageBoxes) {
    EXPECT_EQ(box.text, shown::kInvalidLabel);
    EXPECT_EQ(box.caption, kApplicationName);
    EXPECT_EQ(box.type, kAppBox);
    EXPECT_EQ(box.owner, RecordingDialogView::kWindow);
  }
  EXPECT_TRUE(host.postedMessages.empty());
  // The box comes before the field is selected.
  const std::vector<std::string> tail = Only({"box", "focus"});
  ASSERT_GE(tail.size(), 2u);
  EXPECT_EQ(tail[tail.size() - 2], std::string("box ") + kApplicationName + ": " + shown::kInvalidLabel);
  EXPECT_EQ(tail.back(), "focus 1001");
}

// A control character can only come from another program (WM_SETTEXT); it is refused as the
// forbidden characters are.
TEST_F(LabelRefusalTest, ControlCharacterSetByAnotherProgramIsRefused) {
  AttachKey();
  host.AddWindow("StelvarionMonitorProgram");
  std::size_t before = 0;
  RunProgram([&](BootUtilityDialog& dialog) {
    for (const char* label : {"A\tB", "A\x01" "B", "KEY\r\n"}) {
      view.lines.clear();
      before = TraceSize();
      view.texts[1001] = label;
      dialog.OnOK();
      EXPECT_TRUE(CommandsSince(before).empty()) << label;
      EXPECT_EQ(view.lines, (std::vector<std::string>{"enable 1 0", "focus 1001", "select 1001 0 -1", "scroll 1001",
                                                      "enable 1 1"}))
          << label;
    }
  });
  ASSERT_EQ(host.messageBoxes.size(), 3u) << "no format warning follows";
  for (const auto& box : host.messageBoxes) EXPECT_EQ(box.text, shown::kInvalidLabel);
  EXPECT_TRUE(host.postedMessages.empty());
}

// Only another program can put more than 11 characters into the field (WM_SETTEXT).
TEST_F(LabelRefusalTest, OverlongLabelEndsStartWithTheFrameworksMessage) {
  AttachKey();
  host.AddWindow("StelvarionMonitorProgram");
  std::size_t before = 0;
  RunProgram([&](BootUtilityDialog& dialog) {
    dialog.m_strLabel = "EARLIER";
    view.lines.clear();
    before = TraceSize();
    view.texts[1001] = "TWELVE CHARS";
    dialog.OnOK();
  });
  EXPECT_TRUE(CommandsSince(before).empty());
  EXPECT_TRUE(host.postedMessages.empty());
  ASSERT_EQ(host.messageBoxes.size(), 1u) << "no format warning follows";
  EXPECT_EQ(host.messageBoxes[0].text, shown::kTooLong);
  EXPECT_EQ(host.messageBoxes[0].type, kAppBox);
  EXPECT_EQ(view.lines, (std::vector<std::string>{"enable 1 0", "focus 1001", "enable 1 1", "end 2"}));
}

TEST_F(LabelRefusalTest, ElevenLettersDigitsAndSpacesReachTheWarning) {
  AttachKey();
  answers = {host::win32::IDCANCEL};
  PressStart("Ab 3 Zz 9 x");
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(host.messageBoxes[0].caption, shown::kWarningCaption);
}

TEST_F(LabelRefusalTest, CancelAtTheWarningSendsAndPostsNothing) {
  AttachKey();
  host.AddWindow("StelvarionMonitorProgram");
  answers = {host::win32::IDCANCEL};
  std::size_t before = 0;
  RunProgram([&](BootUtilityDialog& dialog) {
    view.lines.clear();
    before = TraceSize();
    view.Type(1001, "CANCELLED");
    dialog.OnOK();
  });
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  const auto& warning = host.messageBoxes[0];
  EXPECT_EQ(warning.caption, shown::kWarningCaption);
  EXPECT_EQ(warning.text, shown::kWarning);
  EXPECT_EQ(warning.type, kWarningBox);
  EXPECT_EQ(warning.owner, RecordingDialogView::kWindow);
  EXPECT_EQ(host.trace.Events().size(), before) << "nothing reached the key, the files or the clock";
  EXPECT_TRUE(host.postedMessages.empty());
  EXPECT_TRUE(host.changeNotifications.empty());
  EXPECT_EQ(view.lines, (std::vector<std::string>{"enable 1 0", "enable 1 1", "end 2"}));
}

// ---- Failures inside the sequence -----------------------------------------------------------------

class StartFailureTest : public AppTest {
 protected:
  // What must hold after any failure: exactly this message after the warning, no success, no
  // notification to the shell, and Start enabled again as the last thing before Close.
  void ExpectStoppedWith(const std::string& message) {
    const auto boxes = BoxesAfterWarning();
    ASSERT_EQ(boxes.size(), 1u) << (boxes.empty() ? "no message" : boxes.back().text);
    EXPECT_EQ(boxes[0].text, message);
    EXPECT_EQ(boxes[0].caption, kApplicationName);
    EXPECT_EQ(boxes[0].type, kAppBox);
    EXPECT_EQ(boxes[0].owner, RecordingDialogView::kWindow);
    EXPECT_TRUE(host.changeNotifications.empty());
    const std::vector<std::string> all = Timeline();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[all.size() - 3], "box " + std::string(kApplicationName) + ": " + message);
    EXPECT_EQ(all[all.size() - 2], "enable 1 1");
    EXPECT_EQ(all.back(), "end 2");
    EXPECT_FALSE(Contains(all, "pos 52"));
  }
  // WRITE(10) blocks the key took, from this point of the trace on.
  std::vector<std::string> WritesTakenSince(std::size_t traceEvent) const {
    std::vector<std::string> writes;
    const auto& events = host.trace.Events();
    for (std::size_t i = traceEvent; i < events.size(); ++i) {
      const std::string token = events[i].cdb.empty() ? "" : CommandToken(events[i].cdb);
      if (token.rfind("WRITE ", 0) == 0 && events[i].delivered && events[i].status == 0) writes.push_back(token);
    }
    return writes;
  }
  static bool FlashUntouched(emulated::EmulatedKey& key) {
    auto* memory = dynamic_cast<emulated::MemoryFlashImage*>(&key.Flash());
    return memory != nullptr && memory->WrittenSectors().empty();
  }
};

class WriteProtectedTest : public StartFailureTest,
                           public testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(WriteProtectedTest, KeyIsToldWriteProtectedAndNothingIsWritten) {
  const auto& [model, administrator] = GetParam();
  emulated::KeyConfig config;
  config.model = model;
  config.writeProtected = true;
  emulated::EmulatedKey& key = host.AttachKey('E', config, 0);
  host.administrator = administrator;
  const std::size_t before = TraceSize();
  PressStart("PROTECTED");
  ExpectStoppedWith(shown::kWriteProtected);
  EXPECT_TRUE(WritesTakenSince(before).empty());
  EXPECT_TRUE(FlashUntouched(key));
  EXPECT_FALSE(AnyStartsWith(Sequence(), "file ")) << "no file after a failed format";
  // After the format failed the key was asked whether it is write protected.
  EXPECT_EQ(CommandsSince(before).back(), "MODE SENSE");
}

INSTANTIATE_TEST_SUITE_P(EveryModelBothTransports, WriteProtectedTest,
                         testing::Combine(testing::Values(kP9, kP3, kVarnok), testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param);
                           std::erase(name, ' ');
                           return name + (std::get<1>(info.param) ? "Administrator" : "OrdinaryUser");
                         });

// 30 MB at 32 sectors per cluster are fewer clusters than FAT16 allows.
TEST_F(StartFailureTest, KeyTooSmallForTheSinglePartitionLayoutIsRefusedUnchanged) {
  emulated::EmulatedKey& key = AttachKey(kP9, 30);
  const std::uint32_t factoryArea = key.Areas().Register();
  std::size_t before = 0;
  RunProgram([&](BootUtilityDialog& dialog) {
    EXPECT_EQ(view.texts[1000], "30 MB");
    before = TraceSize();
    view.Type(1001, "SMALL");
    dialog.OnOK();
  });
  ExpectStoppedWith(shown::kUnknownError);
  EXPECT_TRUE(WritesTakenSince(before).empty());
  EXPECT_TRUE(FlashUntouched(key));
  EXPECT_EQ(key.Areas().Register(), factoryArea);
  const std::vector<std::string> commands = CommandsSince(before);
  EXPECT_FALSE(Contains(commands, "vendor 9E 00")) << "nothing that changes the key was sent";
  EXPECT_FALSE(Contains(commands, "FF1D"));
  EXPECT_FALSE(AnyStartsWith(Sequence(), "file "));
}

TEST_F(StartFailureTest, KeyOfUnknownIdentityEndsAfterThePreparatoryCommands) {
  emulated::EmulatedKey& key = AttachKey();
  RunProgram([&](BootUtilityDialog& dialog) {
    key.SetIdentity("NOT A KEY 1234");
    view.lines.clear();
    view.Type(1001, "");
    dialog.OnOK();
  });
  ExpectStoppedWith(shown::kNoDeviceInformation);
  const std::vector<std::string> sequence = Sequence();
  std::vector<std::string> commands;
  for (const std::string& line : sequence) {
    if (line.rfind("cmd ", 0) == 0) commands.push_back(line);
  }
  EXPECT_EQ(commands, (std::vector<std::string>{"cmd vendor 99", "cmd TUR", "cmd vendor 97", "cmd vendor B6 00", "cmd TUR"}));
  // The bar keeps its place and "Formatting..." stays up; only Start comes back.
  EXPECT_EQ(view.positions, (std::vector<std::int32_t>{1, 2}));
  EXPECT_TRUE(view.IsShown(1003, false));
}

struct RemovalCase {
  const char* name;
  const char* moment;  // the time line or host line at which the key goes
  const char* messageAsAdministrator;
  const char* messageAsOrdinaryUser;
  bool formatted;  // the layout was written before the key went
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

class KeyRemovedTest : public StartFailureTest,
                       public testing::WithParamInterface<std::tuple<RemovalCase, bool>> {};

TEST_P(KeyRemovedTest, StopsWithOneMessage) {
  const auto& [c, administrator] = GetParam();
  AttachKey();
  if (!administrator) UseHelperDriver();
  bool removed = false;
  trigger = [&](const std::string& line) {
    if (!removed && line == c.moment) {
      removed = true;
      RemoveKeyNow();
    }
  };
  PressStart("GONE");
  ASSERT_TRUE(removed) << "the moment never came: " << c.moment;
  ExpectStoppedWith(administrator ? c.messageAsAdministrator : c.messageAsOrdinaryUser);
  const std::vector<std::string> sequence = Sequence();
  EXPECT_EQ(Contains(sequence, "cmd WRITE 63+1"), c.formatted);
  EXPECT_FALSE(Contains(sequence, "cmd WRITE 564+1")) << "no label entry";
}

INSTANTIATE_TEST_SUITE_P(
    AtVariousMoments, KeyRemovedTest,
    testing::Combine(
        testing::Values(
            // Before the first command: the model cannot be read.
            RemovalCase{"WhenFormattingBegins", "show 1003 1", shown::kNoDeviceInformation,
                        shown::kNoDeviceInformation, false},
            // The layout writer's first command fails: the volume is gone (pass-through) or the
            // helper driver's command fails.
            RemovalCase{"BeforeTheLayout", "pos 3", shown::kNotFound, shown::kUnknownError, false},
            RemovalCase{"WhileClearing", "pos 10", shown::kNotFound, shown::kUnknownError, false},
            // The files and the label go through the file system, which has lost the volume.
            RemovalCase{"BeforeTheSecondFile", "before create E:\\IBMDOS.COM", shown::kUnknownError,
                        shown::kUnknownError, true},
            // The system's label call is not examined; the entry by sector then finds no key.
            RemovalCase{"BeforeTheLabel", "before label E:\\", shown::kNoDeviceInformation,
                        shown::kNoDeviceInformation, true}),
        testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Administrator" : "OrdinaryUser");
    });

TEST_F(StartFailureTest, FullFileSystemTakesNoSystemFile) {
  AttachKey();
  host.faults.fileSystemFull = true;
  PressStart("FULL");
  ExpectStoppedWith(shown::kUnknownError);
  const std::vector<std::string> files = Only({"file "});
  EXPECT_FALSE(Contains(files, "file create E:\\IBMDOS.COM")) << "the copy stops at the first file";
  EXPECT_FALSE(AnyStartsWith(files, "file label"));
}

TEST_F(StartFailureTest, ReadOnlyFileSystemTakesNoSystemFile) {
  AttachKey(kP3);
  host.faults.fileSystemReadOnly = true;
  PressStart("READONLY");
  ExpectStoppedWith(shown::kUnknownError);
  EXPECT_FALSE(Contains(Only({"file "}), "file create E:\\IBMDOS.COM"));
}

TEST_F(StartFailureTest, SystemFileWrittenOnlyInPartStopsTheCopy) {
  AttachKey();
  host.shortWrites = true;
  PressStart("SHORT");
  ExpectStoppedWith(shown::kUnknownError);
  const std::vector<std::string> files = Only({"file "});
  EXPECT_TRUE(Contains(files, "file create E:\\IBMBIO.COM"));
  EXPECT_FALSE(Contains(files, "file create E:\\IBMDOS.COM"));
  EXPECT_FALSE(AnyStartsWith(files, "file label"));
}

TEST_F(StartFailureTest, MissingSystemFileResourceStopsTheCopy) {
  AttachKey();
  host.resources.erase(151);
  PressStart("MISSING");
  ExpectStoppedWith(shown::kUnknownError);
  const std::vector<std::string> files = Only({"file "});
  EXPECT_TRUE(Contains(files, "file create E:\\IBMBIO.COM"));
  EXPECT_FALSE(Contains(files, "file create E:\\IBMDOS.COM"));
  EXPECT_FALSE(Contains(files, "file create E:\\COMMAND.COM"));
  EXPECT_FALSE(AnyStartsWith(files, "file label"));
}

struct SectorFaultCase {
  const char* name;
  const char* model;
  const char* failingCommand;
  const char* labelWrite;
};

void PrintTo(const SectorFaultCase& c, std::ostream* os) { *os << c.name; }

class LabelSectorFaultTest : public StartFailureTest, public testing::WithParamInterface<SectorFaultCase> {};

TEST_P(LabelSectorFaultTest, FailingSectorCommandEndsWithoutWritingTheEntry) {
  const SectorFaultCase& c = GetParam();
  AttachKey(c.model);
  bool failed = false;
  trigger = [&](const std::string& line) {
    if (!failed && line == std::string("before cmd ") + c.failingCommand) {
      failed = true;
      host.faults.forcedStatus[host.CommandCount()] = 0x02;  // CHECK CONDITION
    }
  };
  PressStart("LABEL");
  ASSERT_TRUE(failed);
  ExpectStoppedWith(shown::kUnknownError);
  const std::vector<std::string> sequence = Sequence();
  EXPECT_TRUE(Contains(sequence, "file label E:\\ \"LABEL\"")) << "the system's label was set first";
  if (std::string(c.failingCommand) != c.labelWrite) {
    EXPECT_FALSE(AnyStartsWith(sequence, std::string("cmd ") + c.labelWrite));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ReadsAndWrite, LabelSectorFaultTest,
    testing::Values(SectorFaultCase{"P9BootSectorRead", kP9, "READ 63+1", "WRITE 564+1"},
                    SectorFaultCase{"P9RootSectorRead", kP9, "READ 564+1", "WRITE 564+1"},
                    SectorFaultCase{"P9EntryWrite", kP9, "WRITE 564+1", "WRITE 564+1"},
                    SectorFaultCase{"P3BootSectorRead", kP3, "READ 32+1", "WRITE 543+1"},
                    SectorFaultCase{"VarnokRootSectorRead", kVarnok, "READ 543+1", "WRITE 543+1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartFailureTest, EmptyLabelIsNoFailure) {
  AttachKey();
  PressStart("");
  const auto boxes = BoxesAfterWarning();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, shown::kSuccessful);
  const std::vector<std::string> sequence = Sequence();
  const auto label = std::find(sequence.begin(), sequence.end(), "file label E:\\ \"\"");
  ASSERT_NE(label, sequence.end()) << "the system is told the empty label";
  // Nothing is read or written for the entry.
  EXPECT_EQ(std::vector<std::string>(label + 1, sequence.end()),
            (std::vector<std::string>{"notify 1000 1 E:\\", "pause 500",
                                      std::string("box ") + kApplicationName + ": " + shown::kSuccessful}));
}

}  // namespace
}  // namespace app_test
