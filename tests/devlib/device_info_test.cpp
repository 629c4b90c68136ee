// The information block and serial numbers, judged by the block the key received.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "devlib/key_library.h"
#include "tests/support/library_fixture.h"

namespace {

struct DeviceInfo {
  char vendorId[5] = {}, productId[5] = {};
  char manufacturer[21] = {}, product[21] = {}, serial[25] = {};
  char scsiVendor[9] = {}, scsiProduct[17] = {}, scsiRevision[5] = {};
  char configuration[3] = {};
};

ResultCode Get(DeviceInfo& info) {
  return GetKeyDeviceInfo(info.vendorId, info.productId, info.manufacturer, info.product, info.serial,
                          info.scsiVendor, info.scsiProduct, info.scsiRevision, info.configuration);
}

}  // namespace

class DeviceInfoTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    host.AttachKey('E', emulated::KeyConfig{});
    int megabytes = 0;
    ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  }
  // The last information block the key was sent.
  std::vector<std::uint8_t> LastBlockWritten() const {
    const auto commands = Commands();
    for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
      if (it->cdb[0] == 0xAD && it->cdb[3] == 0x9B) return it->dataOut;
    }
    return {};
  }
  int InfoWrites() const {
    int n = 0;
    for (const auto& c : Commands()) n += c.cdb[0] == 0xAD && c.cdb[3] == 0x9B;
    return n;
  }
  void WriteRawBlock(const std::array<std::uint8_t, 512>& block) {
    ASSERT_EQ(TheFlashDevice->WriteInfoBlock(block.data()), kResultSuccess);
  }
};

TEST_F(DeviceInfoTest, SetBuildsTheWholeBlockAndGeneratesTheSerial) {
  char serial[15] = {};
  ASSERT_EQ(SetKeyDeviceInfo("1b0a", "c003", "Varnok", "Stelvarion Key", serial, "Varnok", "Stelvarion", "2.45", ""),
            kResultSuccess);
  EXPECT_STREQ(serial, "07122684837152");

  const auto block = LastBlockWritten();
  ASSERT_EQ(block.size(), 512u);
  EXPECT_EQ(block[0], 0x0A);
  EXPECT_EQ(block[1], 0x1B);
  EXPECT_EQ(block[2], 0x03);
  EXPECT_EQ(block[3], 0xC0);
  EXPECT_EQ(block[4], 6);
  EXPECT_EQ(block[5], 0x03);
  EXPECT_EQ(std::string(block.begin() + 6, block.begin() + 12), "Varnok");
  EXPECT_EQ(block[26], 14);
  EXPECT_EQ(block[48], 14);
  EXPECT_EQ(block[49], 0x03);
  EXPECT_EQ(std::string(block.begin() + 50, block.begin() + 64), "07122684837152");
  EXPECT_EQ(block[74], 0x80);
  EXPECT_EQ(std::string(block.begin() + 80, block.begin() + 108), "Varnok  Stelvarion      2.45");
  EXPECT_EQ(block[110], 0x55);
  EXPECT_EQ(block[111], 0xAA);
  for (std::size_t i : {std::size_t{75}, std::size_t{76}, std::size_t{79}, std::size_t{108}, std::size_t{109}}) {
    EXPECT_EQ(block[i], 0) << i;
  }
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 112, block.end()), std::vector<std::uint8_t>(400, 0));
}

// The device's own clamp, apart from the entry function's: 14 digits at most reach the block.
TEST_F(DeviceInfoTest, DeviceTakesAtMostFourteenSerialDigits) {
  const char digits[] = "1234567890ABCDEFGHIJ";
  ASSERT_EQ(Device().SetSerialNumber(digits, 20), kResultSuccess);
  const auto block = LastBlockWritten();
  EXPECT_EQ(block[48], 14);
  EXPECT_EQ(std::string(block.begin() + 50, block.begin() + 64), "1234567890ABCD");
  EXPECT_EQ(std::string(block.begin() + 64, block.begin() + 74), std::string(10, '\0'));
}

