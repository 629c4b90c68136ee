// Files and volumes as the Windows API presents them: drive types and free space so far.
#pragma once

#include <cstdint>

namespace host {

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
};

}  // namespace host
