// The registry, read only. The port's sizes are 32-bit like DWORD but of another C++ type, so
// each travels through a DWORD and back.
#include "host/win32/win32_ports.h"
#include "host/win32/windows_api.h"

namespace win32host {
namespace {

// An optional in/out size: a DWORD copy, written back when the caller passed one.
class SizeArgument {
 public:
  explicit SizeArgument(std::uint32_t* size) : m_size(size), m_value(size != nullptr ? *size : 0) {}
  ~SizeArgument() {
    if (m_size != nullptr) *m_size = m_value;
  }
  SizeArgument(const SizeArgument&) = delete;
  SizeArgument& operator=(const SizeArgument&) = delete;
  DWORD* Get() { return m_size != nullptr ? &m_value : nullptr; }

 private:
  std::uint32_t* m_size;
  DWORD m_value;
};

}  // namespace

std::int32_t Win32Registry::OpenKey(host::RegistryKey parent, const char* subKey,
                                    std::uint32_t access, host::RegistryKey* result) {
  HKEY key = nullptr;
  const LONG status = ::RegOpenKeyExA(ToRegistryKey(parent), subKey, 0, access, &key);
  if (result != nullptr) *result = FromRegistryKey(key);
  return status;
}

std::int32_t Win32Registry::EnumKey(host::RegistryKey key, std::uint32_t index, char* name,
                                    std::uint32_t* nameSize) {
  SizeArgument size(nameSize);
  return ::RegEnumKeyExA(ToRegistryKey(key), index, name, size.Get(), nullptr, nullptr, nullptr,
                         nullptr);
}

std::int32_t Win32Registry::QueryValue(host::RegistryKey key, const char* valueName,
                                       std::uint32_t* type, std::uint8_t* data,
                                       std::uint32_t* dataSize) {
  SizeArgument valueType(type);
  SizeArgument size(dataSize);
  return ::RegQueryValueExA(ToRegistryKey(key), valueName, nullptr, valueType.Get(), data, size.Get());
}

std::int32_t Win32Registry::EnumValue(host::RegistryKey key, std::uint32_t index, char* name,
                                      std::uint32_t* nameSize, std::uint32_t* type,
                                      std::uint8_t* data, std::uint32_t* dataSize) {
  SizeArgument nameLength(nameSize);
  SizeArgument valueType(type);
  SizeArgument size(dataSize);
  return ::RegEnumValueA(ToRegistryKey(key), index, name, nameLength.Get(), nullptr,
                         valueType.Get(), data, size.Get());
}

std::int32_t Win32Registry::CloseKey(host::RegistryKey key) { return ::RegCloseKey(ToRegistryKey(key)); }

}  // namespace win32host
