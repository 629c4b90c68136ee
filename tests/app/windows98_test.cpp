// The program on Windows 98 SE as the emulated host presents it: the security API's stubs fail
// with ERROR_CALL_NOT_IMPLEMENTED, so the administrator test answers "ordinary user" and the
// helper driver carries every command; the registry has none of the NT records from which the
// drive letter is read, so the key's letter cannot be found.
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

TEST_F(Windows98Test, WithoutTheNtRegistryRecordsTheDriveLetterIsAGeneralFailure) {
  AttachKey(kP3);
  EXPECT_EQ(host.registry.FindKey("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR"), nullptr);
  EXPECT_EQ(host.registry.FindKey("SYSTEM\\MountedDevices"), nullptr);
  char letter = 0;
  EXPECT_EQ(GetKeyDriveLetter(&letter), -8);
  EXPECT_EQ(letter, 0);
}

// Every model: the key is laid out through the helper driver, and the sequence stops where the
// system files need the key's drive letter, with the message an ordinary user of 98 sees.
class Windows98StartTest : public Windows98Test, public testing::WithParamInterface<const char*> {};

TEST_P(Windows98StartTest, LaysOutTheKeyThenCannotCopyTheSystemFiles) {
  emulated::EmulatedKey& key = AttachKey(GetParam());
  PressStart("BOOT");

  // The copy's drive-letter lookup is the first step that needs the registry walk: it ends
  // the sequence before any file call.
  const std::vector<std::string> sequence = Sequence();
  ASSERT_FALSE(sequence.empty());
  EXPECT_EQ(sequence.back(), "box " + std::string(kApplicationName) + ": " + shown::kUnknownError);
  const auto boxes = BoxesAfterWarning();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, shown::kUnknownError);
  EXPECT_EQ(boxes[0].caption, kApplicationName);
  EXPECT_EQ(boxes[0].type, kAppBox);
  EXPECT_EQ(TransportKind, kTransportHelperDriver);
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kOpenVolume).empty());
  // The layout was written (the master boot record's signature), but no file reached the key.
  std::uint8_t mbr[512] = {};
  ASSERT_TRUE(key.Flash().Read(0, 1, mbr));
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kFile).empty());
  EXPECT_TRUE(host.changeNotifications.empty());
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
