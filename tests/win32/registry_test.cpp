// The registry adapter against wine's registry, and the library's drive-letter resolution
// through it: the records are written with the Win32 API as Windows would keep them for a key.
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "devlib/result_code.h"
#include "devlib/scsi_flash_device.h"
#include "tests/win32/win32_fixture.h"

namespace {

constexpr char kUsbStor[] = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr char kDeviceName[] = "Disk&Ven_Varnok&Prod_Stelvarion_1GB&Rev_2.45";
constexpr char kInstanceName[] = "0123456789ABCDEF&0";
constexpr char kParentIdPrefix[] = "7&2c5e1a4f&0";
constexpr char kMountedDevices[] = "SYSTEM\\MountedDevices";

std::vector<std::uint8_t> Utf16Le(const std::string& text) {
  std::vector<std::uint8_t> data;
  for (char c : text) {
    data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(0);
  }
  return data;
}

// The device path a volume of the key's storage gets, as UTF-16LE without a terminator.
std::vector<std::uint8_t> RemovableMediaPath(const std::string& parentIdPrefix) {
  return Utf16Le("\\??\\STORAGE#RemovableMedia#" + parentIdPrefix + "&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
}

// The form Windows 6.0 may record instead: the USBSTOR device path, in its own letter case.
std::vector<std::uint8_t> UsbStorPath(const std::string& device, const std::string& instance) {
  std::string text = "_??_USBSTOR#" + device + "#" + instance + "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Utf16Le(text);
}

// USBSTOR and MountedDevices records, removed again (and the mount values wine had restored)
// when the object goes.
class KeyRecords {
 public:
  KeyRecords() {
    win32host::RegistryKeyHandle existing;
    m_createdUsbStor = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsbStor, 0, KEY_READ, existing.Receive()) !=
                       ERROR_SUCCESS;
  }
  ~KeyRecords() {
    const std::string device = std::string(kUsbStor) + "\\" + kDeviceName;
    if (m_wroteInstance) {
      ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (device + "\\" + kInstanceName).c_str());
      ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, device.c_str());
      if (m_createdUsbStor) ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUsbStor);
    }
    win32host::RegistryKeyHandle mounted;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMountedDevices, 0, KEY_SET_VALUE, mounted.Receive()) ==
        ERROR_SUCCESS) {
      // Newest first, so that a value written twice ends as wine had it.
      for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        const SavedValue& saved = *it;
        if (saved.type) {
          ::RegSetValueExA(mounted.Get(), saved.name.c_str(), 0, *saved.type, saved.data.data(),
                           static_cast<DWORD>(saved.data.size()));
        } else {
          ::RegDeleteValueA(mounted.Get(), saved.name.c_str());
        }
      }
    }
  }
  KeyRecords(const KeyRecords&) = delete;
  KeyRecords& operator=(const KeyRecords&) = delete;

  void WriteInstance(const char* parentIdPrefix) {
    const std::string path = std::string(kUsbStor) + "\\" + kDeviceName + "\\" + kInstanceName;
    win32host::RegistryKeyHandle instance;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, instance.Receive(), nullptr),
              ERROR_SUCCESS);
    m_wroteInstance = true;
    if (parentIdPrefix == nullptr) return;  // a key with a serial number on Windows 6.0
    ASSERT_EQ(::RegSetValueExA(instance.Get(), "ParentIdPrefix", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(parentIdPrefix),
                               static_cast<DWORD>(std::strlen(parentIdPrefix) + 1)),
              ERROR_SUCCESS);
  }

  // "\DosDevices\X:" for the root "X:\", pointing at the key's removable media.
  void MountAt(const std::string& root, const char* parentIdPrefix) {
    MountAt(root, RemovableMediaPath(parentIdPrefix));
  }

  void MountAt(const std::string& root, const std::vector<std::uint8_t>& data) {
    const std::string name = "\\DosDevices\\" + root.substr(0, 2);
    win32host::RegistryKeyHandle mounted;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMountedDevices, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              mounted.Receive()),
              ERROR_SUCCESS);
    SavedValue saved{name, std::nullopt, std::vector<std::uint8_t>(1024)};
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(saved.data.size());
    if (::RegQueryValueExA(mounted.Get(), name.c_str(), nullptr, &type, saved.data.data(), &size) ==
        ERROR_SUCCESS) {
      saved.type = type;
    }
    saved.data.resize(saved.type ? size : 0);
    m_saved.push_back(saved);
    ASSERT_EQ(::RegSetValueExA(mounted.Get(), name.c_str(), 0, REG_BINARY, data.data(),
                               static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }

 private:
  struct SavedValue {
    std::string name;
    std::optional<DWORD> type;  // none: the value did not exist
    std::vector<std::uint8_t> data;
  };
  bool m_createdUsbStor = false;
  bool m_wroteInstance = false;
  std::vector<SavedValue> m_saved;
};

