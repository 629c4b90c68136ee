// The main dialog: what it shows at initialisation and after device arrival and removal with
// one, two and no keys, the label's 11-character limit, painting when minimised, the drag icon.
#include <string>
#include <vector>

#include "devlib/library_state.h"
#include "key/emulated_device.h"
#include "tests/app/app_fixture.h"

namespace app_test {
namespace {

constexpr std::uint32_t kArrival = 0x8000;        // DBT_DEVICEARRIVAL
constexpr std::uint32_t kRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE

class DialogTest : public AppTest {
 protected:
  // The dialog as the platform shows it: attached and initialised.
  void Open() {
    dialog.AttachView(&view);
    EXPECT_TRUE(dialog.OnInitDialog()) << "the focus goes to the first tab stop, the label";
  }
  void TearDown() override {
    dialog.AttachView(nullptr);
    AppTest::TearDown();
  }
  void ExpectKeyReady(const std::string& line, std::int32_t megabytes) {
    EXPECT_EQ(view.texts[1000], line);
    EXPECT_TRUE(view.IsEnabled(1));
    EXPECT_EQ(KeyCapacityMB, megabytes);
  }
  void ExpectNotice(const std::string& notice) {
    EXPECT_EQ(view.texts[1000], notice);
    EXPECT_FALSE(view.IsEnabled(1));
    EXPECT_EQ(KeyCapacityMB, 0);
  }

