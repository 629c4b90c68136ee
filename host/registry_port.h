// The registry, read only: RegOpenKeyExA, RegEnumKeyExA, RegQueryValueExA, RegEnumValueA,
// RegCloseKey. Results are Win32 error codes (ERROR_SUCCESS, ERROR_MORE_DATA,
// ERROR_NO_MORE_ITEMS, ...).
#pragma once

#include <cstdint>

namespace host {

using RegistryKey = std::uintptr_t;
inline constexpr RegistryKey kHkeyLocalMachine = 0x80000002u;  // HKEY_LOCAL_MACHINE
inline constexpr RegistryKey kHkeyDynData = 0x80000006u;       // HKEY_DYN_DATA (Windows 9x)
inline constexpr std::uint32_t kKeyRead = 0x20019u;              // KEY_READ
inline constexpr std::uint32_t kRegSz = 1;                       // REG_SZ
inline constexpr std::uint32_t kRegBinary = 3;                   // REG_BINARY

class RegistryPort {
 public:
  virtual ~RegistryPort() = default;

  // RegOpenKeyExA(parent, subKey, 0, access, result).
  virtual std::int32_t OpenKey(RegistryKey parent, const char* subKey, std::uint32_t access,
                               RegistryKey* result) = 0;

  // RegEnumKeyExA(key, index, name, nameSize, NULL, NULL, NULL, NULL): *nameSize holds the
  // buffer size on entry and the name's length (without the zero) on success.
  virtual std::int32_t EnumKey(RegistryKey key, std::uint32_t index, char* name,
                               std::uint32_t* nameSize) = 0;

  // RegQueryValueExA(key, valueName, NULL, type, data, dataSize).
  virtual std::int32_t QueryValue(RegistryKey key, const char* valueName, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* dataSize) = 0;

  // RegEnumValueA(key, index, name, nameSize, NULL, type, data, dataSize).
  virtual std::int32_t EnumValue(RegistryKey key, std::uint32_t index, char* name,
                                 std::uint32_t* nameSize, std::uint32_t* type, std::uint8_t* data,
                                 std::uint32_t* dataSize) = 0;

  // RegCloseKey(key).
  virtual std::int32_t CloseKey(RegistryKey key) = 0;
};

}  // namespace host
