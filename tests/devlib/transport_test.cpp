// Both transports, checked by what the emulated system received.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "devlib/helper_driver.h"
#include "devlib/identity.h"
#include "devlib/key_library.h"
#include "host/byte_order.h"
#include "tests/support/library_fixture.h"

namespace {

std::uint32_t Field32(const std::vector<std::uint8_t>& image, std::size_t offset) {
  return GetLittleEndian32(image.data() + offset);
}

}  // namespace

class PassThroughTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    TransportKind = kTransportPassThrough;
    key = &host.AttachKey('G', emulated::KeyConfig{});
    Device().m_strDriveLetter = "G";
  }
  emulated::EmulatedKey* key = nullptr;
};

TEST_F(PassThroughTest, RequestIsLaidOutAsTheSystemReadsIt) {
  const VendorCdb cdb = BuildVendorCdb(0x95);
  std::uint8_t identity[14];
  int status = -1;
  ASSERT_EQ(Device().ExecuteCdb(1, identity, sizeof identity, cdb.data(), &status), kResultSuccess);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::memcmp(identity, "QUILKV2ZARNOP9", 14), 0);

  const auto commands = Commands();
  ASSERT_EQ(commands.size(), 1u);
  const auto& image = commands[0].request;
  ASSERT_EQ(image.size(), 80u);
  EXPECT_EQ(commands[0].inSize, 80u);
  EXPECT_EQ(commands[0].outSize, 80u);
  EXPECT_EQ(GetLittleEndian16(image.data()), 44);  // Length
  EXPECT_EQ(image[3], 0);                          // PathId
  EXPECT_EQ(image[4], 1);                          // TargetId
  EXPECT_EQ(image[5], 0);                          // Lun
  EXPECT_EQ(image[6], 10);                         // CdbLength
  EXPECT_EQ(image[7], 24);                         // SenseInfoLength
  EXPECT_EQ(image[8], 1);                          // DataIn
  EXPECT_EQ(Field32(image, 12), 14u);              // DataTransferLength
  EXPECT_EQ(Field32(image, 16), 60u);              // TimeOutValue
  EXPECT_EQ(Field32(image, 24), 48u);              // SenseInfoOffset
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 28, image.begin() + 38),
            std::vector<std::uint8_t>(cdb.bytes.begin(), cdb.bytes.end()));
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 38, image.begin() + 44), std::vector<std::uint8_t>(6, 0));
  EXPECT_EQ(commands[0].dataBuffer, identity);  // data in lands in the caller's buffer itself
  EXPECT_EQ(commands[0].letter, 'G');
}

TEST_F(PassThroughTest, VolumeIsOpenedForReadingAndWritingSharedAndUnbuffered) {
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  ASSERT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultSuccess);
  const auto opens = host.trace.OfKind(emulated::TraceKind::kOpenVolume);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].text, "\\\\.\\G:");
  EXPECT_EQ(opens[0].access, 0xC0000000u);       // GENERIC_READ | GENERIC_WRITE
  EXPECT_EQ(opens[0].share, 0x00000003u);        // FILE_SHARE_READ | FILE_SHARE_WRITE
  EXPECT_EQ(opens[0].disposition, 3u);           // OPEN_EXISTING
  EXPECT_EQ(opens[0].flags, 0x20000080u);        // FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL
}

TEST_F(PassThroughTest, DirectionAndBufferForCommandsWithoutData) {
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  ASSERT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultSuccess);
  std::uint8_t anything[4];
  ASSERT_EQ(Device().ExecuteCdb(1, anything, 0, cdb.data(), nullptr), kResultSuccess);

  const auto commands = Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].request[8], 0);  // SCSI_IOCTL_DATA_OUT, also without data
  EXPECT_TRUE(commands[0].dataBufferIsNull);
  EXPECT_EQ(commands[1].request[8], 1);
  EXPECT_EQ(commands[1].dataBuffer, anything);
}

