// The helper driver knows nothing of drive letters. Windows records which volume a USB storage
// device became: USBSTOR\<device>\<instance> holds ParentIdPrefix, and MountedDevices maps
// "\DosDevices\X:" to the volume's device path, which embeds that prefix.
#include <cstring>

#include "devlib/identity.h"
#include "devlib/scsi_flash_device.h"
#include "host/host.h"

namespace {

constexpr char kUsbStorPath[] = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr char kMountedDevicesPath[] = "SYSTEM\\MountedDevices";
constexpr char kRemovableMediaPrefix[] = "\\??\\STORAGE#RemovableMedia#";
constexpr char kDosDevicesPrefix[] = "\\DosDevices\\";
constexpr std::uint32_t kNameBufferSize = 255;
constexpr std::size_t kUsbStorNamesEnd = 112;

bool EnumerationContinues(std::int32_t status) {
  return status == static_cast<std::int32_t>(host::win32::ERROR_SUCCESS) ||
         status == static_cast<std::int32_t>(host::win32::ERROR_MORE_DATA);
}

bool IsKeyDeviceName(const char* name) {
  std::size_t offset = 0;
  while (offset < kUsbStorNamesEnd) {
    const char* entry = UsbStorKeyNames + offset;
    const std::size_t n = std::strlen(entry);
    if (std::strncmp(name, entry, n) == 0) return true;
    offset += n + 1;
  }
  return false;
}

// Looks through MountedDevices for a removable volume whose device path begins with target.
bool FindMountedLetter(const char* target, char* letterOut) {
  host::RegistryPort& registry = host::Registry();
  host::RegistryKey mounted = 0;
  if (registry.OpenKey(host::kHkeyLocalMachine, kMountedDevicesPath, host::kKeyRead, &mounted) !=
      static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
    return false;
  }
  bool found = false;
  const std::size_t targetLength = std::strlen(target);
  for (std::uint32_t index = 0; !found; ++index) {
    char name[kNameBufferSize] = {};
    std::uint8_t data[kNameBufferSize] = {};
    std::uint32_t nameSize = kNameBufferSize;
    std::uint32_t dataSize = kNameBufferSize;
    std::uint32_t type = 0;
    const std::int32_t status =
        registry.EnumValue(mounted, index, name, &nameSize, &type, data, &dataSize);
    if (!EnumerationContinues(status)) break;
    // A value too long for the buffer leaves its data undefined: it is never compared.
    if (status == static_cast<std::int32_t>(host::win32::ERROR_MORE_DATA)) continue;

    // The data is UTF-16LE; its low bytes give the device path as 8-bit text.
    char text[kNameBufferSize / 2 + 1] = {};
    const std::uint32_t units = (dataSize < kNameBufferSize ? dataSize : kNameBufferSize) / 2;
    for (std::uint32_t i = 0; i < units; ++i) text[i] = static_cast<char>(data[2 * i]);
    if (std::strncmp(text, target, targetLength) != 0) continue;

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
bool FindLetterOfDevice(host::RegistryKey device, char* letterOut) {
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
    std::uint8_t prefix[kNameBufferSize] = {};
    std::uint32_t prefixSize = kNameBufferSize - 1;  // always leaves a terminating zero
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
    registry.CloseKey(instance);
    if (found) return true;
  }
}

}  // namespace

ResultCode ScsiFlashDevice::ResolveDriveLetterFromRegistry(char* letterOut) {
  host::RegistryPort& registry = host::Registry();
  host::RegistryKey usbStor = 0;
  if (registry.OpenKey(host::kHkeyLocalMachine, kUsbStorPath, host::kKeyRead, &usbStor) !=
      static_cast<std::int32_t>(host::win32::ERROR_SUCCESS)) {
    return kResultGeneralFailure;
  }
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
    if (FindLetterOfDevice(device, letterOut)) result = kResultSuccess;
    registry.CloseKey(device);
  }
  registry.CloseKey(usbStor);
  return result;
}
