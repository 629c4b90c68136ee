// The helper driver knows nothing of drive letters. Windows records which volume a USB storage
// device became: USBSTOR\<device>\<instance> holds ParentIdPrefix, and MountedDevices maps
// "\DosDevices\X:" to the volume's device path, which embeds that prefix. Windows 6.0 may
// keep no prefix for a key with a serial number and record the USBSTOR device path instead.
//
// Windows 98 and ME keep neither record. Their configuration manager lists the devices present
// under HKEY_DYN_DATA\Config Manager\Enum, each entry naming its hardware key below HKLM\Enum
// (HardWareKey: "ENUMERATOR\DEVICE\INSTANCE"), and a disk's hardware key holds the letters its
// volumes got (CurrentDriveLetterAssignment); the names are the SDK's REGSTR_PATH_DYNA_ENUM,
// REGSTR_VAL_HARDWARE_KEY and REGSTR_VAL_CURDRVLET (regstr.h). HKLM\Enum alone would not do: it
// keeps the hardware keys of devices unplugged long ago, with the letters they had then.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "devlib/identity.h"
#include "devlib/scsi_flash_device.h"
#include "host/host.h"

namespace {

constexpr char kUsbStorPath[] = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr char kMountedDevicesPath[] = "SYSTEM\\MountedDevices";
constexpr char kRemovableMediaPrefix[] = "\\??\\STORAGE#RemovableMedia#";
constexpr char kDosDevicesPrefix[] = "\\DosDevices\\";
constexpr char kUsbStorDevicePrefix[] = "_??_USBSTOR#";
constexpr char kDiskInterfaceSuffix[] = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr char kPresentDevicesPath[] = "Config Manager\\Enum";
constexpr char kHardwareKeyValue[] = "HardWareKey";
constexpr char kHardwareKeysPath[] = "Enum\\";
constexpr char kDriveLettersValue[] = "CurrentDriveLetterAssignment";
constexpr std::uint32_t kNameBufferSize = 255;
constexpr std::size_t kUsbStorNamesEnd = 112;

bool EnumerationContinues(std::int32_t status) {
  return status == static_cast<std::int32_t>(host::win32::ERROR_SUCCESS) ||
         status == static_cast<std::int32_t>(host::win32::ERROR_MORE_DATA);
}

bool BeginsWith(const char* text, const char* prefix, std::size_t length, bool anyCase) {
  if (!anyCase) return std::strncmp(text, prefix, length) == 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
    if (text[i] == '\0') return false;
  }
  return true;
}

bool IsKeyDeviceName(const char* name, bool anyCase = false) {
  std::size_t offset = 0;
  while (offset < kUsbStorNamesEnd) {
    const char* entry = UsbStorKeyNames + offset;
    const std::size_t n = std::strlen(entry);
    if (BeginsWith(name, entry, n, anyCase)) return true;
    offset += n + 1;
  }
  return false;
}

// A text value of a subkey, cut at its first zero; false when the key or value cannot be read
// or does not fit the buffer.
bool ReadTextValue(host::RegistryKey parent, const char* subKey, const char* valueName, std::string* text) {
  host::RegistryPort& registry = host::Registry();
  host::RegistryKey key = 0;
  if (registry.OpenKey(parent, subKey, host::kKeyRead, &key) != static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
    return false;
  }
  std::uint8_t data[kNameBufferSize + 1] = {};
  std::uint32_t size = kNameBufferSize;  // the extra byte always terminates it
  std::uint32_t type = 0;
  const bool read = registry.QueryValue(key, valueName, &type, data, &size) ==
                    static_cast<std::int32_t>(host::win32::ERROR_SUCCESS);
  registry.CloseKey(key);
  if (read) *text = reinterpret_cast<const char*>(data);
  return read;
}

// Looks through MountedDevices for a removable volume whose device path begins with target.
// The device paths of Windows 6.0 are longer than the names the XP records hold: their search
// reads the data into a larger buffer, and compares it without regard to case.
bool FindMountedLetter(const char* target, char* letterOut, bool usbStorForm = false) {
  host::RegistryPort& registry = host::Registry();
  host::RegistryKey mounted = 0;
  if (registry.OpenKey(host::kHkeyLocalMachine, kMountedDevicesPath, host::kKeyRead, &mounted) !=
      static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
    return false;
  }
  bool found = false;
  const std::size_t targetLength = std::strlen(target);
  // Room for the whole path in UTF-16LE and whatever a record appends to it.
  const std::size_t dataBufferSize = usbStorForm ? 2 * targetLength + 2 * kNameBufferSize : kNameBufferSize;
  std::vector<std::uint8_t> data(dataBufferSize);
  std::vector<char> text(data.size() / 2 + 1);
  for (std::uint32_t index = 0; !found; ++index) {
    char name[kNameBufferSize] = {};
    std::fill(data.begin(), data.end(), 0);
    std::fill(text.begin(), text.end(), 0);
    std::uint32_t nameSize = kNameBufferSize;
    std::uint32_t dataSize = static_cast<std::uint32_t>(data.size());
    std::uint32_t type = 0;
    const std::int32_t status =
        registry.EnumValue(mounted, index, name, &nameSize, &type, data.data(), &dataSize);
    if (!EnumerationContinues(status)) break;
    // A value too long for the buffer leaves its data undefined: it is never compared.
    if (status == static_cast<std::int32_t>(host::win32::ERROR_MORE_DATA)) continue;

    // The data is UTF-16LE; its low bytes give the device path as 8-bit text.
    const std::uint32_t units = (dataSize < data.size() ? dataSize : static_cast<std::uint32_t>(data.size())) / 2;
    for (std::uint32_t i = 0; i < units; ++i) text[i] = static_cast<char>(data[2 * i]);
    if (!BeginsWith(text.data(), target, targetLength, usbStorForm)) continue;

    const std::size_t prefixLength = sizeof kDosDevicesPrefix - 1;
    name[kNameBufferSize - 1] = '\0';
    if (std::strncmp(name, kDosDevicesPrefix, prefixLength) != 0) continue;
    const char root[4] = {name[prefixLength], name[prefixLength + 1], '\\', '\0'};
    if (host::Files().GetDriveType(root) == host::win32::DRIVE_REMOVABLE) {
      *letterOut = root[0];
      found = true;
    }
  }
  registry.CloseKey(mounted);
  return found;
}