TEST_F(PassThroughTest, DataOutTravelsInAPrivateCopy) {
  std::array<std::uint8_t, 512> sector;
  for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(i * 3);
  const VendorCdb cdb = BuildWrite10Cdb(7, 1);
  ASSERT_EQ(Device().ExecuteCdb(0, sector.data(), 512, cdb.data(), nullptr), kResultSuccess);

  const auto commands = Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_NE(commands[0].dataBuffer, sector.data());
  EXPECT_FALSE(commands[0].dataBufferIsNull);
  EXPECT_EQ(commands[0].dataOut, std::vector<std::uint8_t>(sector.begin(), sector.end()));
  std::array<std::uint8_t, 512> stored{};
  ASSERT_TRUE(key->Flash().Read(7, 1, stored.data()));
  EXPECT_EQ(stored, sector);
}

TEST_F(PassThroughTest, VolumeIsClosedAfterEveryCommand) {
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  ASSERT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultSuccess);
  EXPECT_EQ(host.OpenHandleCount(), 0);
  EXPECT_EQ(Device().m_hDevice, host::kInvalidHandle);

  host.faults.failingIoctls.insert(host.CommandCount());
  int status = 77;
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), &status), kResultGeneralFailure);
  EXPECT_EQ(status, 77);  // untouched when the request never completed
  EXPECT_EQ(host.OpenHandleCount(), 0);
  EXPECT_EQ(Device().m_hDevice, host::kInvalidHandle);
}

TEST_F(PassThroughTest, DeviceStatusIsDeliveredNotTreatedAsFailure) {
  const VendorCdb unknown = BuildVendorCdb(0x42);
  int status = 0;
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, unknown.data(), &status), kResultSuccess);
  EXPECT_EQ(status, 2);  // CHECK CONDITION
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, unknown.data(), nullptr), kResultSuccess);
  // The sense of the failure sits where the request said.
  const auto reply = Commands().back().reply;
  EXPECT_EQ(reply[2], 2);     // ScsiStatus
  EXPECT_EQ(reply[48], 0x70); // fixed-format sense at SenseInfoOffset
  EXPECT_EQ(reply[50], 0x05); // ILLEGAL REQUEST
}

TEST_F(PassThroughTest, VolumeThatDoesNotOpenIsKeyNotFound) {
  host.faults.volumesThatDoNotOpen.insert('G');
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultKeyNotFound);
  EXPECT_TRUE(Commands().empty());
}

TEST_F(PassThroughTest, UnknownLetterIsFoundByIdentificationFirst) {
  Device().m_strDriveLetter.clear();
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultSuccess);
  EXPECT_EQ(Device().m_strDriveLetter, "G");
  const auto commands = Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].cdb[3], 0x95);  // the identity read of the scan
  EXPECT_EQ(commands[1].cdb, std::vector<std::uint8_t>(10, 0));

  host.Detach('G');
  Device().m_strDriveLetter.clear();
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultKeyNotFound);
}

class HelperTransportTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    host.administrator = false;
    key = &host.AttachKey('F', emulated::KeyConfig{}, 4);
  }
  emulated::EmulatedKey* key = nullptr;
};

// Through the helper driver the same answer is a failed request: with no status slot to
// carry it, the command fails.
TEST_F(HelperTransportTest, CheckConditionWithoutAStatusSlotFailsThroughTheHelper) {
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);  // finds the key
  host.faults.forcedStatus[host.CommandCount()] = 2;
  EXPECT_EQ(KeyCommand74(), kResultGeneralFailure);
  EXPECT_EQ(KeyCommand74(), kResultSuccess);  // the next answer is good again
}

