#include "host/emulated/registry_tree.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "host/handle.h"

namespace emulated {
namespace {

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kFileNotFound = 2;
constexpr std::int32_t kInvalidHandle = 6;
constexpr std::int32_t kMoreData = 234;
constexpr std::int32_t kNoMoreItems = 259;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::vector<std::uint8_t> Utf16LeOf(const std::string& text) {
  std::vector<std::uint8_t> data;
  for (char c : text) {
    data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(0);
  }
  return data;
}

RegistryTree::RegistryTree() {
  m_root.name = "HKEY_LOCAL_MACHINE";
  m_dynData.name = "HKEY_DYN_DATA";
}

RegistryTree::Key* RegistryTree::Root(host::RegistryKey root) {
  return root == host::kHkeyDynData ? &m_dynData : &m_root;
}

RegistryTree::Key* RegistryTree::Walk(Key* from, const std::string& path, bool create) {
  Key* key = from;
  std::size_t start = 0;
  while (key != nullptr && start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    auto it = std::find_if(key->subkeys.begin(), key->subkeys.end(),
                           [&](const std::unique_ptr<Key>& k) { return SameName(k->name, part); });
    if (it != key->subkeys.end()) {
      key = it->get();
    } else if (create) {
      key->subkeys.push_back(std::make_unique<Key>());
      key->subkeys.back()->name = part;
      key = key->subkeys.back().get();
    } else {
      key = nullptr;
    }
  }
  return key;
}

RegistryTree::Key& RegistryTree::CreateKey(const std::string& path, host::RegistryKey root) {
  return *Walk(Root(root), path, true);
}
RegistryTree::Key* RegistryTree::FindKey(const std::string& path, host::RegistryKey root) {
  return Walk(Root(root), path, false);
}

void RegistryTree::RemoveKey(const std::string& path, host::RegistryKey root) {
  const std::size_t last = path.rfind('\\');
  Key* parent = last == std::string::npos ? Root(root) : FindKey(path.substr(0, last), root);
  if (parent == nullptr) return;
  const std::string name = last == std::string::npos ? path : path.substr(last + 1);
  // A handle still open on the key or below it reads as a deleted key's: invalid.
  const std::function<void(const Key&)> forget = [&](const Key& gone) {
    std::erase_if(m_open, [&](const auto& open) { return open.second == &gone; });
    for (const auto& sub : gone.subkeys) forget(*sub);
  };
  std::erase_if(parent->subkeys, [&](const std::unique_ptr<Key>& k) {
    if (!SameName(k->name, name)) return false;
    forget(*k);
    return true;
  });
}

void RegistryTree::SetValue(const std::string& keyPath, const std::string& name, std::uint32_t type,
                            std::vector<std::uint8_t> data, host::RegistryKey root) {
  Key& key = CreateKey(keyPath, root);
  for (Value& v : key.values) {
    if (SameName(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  key.values.push_back(Value{name, type, std::move(data)});
}

void RegistryTree::SetString(const std::string& keyPath, const std::string& name, const std::string& text,
                             host::RegistryKey root) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(keyPath, name, host::kRegSz, std::move(data), root);
}

void RegistryTree::AddUsbStorDevice(const std::string& deviceKeyName, const std::string& instanceName,
                                    const std::string& parentIdPrefix) {
  const std::string path =
      "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\" + deviceKeyName + "\\" + instanceName;
  CreateKey(path);
  if (!parentIdPrefix.empty()) SetString(path, "ParentIdPrefix", parentIdPrefix);
}

void RegistryTree::AddMountedVolume(char letter, const std::string& parentIdPrefix) {
  std::string name = "\\DosDevices\\";
  name += letter;
  name += ':';
  AddMountedDevicesValue(name, "\\??\\STORAGE#RemovableMedia#" + parentIdPrefix +
                                   "&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
}

void RegistryTree::AddMountedUsbStorVolume(char letter, const std::string& deviceKeyName,
                                           const std::string& instanceName) {
  std::string name = "\\DosDevices\\";
  name += letter;
  name += ':';
  AddMountedDevicesValue(name, "_??_USBSTOR#" + deviceKeyName + "#" + instanceName +
                                   "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
}

void RegistryTree::AddMountedDevicesValue(const std::string& name, const std::string& text) {
  SetValue("SYSTEM\\MountedDevices", name, host::kRegBinary, Utf16LeOf(text));
}

void RegistryTree::Add9xDisk(const std::string& hardwareKey, const std::string& letters) {
  const std::string path = "Enum\\" + hardwareKey;
  SetString(path, "Class", "DiskDrive");
  SetValue(path, "Removable", host::kRegBinary, {1});
  if (!letters.empty()) SetString(path, "CurrentDriveLetterAssignment", letters);
}

void RegistryTree::Add9xDevnode(const std::string& devnode, const std::string& hardwareKey) {
  SetString("Config Manager\\Enum\\" + devnode, "HardWareKey", hardwareKey, host::kHkeyDynData);
}

void RegistryTree::Remove9xDevnode(const std::string& devnode) {
  RemoveKey("Config Manager\\Enum\\" + devnode, host::kHkeyDynData);
}

RegistryTree::Key* RegistryTree::Resolve(host::RegistryKey key) const {
  if (key == host::kHkeyLocalMachine) return const_cast<Key*>(&m_root);
  if (key == host::kHkeyDynData) return const_cast<Key*>(&m_dynData);
  auto it = m_open.find(key);
  return it == m_open.end() ? nullptr : it->second;
}

std::int32_t RegistryTree::OpenKey(host::RegistryKey parent, const char* subKey, std::uint32_t,
                                   host::RegistryKey* result) {
  Key* from = Resolve(parent);
  if (from == nullptr) return kInvalidHandle;
  Key* key = Walk(from, subKey != nullptr ? subKey : "", false);
  if (key == nullptr) return kFileNotFound;
  if (key->refuseOpen) return static_cast<std::int32_t>(host::win32::ERROR_ACCESS_DENIED);
  *result = m_nextHandle++;
  m_open[*result] = key;
  return kSuccess;
}

std::int32_t RegistryTree::EnumKey(host::RegistryKey handle, std::uint32_t index, char* name,
                                   std::uint32_t* nameSize) {
  Key* key = Resolve(handle);
  if (key == nullptr) return kInvalidHandle;
  if (index >= key->subkeys.size()) return kNoMoreItems;
  const std::string& n = key->subkeys[index]->name;
  if (n.size() + 1 > *nameSize) return kMoreData;
  std::memcpy(name, n.c_str(), n.size() + 1);
  *nameSize = static_cast<std::uint32_t>(n.size());
  return kSuccess;
}

std::int32_t RegistryTree::QueryValue(host::RegistryKey handle, const char* valueName,
                                      std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) {
  Key* key = Resolve(handle);
  if (key == nullptr) return kInvalidHandle;
  for (const Value& v : key->values) {
    if (!SameName(v.name, valueName)) continue;
    if (type != nullptr) *type = v.type;
    const std::uint32_t size = static_cast<std::uint32_t>(v.data.size());
    if (data != nullptr && size > *dataSize) {
      *dataSize = size;
      return kMoreData;
    }
    if (data != nullptr) std::copy_n(v.data.data(), size, data);  // an empty value has no data pointer
    *dataSize = size;
    return kSuccess;
  }
  return kFileNotFound;
}

std::int32_t RegistryTree::EnumValue(host::RegistryKey handle, std::uint32_t index, char* name,
                                     std::uint32_t* nameSize, std::uint32_t* type, std::uint8_t* data,
                                     std::uint32_t* dataSize) {
  Key* key = Resolve(handle);
  if (key == nullptr) return kInvalidHandle;
  if (index >= key->values.size()) return kNoMoreItems;
  const Value& v = key->values[index];
  if (v.name.size() + 1 > *nameSize) return kMoreData;
  std::memcpy(name, v.name.c_str(), v.name.size() + 1);
  *nameSize = static_cast<std::uint32_t>(v.name.size());
  if (type != nullptr) *type = v.type;
  const std::uint32_t size = static_cast<std::uint32_t>(v.data.size());
  if (size > *dataSize) {
    // Windows leaves the buffer's content undefined here. The emulation leaves the value's
    // beginning in it, which a caller that wrongly trusts it would take for a match.
    if (data != nullptr) std::memcpy(data, v.data.data(), *dataSize);
    *dataSize = size;
    return kMoreData;
  }
  if (data != nullptr) std::copy_n(v.data.data(), size, data);  // an empty value has no data pointer
  *dataSize = size;
  return kSuccess;
}

std::int32_t RegistryTree::CloseKey(host::RegistryKey handle) {
  return m_open.erase(handle) == 1 ? kSuccess : kInvalidHandle;
}

}  // namespace emulated