// Walks the instances of one USBSTOR device key.
bool FindLetterOfDevice(host::RegistryKey device, const char* deviceName, char* letterOut) {
  host::RegistryPort& registry = host::Registry();
  for (std::uint32_t index = 0;; ++index) {
    char instanceName[kNameBufferSize] = {};
    std::uint32_t nameSize = kNameBufferSize;
    if (!EnumerationContinues(registry.EnumKey(device, index, instanceName, &nameSize))) {
      return false;
    }
    instanceName[kNameBufferSize - 1] = '\0';
    host::RegistryKey instance = 0;
    if (registry.OpenKey(device, instanceName, host::kKeyRead, &instance) !=
        static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
      continue;
    }
    std::uint8_t prefix[kNameBufferSize + 1] = {};
    std::uint32_t prefixSize = kNameBufferSize;  // the extra byte always terminates it
    std::uint32_t type = 0;
    const bool havePrefix = registry.QueryValue(instance, "ParentIdPrefix", &type, prefix,
                                                &prefixSize) ==
                            static_cast<std::int32_t>(host::win32::ERROR_SUCCESS);
    bool found = false;
    if (havePrefix) {
      char target[283] = {};
      std::strcpy(target, kRemovableMediaPrefix);
      std::strcat(target, reinterpret_cast<const char*>(prefix));
      found = FindMountedLetter(target, letterOut);
    }
    if (!found) {
      const std::string devicePath =
          std::string(kUsbStorDevicePrefix) + deviceName + "#" + instanceName + "#" + kDiskInterfaceSuffix;
      found = FindMountedLetter(devicePath.c_str(), letterOut, true);
    }
    registry.CloseKey(instance);
    if (found) return true;
  }
}

// The NT records. *recordsFound tells whether there were any.
bool FindLetterInNtRecords(char* letterOut, bool* recordsFound) {
  host::RegistryPort& registry = host::Registry();
  host::RegistryKey usbStor = 0;
  if (registry.OpenKey(host::kHkeyLocalMachine, kUsbStorPath, host::kKeyRead, &usbStor) !=
      static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
    return false;
  }
  *recordsFound = true;
  ResultCode result = kResultKeyNotFound;
  for (std::uint32_t index = 0; result != kResultSuccess; ++index) {
    char deviceName[kNameBufferSize] = {};
    std::uint32_t nameSize = kNameBufferSize;
    if (!EnumerationContinues(registry.EnumKey(usbStor, index, deviceName, &nameSize))) break;
    deviceName[kNameBufferSize - 1] = '\0';
    if (!IsKeyDeviceName(deviceName)) continue;
    host::RegistryKey device = 0;
    if (registry.OpenKey(usbStor, deviceName, host::kKeyRead, &device) !=
        static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
      continue;
    }
    if (FindLetterOfDevice(device, deviceName, letterOut)) result = kResultSuccess;
    registry.CloseKey(device);
  }
  registry.CloseKey(usbStor);
  return result == kResultSuccess;
}

// The 9x records: the first volume's letter of a key that is present.
bool FindLetterIn9xRecords(char* letterOut, bool* recordsFound) {
  host::RegistryPort& registry = host::Registry();
  host::RegistryKey present = 0;
  if (registry.OpenKey(host::kHkeyDynData, kPresentDevicesPath, host::kKeyRead, &present) !=
      static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
    return false;
  }
  *recordsFound = true;
  bool found = false;
  for (std::uint32_t index = 0; !found; ++index) {
    char devnode[kNameBufferSize] = {};
    std::uint32_t nameSize = kNameBufferSize;
    if (!EnumerationContinues(registry.EnumKey(present, index, devnode, &nameSize))) break;
    devnode[kNameBufferSize - 1] = '\0';
    std::string hardwareKey;
    if (!ReadTextValue(present, devnode, kHardwareKeyValue, &hardwareKey)) continue;
    // The device part names the model, in whatever case the enumerator wrote it.
    const std::size_t enumeratorEnd = hardwareKey.find('\\');
    if (enumeratorEnd == std::string::npos || !IsKeyDeviceName(hardwareKey.c_str() + enumeratorEnd + 1, true)) {
      continue;
    }
    std::string letters;
    const std::string path = kHardwareKeysPath + hardwareKey;
    if (!ReadTextValue(host::kHkeyLocalMachine, path.c_str(), kDriveLettersValue, &letters)) continue;
    const char letter =
        letters.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(letters[0])));
    const char root[4] = {letter, ':', '\\', '\0'};
    if (letter >= 'A' && letter <= 'Z' && host::Files().GetDriveType(root) == host::win32::DRIVE_REMOVABLE) {
      *letterOut = letter;
      found = true;
    }
  }
  registry.CloseKey(present);
  return found;
}

}  // namespace

ResultCode ScsiFlashDevice::ResolveDriveLetterFromRegistry(char* letterOut) {
  bool recordsFound = false;
  if (FindLetterInNtRecords(letterOut, &recordsFound) || FindLetterIn9xRecords(letterOut, &recordsFound)) {
    return kResultSuccess;
  }
  return recordsFound ? kResultKeyNotFound : kResultGeneralFailure;
}