// Without a drive letter there is no volume to ask for its free space: the refresh settles and
// tests the unit, but never queries an empty path (which would be the current drive).
TEST_F(HelperTransportTest, RefreshWithoutADriveLetterSkipsTheFreeSpaceQueries) {
  host.registry.CreateKey("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR").refuseOpen = true;
  char letter = 0;
  ASSERT_NE(GetKeyDriveLetter(&letter), kResultSuccess);
  const std::size_t before = host.trace.Events().size();
  ASSERT_EQ(KeyCommand99(), kResultSuccess);
  int pauses = 0, frees = 0, unitTests = 0;
  const auto& events = host.trace.Events();
  for (std::size_t i = before; i < events.size(); ++i) {
    const std::string line = events[i].Describe();
    if (events[i].kind == emulated::TraceKind::kPause) ++pauses;
    if (line.find("free") != std::string::npos) ++frees;
    if (events[i].kind == emulated::TraceKind::kHelperCommand && events[i].cdb[0] == 0x00) ++unitTests;
  }
  EXPECT_EQ(pauses, 3);
  EXPECT_EQ(frees, 0);
  EXPECT_EQ(unitTests, 1);

  // With its letter back, the same refresh asks for the volume's free space twice.
  host.registry.CreateKey("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR").refuseOpen = false;
  const std::size_t again = host.trace.Events().size();
  ASSERT_EQ(KeyCommand99(), kResultSuccess);
  frees = 0;
  for (std::size_t i = again; i < events.size(); ++i) {
    if (events[i].Describe().find("free") != std::string::npos) ++frees;
  }
  EXPECT_EQ(frees, 2);
}

TEST_F(HelperTransportTest, BufferSizesFollowTheDirection) {
  std::array<std::uint8_t, 512> sector{};
  sector[0] = 0x5A;
  const VendorCdb write = BuildWrite10Cdb(3, 1);
  ASSERT_EQ(Device().ExecuteCdb(0, sector.data(), 512, write.data(), nullptr), kResultSuccess);
  std::array<std::uint8_t, 512> back{};
  const VendorCdb read = BuildRead10Cdb(3, 1);
  ASSERT_EQ(Device().ExecuteCdb(1, back.data(), 512, read.data(), nullptr), kResultSuccess);
  EXPECT_EQ(back, sector);
  const VendorCdb none = BuildTestUnitReadyCdb();
  ASSERT_EQ(Device().ExecuteCdb(0, nullptr, 0, none.data(), nullptr), kResultSuccess);

  auto commands = Commands();
  ASSERT_GE(commands.size(), 3u);
  commands.erase(commands.begin(), commands.end() - 3);  // after the discovery's requests
  EXPECT_EQ(commands[0].inSize, 572u);
  EXPECT_EQ(commands[0].outSize, 64u);
  EXPECT_EQ(commands[1].inSize, 64u);
  EXPECT_EQ(commands[1].outSize, 572u);
  EXPECT_EQ(commands[2].inSize, 64u);
  EXPECT_EQ(commands[2].outSize, 64u);
  for (const auto& c : commands) {
    EXPECT_EQ(c.helperIndex, 4);
    EXPECT_EQ(GetLittleEndian32(c.request.data()), 64u);  // size field
    EXPECT_EQ(c.cdb.size(), 12u);
    EXPECT_EQ(c.cdb[10], 0);
    EXPECT_EQ(c.cdb[11], 0);
  }
  EXPECT_EQ(GetLittleEndian32(commands[0].request.data() + 8), 1u);  // data-out flag
  EXPECT_EQ(GetLittleEndian32(commands[1].request.data() + 8), 0u);
  EXPECT_EQ(GetLittleEndian32(commands[0].request.data() + 20), 512u);
  EXPECT_EQ(GetLittleEndian32(commands[0].request.data() + 16), 0u);  // sense flag sent as 0
}

TEST_F(HelperTransportTest, LengthLimitIsCheckedBeforeTheDriver) {
  std::vector<std::uint8_t> data(16385);
  const VendorCdb write32 = BuildWrite10Cdb(0, 32);
  ASSERT_EQ(Device().ExecuteCdb(0, data.data(), 16384, write32.data(), nullptr), kResultSuccess);
  const std::size_t sent = Commands().size();
  EXPECT_EQ(Commands().back().inSize, 60u + 16384u);

  int status = 0;
  EXPECT_EQ(Device().ExecuteCdb(0, data.data(), 16385, write32.data(), &status), kResultSuccess);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Device().ExecuteCdb(0, data.data(), 16385, write32.data(), nullptr), kResultGeneralFailure);
  EXPECT_EQ(Commands().size(), sent);
}

