#include <gtest/gtest.h>

#include "devlib/key_library.h"
#include "tests/support/library_fixture.h"

using LibraryStateTest = LibraryTest;

TEST_F(LibraryStateTest, FirstEntryCallWithoutKeyCreatesOneObject) {
  int megabytes = -1;
  EXPECT_EQ(GetKeyCapacity(&megabytes), kResultKeyNotFound);
  EXPECT_EQ(megabytes, -1);
  ASSERT_NE(TheFlashDevice, nullptr);
  EXPECT_EQ(DeviceObjectsCreatedForTests(), 1);
  ScsiFlashDevice* first = TheFlashDevice;

  // A key arrives; the object stays, and InitDeviceLibrary does not run again.
  host.AttachKey('K', emulated::KeyConfig{});
  const std::size_t before = host.trace.Events().size();
  EXPECT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1024);
  EXPECT_EQ(TheFlashDevice, first);
  EXPECT_EQ(DeviceObjectsCreatedForTests(), 1);
  EXPECT_GT(host.trace.Events().size(), before);
}

TEST_F(LibraryStateTest, FirstCallIdentifiesAndSettlesTheTransport) {
  host.AttachKey('H', emulated::KeyConfig{});
  host.administrator = true;
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(TransportKind, kTransportPassThrough);
  EXPECT_EQ(ModelKind, 4);
  EXPECT_EQ(TheFlashDevice->m_strDriveLetter, "H");

  // The user's rights do not change the decision afterwards.
  host.administrator = false;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(TransportKind, kTransportPassThrough);
}

TEST_F(LibraryStateTest, OrdinaryUserGoesThroughTheHelperDriver) {
  host.administrator = false;
  host.AttachKey('H', emulated::KeyConfig{}, 0);
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1024);
  EXPECT_EQ(TransportKind, kTransportHelperDriver);
  EXPECT_TRUE(host.trace.OfKind(emulated::TraceKind::kPassThrough).empty());
}

// The codes are the library's published interface: callers outside this source compare numbers.
TEST(ResultCodeTable, EveryCodeKeepsItsPublishedValue) {
  const std::pair<ResultCode, int> table[] = {
      {kResultSuccess, 0},           {kResultState98Good, -1},     {kResultState98Bad, -2},
      {kResultAreaCheckFailed, -3},  {kResultPasswordRefused, -5}, {kResultKeyNotFound, -6},
      {kResultWriteProtected, -7},   {kResultGeneralFailure, -8},  {kResultHintEmpty, -9},
      {kResultInfoFlagSet, -11},     {kResultInfoFlagClear, -12},  {kResultAreaZeroCheckFailed, -14},
      {kResultBlockFlagged, -15},    {kResultBlockListFull, -16},
  };
  for (const auto& [code, published] : table) EXPECT_EQ(code, published);
}
