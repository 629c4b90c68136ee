// Start-up: a second copy is refused before the library is touched, a start from the key is
// refused, and otherwise the dialog runs, with or without a key.
#include <string>

#include "devlib/library_state.h"
#include "tests/app/app_fixture.h"

namespace app_test {
namespace {

using StartupTest = AppTest;

void ExpectOnlyBox(const std::vector<emulated::MessageBoxRecord>& boxes, const std::string& text) {
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, text);
  EXPECT_EQ(boxes[0].caption, kApplicationName);
  EXPECT_EQ(boxes[0].type, kAppBox);
  EXPECT_EQ(boxes[0].owner, 0u) << "no dialog owns it";
}

TEST_F(StartupTest, WindowWithTheDialogTitleInAnyCaseRefusesASecondCopy) {
  for (const char* title : {"Stelvarion Boot Utility", "STELVARION BOOT UTILITY", "stelvarion boot utility"}) {
    SCOPED_TRACE(title);
    AttachKey();
    host.messageBoxes.clear();
    const host::WindowHandle running = host.AddWindow(title);
    EXPECT_EQ(RunProgram(), 0);
    ExpectOnlyBox(host.messageBoxes, shown::kAlreadyRunning);
    EXPECT_TRUE(host.postedMessages.empty()) << "the running copy is left alone";
    EXPECT_EQ(DeviceObjectsCreatedForTests(), 0) << "the library is not touched";
    EXPECT_TRUE(host.trace.Events().empty());
    host.RemoveWindow(running);
  }
}

TEST_F(StartupTest, SimilarTitlesDoNotCount) {
  AttachKey();
  host.AddWindow("Stelvarion Boot Utility - Help");
  host.AddWindow("Stelvarion  Boot Utility");
  EXPECT_EQ(RunProgram(), 1);
  EXPECT_TRUE(host.messageBoxes.empty());
}

TEST_F(StartupTest, CurrentDirectoryOnTheKeyRefusesInEitherCase) {
  AttachKey();
  for (const char* directory : {"E:\\", "e:\\", "E:\\Tools\\Stelvarion", "e:\\tools"}) {
    SCOPED_TRACE(directory);
    host.messageBoxes.clear();
    host.currentDirectory = directory;
    EXPECT_EQ(RunProgram(), 0);
    ExpectOnlyBox(host.messageBoxes, shown::kStartedFromKey);
  }
  EXPECT_TRUE(view.lines.empty()) << "the dialog never ran";
}

TEST_F(StartupTest, DialogRunsFromAnotherDriveAndTheLibraryIsReadyBeforeIt) {
  AttachKey(kP9, 981);
  host.currentDirectory = "C:\\Program Files\\Stelvarion";
  int objectsWhenShown = -1;
  EXPECT_EQ(RunProgram([&](BootUtilityDialog&) { objectsWhenShown = DeviceObjectsCreatedForTests(); }), 1);
  EXPECT_TRUE(host.messageBoxes.empty());
  EXPECT_EQ(objectsWhenShown, 1) << "the drive-letter question created the device object";
  EXPECT_EQ(view.texts[1000], "981 MB");
  EXPECT_TRUE(view.ended);
}

TEST_F(StartupTest, DialogRunsFromTheKeysLetterWhenThereIsNoKey) {
  host.currentDirectory = "E:\\";
  EXPECT_EQ(RunProgram(), 1);
  EXPECT_TRUE(host.messageBoxes.empty());
  EXPECT_EQ(view.texts[1000], shown::kNotFoundLine);
  EXPECT_FALSE(view.IsEnabled(1));
}

TEST_F(StartupTest, DialogRunsFromADriveNextToTheKey) {
  AttachKey(kP3, 981, 'F', 0);
  host.currentDirectory = "E:\\";
  EXPECT_EQ(RunProgram(), 1);
  EXPECT_TRUE(host.messageBoxes.empty());
  EXPECT_EQ(view.texts[1000], "981 MB");
}

TEST_F(StartupTest, ApplicationBoxesInTheDialogAreOwnedByIt) {
  AttachKey();
  RunProgram([&](BootUtilityDialog& dialog) {
    view.Type(1001, "A?");
    dialog.OnOK();
  });
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(host.messageBoxes[0].owner, RecordingDialogView::kWindow);
  EXPECT_EQ(host.messageBoxes[0].caption, kApplicationName);

  // The caption is the executable's name, whatever it is.
  host.applicationName = "SBU";
  host.messageBoxes.clear();
  host.currentDirectory = "E:\\";
  RunProgram();
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(host.messageBoxes[0].caption, "SBU");
}

}  // namespace
}  // namespace app_test
