// The file-system port over FatVolume, as both the emulated and the Linux host serve it: each
// call mounts the volume its path names afresh (an open file keeps its mount until it is
// closed), answers as the Win32 call does and takes the null pointers Windows documents as
// allowed:
//
//   GetDriveTypeA, GetDiskFreeSpaceExA, GetDiskFreeSpaceA, SetVolumeLabelA   a null root path
//       names the root of the current directory
//   GetDiskFreeSpaceExA   any of the three outputs may be null
//   SetVolumeLabelA       a null label removes the label
//
// Where Windows documents no null, what the hosts did stays: GetDiskFreeSpaceA's four outputs
// (the Linux host took nulls, and the shared code keeps that rather than dereference them),
// WriteFile's count of bytes written (both took a null), GetCurrentDirectoryA's buffer (only
// read when it is large enough), and a null file name, which names no volume and fails.
//
// What differs between the hosts comes through FatVolumeSource: which volume a path names and
// with which clock and injected faults, the drive types, the current directory and the
// numbering of handles. The emulated host's trace of these calls stays in the emulated host.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fat/fat_volume.h"
#include "fat/sector_device.h"
#include "host/file_system_port.h"

namespace emulated {

// A FAT volume and the sectors it reads, for one call or for the life of an open file.
struct MountedFat {
  std::unique_ptr<SectorDevice> sectors;
  std::unique_ptr<FatVolume> volume;
};

class FatVolumeSource {
 public:
  virtual ~FatVolumeSource() = default;

  // GetDriveTypeA's answer for a root path ("E:\"), never null.
  virtual std::uint32_t DriveTypeOf(const char* rootPath) = 0;
  // The volume a path ("E:\", "E:\NAME.EXT") names, mounted now, its clock and faults set; no
  // volume when there is none there. The path may be null (it names nothing).
  virtual MountedFat MountVolume(const char* path) = 0;
  // The process's current directory; false when it cannot be had.
  virtual bool CurrentDirectoryPath(std::string* path) = 0;
  // A handle for a file just opened, in the host's own numbering of handles.
  virtual host::Handle NewHandle() = 0;
};

class FatFileSystem final : public host::FileSystemPort {
 public:
  explicit FatFileSystem(FatVolumeSource& source) : m_source(source) {}

  // Closes every open file without stamping it, releasing its sectors now (a host whose sectors
  // lean on a descriptor calls this before it closes the descriptor).
  void DropOpenFiles() { m_files.clear(); }

  std::uint32_t GetDriveType(const char* rootPath) override;
  bool GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller, std::uint64_t* totalBytes,
                          std::uint64_t* totalFreeBytes) override;
  bool GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster, std::uint32_t* bytesPerSector,
                        std::uint32_t* freeClusters, std::uint32_t* totalClusters) override;
  std::uint32_t GetCurrentDirectory(std::uint32_t size, char* buffer) override;
  bool FindFirstFile(const char* path) override;
  bool SetFileAttributes(const char* path, std::uint32_t attributes) override;
  host::Handle CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  bool WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override;
  bool CloseFile(host::Handle file) override;
  bool SetVolumeLabel(const char* rootPath, const char* label) override;

 private:
  struct OpenFile {
    MountedFat mounted;
    FatFileHandle file = kInvalidFatFileHandle;
  };
  // The root path itself, or for a null one the root of the current directory ("C:\" of
  // "C:\Program Files"; empty, naming no volume, when the directory has no drive letter).
  std::string RootOrCurrent(const char* rootPath);

  FatVolumeSource& m_source;
  std::map<host::Handle, OpenFile> m_files;
};

}  // namespace emulated
