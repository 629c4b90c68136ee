#include "host/linux/linux_host.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "host/pass_through_request.h"

namespace linuxhost {
namespace {

constexpr std::size_t kSectorSize = 512;

// The letter of "\\.\E:", of "E:\" or of "E:\NAME.EXT".
char VolumeLetter(const char* path) {
  if (path == nullptr) return 0;
  if (std::strncmp(path, "\\\\.\\", 4) == 0) path += 4;
  if (path[0] == 0 || path[1] != ':') return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
}

emulated::LocalTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  emulated::LocalTime time;
  time.year = static_cast<std::uint16_t>(local.tm_year + 1900);
  time.month = static_cast<std::uint8_t>(local.tm_mon + 1);
  time.day = static_cast<std::uint8_t>(local.tm_mday);
  time.hour = static_cast<std::uint8_t>(local.tm_hour);
  time.minute = static_cast<std::uint8_t>(local.tm_min);
  time.second = static_cast<std::uint8_t>(std::min(local.tm_sec, 59));
  return time;
}

// The block device as 512-byte sectors. It starts by dropping what the kernel caches, since the
// library's WRITE(10) commands went past that cache, and flushes on its way out if it wrote.
class BlockDeviceSectors final : public emulated::SectorDevice {
 public:
  BlockDeviceSectors(DeviceCalls& calls, int fd, bool readOnly) : m_calls(calls), m_fd(fd), m_readOnly(readOnly) {
    m_calls.Flush(m_fd);
    std::uint64_t bytes = 0;
    if (m_calls.Ioctl(m_fd, BLKGETSIZE64, &bytes) == 0) m_sectors = bytes / kSectorSize;
    int ro = 0;
    if (m_calls.Ioctl(m_fd, BLKROGET, &ro) == 0 && ro != 0) m_readOnly = true;
  }
  ~BlockDeviceSectors() override {
    if (m_written) m_calls.Flush(m_fd);
  }

  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override {
    const std::size_t size = std::size_t{count} * kSectorSize;
    return InRange(lba, count) && m_calls.ReadAt(m_fd, out, size, lba * kSectorSize) == static_cast<long>(size);
  }
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override {
    if (m_readOnly || !InRange(lba, count)) return false;
    m_written = true;
    const std::size_t size = std::size_t{count} * kSectorSize;
    return m_calls.WriteAt(m_fd, in, size, lba * kSectorSize) == static_cast<long>(size);
  }
  std::uint64_t SectorCount() const override { return m_sectors; }
  bool IsWriteProtected() const override { return m_readOnly; }

 private:
  bool InRange(std::uint64_t lba, std::uint32_t count) const { return lba <= m_sectors && count <= m_sectors - lba; }

  DeviceCalls& m_calls;
  int m_fd;
  bool m_readOnly;
  bool m_written = false;
  std::uint64_t m_sectors = 0;
};

}  // namespace

LinuxHost::LinuxHost(DeviceCalls& calls, SystemPaths paths) : m_calls(calls), m_paths(std::move(paths)) {}

LinuxHost::~LinuxHost() {
  m_fileSystem.DropOpenFiles();  // their sectors flush through the descriptor
  if (m_fd >= 0) {
    // The kernel still holds the partition table it read at attach; have it read the new one,
    // so the system sees the volume the program wrote. Refused while a partition is open: then
    // the next plug-in does it.
    m_calls.Ioctl(m_fd, BLKRRPART, nullptr);
    m_calls.Close(m_fd);
  }
  if (host::Installed().volumes == this) host::Install(host::Ports{});
}

int LinuxHost::Attach(char letter, const Disk& disk, bool exclusive) {
  // O_NONBLOCK: a key whose view is empty reports no medium, and must still open for commands.
  const int kFlags = (exclusive ? O_EXCL : 0) | O_NONBLOCK;
  int fd = disk.readOnly ? -EROFS : m_calls.Open(disk.node, O_RDWR | kFlags);
  bool readOnly = false;
  if (fd == -EROFS) {
    fd = m_calls.Open(disk.node, O_RDONLY | kFlags);
    readOnly = true;
  }
  if (fd < 0) return fd;
  m_fd = fd;
  m_readOnly = readOnly;
  m_disk = disk;
  m_letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return 0;
}

void LinuxHost::FillPorts(host::Ports& ports) {
  ports.volumes = this;
  ports.helperDriver = this;
  ports.clock = this;
  ports.security = this;
  ports.registry = this;
  ports.files = &m_fileSystem;
}

bool LinuxHost::IsOurs(const char* path) const {
  return m_fd >= 0 && m_letter != 0 && VolumeLetter(path) == m_letter;
}

// A key pulled out leaves its descriptor open, but its sysfs entry goes at once.
bool LinuxHost::Present() const {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::path(m_paths.sysRoot) / "block" / m_disk.name, ignored);
}

// ---- Volumes and SCSI pass-through ---------------------------------------------------------

host::Handle LinuxHost::OpenVolume(const char* path, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  if (!IsOurs(path) || std::strlen(path) != 6 || !Present()) return host::kInvalidHandle;
  const host::Handle handle = m_nextHandle++;
  m_volumes.insert(handle);
  return handle;
}

