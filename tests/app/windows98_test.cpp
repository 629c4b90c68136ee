// The program on Windows 98 SE as the emulated host presents it: the security API's stubs fail
// with ERROR_CALL_NOT_IMPLEMENTED, so the administrator test answers "ordinary user" and the
// helper driver carries every command; the registry has none of the NT records, and the key's
// drive letter is read from its 9x hardware key.
#include <cstdint>
#include <string>
#include <vector>

#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "tests/app/app_fixture.h"

namespace app_test {
namespace {

class Windows98Test : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    host.windows = emulated::EmulatedWindows::kWindows98;
  }
};

TEST_F(Windows98Test, TheAdministratorTestStopsAtTheFirstStubAndChoosesTheHelperDriver) {
  host.administrator = true;  // whatever the user may be, 98 cannot say
  AttachKey(kP9);
  char name[20] = {};
  int count = 0;
  ASSERT_EQ(FindKey(name, &count), 0);
  EXPECT_EQ(std::string(name), kP9);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(TransportKind, kTransportHelperDriver);
  EXPECT_EQ(host.securityCalls, std::vector<std::string>{"OpenThreadToken failed 120"});
  // Every command went through the helper driver; no volume was opened.
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kOpenVolume).empty());
  EXPECT_FALSE(host.trace.OfKind(emulated::TraceKind::kHelperCommand).empty());
}

TEST_F(Windows98Test, TheDriveLetterIsReadFromTheKeysHardwareKey) {
  AttachKey(kP3, 1024, 'G');
  EXPECT_EQ(host.registry.FindKey("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"), nullptr);
  EXPECT_EQ(host.registry.FindKey("SYSTEM\\MountedDevices"), nullptr);
  char letter = 0;
  EXPECT_EQ(GetKeyDriveLetter(&letter), 0);
  EXPECT_EQ(letter, 'G');
  // Pulled out, its hardware key stays with the letter G, which a stick of another make now has.
  host.Detach('G');
  host.Attach('G', emulated::MakeUsbStick());
  EXPECT_NE(GetKeyDriveLetter(&letter), 0);
}

// A key whose letter the registry does not record is refused when Start is pressed, before the
// warning: nothing is sent to it, no file is written.
TEST_F(Windows98Test, AKeyWhoseLetterIsRecordedNowhereIsRefusedBeforeAnythingIsWritten) {
  host.faults.keyLetterUnrecorded = true;
  AttachKey(kP9);
  std::size_t before = 0;
  RunProgram([&](BootUtilityDialog& dialog) {
    before = TraceSize();
    view.Type(1001, "BOOT");
    dialog.OnOK();
  });
  ASSERT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(host.messageBoxes[0].caption, kApplicationName);
  EXPECT_EQ(host.messageBoxes[0].text, shown::kNoDriveLetter);
  EXPECT_EQ(CommandsSince(before), std::vector<std::string>{});
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kFile).empty());
  EXPECT_TRUE(host.postedMessages.empty());
}

// Every model is made bootable through the helper driver, its files written at the letter its
// hardware key records, with a USB stick of another make beside it.
class Windows98StartTest : public Windows98Test, public testing::WithParamInterface<const char*> {};

TEST_P(Windows98StartTest, MakesTheKeyBootableAtTheLetterItsHardwareKeyRecords) {
  host.Attach('F', emulated::MakeUsbStick());
  AttachKey(GetParam(), 1024, 'H');
  PressStart("BOOT");

  const auto boxes = BoxesAfterWarning();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, shown::kSuccessful);
  EXPECT_EQ(TransportKind, kTransportHelperDriver);
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kOpenVolume).empty());
  EXPECT_EQ(Only({"file create"}), (std::vector<std::string>{"file create H:\\IBMBIO.COM", "file create H:\\IBMDOS.COM",
                                                             "file create H:\\COMMAND.COM"}));
  for (const char* name : {"H:\\IBMBIO.COM", "H:\\IBMDOS.COM", "H:\\COMMAND.COM"}) {
    EXPECT_TRUE(host.FindFirstFile(name)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryModel, Windows98StartTest, testing::Values(kP9, kP3, kVarnok),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, ' ');
                           return name;
                         });

// The NT family for contrast: the same host answers the access check for an administrator.
TEST_F(AppTest, OnTheNtFamilyTheAccessCheckDecides) {
  AttachKey(kP9);
  char name[20] = {};
  ASSERT_EQ(FindKey(name, nullptr), 0);
  EXPECT_EQ(TransportKind, kTransportPassThrough);
  EXPECT_EQ(host.securityCalls,
            (std::vector<std::string>{"OpenThreadToken failed 1008", "OpenProcessToken ok", "DuplicateToken ok",
                                      "AllocateAndInitializeSid ok", "AccessCheck ok"}));
}

}  // namespace
}  // namespace app_test
