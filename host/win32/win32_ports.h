// The real Windows host: each port over the Win32 calls it stands for. Each class holds no
// state of its own (the operating system has it), so one object of each serves the process.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace win32host {

class Win32Volumes : public host::VolumePort {
 public:
  host::Handle OpenVolume(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  // The request goes out in this build's own SCSI_PASS_THROUGH_DIRECT (pass_through_layout.h).
  bool SendPassThrough(host::Handle volume, std::uint32_t ioControlCode,
                       host::PassThroughRequest& request, std::uint32_t inSize,
                       std::uint32_t outSize, std::uint32_t* bytesReturned) override;
  bool CloseVolume(host::Handle volume) override;
};

class Win32HelperDriver : public host::HelperDriverPort {
 public:
  host::Handle OpenDriver(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes,
                          std::uint32_t* lastError) override;
  bool Control(host::Handle driver, std::uint32_t ioControlCode, const void* in, std::uint32_t inSize,
               void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override;
  bool CloseDriver(host::Handle driver) override;
};

class Win32Clock : public host::ClockPort {
 public:
  void Sleep(std::uint32_t milliseconds) override;
  std::uint32_t SecondsSince1970() override;
  void LocalDateText(char text[9]) override;
};

class Win32Security : public host::SecurityPort {
 public:
  bool IsAdministrator() override;
};

class Win32Registry : public host::RegistryPort {
 public:
  std::int32_t OpenKey(host::RegistryKey parent, const char* subKey, std::uint32_t access,
                       host::RegistryKey* result) override;
  std::int32_t EnumKey(host::RegistryKey key, std::uint32_t index, char* name,
                       std::uint32_t* nameSize) override;
  std::int32_t QueryValue(host::RegistryKey key, const char* valueName, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* dataSize) override;
  std::int32_t EnumValue(host::RegistryKey key, std::uint32_t index, char* name,
                         std::uint32_t* nameSize, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* dataSize) override;
  std::int32_t CloseKey(host::RegistryKey key) override;
};

class Win32FileSystem : public host::FileSystemPort {
 public:
  std::uint32_t GetDriveType(const char* rootPath) override;
  bool GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller,
                          std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) override;
  bool GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster,
                        std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                        std::uint32_t* totalClusters) override;
  std::uint32_t GetCurrentDirectory(std::uint32_t size, char* buffer) override;
  bool FindFirstFile(const char* path) override;
  bool SetFileAttributes(const char* path, std::uint32_t attributes) override;
  host::Handle CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  bool WriteFile(host::Handle file, const void* data, std::uint32_t size,
                 std::uint32_t* written) override;
  bool CloseFile(host::Handle file) override;
  bool SetVolumeLabel(const char* rootPath, const char* label) override;
};

class Win32Shell : public host::ShellPort {
 public:
  host::WindowHandle FindWindowByTitle(const char* title) override;
  bool PostMessage(host::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  void ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1,
                    const void* item2) override;
  int MessageBox(host::WindowHandle owner, const char* text, const char* caption,
                 std::uint32_t type) override;
};

class Win32Resources : public host::ResourcePort {
 public:
  bool LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) override;
  std::string ApplicationName() override;
};

// The executable's base name without its extension, from its full path.
std::string ModuleBaseName(const std::string& path);

}  // namespace win32host