// Keys created one level at a time below a root, each removed again when the object goes if it
// was this object that made it.
class CreatedKeys {
 public:
  ~CreatedKeys() {
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) ::RegDeleteKeyA(it->first, it->second.c_str());
  }
  void SetText(HKEY root, const std::string& path, const char* name, const std::string& text) {
    std::string sofar;
    for (std::size_t start = 0; start <= path.size();) {
      std::size_t end = path.find('\\', start);
      if (end == std::string::npos) end = path.size();
      sofar += (sofar.empty() ? "" : "\\") + path.substr(start, end - start);
      start = end + 1;
      win32host::RegistryKeyHandle key;
      DWORD disposition = 0;
      ASSERT_EQ(::RegCreateKeyExA(root, sofar.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Receive(),
                                  &disposition),
                ERROR_SUCCESS)
          << sofar;
      if (disposition == REG_CREATED_NEW_KEY) m_created.emplace_back(root, sofar);
      if (end == path.size()) {
        ASSERT_EQ(::RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
      }
    }
  }

 private:
  std::vector<std::pair<HKEY, std::string>> m_created;
};

class Win32RegistryTest : public Win32HostTest {
 protected:
  void SetUp() override {
    Win32HostTest::SetUp();
    ASSERT_EQ(::GetDriveTypeA(RemovableDriveRoot().c_str()), static_cast<UINT>(DRIVE_REMOVABLE))
        << RemovableDriveRoot() << " must be a removable drive: run under tests/win32/wine-run";
  }

  KeyRecords records;
  ScsiFlashDevice device;
};

TEST_F(Win32RegistryTest, LocalMachineIsReachedUnderTheCoreSpellingOfItsKey) {
  EXPECT_EQ(win32host::ToRegistryKey(host::kHkeyLocalMachine), HKEY_LOCAL_MACHINE);

  host::RegistryKey mounted = 0;
  ASSERT_EQ(windowsHost.registry.OpenKey(host::kHkeyLocalMachine, kMountedDevices, host::kKeyRead, &mounted),
            ERROR_SUCCESS);
  char name[255] = {};
  std::uint32_t nameSize = sizeof name;
  std::uint32_t type = 0;
  std::uint8_t data[255];
  std::uint32_t dataSize = sizeof data;
  EXPECT_EQ(windowsHost.registry.EnumValue(mounted, 0, name, &nameSize, &type, data, &dataSize),
            ERROR_SUCCESS);
  EXPECT_EQ(nameSize, std::strlen(name));
  EXPECT_EQ(windowsHost.registry.CloseKey(mounted), ERROR_SUCCESS);
}

