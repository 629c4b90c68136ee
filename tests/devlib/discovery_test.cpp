// Finding the key among drives, helper-driver devices and registry records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "devlib/identity.h"
#include "devlib/key_library.h"
#include "tests/support/library_fixture.h"

namespace {

emulated::KeyConfig Model(const char* name) {
  emulated::KeyConfig config;
  config.model = name;
  return config;
}

std::string Name(const char (&buffer)[20]) { return std::string(buffer, strnlen(buffer, sizeof buffer)); }

}  // namespace

class PassThroughDiscoveryTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    TransportKind = kTransportPassThrough;
  }
  ResultCode Identify(char (&name)[20], int* count) {
    return Device().IdentifyKey(IdentityTable, kIdentityRows, name, count);
  }
  bool Opened(char letter) const {
    const std::string path = std::string("\\\\.\\") + letter + ":";
    for (const auto& e : host.trace.OfKind(emulated::TraceKind::kOpenVolume)) {
      if (e.text == path) return true;
    }
    return false;
  }
};

TEST_F(PassThroughDiscoveryTest, TwoKeysStopTheScanAtTheSecond) {
  host.Attach('D', emulated::MakeFixedDisk());
  host.AttachKey('F', Model("KV 2 Zarno P3"));
  host.AttachKey('J', Model("KV 2 Zarno P9"));
  host.AttachKey('M', Model("Varnok Key"));
  char name[20] = {};
  int count = 0;
  ASSERT_EQ(Identify(name, &count), kResultSuccess);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Name(name), "KV 2 Zarno P3");
  EXPECT_EQ(Device().m_strDriveLetter, "F");
  EXPECT_EQ(ModelKind, 3);
  EXPECT_TRUE(Opened('J'));
  EXPECT_FALSE(Opened('K'));
  EXPECT_EQ(host.OpenHandleCount(), 0);
}

TEST_F(PassThroughDiscoveryTest, NoKeyLeavesEverythingAsItWas) {
  host.Attach('D', emulated::MakeFixedDisk());
  host.Attach('G', emulated::MakeUsbStick());
  Device().m_strDriveLetter = "Q";
  ModelKind = 3;
  char name[20] = {};
  int count = 0;
  EXPECT_EQ(Identify(name, &count), kResultKeyNotFound);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Name(name), "");
  EXPECT_EQ(Device().m_strDriveLetter, "Q");
  EXPECT_EQ(ModelKind, 3);
  EXPECT_TRUE(Opened('Z'));  // every letter was tried
}

TEST_F(PassThroughDiscoveryTest, UnknownOrUnreadableIdentitiesAreSkipped) {
  host.AttachKey('E', Model("KV 2 Zarno P9")).SetIdentity("QUILKV2ZARNOP7");
  host.AttachKey('F', Model("KV 2 Zarno P9"));
  host.AttachKey('H', Model("Varnok Key"));
  host.faults.failingIoctls.insert(1);  // the identity read of F
  char name[20] = {};
  int count = 0;
  ASSERT_EQ(Identify(name, &count), kResultSuccess);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Name(name), "Varnok Key");
  EXPECT_EQ(Device().m_strDriveLetter, "H");
  EXPECT_EQ(ModelKind, 0);
}

TEST_F(PassThroughDiscoveryTest, SecondRowNeedsItsTwoZeroBytes) {
  emulated::EmulatedKey& key = host.AttachKey('E', Model("Varnok Key"));
  char name[20] = {};
  for (const std::string& identity : {std::string("VARNOKSTELVAXY"), std::string("VARNOKSTELVA\0X", 14)}) {
    key.SetIdentity(identity);
    EXPECT_EQ(Identify(name, nullptr), kResultKeyNotFound) << identity;
  }
  key.SetIdentity(std::string("VARNOKSTELVA\0\0", 14));
  EXPECT_EQ(Identify(name, nullptr), kResultSuccess);
  EXPECT_EQ(Name(name), "Varnok Key");
}