  BootUtilityDialog dialog;
};

TEST_F(DialogTest, InitialisationFillsTheControlsSetsTheIconsAndShowsTheCapacity) {
  AttachKey(kP9, 981);
  Open();
  EXPECT_EQ(view.lines, (std::vector<std::string>{"text 1001 ", "limit 1001 11", "text 1000 ", "icon big", "icon small",
                                                  "text 1000 981 MB", "enable 1 1", "foreground"}));
  ExpectKeyReady("981 MB", 981);
  EXPECT_EQ(LastKeyCount, 0) << "the refresh at initialisation leaves the count alone";
}

TEST_F(DialogTest, CapacityLineIsTheBareNumberAndMegabytes) {
  for (std::uint32_t megabytes : {1u, 64u, 65535u}) {
    SCOPED_TRACE(megabytes);
    host.Detach('E');
    AttachKey(kP3, megabytes);
    ResetDeviceLibraryForTests();
    Open();
    ExpectKeyReady(std::to_string(megabytes) + " MB", static_cast<std::int32_t>(megabytes));
  }
}

TEST_F(DialogTest, NoKeyAtStartThenTheKeyArrives) {
  Open();
  ExpectNotice(shown::kNotFoundLine);
  AttachKey(kVarnok, 981, 'G', 0);
  view.lines.clear();
  EXPECT_TRUE(dialog.OnDeviceChange(kArrival, 0));
  ExpectKeyReady("981 MB", 981);
  EXPECT_EQ(LastKeyCount, 1);
  EXPECT_EQ(view.lines, (std::vector<std::string>{"text 1000 981 MB", "enable 1 1"}));
}

TEST_F(DialogTest, TwoKeysThenOneIsRemoved) {
  AttachKey(kP9, 981, 'E', 0);
  AttachKey(kP3, 490, 'F', 1);
  Open();
  ExpectNotice(shown::kSeveralKeysLine);
  host.Detach('E');
  EXPECT_TRUE(dialog.OnDeviceChange(kRemoveComplete, 0));
  ExpectKeyReady("490 MB", 490);
  EXPECT_EQ(LastKeyCount, 1);
}

TEST_F(DialogTest, ASecondKeyArrivesThenTheOnlyKeyIsRemoved) {
  AttachKey(kP9, 981, 'E', 0);
  Open();
  AttachKey(kP9, 981, 'F', 1);
  EXPECT_TRUE(dialog.OnDeviceChange(kArrival, 0));
  ExpectNotice(shown::kSeveralKeysLine);
  EXPECT_EQ(LastKeyCount, 2);
  host.Detach('F');
  host.Detach('E');
  EXPECT_TRUE(dialog.OnDeviceChange(kRemoveComplete, 0));
  ExpectNotice(shown::kNotFoundLine);
}

TEST_F(DialogTest, RemovingTheOnlyKeyRightAfterStartRefreshes) {
  // The count kept is still 0 from start-up; the library reports no count for no key, and the
  // change must still show.
  AttachKey(kP9, 981);
  Open();
  ASSERT_EQ(LastKeyCount, 0);
  host.Detach('E');
  EXPECT_TRUE(dialog.OnDeviceChange(kRemoveComplete, 0));
  ExpectNotice(shown::kNotFoundLine);
}

TEST_F(DialogTest, DeviceChangeThatLeavesTheCountChangesNothing) {
  AttachKey(kP9, 981);
  Open();
  EXPECT_TRUE(dialog.OnDeviceChange(kArrival, 0));  // count 1 differs from the initial 0
  ASSERT_EQ(LastKeyCount, 1);
  view.lines.clear();

  // Another USB stick arrives: still one key.
  host.Attach('F', emulated::MakeUsbStick());
  std::size_t before = TraceSize();
  EXPECT_TRUE(dialog.OnDeviceChange(kArrival, 0));
  EXPECT_TRUE(view.lines.empty());
  for (const std::string& command : CommandsSince(before)) EXPECT_NE(command, "vendor 9A") << "capacity not re-read";
  // It goes again.
  host.Detach('F');
  EXPECT_TRUE(dialog.OnDeviceChange(kRemoveComplete, 0));
  EXPECT_TRUE(view.lines.empty());
  ExpectKeyReady("981 MB", 981);

  // Meanwhile the key changed size; the line is not re-read as long as the count stays.
  host.Detach('E');
  AttachKey(kP9, 490);
  EXPECT_TRUE(dialog.OnDeviceChange(kArrival, 0));
  EXPECT_TRUE(view.lines.empty());
  EXPECT_EQ(view.texts[1000], "981 MB");
}

TEST_F(DialogTest, OtherDeviceEventsAreAcceptedAndIgnored) {
  AttachKey(kP9, 981);
  Open();
  view.lines.clear();
  host.Attach('F', emulated::MakeUsbStick());
  const std::size_t before = TraceSize();
  for (std::uint32_t event : {0x0007u /* DBT_DEVNODES_CHANGED */, 0x8001u /* query remove */,
                              0x8003u /* remove pending */, 0x0018u /* config changed */}) {
    EXPECT_TRUE(dialog.OnDeviceChange(event, 0x1234));
  }
  EXPECT_TRUE(CommandsSince(before).empty());
  EXPECT_TRUE(view.lines.empty());
  EXPECT_EQ(LastKeyCount, 0);
}

TEST_F(DialogTest, LabelIsLimitedToElevenCharacters) {
  AttachKey();
  Open();
  EXPECT_EQ(view.limits[1001], 11);

  view.texts[1001] = "ELEVEN CHAR";
  EXPECT_TRUE(dialog.UpdateData(true));
  EXPECT_EQ(dialog.m_strLabel, "ELEVEN CHAR");
  EXPECT_TRUE(host.messageBoxes.empty());

  // A text that got past the limit is read, then refused.
  view.texts[1001] = "TWELVE CHARS";
  view.lines.clear();
  EXPECT_FALSE(dialog.UpdateData(true));
  EXPECT_EQ(dialog.m_strLabel, "TWELVE CHARS");
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(host.messageBoxes[0].text, shown::kTooLong);
  EXPECT_EQ(host.messageBoxes[0].type, kAppBox);
  EXPECT_EQ(view.lines, std::vector<std::string>{"focus 1001"});

  // Filling the controls puts the member back with the limit.
  view.lines.clear();
  dialog.m_strLabel = "FROM MODEL";
  EXPECT_TRUE(dialog.UpdateData(false));
  EXPECT_EQ(view.texts[1001], "FROM MODEL");
  EXPECT_EQ(view.LinesStartingWith("limit"), std::vector<std::string>{"limit 1001 11"});
}

TEST_F(DialogTest, MinimisedDialogPaintsTheIconCentredRoundingUp) {
  AttachKey();
  Open();
  view.lines.clear();
  EXPECT_FALSE(dialog.OnPaint()) << "the framework paints the open dialog";
  EXPECT_TRUE(view.lines.empty());

  view.minimised = true;
  struct Case {
    int clientWidth, clientHeight, iconWidth, iconHeight;
    const char* line;
  };
  for (const Case& c : {Case{37, 41, 32, 32, "paint 3 5"},  // (37-32+1)/2, (41-32+1)/2
                        Case{36, 36, 32, 32, "paint 2 2"}, Case{160, 27, 48, 16, "paint 56 6"},
                        Case{32, 32, 32, 32, "paint 0 0"}}) {
    view.clientWidth = c.clientWidth;
    view.clientHeight = c.clientHeight;
    view.iconWidth = c.iconWidth;
    view.iconHeight = c.iconHeight;
    view.lines.clear();
    EXPECT_TRUE(dialog.OnPaint());
    EXPECT_EQ(view.lines, std::vector<std::string>{c.line});
  }
}

TEST_F(DialogTest, DragIconIsTheProgramIconAndCloseEndsTheDialog) {
  AttachKey();
  Open();
  EXPECT_EQ(dialog.OnQueryDragIcon(), RecordingDialogView::kIcon);
  dialog.OnCancel();
  EXPECT_TRUE(view.ended);
  EXPECT_EQ(view.endResult, host::win32::IDCANCEL);
}

}  // namespace
}  // namespace app_test