TEST_F(Win32RegistryTest, NamesTypesAndSizesComeBackAsTheApiReportsThem) {
  records.WriteInstance(kParentIdPrefix);
  host::RegistryPort& registry = windowsHost.registry;
  host::RegistryKey device = 0;
  ASSERT_EQ(registry.OpenKey(host::kHkeyLocalMachine,
                             (std::string(kUsbStor) + "\\" + kDeviceName).c_str(), host::kKeyRead, &device),
            ERROR_SUCCESS);

  char name[255] = {};
  std::uint32_t nameSize = sizeof name;
  ASSERT_EQ(registry.EnumKey(device, 0, name, &nameSize), ERROR_SUCCESS);
  EXPECT_STREQ(name, kInstanceName);
  EXPECT_EQ(nameSize, std::strlen(kInstanceName));
  nameSize = sizeof name;
  EXPECT_EQ(registry.EnumKey(device, 1, name, &nameSize), ERROR_NO_MORE_ITEMS);

  host::RegistryKey instance = 0;
  ASSERT_EQ(registry.OpenKey(device, kInstanceName, host::kKeyRead, &instance), ERROR_SUCCESS);
  std::uint8_t data[255] = {};
  std::uint32_t type = 0;
  std::uint32_t size = sizeof data;
  ASSERT_EQ(registry.QueryValue(instance, "ParentIdPrefix", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, host::kRegSz);
  EXPECT_EQ(size, sizeof kParentIdPrefix);
  EXPECT_STREQ(reinterpret_cast<const char*>(data), kParentIdPrefix);

  // A buffer too small: ERROR_MORE_DATA and the size needed, which the walk depends on.
  size = 4;
  EXPECT_EQ(registry.QueryValue(instance, "ParentIdPrefix", &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof kParentIdPrefix);
  EXPECT_EQ(registry.QueryValue(instance, "NoSuchValue", &type, data, &size), ERROR_FILE_NOT_FOUND);

  registry.CloseKey(instance);
  registry.CloseKey(device);
}

TEST_F(Win32RegistryTest, ResolvesTheRemovableDriveOfTheKeyFromItsRecords) {
  records.WriteInstance(kParentIdPrefix);
  records.MountAt(RemovableDriveRoot(), kParentIdPrefix);

  char letter = 0;
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultSuccess);
  EXPECT_EQ(letter, STELVARION_WINE_REMOVABLE_DRIVE);
}

TEST_F(Win32RegistryTest, PassesOverAMatchingDriveThatIsNotRemovable) {
  records.WriteInstance(kParentIdPrefix);
  records.MountAt("C:\\", kParentIdPrefix);
  ASSERT_EQ(::GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));

  char letter = 0;
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultKeyNotFound);
  EXPECT_EQ(letter, 0);

  records.MountAt(RemovableDriveRoot(), kParentIdPrefix);
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultSuccess);
  EXPECT_EQ(letter, STELVARION_WINE_REMOVABLE_DRIVE);
}

TEST_F(Win32RegistryTest, AnotherDevicesVolumeIsNotTheKeys) {
  records.WriteInstance(kParentIdPrefix);
  records.MountAt(RemovableDriveRoot(), "7&11111111&0");

  char letter = 0;
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultKeyNotFound);
}

TEST_F(Win32RegistryTest, UsbStorDevicePathGivesTheLetterOfAKeyWithoutParentIdPrefix) {
  records.WriteInstance(nullptr);
  records.MountAt("C:\\", UsbStorPath(kDeviceName, kInstanceName));
  records.MountAt(RemovableDriveRoot(), UsbStorPath(kDeviceName, "0123456789ABCDEE&0"));

  char letter = 0;
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultKeyNotFound)
      << "a fixed drive, and another instance's path, are not the key's";

  records.MountAt(RemovableDriveRoot(), UsbStorPath(kDeviceName, kInstanceName));
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultSuccess);
  EXPECT_EQ(letter, STELVARION_WINE_REMOVABLE_DRIVE);
}

TEST_F(Win32RegistryTest, UsbStorDevicePathIsTriedWhenTheParentIdPrefixMatchesNothing) {
  records.WriteInstance(kParentIdPrefix);
  records.MountAt(RemovableDriveRoot(), UsbStorPath(kDeviceName, kInstanceName));

  char letter = 0;
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultSuccess);
  EXPECT_EQ(letter, STELVARION_WINE_REMOVABLE_DRIVE);
}

// The records of Windows 9x through the same adapter: HKEY_DYN_DATA is a predefined key of its
// own, which 64-bit Windows sign-extends as it does HKEY_LOCAL_MACHINE.
TEST_F(Win32RegistryTest, Windows9xRecordsGiveTheLetterOfTheKeyWhilePresent) {
  EXPECT_EQ(win32host::ToRegistryKey(host::kHkeyDynData), HKEY_DYN_DATA);
  const std::string hardwareKey = "USBSTOR\\DISK&VEN_VARNOK&PROD_STELVARION_1GB&REV_2.45\\0123456789AB";
  CreatedKeys created;
  created.SetText(HKEY_LOCAL_MACHINE, "Enum\\" + hardwareKey, "CurrentDriveLetterAssignment",
                  std::string(1, STELVARION_WINE_REMOVABLE_DRIVE));
  char letter = 0;
  EXPECT_NE(device.ResolveDriveLetterFromRegistry(&letter), kResultSuccess)
      << "a hardware key alone is no device present";
  created.SetText(HKEY_DYN_DATA, "Config Manager\\Enum\\C0FFEE01", "HardWareKey", hardwareKey);
  EXPECT_EQ(device.ResolveDriveLetterFromRegistry(&letter), kResultSuccess);
  EXPECT_EQ(letter, STELVARION_WINE_REMOVABLE_DRIVE);
}

}  // namespace