TEST_F(PassThroughDiscoveryTest, DriveLetterRepeatsTheScanEveryTime) {
  host.AttachKey('K', Model("KV 2 Zarno P9"));
  char letter = 0;
  ASSERT_EQ(Device().GetDriveLetter(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'K');
  const std::size_t opens = host.trace.OfKind(emulated::TraceKind::kOpenVolume).size();
  host.Detach('K');
  host.AttachKey('L', Model("KV 2 Zarno P9"));
  ASSERT_EQ(Device().GetDriveLetter(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'L');
  EXPECT_GT(host.trace.OfKind(emulated::TraceKind::kOpenVolume).size(), opens);
  host.Detach('L');
  EXPECT_EQ(Device().GetDriveLetter(&letter), kResultKeyNotFound);
}

TEST_F(PassThroughDiscoveryTest, KnownDriveLetterIsWhereTheLastIdentificationFoundTheKey) {
  char letter = 0;
  // The guard's first identification finds no key; one attached later is not known until asked for.
  EXPECT_EQ(GetKnownKeyDriveLetter(&letter), kResultKeyNotFound);
  host.AttachKey('K', Model("KV 2 Zarno P9"));
  const std::size_t before = Commands().size();
  EXPECT_EQ(GetKnownKeyDriveLetter(&letter), kResultKeyNotFound);
  EXPECT_EQ(Commands().size(), before);
  ASSERT_EQ(FindKey(nullptr, nullptr), kResultSuccess);
  const std::size_t found = Commands().size();
  ASSERT_EQ(GetKnownKeyDriveLetter(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'K');
  EXPECT_EQ(Commands().size(), found);
}

TEST_F(PassThroughDiscoveryTest, BystandersSeeOnlyTheIdentityRead) {
  auto& disk = static_cast<emulated::BystanderDrive&>(host.Attach('D', emulated::MakeFixedDisk()));
  auto& stick = static_cast<emulated::BystanderDrive&>(host.Attach('F', emulated::MakeUsbStick()));
  host.Attach('G', emulated::MakeEmptyReader());
  host.AttachKey('E', Model("KV 2 Zarno P9"));
  const auto diskBefore = disk.Media().WrittenSectors();
  const auto stickBefore = stick.Media().WrittenSectors();

  char name[20] = {};
  int count = 0;
  char letter = 0;
  int megabytes = 0;
  ASSERT_EQ(FindKey(name, &count), kResultSuccess);
  ASSERT_EQ(GetKeyDriveLetter(&letter), kResultSuccess);
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  std::uint8_t sector[512] = {};
  ASSERT_EQ(WriteKeySectors(0, sector, 1), kResultSuccess);

  for (const auto& command : Commands()) {
    if (command.letter == 'E') continue;
    EXPECT_EQ(command.cdb[0], 0xAD) << command.Describe();
    EXPECT_EQ(command.cdb[3], 0x95) << command.Describe();
  }
  EXPECT_EQ(disk.Media().WrittenSectors(), diskBefore);
  EXPECT_EQ(stick.Media().WrittenSectors(), stickBefore);
}

class HelperDiscoveryTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    TransportKind = kTransportHelperDriver;
  }
  int HighestIndexProbed() const {
    int highest = -1;
    for (const auto& c : Commands()) highest = std::max(highest, c.helperIndex);
    return highest;
  }
};

TEST_F(HelperDiscoveryTest, FirstOfTwoDevicesIsTheKey) {
  host.AttachToHelper(3, std::make_unique<emulated::EmulatedKey>(Model("KV 2 Zarno P3")));
  host.AttachToHelper(7, std::make_unique<emulated::EmulatedKey>(Model("KV 2 Zarno P9")));
  host.AttachToHelper(9, std::make_unique<emulated::EmulatedKey>(Model("KV 2 Zarno P9")));
  char name[20] = {};
  int count = 0;
  ASSERT_EQ(Device().IdentifyKey(IdentityTable, kIdentityRows, name, &count), kResultSuccess);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Device().m_nDriverIndex, 3);
  EXPECT_EQ(Name(name), "KV 2 Zarno P3");
  EXPECT_EQ(ModelKind, 3);
  EXPECT_EQ(HighestIndexProbed(), 7);
  EXPECT_STREQ(Device().m_szVendor, "Varnok  ");
  EXPECT_EQ(std::string(Device().m_szRevision), "2.45");

  char vendor[8], product[16], revision[4];
  ASSERT_EQ(Device().GetInquiryStrings(vendor, product, revision), kResultSuccess);
  EXPECT_EQ(std::string(product, 16), "KV 2 Zarno P3   ");
}

TEST_F(HelperDiscoveryTest, DeviceThatFailsTheIdentityCountsWithoutAName) {
  host.AttachToHelper(2, emulated::MakeUsbStick());
  ModelKind = 4;
  char name[20] = {};
  int count = 0;
  ASSERT_EQ(Device().IdentifyKey(IdentityTable, kIdentityRows, name, &count), kResultSuccess);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Name(name), "");
  EXPECT_EQ(ModelKind, 4);
  EXPECT_EQ(HighestIndexProbed(), 25);
}