bool LinuxHost::SendPassThrough(host::Handle volume, std::uint32_t ioControlCode, host::PassThroughRequest& request,
                                std::uint32_t, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  namespace pt = pass_through;
  std::uint8_t* image = request.image.data();
  host::TraceEvent event;
  event.kind = host::TraceKind::kPassThrough;
  event.letter = m_letter;
  const std::uint8_t cdbLength = std::min<std::uint8_t>(pt::CdbLength(image), pt::kCdbCapacity);
  event.cdb.assign(pt::Cdb(image), pt::Cdb(image) + cdbLength);
  event.dataIn = pt::IsDataIn(image);
  event.length = pt::DataTransferLength(image);

  const bool wellFormed = m_volumes.count(volume) != 0 && ioControlCode == host::win32::IOCTL_SCSI_PASS_THROUGH_DIRECT &&
                          pt::Length(image) == pt::kStructSize && cdbLength > 0 &&
                          (event.length == 0 || request.dataBuffer != nullptr);
  if (!wellFormed) {
    SgOutcome refused;
    refused.error = -EINVAL;
    lastFailure = refused;
    event.status = refused.status;
    trace.Add(std::move(event));
    return false;
  }

  const std::uint32_t senseOffset = pt::SenseInfoOffset(image);
  SgCommand command;
  command.cdb = pt::Cdb(image);
  command.cdbLength = cdbLength;
  command.dataIn = event.dataIn;
  command.data = request.dataBuffer;
  command.length = event.length;
  if (senseOffset < request.image.size()) {
    command.sense = image + senseOffset;
    command.senseRoom = static_cast<std::uint8_t>(
        std::min<std::size_t>(pt::SenseInfoLength(image), request.image.size() - senseOffset));
  }
  command.timeoutMs = pt::TimeOutValue(image) * 1000;
  const SgOutcome outcome = SendSgIo(m_calls, m_fd, command);
  event.status = outcome.status;
  event.ok = outcome.delivered;
  event.delivered = outcome.delivered;
  if (outcome.delivered) {
    pt::SetScsiStatus(image, outcome.status);
    if (bytesReturned != nullptr) *bytesReturned = outSize;
  } else {
    lastFailure = outcome;
  }
  trace.Add(std::move(event));
  return outcome.delivered;
}

bool LinuxHost::CloseVolume(host::Handle volume) { return m_volumes.erase(volume) == 1; }

// ---- No helper driver and no registry on Linux --------------------------------------------

host::Handle LinuxHost::OpenDriver(const char*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                   std::uint32_t* lastError) {
  if (lastError != nullptr) *lastError = host::win32::ERROR_FILE_NOT_FOUND;
  return host::kInvalidHandle;
}

bool LinuxHost::Control(host::Handle, std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                        std::uint32_t*) {
  return false;
}

bool LinuxHost::CloseDriver(host::Handle) { return false; }

std::int32_t LinuxHost::OpenKey(host::RegistryKey, const char*, std::uint32_t, host::RegistryKey*) {
  return static_cast<std::int32_t>(host::win32::ERROR_FILE_NOT_FOUND);
}

std::int32_t LinuxHost::EnumKey(host::RegistryKey, std::uint32_t, char*, std::uint32_t*) {
  return static_cast<std::int32_t>(host::win32::ERROR_NO_MORE_ITEMS);
}

std::int32_t LinuxHost::QueryValue(host::RegistryKey, const char*, std::uint32_t*, std::uint8_t*, std::uint32_t*) {
  return static_cast<std::int32_t>(host::win32::ERROR_FILE_NOT_FOUND);
}

std::int32_t LinuxHost::EnumValue(host::RegistryKey, std::uint32_t, char*, std::uint32_t*, std::uint32_t*,
                                  std::uint8_t*, std::uint32_t*) {
  return static_cast<std::int32_t>(host::win32::ERROR_NO_MORE_ITEMS);
}

std::int32_t LinuxHost::CloseKey(host::RegistryKey) { return 0; }

// ---- Clock ---------------------------------------------------------------------------------

void LinuxHost::Sleep(std::uint32_t milliseconds) {
  host::TraceEvent event;
  event.kind = host::TraceKind::kPause;
  event.milliseconds = milliseconds;
  trace.Add(std::move(event));
  if (realPauses) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  m_pausedMs += milliseconds;
}

std::uint32_t LinuxHost::SecondsSince1970() {
  if (m_clockStart) return *m_clockStart + static_cast<std::uint32_t>(m_pausedMs / 1000);
  return static_cast<std::uint32_t>(std::time(nullptr));
}

void LinuxHost::LocalDateText(char text[9]) {
  const std::time_t now = SecondsSince1970();
  std::tm date{};
  if (m_clockStart) {
    gmtime_r(&now, &date);
  } else {
    localtime_r(&now, &date);
  }
  std::strftime(text, 9, "%m/%d/%y", &date);
}

// ---- Files and volumes -----------------------------------------------------------------------

emulated::MountedFat LinuxHost::MountVolume(const char* path) {
  emulated::MountedFat mounted;
  if (!IsOurs(path) || !Present()) return mounted;
  for (int attempt = 0; attempt < 2 && !mounted.volume; ++attempt) {
    if (attempt == 1) {
      // The key may show a larger area than the kernel read at attach (a run cut off earlier
      // left a smaller one): have the kernel read the capacity again.
      m_calls.WriteAttribute((std::filesystem::path(m_paths.sysRoot) / "block" / m_disk.name / "device" / "rescan").string(), "1");
    }
    mounted.sectors = std::make_unique<BlockDeviceSectors>(m_calls, m_fd, m_readOnly);
    mounted.volume = emulated::FatVolume::Mount(*mounted.sectors);
  }
  if (mounted.volume) mounted.volume->SetClock(LocalNow);
  return mounted;
}

std::uint32_t LinuxHost::DriveTypeOf(const char* rootPath) {
  return IsOurs(rootPath) && Present() ? host::win32::DRIVE_REMOVABLE : host::win32::DRIVE_NO_ROOT_DIR;
}

bool LinuxHost::CurrentDirectoryPath(std::string* path) {
  std::error_code error;
  *path = std::filesystem::current_path(error).string();
  return !error;
}

}  // namespace linuxhost
