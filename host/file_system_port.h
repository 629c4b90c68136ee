// Files and volumes as the Windows API presents them to the program.
#pragma once

#include <cstdint>

#include "host/handle.h"

namespace host {

namespace win32 {
inline constexpr std::uint32_t CREATE_ALWAYS = 2;
inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr std::uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr std::uint32_t MAX_PATH = 260;
}  // namespace win32

class FileSystemPort {
 public:
  virtual ~FileSystemPort() = default;

  // GetDriveTypeA(rootPath), rootPath like "E:\": one of the DRIVE_* values.
  virtual std::uint32_t GetDriveType(const char* rootPath) = 0;

  // GetDiskFreeSpaceExA(rootPath, freeToCaller, total, totalFree).
  virtual bool GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller,
                                  std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) = 0;

  // GetDiskFreeSpaceA(rootPath, sectorsPerCluster, bytesPerSector, freeClusters, clusters).
  virtual bool GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster,
                                std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                                std::uint32_t* totalClusters) = 0;

  // GetCurrentDirectoryA(size, buffer): the length of the path, 0 on failure.
  virtual std::uint32_t GetCurrentDirectory(std::uint32_t size, char* buffer) = 0;

  // FindFirstFileA(path) and FindClose: whether a file or directory matches the path.
  virtual bool FindFirstFile(const char* path) = 0;

  // SetFileAttributesA(path, attributes).
  virtual bool SetFileAttributes(const char* path, std::uint32_t attributes) = 0;

  // CreateFileA(path, access, share, NULL, disposition, flagsAndAttributes, NULL).
  virtual Handle CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                            std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) = 0;

  // WriteFile(file, data, size, written, NULL).
  virtual bool WriteFile(Handle file, const void* data, std::uint32_t size, std::uint32_t* written) = 0;

  // CloseHandle(file).
  virtual bool CloseFile(Handle file) = 0;

  // SetVolumeLabelA(rootPath, label).
  virtual bool SetVolumeLabel(const char* rootPath, const char* label) = 0;
};

}  // namespace host
