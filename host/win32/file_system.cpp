// Files and volumes.
#include "host/win32/win32_ports.h"
#include "host/win32/windows_api.h"

namespace win32host {

std::uint32_t Win32FileSystem::GetDriveType(const char* rootPath) { return ::GetDriveTypeA(rootPath); }

bool Win32FileSystem::GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller,
                                         std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) {
  ULARGE_INTEGER toCaller{}, total{}, totalFree{};
  const BOOL ok = ::GetDiskFreeSpaceExA(rootPath, freeBytesToCaller != nullptr ? &toCaller : nullptr,
                                        totalBytes != nullptr ? &total : nullptr,
                                        totalFreeBytes != nullptr ? &totalFree : nullptr);
  if (!ok) return false;
  if (freeBytesToCaller != nullptr) *freeBytesToCaller = toCaller.QuadPart;
  if (totalBytes != nullptr) *totalBytes = total.QuadPart;
  if (totalFreeBytes != nullptr) *totalFreeBytes = totalFree.QuadPart;
  return true;
}

bool Win32FileSystem::GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster,
                                       std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                                       std::uint32_t* totalClusters) {
  DWORD values[4] = {};
  if (!::GetDiskFreeSpaceA(rootPath, &values[0], &values[1], &values[2], &values[3])) return false;
  std::uint32_t* outputs[4] = {sectorsPerCluster, bytesPerSector, freeClusters, totalClusters};
  for (int i = 0; i < 4; ++i) {
    if (outputs[i] != nullptr) *outputs[i] = values[i];
  }
  return true;
}

std::uint32_t Win32FileSystem::GetCurrentDirectory(std::uint32_t size, char* buffer) {
  return ::GetCurrentDirectoryA(size, buffer);
}

bool Win32FileSystem::FindFirstFile(const char* path) {
  WIN32_FIND_DATAA found;
  const FindHandle search(::FindFirstFileA(path, &found));
  return search.Valid();
}

bool Win32FileSystem::SetFileAttributes(const char* path, std::uint32_t attributes) {
  return ::SetFileAttributesA(path, attributes) != FALSE;
}

host::Handle Win32FileSystem::CreateFile(const char* path, std::uint32_t desiredAccess,
                                         std::uint32_t shareMode, std::uint32_t creationDisposition,
                                         std::uint32_t flagsAndAttributes) {
  return FromHandle(::CreateFileA(path, desiredAccess, shareMode, nullptr, creationDisposition,
                                  flagsAndAttributes, nullptr));
}

bool Win32FileSystem::WriteFile(host::Handle file, const void* data, std::uint32_t size,
                                std::uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = ::WriteFile(ToHandle(file), data, size, &count, nullptr);
  if (written != nullptr) *written = count;
  return ok != FALSE;
}

bool Win32FileSystem::CloseFile(host::Handle file) { return ::CloseHandle(ToHandle(file)) != FALSE; }

bool Win32FileSystem::SetVolumeLabel(const char* rootPath, const char* label) {
  return ::SetVolumeLabelA(rootPath, label) != FALSE;
}

}  // namespace win32host