TEST_F(HelperTransportTest, FailedCommandGivesStatusOneOrGeneralFailure) {
  const VendorCdb unknown = BuildVendorCdb(0x42);
  int status = 0;
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, unknown.data(), &status), kResultSuccess);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, unknown.data(), nullptr), kResultGeneralFailure);
  const VendorCdb good = BuildTestUnitReadyCdb();
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, good.data(), &status), kResultSuccess);
  EXPECT_EQ(status, 0);
}

TEST_F(HelperTransportTest, SenseIsCopiedUpToTheSmallerLength) {
  host::Handle driver = 0;
  ASSERT_EQ(OpenHelperDriver(&driver), kHelperOpened);
  std::uint8_t command[12] = {0xAD, 0x0A, 0x16, 0x42};
  std::array<std::uint8_t, 30> sense;
  sense.fill(0xEE);
  EXPECT_EQ(HelperIoctl(driver, 4, command, kHelperFromKey, nullptr, 0, sense.data(), 30), kHelperIoctlFailed);
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[2], 0x05);  // ILLEGAL REQUEST, as the key reported it
  EXPECT_EQ(sense[23], 0x00);
  EXPECT_EQ(sense[24], 0xEE);

  sense.fill(0xEE);
  EXPECT_EQ(HelperIoctl(driver, 4, command, kHelperFromKey, nullptr, 0, sense.data(), 18), kHelperIoctlFailed);
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[17], 0x00);
  EXPECT_EQ(sense[18], 0xEE);
  host.CloseDriver(driver);
}

TEST_F(HelperTransportTest, InquiryAnswerIsClearedWhereTheDriverReturnsNothing) {
  host::Handle driver = 0;
  ASSERT_EQ(OpenHelperDriver(&driver), kHelperOpened);
  // A transfer out first leaves its bytes where the request block lives on the stack.
  const std::uint8_t write[12] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::array<std::uint8_t, 56> stale;
  stale.fill(0xEE);
  HelperTransfer(driver, 4, write, kHelperTransferOut, stale.data(), 56, nullptr, 0);
  const std::uint8_t inquiry[12] = {0x12, 0, 0, 0, 56};
  std::array<std::uint8_t, 56> answer;
  answer.fill(0xCC);
  ASSERT_EQ(HelperTransfer(driver, 4, inquiry, kHelperTransferIn, answer.data(), 56, nullptr, 0),
            kHelperTransferDone);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer.data()) + 8, 6), "Varnok");
  // The key answers 36 bytes; the rest of the 56 reads as zeros, not as what was there.
  EXPECT_EQ(std::vector<std::uint8_t>(answer.begin() + 36, answer.end()), std::vector<std::uint8_t>(20, 0));
  host.CloseDriver(driver);
}

TEST_F(HelperTransportTest, MissingDriverAndOtherOpenFailuresAreToldApart) {
  host::Handle driver = 123;
  host.faults.helperDriverInstalled = false;
  EXPECT_EQ(OpenHelperDriver(&driver), kHelperNotPresent);
  EXPECT_EQ(driver, 0u);
  EXPECT_EQ(Device().IdentifyKey(IdentityTable, kIdentityRows, nullptr, nullptr), kResultGeneralFailure);

  host.faults.helperDriverInstalled = true;
  host.faults.helperOpenError = host::win32::ERROR_ACCESS_DENIED;
  EXPECT_EQ(OpenHelperDriver(&driver), kHelperOpenFailed);
  EXPECT_EQ(Device().IdentifyKey(IdentityTable, kIdentityRows, nullptr, nullptr), kResultGeneralFailure);
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  EXPECT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultGeneralFailure);
  EXPECT_EQ(Device().m_hDevice, host::kInvalidHandle);
}

TEST_F(HelperTransportTest, DriverHandleStaysOpenAcrossCommands) {
  const VendorCdb cdb = BuildTestUnitReadyCdb();
  ASSERT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultSuccess);
  ASSERT_EQ(Device().ExecuteCdb(0, nullptr, 0, cdb.data(), nullptr), kResultSuccess);
  EXPECT_EQ(host.trace.OfKind(emulated::TraceKind::kOpenHelper).size(), 1u);
  EXPECT_EQ(Device().m_nDriverIndex, 4);
  EXPECT_EQ(host.OpenHandleCount(), 1);
}