TEST_F(DeviceInfoTest, IdentifiersAndConfigurationRoundTripAsText) {
  struct Case {
    const char* id;
    const char* text;
  } cases[] = {{"1b0a", "1b0a"}, {"3c0", "03c0"}, {"5", "0005"}, {"FFFF", "ffff"}, {"0x12ab", "12ab"},
               // Overlong: the low bits are kept on every build, as "%x" does.
               {"123456789abcdef0", "def0"}, {"fffffffff1234", "1234"}, {"  +0X7e", "007e"}};
  for (const Case& c : cases) {
    char serial[15] = "12345678901234";
    ASSERT_EQ(SetKeyDeviceInfo(c.id, c.id, "m", "p", serial, "v", "p", "r", "5"), kResultSuccess) << c.id;
    DeviceInfo info;
    ASSERT_EQ(Get(info), kResultSuccess);
    EXPECT_STREQ(info.vendorId, c.text);
    EXPECT_STREQ(info.productId, c.text);
    EXPECT_STREQ(info.configuration, "05");
    EXPECT_STREQ(info.serial, "12345678901234");
    char vendorText[4], productText[4];
    ASSERT_EQ(GetKeyUsbIdTexts(vendorText, productText), kResultSuccess);
    EXPECT_EQ(std::string(vendorText, 4), c.text);
  }
}

TEST_F(DeviceInfoTest, LongTextsAreCutToTheirFields) {
  char serial[40] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
  ASSERT_EQ(SetKeyDeviceInfo("1", "2", "Manufacturer name longer than twenty", "P", serial, "VendorTooLong",
                             "Product text that is too long", "2.450", "180"),
            kResultSuccess);
  const auto block = LastBlockWritten();
  EXPECT_EQ(block[4], 20);
  EXPECT_EQ(std::string(block.begin() + 6, block.begin() + 26), "Manufacturer name lo");
  EXPECT_EQ(block[26], 1);
  EXPECT_EQ(block[48], 24);
  EXPECT_EQ(std::string(block.begin() + 50, block.begin() + 74), "ABCDEFGHIJKLMNOPQRSTUVWX");
  EXPECT_EQ(block[74], 0x80);  // low byte of 0x180
  EXPECT_EQ(std::string(block.begin() + 80, block.begin() + 108), "VendorTo" "Product text tha" "2.45");
}

TEST_F(DeviceInfoTest, TextsThatAreNoNumbersWriteNothing) {
  char serial[15] = {};
  const int before = InfoWrites();
  EXPECT_EQ(SetKeyDeviceInfo("zz", "1234", "m", "p", serial, "v", "p", "r", ""), kResultGeneralFailure);
  EXPECT_EQ(SetKeyDeviceInfo("1234", "", "m", "p", serial, "v", "p", "r", ""), kResultGeneralFailure);
  EXPECT_EQ(SetKeyDeviceInfo("1234", "1234", "m", "p", serial, "v", "p", "r", "xy"), kResultGeneralFailure);
  EXPECT_EQ(InfoWrites(), before);

  // Without identifiers the key is sent a block of zeros, which reads back as invalid.
  ASSERT_EQ(SetKeyDeviceInfo(nullptr, "1234", "m", "p", serial, "v", "p", "r", ""), kResultSuccess);
  EXPECT_EQ(LastBlockWritten(), std::vector<std::uint8_t>(512, 0));
  DeviceInfo info;
  EXPECT_EQ(Get(info), kResultGeneralFailure);
  char digits[14];
  ASSERT_EQ(GetKeySerialNumber(digits), kResultSuccess);
  EXPECT_EQ(std::string(digits, 14), std::string(14, '\0'));
}

