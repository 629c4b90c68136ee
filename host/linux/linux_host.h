// The Linux host: the ports of the Windows API over Linux, for a real key on a USB bus.
//
//   volumes        \\.\E: is the one attached disk; IOCTL_SCSI_PASS_THROUGH_DIRECT becomes SG_IO
//                  on its block device, which the host holds open exclusively (O_EXCL) for the
//                  whole run, so no automounter can mount a half-written volume
//   files, label   the project's FAT layer over the same descriptor (no mount, no vfat module);
//                  every call that wrote ends with fsync, and every call starts by dropping the
//                  kernel's cached pages, which the commands' own sector writes went past
//   clock          real pauses, time(), the local date
//   security       always "administrator": Linux decides at open() and at SG_IO instead
//   helper driver  none on Linux: opening it answers ERROR_FILE_NOT_FOUND
//   registry       none on Linux: every key is missing
// Shell, message boxes and resources are not the operating system's business here: the front
// end keeps them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fat/fat_file_system.h"
#include "host/host.h"
#include "host/trace.h"
#include "host/linux/device_calls.h"
#include "host/linux/sg_transport.h"
#include "host/linux/usb_disks.h"

namespace linuxhost {

class LinuxHost : public host::VolumePort,
                  public host::HelperDriverPort,
                  public host::ClockPort,
                  public host::SecurityPort,
                  public host::RegistryPort,
                  private emulated::FatVolumeSource {
 public:
  LinuxHost(DeviceCalls& calls, SystemPaths paths);
  ~LinuxHost() override;
  LinuxHost(const LinuxHost&) = delete;
  LinuxHost& operator=(const LinuxHost&) = delete;

  // Opens the disk's block device exclusively and shows it at the drive letter: 0, or -errno of
  // the open (-EACCES, -EBUSY, ...). A write-protected disk that refuses a writable open
  // (-EROFS) is opened for reading: the key's own answers then tell the program. Only a look
  // that writes nothing (which disk is a key) may open without claiming it.
  int Attach(char letter, const Disk& disk, bool exclusive = true);
  const Disk* Attached() const { return m_fd >= 0 ? &m_disk : nullptr; }
  char Letter() const { return m_letter; }

  // Fills in the ports this host serves (all but shell and resources).
  void FillPorts(host::Ports& ports);
  // The file-system port: the FAT adapter over the attached disk.
  host::FileSystemPort& Files() { return m_fileSystem; }

  // Counts time from this start and advances it by the pauses, as the emulated host's clock
  // does (the date follows, in UTC): two runs from the same start send the same filler bytes.
  void FollowPauseClock(std::uint32_t startSeconds) { m_clockStart = startSeconds; }

  bool realPauses = true;  // tests count the pauses instead of waiting
  // What crossed the host, in order: the command blocks (kPassThrough, ok and delivered when the
  // key answered) and the pauses.
  host::Trace trace;
  // The last command that did not reach the key, for the front end's words.
  std::optional<SgOutcome> lastFailure;

  // VolumePort.
  host::Handle OpenVolume(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  bool SendPassThrough(host::Handle volume, std::uint32_t ioControlCode, host::PassThroughRequest& request,
                       std::uint32_t inSize, std::uint32_t outSize, std::uint32_t* bytesReturned) override;
  bool CloseVolume(host::Handle volume) override;

  // HelperDriverPort.
  host::Handle OpenDriver(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                          std::uint32_t* lastError) override;
  bool Control(host::Handle driver, std::uint32_t ioControlCode, const void* in, std::uint32_t inSize,
               void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override;
  bool CloseDriver(host::Handle driver) override;

  // ClockPort.
  void Sleep(std::uint32_t milliseconds) override;
  std::uint32_t SecondsSince1970() override;
  void LocalDateText(char text[9]) override;

  // SecurityPort.
  bool IsAdministrator() override { return true; }

  // RegistryPort.
  std::int32_t OpenKey(host::RegistryKey parent, const char* subKey, std::uint32_t access,
                       host::RegistryKey* result) override;
  std::int32_t EnumKey(host::RegistryKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) override;
  std::int32_t QueryValue(host::RegistryKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                          std::uint32_t* dataSize) override;
  std::int32_t EnumValue(host::RegistryKey key, std::uint32_t index, char* name, std::uint32_t* nameSize,
                         std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataSize) override;
  std::int32_t CloseKey(host::RegistryKey key) override;

 private:
  bool IsOurs(const char* path) const;
  bool Present() const;

  // FatVolumeSource: the attached disk at its letter.
  std::uint32_t DriveTypeOf(const char* rootPath) override;
  // The key's FAT volume over the block device; its sectors flush when they go.
  emulated::MountedFat MountVolume(const char* path) override;
  bool CurrentDirectoryPath(std::string* path) override;
  host::Handle NewHandle() override { return m_nextHandle++; }

  DeviceCalls& m_calls;
  SystemPaths m_paths;
  Disk m_disk;
  int m_fd = -1;
  bool m_readOnly = false;
  char m_letter = 0;
  std::set<host::Handle> m_volumes;
  host::Handle m_nextHandle = 0x100;
  std::optional<std::uint32_t> m_clockStart;
  std::uint64_t m_pausedMs = 0;
  emulated::FatFileSystem m_fileSystem{*this};
};

}  // namespace linuxhost
