// The registry as Windows keeps it for USB storage: keys with ordered subkeys and values.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/registry_port.h"

namespace emulated {

class RegistryTree : public host::RegistryPort {
 public:
  struct Value {
    std::string name;
    std::uint32_t type = host::kRegBinary;
    std::vector<std::uint8_t> data;
  };
  struct Key {
    std::string name;
    std::vector<std::unique_ptr<Key>> subkeys;  // in enumeration order
    std::vector<Value> values;                  // in enumeration order
    bool refuseOpen = false;                    // knob: opening this key fails
  };

  RegistryTree();

  // Creates the key path (backslash-separated, below HKEY_LOCAL_MACHINE, or below HKEY_DYN_DATA
  // where Windows 9x lists the devices present) as needed.
  Key& CreateKey(const std::string& path, host::RegistryKey root = host::kHkeyLocalMachine);
  Key* FindKey(const std::string& path, host::RegistryKey root = host::kHkeyLocalMachine);
  void RemoveKey(const std::string& path, host::RegistryKey root = host::kHkeyLocalMachine);
  void SetValue(const std::string& keyPath, const std::string& name, std::uint32_t type,
                std::vector<std::uint8_t> data, host::RegistryKey root = host::kHkeyLocalMachine);
  void SetString(const std::string& keyPath, const std::string& name, const std::string& text,
                 host::RegistryKey root = host::kHkeyLocalMachine);

  // The records Windows keeps for a USB storage device that became volume X:.
  void AddUsbStorDevice(const std::string& deviceKeyName, const std::string& instanceName,
                        const std::string& parentIdPrefix);
  void AddMountedVolume(char letter, const std::string& parentIdPrefix);
  // The MountedDevices value Windows 6.0 may keep instead: the USBSTOR device path.
  void AddMountedUsbStorVolume(char letter, const std::string& deviceKeyName, const std::string& instanceName);
  // A value under MountedDevices with arbitrary name and UTF-16LE data made from text.
  void AddMountedDevicesValue(const std::string& name, const std::string& text);

  // Windows 9x: the hardware key HKLM\Enum\<hardwareKey> ("ENUMERATOR\DEVICE\INSTANCE") of a
  // disk whose volumes got these letters (none: no CurrentDriveLetterAssignment value), and the
  // configuration manager's entry HKEY_DYN_DATA\Config Manager\Enum\<devnode> that names it while
  // the device is present.
  void Add9xDisk(const std::string& hardwareKey, const std::string& letters);
  void Add9xDevnode(const std::string& devnode, const std::string& hardwareKey);
  void Remove9xDevnode(const std::string& devnode);

  int OpenHandles() const { return static_cast<int>(m_open.size()); }

  // RegistryPort.
  std::int32_t OpenKey(host::RegistryKey parent, const char* subKey, std::uint32_t access,
                       host::RegistryKey* result) override;
  std::int32_t EnumKey(host::RegistryKey key, std::uint32_t index, char* name,
                       std::uint32_t* nameSize) override;
  std::int32_t QueryValue(host::RegistryKey key, const char* valueName, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* dataSize) override;
  std::int32_t EnumValue(host::RegistryKey key, std::uint32_t index, char* name,
                         std::uint32_t* nameSize, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* dataSize) override;
  std::int32_t CloseKey(host::RegistryKey key) override;

 private:
  Key* Resolve(host::RegistryKey key) const;
  Key* Walk(Key* from, const std::string& path, bool create);

  Key* Root(host::RegistryKey root);

  Key m_root;  // HKEY_LOCAL_MACHINE
  Key m_dynData;  // HKEY_DYN_DATA
  std::map<host::RegistryKey, Key*> m_open;
  host::RegistryKey m_nextHandle = 0x1000;
};

std::vector<std::uint8_t> Utf16LeOf(const std::string& text);

}  // namespace emulated