TEST_F(HelperDiscoveryTest, KeyFoundThroughTheDriverHasNoKnownDriveLetter) {
  host.AttachKey('E', Model("KV 2 Zarno P9"), 0);
  char letter = 0;
  EXPECT_EQ(GetKnownKeyDriveLetter(&letter), kResultKeyNotFound);
  EXPECT_EQ(letter, 0);
}

TEST_F(HelperDiscoveryTest, NothingAnsweringForgetsTheIndex) {
  Device().m_nDriverIndex = 5;
  int count = 0;
  EXPECT_EQ(Device().IdentifyKey(IdentityTable, kIdentityRows, nullptr, &count), kResultKeyNotFound);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(Device().m_nDriverIndex, -1);
}

class RegistryWalkTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    TransportKind = kTransportHelperDriver;
  }
  ResultCode Resolve(char* letter) { return Device().ResolveDriveLetterFromRegistry(letter); }
  static constexpr char kKeyDevice[] = "Disk&Ven_Varnok&Prod_Stelvarion_512MB&Rev_2.45";
};

TEST_F(RegistryWalkTest, KeyAttachedWithItsRecordsIsFound) {
  host.Attach('D', emulated::MakeFixedDisk());
  host.Attach('E', emulated::MakeUsbStick());
  host.AttachKey('H', emulated::KeyConfig{}, 0);
  char letter = 0;
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'H');
  EXPECT_EQ(host.registry.OpenHandles(), 0);
}

TEST_F(RegistryWalkTest, NonRemovableMatchIsPassedOver) {
  host.Attach('F', emulated::MakeFixedDisk());
  host.Attach('G', emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice(kKeyDevice, "0001&0", "7&1a2b3c&0");
  host.registry.AddMountedVolume('F', "7&1a2b3c&0");
  char letter = 0;
  EXPECT_EQ(Resolve(&letter), kResultKeyNotFound);
  host.registry.AddMountedVolume('G', "7&1a2b3c&0");
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'G');
}

TEST_F(RegistryWalkTest, OnlyTheThreeKeyNamesAndDosDevicesValuesCount) {
  host.Attach('G', emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice("Disk&Ven_Varnok&Prod_Stelvarion_2GB&Rev_2.45", "0001&0", "7&aa&0");
  host.registry.AddMountedVolume('G', "7&aa&0");
  host.registry.AddUsbStorDevice(kKeyDevice, "0002&0", "7&bb&0");
  host.registry.AddMountedDevicesValue("\\??\\Volume{1234}", "\\??\\STORAGE#RemovableMedia#7&bb&0&RM");
  char letter = 0;
  EXPECT_EQ(Resolve(&letter), kResultKeyNotFound);
  host.registry.AddMountedVolume('G', "7&bb&0");
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'G');
}

TEST_F(RegistryWalkTest, OverlongValueIsNeverCompared) {
  host.Attach('G', emulated::MakeUsbStick());
  host.Attach('H', emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice(kKeyDevice, "0001&0", "7&cc&0");
  // Its beginning matches, but it does not fit the 255-byte buffer.
  host.registry.AddMountedDevicesValue("\\DosDevices\\G:",
                                       "\\??\\STORAGE#RemovableMedia#7&cc&0&RM#" + std::string(200, 'x'));
  char letter = 0;
  EXPECT_EQ(Resolve(&letter), kResultKeyNotFound);
  host.registry.AddMountedVolume('H', "7&cc&0");
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'H');
}

