// An emulated Windows environment: drive letters D to Z with attached devices, the helper
// driver, the registry's USB storage records, a clock, the administrator answer, and a trace of
// everything that crosses a port. Faults can be injected at any command.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "key/emulated_device.h"
#include "key/emulated_key.h"
#include "fat/fat_file_system.h"
#include "host/emulated/registry_tree.h"
#include "host/administrator_test.h"
#include "host/host.h"
#include "host/trace.h"

namespace emulated {

// The trace's vocabulary is the ports' (host/trace.h), shared with the Linux host; the readers of
// the emulated host's trace keep these names.
using host::Trace;
using host::TraceEvent;
using host::TraceKind;

struct FaultPlan {
  std::set<char> volumesThatDoNotOpen;          // CreateFileA on \\.\X: fails for these letters
  std::optional<std::uint64_t> keyRemovedFrom;  // every key command from this index on fails
  std::set<std::uint64_t> failingIoctls;        // DeviceIoControl fails at these command indexes
  std::map<std::uint64_t, std::uint8_t> forcedStatus;  // the device answers this status instead
  bool helperDriverInstalled = true;
  std::uint32_t helperOpenError = 0;  // nonzero: opening the driver fails with this error
  bool fileSystemFull = false;        // the key's volume has no free cluster
  bool fileSystemReadOnly = false;    // the key's volume refuses every change
  bool labelRefused = false;          // SetVolumeLabelA answers access denied (an ordinary user)
  // Data in: the device answers no more than this many bytes (a short transfer), so whatever
  // the caller's buffer held beyond them stays as it was.
  std::optional<std::uint32_t> dataInAnswered;
  // The registry records no drive letter for a key (on 9x, a storage driver that leaves the disk's
  // CurrentDriveLetterAssignment out; on NT, no MountedDevices value): set before attaching.
  bool keyLetterUnrecorded = false;
  // The process kills itself (SIGKILL where there is one) on entering this pause, counted from
  // 1: a run cut off at that point, as by a pulled plug or a killed program.
  std::optional<std::uint64_t> killAtPause;
};

// The Windows the host emulates. The default is the NT family as the program's newest supported
// Windows (6.0) keeps it. Windows 98 SE differs where the program looks: its security API is a
// set of stubs failing with ERROR_CALL_NOT_IMPLEMENTED, and its registry holds neither
// SYSTEM\CurrentControlSet\Enum nor SYSTEM\MountedDevices (the NT mount manager's database, from
// Windows 2000 on). It keeps each device's hardware key under HKLM\Enum, a disk's with the
// letters of its volumes (CurrentDriveLetterAssignment), and lists the devices present under
// HKEY_DYN_DATA\Config Manager\Enum; a device's hardware key stays when it is unplugged.
enum class EmulatedWindows { kNt, kWindows98 };

using host::MessageBoxRecord;

struct PostedMessage {
  host::WindowHandle window = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

using host::ChangeNotification;

class EmulatedHost : public host::VolumePort,
                     public host::HelperDriverPort,
                     public host::ClockPort,
                     public host::SecurityPort,
                     public host::FileSystemPort,
                     public host::ShellPort,
                     public host::ResourcePort,
                     private FatVolumeSource {
 public:
  EmulatedHost();
  ~EmulatedHost() override;

  // Makes this host the process's host.
  void Install();
  // Its ports, for a process that mixes them with another host's.
  host::Ports PortsForInstall();

  // Attaches a device at a drive letter (D to Z) and, when helperIndex is 0 to 25, at that index
  // of the helper driver, and writes the registry records Windows keeps for it (a USBSTOR device
  // and instance key with its ParentIdPrefix, and the MountedDevices value of its letter).
  EmulatedDevice& Attach(char letter, std::unique_ptr<EmulatedDevice> device, int helperIndex = -1);
  EmulatedKey& AttachKey(char letter, const KeyConfig& config, int helperIndex = -1);
  // Attaches a device to the helper driver only (no drive letter).
  EmulatedDevice& AttachToHelper(int helperIndex, std::unique_ptr<EmulatedDevice> device);
  void Detach(char letter);
  EmulatedDevice* DeviceAt(char letter);
  EmulatedKey* KeyAt(char letter);

  bool administrator = true;
  // Before devices are attached: their registry records follow the Windows emulated.
  EmulatedWindows windows = EmulatedWindows::kNt;
  // As GetVersion answers there: 6.0 build 6000, or 4.10 with the top bit that marks the 9x
  // platform (the rest of the high word is reserved there and left 0).
  std::uint32_t GetVersion() const { return windows == EmulatedWindows::kNt ? 0x17700006u : 0x80000A04u; }
  bool IsNtPlatform() const { return (GetVersion() & 0x80000000u) == 0; }
  // The security calls of each administrator test, in order, with their outcome ("OpenThreadToken
  // failed 120").
  std::vector<std::string> securityCalls;

  // Top-level windows of other programs, by title; returns the window's handle.
  host::WindowHandle AddWindow(const std::string& title);
  void RemoveWindow(host::WindowHandle window);
  std::vector<PostedMessage> postedMessages;
  std::vector<ChangeNotification> changeNotifications;
  // Message boxes shown, with the answer each got. Answers come from the handler when set,
  // else from the queue, else IDOK.
  std::vector<MessageBoxRecord> messageBoxes;
  std::deque<int> messageBoxAnswers;
  std::function<int(const MessageBoxRecord&)> messageBoxHandler;

  // The program's RCDATA resources and its executable's base name. A resource held elsewhere (a
  // file's mapping, which must outlive the host) is served from resourceViews before these.
  std::map<int, std::vector<std::uint8_t>> resources;
  std::map<int, std::span<const std::uint8_t>> resourceViews;
  std::string applicationName = "StelvarionBootUtility";
  std::string currentDirectory = "C:\\Program Files\\Stelvarion";
  FaultPlan faults;
  RegistryTree registry;
  Trace trace;

  // Clock. The virtual clock records pauses without waiting; real time waits.
  void SetRealTime(bool on) { m_realTime = on; }
  void SetTime(std::uint32_t secondsSince1970) { m_startSeconds = secondsSince1970; m_elapsedMs = 0; }
  // Fixes the date text (MM/DD/YY); otherwise it follows the clock (UTC).
  void SetDateText(const std::string& mmddyy) { m_dateText = mmddyy; }
  std::uint64_t ElapsedMs() const { return m_elapsedMs; }
  std::uint64_t PauseCount() const { return m_pauses; }

  // Commands delivered (or attempted) so far; fault indexes count in this numbering.
  std::uint64_t CommandCount() const { return m_commandIndex; }
  int OpenHandleCount() const { return static_cast<int>(m_handles.size()); }

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

  // ShellPort.
  host::WindowHandle FindWindowByTitle(const char* title) override;
  bool PostMessage(host::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  void ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1, const void* item2) override;
  int MessageBox(host::WindowHandle owner, const char* text, const char* caption, std::uint32_t type) override;

  // ResourcePort.
  bool LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) override;
  std::string ApplicationName() override { return applicationName; }

