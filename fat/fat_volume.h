// The key's FAT12/16 volume as Windows presents it to the program: files in the root
// directory, their attributes, the volume label and the free space.
//
// Each operation stands for one Win32 call and answers with its Win32 error code
// (fat_errors.h). Only the geometry is kept from the mount: the FAT and the root directory are
// read afresh by every operation, so sector writes that bypass the file system (the program
// writes the label entry by sector) are seen at once. Every structure read from the medium is
// checked before use; a hostile image gives an error, never an access outside the device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fat/fat_errors.h"
#include "fat/fat_names.h"
#include "fat/fat_time.h"
#include "fat/sector_device.h"

namespace emulated {

// Attribute bits, under their FILE_ATTRIBUTE_* values (the directory entry's byte 11).
namespace fat_attribute {
inline constexpr std::uint32_t kReadOnly = 0x01;
inline constexpr std::uint32_t kHidden = 0x02;
inline constexpr std::uint32_t kSystem = 0x04;
inline constexpr std::uint32_t kVolumeLabel = 0x08;
inline constexpr std::uint32_t kDirectory = 0x10;
inline constexpr std::uint32_t kArchive = 0x20;
inline constexpr std::uint32_t kNormal = 0x80;    // Win32 only: "no other attribute"
inline constexpr std::uint32_t kLongName = 0x0F;  // a long-name entry, not a file
}  // namespace fat_attribute

enum class FatType { kFat12, kFat16 };

struct FatGeometry {
  std::uint64_t volumeStart = 0;  // device sector of the boot sector
  FatType type = FatType::kFat16;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t rootEntries = 0;
  std::uint32_t totalSectors = 0;
  std::uint32_t clusterCount = 0;  // data clusters 2 .. clusterCount + 1
  // Relative to volumeStart.
  std::uint32_t firstFatSector = 0;
  std::uint32_t firstRootSector = 0;
  std::uint32_t rootSectors = 0;
  std::uint32_t firstDataSector = 0;
  bool hasExtendedBootRecord = false;  // signature 0x29: serial number and label field present
  std::uint32_t volumeSerial = 0;
};

// One used root-directory slot (files, directories and the label; not long-name entries).
struct FatEntryInfo {
  std::uint32_t slot = 0;
  std::string name;  // "NAME.EXT"; the label's text for the label entry
  ShortName rawName{};
  std::uint8_t attributes = 0;
  std::uint8_t createTenths = 0;
  std::uint16_t createTime = 0;
  std::uint16_t createDate = 0;
  std::uint16_t accessDate = 0;
  std::uint16_t writeTime = 0;
  std::uint16_t writeDate = 0;
  std::uint16_t firstCluster = 0;
  std::uint32_t size = 0;
};

// Injected conditions: a write-protected (unwritable) file system, or one with no free cluster.
struct FatFaults {
  bool writeProtected = false;
  bool full = false;
};

using FatFileHandle = std::uint32_t;
inline constexpr FatFileHandle kInvalidFatFileHandle = 0;

class FatVolume {
 public:
  // The volume of partition 1 of the MBR, or of the whole device when sector 0 is itself a FAT
  // boot sector. Null with ERROR_UNRECOGNIZED_VOLUME (no FAT12/16 volume there) or
  // ERROR_READ_FAULT. The device must outlive the volume.
  static std::unique_ptr<FatVolume> Mount(SectorDevice& device, std::uint32_t* error = nullptr);

  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  const FatGeometry& Geometry() const { return m_geometry; }

  // The local time stamped on entries; 1980-01-01 00:00 until set.
  void SetClock(std::function<LocalTime()> clock) { m_clock = std::move(clock); }
  void SetFaults(const FatFaults& faults) { m_faults = faults; }

  // FindFirstFileA(path) finding a file or directory.
  bool FileExists(const char* path);

  // GetFileAttributesA: FILE_ATTRIBUTE_NORMAL when no bit is set.
  std::uint32_t GetAttributes(const char* path, std::uint32_t* attributes);

  // SetFileAttributesA: read-only, hidden, system and archive are set as given.
  std::uint32_t SetAttributes(const char* path, std::uint32_t attributes);

  // CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, attributes, NULL). An existing file
  // is emptied (success with *alreadyExisted true, ERROR_ALREADY_EXISTS in Win32 terms) unless it
  // is read-only, or hidden or system without those bits in the request: access denied.
  std::uint32_t CreateAlways(const char* path, std::uint32_t attributes, FatFileHandle* handle,
                             bool* alreadyExisted = nullptr);

  // WriteFile at the end of the file. A write that does not fit writes nothing: ERROR_DISK_FULL.
  std::uint32_t Write(FatFileHandle handle, const void* data, std::uint32_t size,
                      std::uint32_t* written);

  // CloseHandle: stamps the last-write time of a file that was written.
  std::uint32_t Close(FatFileHandle handle);

  // SetVolumeLabelA: the root-directory label entry and the boot sector's label field.
  std::uint32_t SetVolumeLabel(const char* label);

  // GetVolumeInformationA's label: the root-directory label entry, empty when there is none.
  std::uint32_t GetVolumeLabel(std::string* label);

  std::uint32_t GetDiskFreeSpace(std::uint32_t* sectorsPerCluster, std::uint32_t* bytesPerSector,
                                 std::uint32_t* freeClusters, std::uint32_t* totalClusters);
  std::uint32_t GetDiskFreeSpaceEx(std::uint64_t* freeBytesToCaller, std::uint64_t* totalBytes,
                                   std::uint64_t* totalFreeBytes);

  // Inspection: the used root-directory slots in slot order, and a file's content.
  std::uint32_t ListRoot(std::vector<FatEntryInfo>* entries);
  std::uint32_t ReadFile(const char* path, std::vector<std::uint8_t>* content);

 private:
  struct Tables;
  struct OpenFile {
    std::uint32_t slot = 0;
    ShortName name{};
    std::uint32_t size = 0;
    std::uint16_t firstCluster = 0;
    std::uint16_t lastCluster = 0;
    bool written = false;
  };

  FatVolume(SectorDevice& device, const FatGeometry& geometry);

  std::uint32_t WritableError() const;
  std::uint32_t LoadRoot(Tables& tables);
  std::uint32_t LoadFat(Tables& tables);
  std::uint32_t FlushRoot(Tables& tables);
  std::uint32_t FlushFat(Tables& tables);
  std::uint32_t FindFile(const char* path, Tables& tables, int* slot);

  std::uint32_t FatEntry(const Tables& tables, std::uint32_t cluster) const;
  void SetFatEntry(Tables& tables, std::uint32_t cluster, std::uint32_t value) const;
  std::uint32_t EndOfChain() const;
  // The chain from first: at most `limit` clusters, or to its end when limit is 0.
  std::uint32_t WalkChain(const Tables& tables, std::uint32_t first, std::uint32_t limit,
                          std::vector<std::uint16_t>* chain) const;
  std::uint32_t CountFreeClusters(const Tables& tables) const;

  std::uint32_t WriteData(const std::vector<std::uint16_t>& clusters, std::uint32_t offset,
                          const std::uint8_t* data, std::uint32_t size);
  void Stamp(std::uint8_t* entry, bool created);
  std::uint64_t ClusterSector(std::uint32_t cluster) const;

  SectorDevice* m_pDevice;
  FatGeometry m_geometry;
  FatFaults m_faults;
  std::function<LocalTime()> m_clock;
  std::map<FatFileHandle, OpenFile> m_openFiles;
  FatFileHandle m_nextHandle = 1;
};

}  // namespace emulated
