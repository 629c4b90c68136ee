#include "fat/fat_file_system.h"

#include <cstring>
#include <utility>

namespace emulated {
namespace {

// The attribute bits CreateFileA's flagsAndAttributes can give a new file.
constexpr std::uint32_t kCreatableAttributes =
    fat_attribute::kReadOnly | fat_attribute::kHidden | fat_attribute::kSystem | fat_attribute::kArchive;

// Copies each value to the outputs that are there.
template <typename T, std::size_t N>
void Give(const T (&values)[N], T* const (&outputs)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (outputs[i] != nullptr) *outputs[i] = values[i];
  }
}

}  // namespace

std::string FatFileSystem::RootOrCurrent(const char* rootPath) {
  if (rootPath != nullptr) return rootPath;
  std::string current;
  if (!m_source.CurrentDirectoryPath(&current) || current.size() < 3 || current[1] != ':' || current[2] != '\\') {
    return {};
  }
  return current.substr(0, 3);
}

std::uint32_t FatFileSystem::GetDriveType(const char* rootPath) {
  return m_source.DriveTypeOf(RootOrCurrent(rootPath).c_str());
}

bool FatFileSystem::GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller,
                                       std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) {
  std::uint64_t values[3] = {};
  MountedFat mounted = m_source.MountVolume(RootOrCurrent(rootPath).c_str());
  if (!mounted.volume || mounted.volume->GetDiskFreeSpaceEx(&values[0], &values[1], &values[2]) != 0) return false;
  Give(values, {freeBytesToCaller, totalBytes, totalFreeBytes});
  return true;
}

bool FatFileSystem::GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster,
                                     std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                                     std::uint32_t* totalClusters) {
  std::uint32_t values[4] = {};
  MountedFat mounted = m_source.MountVolume(RootOrCurrent(rootPath).c_str());
  if (!mounted.volume || mounted.volume->GetDiskFreeSpace(&values[0], &values[1], &values[2], &values[3]) != 0) {
    return false;
  }
  Give(values, {sectorsPerCluster, bytesPerSector, freeClusters, totalClusters});
  return true;
}

std::uint32_t FatFileSystem::GetCurrentDirectory(std::uint32_t size, char* buffer) {
  std::string current;
  if (!m_source.CurrentDirectoryPath(&current)) return 0;
  const auto length = static_cast<std::uint32_t>(current.size());
  if (length + 1 > size) return length + 1;
  std::memcpy(buffer, current.c_str(), length + 1);
  return length;
}

bool FatFileSystem::FindFirstFile(const char* path) {
  MountedFat mounted = m_source.MountVolume(path);
  return mounted.volume && mounted.volume->FileExists(path);
}

bool FatFileSystem::SetFileAttributes(const char* path, std::uint32_t attributes) {
  MountedFat mounted = m_source.MountVolume(path);
  return mounted.volume && mounted.volume->SetAttributes(path, attributes) == 0;
}

host::Handle FatFileSystem::CreateFile(const char* path, std::uint32_t, std::uint32_t,
                                       std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  OpenFile open;
  open.mounted = m_source.MountVolume(path);
  if (!open.mounted.volume || creationDisposition != host::win32::CREATE_ALWAYS ||
      open.mounted.volume->CreateAlways(path, flagsAndAttributes & kCreatableAttributes, &open.file) != 0) {
    return host::kInvalidHandle;
  }
  const host::Handle handle = m_source.NewHandle();
  m_files.emplace(handle, std::move(open));
  return handle;
}

bool FatFileSystem::WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) {
  auto it = m_files.find(file);
  std::uint32_t done = 0;
  const bool ok = it != m_files.end() && it->second.mounted.volume->Write(it->second.file, data, size, &done) == 0;
  if (written != nullptr) *written = done;
  return ok;
}

bool FatFileSystem::CloseFile(host::Handle file) {
  auto it = m_files.find(file);
  if (it == m_files.end()) return false;
  const bool ok = it->second.mounted.volume->Close(it->second.file) == 0;
  m_files.erase(it);  // the file's sectors go (and a host's flush) before the caller goes on
  return ok;
}

bool FatFileSystem::SetVolumeLabel(const char* rootPath, const char* label) {
  MountedFat mounted = m_source.MountVolume(RootOrCurrent(rootPath).c_str());
  return mounted.volume && mounted.volume->SetVolumeLabel(label) == 0;
}

}  // namespace emulated