  // SecurityPort.
  bool IsAdministrator() override;

  // FileSystemPort: the FAT adapter's calls, traced.
  std::uint32_t GetDriveType(const char* rootPath) override;
  std::uint32_t GetCurrentDirectory(std::uint32_t size, char* buffer) override;
  bool FindFirstFile(const char* path) override;
  bool SetFileAttributes(const char* path, std::uint32_t attributes) override;
  host::Handle CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  bool WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override;
  bool CloseFile(host::Handle file) override;
  bool SetVolumeLabel(const char* rootPath, const char* label) override;
  bool GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller,
                          std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) override;
  bool GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster,
                        std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                        std::uint32_t* totalClusters) override;

 private:
  struct OpenHandle {
    enum class What { kVolume, kHelperDriver } what;
    char letter = 0;
    std::uint32_t access = 0;
  };
  // FatVolumeSource: the drive types and volumes of the attached devices.
  std::uint32_t DriveTypeOf(const char* rootPath) override;
  // The FAT volume Windows would present at the path's drive letter; empty when there is none.
  MountedFat MountVolume(const char* path) override;
  bool CurrentDirectoryPath(std::string* path) override;
  host::Handle NewHandle() override { return m_nextHandle++; }
  void TraceFile(const std::string& what, bool ok);
  struct Outcome {
    bool ioctlOk = true;
    bool delivered = false;
    std::uint8_t status = kStatusGood;
  };

  // Runs one command on a device, applying the fault plan; the index advances.
  Outcome RunCommand(EmulatedDevice* device, const ScsiCommand& command);
  EmulatedDevice* HelperDevice(int index);
  static int LetterIndex(char letter);
  void RecordInRegistry(char letter, const EmulatedDevice& device);
  void Record9xDevice(char letter, const EmulatedDevice& device);

  std::array<std::unique_ptr<EmulatedDevice>, 26> m_drives;  // by letter A to Z
  std::array<EmulatedDevice*, 26> m_helperDevices{};          // by helper index
  std::array<std::unique_ptr<EmulatedDevice>, 26> m_helperOnly;
  std::map<host::Handle, OpenHandle> m_handles;
  host::Handle m_nextHandle = 0x100;
  std::uint64_t m_commandIndex = 0;
  int m_devicesRecorded = 0;
  std::array<std::string, 26> m_devnodes;  // by letter: the 9x configuration manager's entry
  bool m_realTime = false;
  std::uint32_t m_startSeconds = 1000000000;
  std::uint64_t m_elapsedMs = 0;
  std::uint64_t m_pauses = 0;
  std::string m_dateText;
  std::vector<std::pair<host::WindowHandle, std::string>> m_windows;
  host::WindowHandle m_nextWindow = 0x10010;
  // Last, so that open files go before the devices their sectors read.
  FatFileSystem m_fileSystem{*this};
};

}  // namespace emulated