TEST_F(RegistryWalkTest, OddRecordsAreSkipped) {
  host.Attach('G', emulated::MakeUsbStick());
  host.Attach('H', emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice(kKeyDevice, "0001&0", "");  // no ParentIdPrefix
  host.registry.AddUsbStorDevice(kKeyDevice, "0002&0", "7&dd&0");
  host.registry.CreateKey(std::string("SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\") + kKeyDevice + "\\0002&0")
      .refuseOpen = true;
  host.registry.AddUsbStorDevice(kKeyDevice, "0003&0", "7&ee&0");
  host.registry.AddMountedVolume('H', "7&dd&0");
  host.registry.AddMountedVolume('G', "7&ee&0");
  char letter = 0;
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'G');
}

// Windows 6.0 records the USBSTOR device path, and may keep no ParentIdPrefix at all.
TEST_F(RegistryWalkTest, UsbStorDevicePathIsMatchedWhenThePrefixFindsNothing) {
  host.Attach('F', emulated::MakeFixedDisk());
  host.Attach('G', emulated::MakeUsbStick());
  host.Attach('H', emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice(kKeyDevice, "AA0123456789&0", "");
  char letter = 0;
  // Another instance's path, and this one's on a fixed disk, are passed over.
  host.registry.AddMountedUsbStorVolume('G', kKeyDevice, "BB0123456789&0");
  host.registry.AddMountedUsbStorVolume('F', kKeyDevice, "AA0123456789&0");
  EXPECT_EQ(Resolve(&letter), kResultKeyNotFound);
  // Windows writes the path in its own case; the comparison ignores it.
  host.registry.AddMountedDevicesValue(
      "\\DosDevices\\H:", "_??_USBSTOR#DISK&VEN_VARNOK&PROD_STELVARION_512MB&REV_2.45#aa0123456789&0#"
                            "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}");
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'H');
  EXPECT_EQ(host.registry.OpenHandles(), 0);
}

// Windows 9x: the letter in the hardware key of a key that the configuration manager lists as
// present. Each record below is one the walk must pass over, until the last.
TEST_F(RegistryWalkTest, On9xTheLetterComesFromThePresentKeysHardwareKey) {
  host.windows = emulated::EmulatedWindows::kWindows98;
  char letter = 0;
  EXPECT_EQ(Resolve(&letter), kResultGeneralFailure) << "no record of either family";
  host.Attach('F', emulated::MakeFixedDisk());
  host.Attach('G', emulated::MakeUsbStick());
  host.Attach('H', emulated::MakeUsbStick());
  const std::string key = "USBSTOR\\DISK&VEN_VARNOK&PROD_STELVARION_512MB&REV_2.45\\";
  struct Record {
    std::string hardwareKey, letters;
    bool present;
  };
  const Record records[] = {
      {key + "0001", "G", false},                                           // unplugged long ago
      {"USBSTOR\\DISK&VEN_VARNOK&PROD_STELVARION_2GB&REV_2.45\\0002", "G", true},  // not a key's name
      {key + "0003", "F", true},                                            // not a removable drive
      {key + "0004", "", true},                                             // no letter recorded
      {key + "0005", "?", true},
      {"SCSI\\disk&ven_varnok&prod_stelvarion_512mb&rev_2.45\\0006", "HI", true},  // any enumerator, any case
  };
  int devnode = 0;
  for (const Record& record : records) {
    EXPECT_EQ(Resolve(&letter), kResultKeyNotFound) << "before " << record.hardwareKey;
    host.registry.Add9xDisk(record.hardwareKey, record.letters);
    if (record.present) host.registry.Add9xDevnode("C0FFEE0" + std::to_string(devnode++), record.hardwareKey);
  }
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'H');
  EXPECT_EQ(host.registry.OpenHandles(), 0);
}

TEST_F(RegistryWalkTest, UsbStorPathNeedsTheWholeDeviceAndInstance) {
  for (char letter : {'G', 'H', 'I', 'J'}) host.Attach(letter, emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice(kKeyDevice, "AA01&0", "7&ab&0");
  // A shorter instance name, a path without the disk interface, another device's path.
  host.registry.AddMountedDevicesValue("\\DosDevices\\G:", std::string("_??_USBSTOR#") + kKeyDevice + "#AA0#");
  host.registry.AddMountedDevicesValue("\\DosDevices\\H:", std::string("_??_USBSTOR#") + kKeyDevice + "#AA01&0#");
  host.registry.AddMountedUsbStorVolume('I', "Disk&Ven_Varnok&Prod_Stelvarion_2GB&Rev_2.45", "AA01&0");
  char letter = 0;
  EXPECT_EQ(Resolve(&letter), kResultKeyNotFound);
  host.registry.AddMountedUsbStorVolume('J', kKeyDevice, "AA01&0");
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'J');
}

TEST_F(RegistryWalkTest, PrefixRecordComesBeforeTheUsbStorPath) {
  host.Attach('G', emulated::MakeUsbStick());
  host.Attach('H', emulated::MakeUsbStick());
  host.registry.AddUsbStorDevice(kKeyDevice, "AA01&0", "7&ab&0");
  host.registry.AddMountedUsbStorVolume('G', kKeyDevice, "AA01&0");
  host.registry.AddMountedVolume('H', "7&ab&0");
  char letter = 0;
  ASSERT_EQ(Resolve(&letter), kResultSuccess);
  EXPECT_EQ(letter, 'H');
}

TEST_F(RegistryWalkTest, MissingUsbStorageStoreIsAGeneralFailure) {
  char letter = 0;
  EXPECT_EQ(Resolve(&letter), kResultGeneralFailure);
}
