#include "devlib/commands/vendor_cdb.h"

#include <gtest/gtest.h>

#include <array>

#include "devlib/key_library.h"
#include "tests/support/library_fixture.h"

namespace {

std::vector<std::uint8_t> BytesOf(const VendorCdb& cdb) { return {cdb.bytes.begin(), cdb.bytes.end()}; }

std::array<std::uint8_t, 10> TenFillerBytes() {
  std::array<std::uint8_t, 10> filler{};
  FillRandom(filler.data(), filler.size());
  return filler;
}

}  // namespace

TEST(RuntimeRandom, FollowsTheRuntimeSequence) {
  RuntimeRandom random(1);
  EXPECT_EQ(random.Next(), 41);
  EXPECT_EQ(random.Next(), 18467);
  EXPECT_EQ(random.Next(), 6334);
}

using VendorCdbTest = LibraryTest;

TEST_F(VendorCdbTest, FillerFollowsTheDateAndTheSecond) {
  EXPECT_EQ(FillerSeed(), 0xDD869831u);
  const auto filler = TenFillerBytes();
  EXPECT_EQ(std::vector<std::uint8_t>(filler.begin(), filler.end()),
            Bytes({0x92, 0xF2, 0x34, 0x79, 0xFB, 0x35, 0x37, 0x4E, 0x25, 0xF7}));
  EXPECT_EQ(BytesOf(BuildVendorCdb(0x9A)),
            Bytes({0xAD, 0x0A, 0x16, 0x9A, 0xFB, 0x35, 0x37, 0x4E, 0x25, 0xF7}));

  // Within one second every block carries the same filler; the next second changes it.
  EXPECT_EQ(BytesOf(BuildVendorCdb(0x95)), BytesOf(BuildVendorCdb(0x95)));
  host.Sleep(1000);
  EXPECT_NE(TenFillerBytes(), filler);
  host.SetDateText("12/08/26");
  host.SetTime(1000000000);
  EXPECT_NE(TenFillerBytes(), filler);
}

TEST_F(VendorCdbTest, TheCapacityCommandReachesTheKeyAsBuilt) {
  host.AttachKey('E', emulated::KeyConfig{});
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1024);
  const auto commands = Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back().cdb, Bytes({0xAD, 0x0A, 0x16, 0x9A, 0xFB, 0x35, 0x37, 0x4E, 0x25, 0xF7}));
  EXPECT_TRUE(commands.back().dataIn);
  EXPECT_EQ(commands.back().length, 2u);
}

TEST_F(VendorCdbTest, StandardBlocksKeepFillerWhereNoFieldIsSet) {
  const auto filler = TenFillerBytes();

  EXPECT_EQ(BytesOf(BuildTestUnitReadyCdb()), std::vector<std::uint8_t>(10, 0));

  const VendorCdb read = BuildRead10Cdb(0x01020304, 0x0506);
  EXPECT_EQ(BytesOf(read), Bytes({0x28, filler[1], 1, 2, 3, 4, filler[6], 5, 6, filler[9]}));
  const VendorCdb write = BuildWrite10Cdb(0xA0B0C0D0, 0x0020);
  EXPECT_EQ(BytesOf(write), Bytes({0x2A, filler[1], 0xA0, 0xB0, 0xC0, 0xD0, filler[6], 0, 0x20, filler[9]}));

  EXPECT_EQ(BytesOf(BuildInquiryCdb()),
            Bytes({0x12, 0, filler[2], filler[3], 36, filler[5], filler[6], filler[7], filler[8], filler[9]}));
  EXPECT_EQ(BytesOf(BuildModeSense10Cdb()),
            Bytes({0x5A, 0, 5, filler[3], filler[4], filler[5], filler[6], 0, 8, filler[9]}));
  EXPECT_EQ(BytesOf(BuildDeviceResetCdb()),
            Bytes({0xFF, 0x1D, filler[2], filler[3], filler[4], filler[5], filler[6], filler[7], filler[8], filler[9]}));
}