TEST_F(DeviceInfoTest, GetRefusesABadSignatureAndClampsLengths) {
  std::array<std::uint8_t, 512> block{};
  block[110] = 0x55;
  block[111] = 0xAB;
  WriteRawBlock(block);
  DeviceInfo info;
  std::memset(info.vendorId, 'q', sizeof info.vendorId);
  EXPECT_EQ(Get(info), kResultGeneralFailure);
  EXPECT_EQ(info.vendorId[0], 'q');  // nothing filled

  block[111] = 0xAA;
  block[4] = 200;  // longer than the 20-byte field
  std::memset(block.data() + 6, 'M', 20);
  block[26] = 255;
  block[48] = 255;
  WriteRawBlock(block);
  char manufacturer[24];
  std::memset(manufacturer, '#', sizeof manufacturer);
  char product[21] = {}, serial[25] = {}, vendorId[5], productId[5], v[8], p[16], r[4], config[3];
  ASSERT_EQ(GetKeyDeviceInfo(vendorId, productId, manufacturer, product, serial, v, p, r, config), kResultSuccess);
  EXPECT_EQ(std::string(manufacturer, 20), std::string(20, 'M'));
  EXPECT_EQ(manufacturer[20], '#');
  EXPECT_STREQ(vendorId, "0000");
}

TEST_F(DeviceInfoTest, SerialNumberCalls) {
  char serial[15] = {};
  ASSERT_EQ(SetKeyDeviceInfo("1", "2", "m", "p", serial, "v", "p", "r", ""), kResultSuccess);

  ASSERT_EQ(SetKeySerialNumber("ABCDEFGHIJKLMNOPQRST", 20), kResultSuccess);
  auto block = LastBlockWritten();
  EXPECT_EQ(block[48], 14);
  EXPECT_EQ(block[49], 0x03);  // left as read
  EXPECT_EQ(block[110], 0x55);
  char digits[14];
  ASSERT_EQ(GetKeySerialNumber(digits), kResultSuccess);
  EXPECT_EQ(std::string(digits, 14), "ABCDEFGHIJKLMN");

  for (const auto& [text, length] : {std::pair<const char*, std::uint32_t>{nullptr, 5}, {"123", 0}}) {
    ASSERT_EQ(SetKeySerialNumber(text, length), kResultSuccess);
    block = LastBlockWritten();
    EXPECT_EQ(block[48], 14);
    const std::string generated(block.begin() + 50, block.begin() + 64);
    EXPECT_EQ(generated.find_first_not_of("0123456789"), std::string::npos) << generated;
    EXPECT_EQ(generated, "84837152313841");  // the filler's fourteen draws, no date
  }

  ASSERT_EQ(SetKeySerialNumber("42", 2), kResultSuccess);
  ASSERT_EQ(GetKeySerialNumber(digits), kResultSuccess);
  EXPECT_EQ(std::string(digits, 14), std::string("42") + std::string(12, '\0'));
}

TEST_F(DeviceInfoTest, InfoFlagIsNeverSuccess) {
  std::array<std::uint8_t, 512> block{};
  block[76] = 0x80;
  WriteRawBlock(block);
  EXPECT_EQ(TestKeyInfoFlag(), kResultInfoFlagSet);
  block[76] = 0x7F;
  WriteRawBlock(block);
  EXPECT_EQ(TestKeyInfoFlag(), kResultInfoFlagClear);
  host.faults.failingIoctls.insert(host.CommandCount());
  EXPECT_EQ(TestKeyInfoFlag(), kResultGeneralFailure);

  // The texts are written whatever the read gave: a cleared block reads as zeros.
  host.faults.failingIoctls.insert(host.CommandCount());
  char vendorText[4] = {'x', 'x', 'x', 'x'}, productText[4];
  EXPECT_EQ(GetKeyUsbIdTexts(vendorText, productText), kResultGeneralFailure);
  EXPECT_EQ(std::string(vendorText, 4), "0000");
}
